// send_fixture.cpp: store, index, catalogue and vaultd set-up of the block
// sender tests.
#include "send_fixture.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "dedup/hashValues.h"
#include "lib/pghelper.h"
#include "lib/syspath.h"
#include "queue/progress.h"
#include "store/SIS.h"
#include "vault/rest.h"

namespace pipetest {

namespace {

const char kInstance[] = "3c9d2a51-7e4f-4b1a-8c6d-5f2e9a0b1c7d";

std::string hexLower(const uint8_t *p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

// Opens the store as a process that is not the first, so the device list
// is not rebuilt from the (deviceless) test catalogue.
SIShandle *openShared() {
  int fd = open(sysPath(g_SISinfoPath).c_str(), O_RDWR);
  if (fd < 0 || flock(fd, LOCK_SH) != 0) return nullptr;
  SIShandle *h = openSIS();
  close(fd);
  return h;
}

}  // namespace

SendEnv::SendEnv(std::vector<std::string> vaultdArgs)
    : vaultd([&] {
        vaultdArgs.push_back("--no-order-check");
        return vaultdArgs;
      }()) {
  saved_ = g_settings;
  box.mkdirs("/dev/shm");
  replicationIni("");
  forgetMetadataGeneration();
  g_settings.LocalBlockElimination = 0;
  g_settings.Checkpoint = 0;
  g_settings.RetryCount = 3;
  g_settings.Cluster = 1;
  EXPECT_EQ(0, SIScreateInfoFile(8192, 4 << 20));
  box.mkdirs("/dev0");
  EXPECT_EQ(0, SISaddDevice(box.path("/dev0").c_str(), 1, false));
}

SendEnv::~SendEnv() {
  if (lockFd_ >= 0) close(lockFd_);
  // Connections of this process reach the test's database, which goes
  // away with it.
  pgCloseAll();
  closeProgressConnection();
  forgetMetadataGeneration();
  g_settings = saved_;
}

void SendEnv::replicationIni(const std::string &lines) {
  box.master("[fileDedup]\n[Replication]\n" + lines, "usr/vx/vxinit/master.ini");
}

uint64_t SendEnv::storeBlock(const vdtest::Block &b, bool compress) {
  std::string key(reinterpret_cast<const char *>(b.key.hashValue), 64);
  for (auto &[k, id] : stored_)
    if (k == key) return id;
  // Writers take the info file's exclusive lock: let go of the shared
  // one meanwhile.
  bool frozen = lockFd_ >= 0;
  if (frozen) {
    close(lockFd_);
    lockFd_ = -1;
  }
  SIShandle *h = openShared();
  EXPECT_NE(nullptr, h);
  if (!h) return 0;
  uint64_t offset = 0, compressed = 0;
  EXPECT_EQ(0, SISappendBlock(h, b.data.data(), b.data.size(), compress, &offset, &compressed));
  freeSIS(h);
  if (frozen) freezeStore();
  uint64_t id = (uint64_t)db.number(
      "INSERT INTO vx.hash_values (hash_type, hashed_length, hash_value, sis_offset, compressed_length) VALUES "
      "('sha512', " + std::to_string(b.data.size()) + ", '\\x" + hexLower(b.key.hashValue, 64) + "', " +
      std::to_string(offset) + ", " + std::to_string(compressed) + ") RETURNING hash_id");
  stored_.push_back({key, id});
  return id;
}

void SendEnv::place(uint64_t backup, const vdtest::Block &b, bool compress) {
  uint64_t id = storeBlock(b, compress);
  std::vector<Placed> *list = nullptr;
  for (auto &[no, l] : backups_)
    if (no == backup) list = &l;
  if (!list) {
    backups_.push_back({backup, {}});
    list = &backups_.back().second;
  }
  uint64_t offset = list->empty() ? 0 : list->back().offset + list->back().block.data.size();
  db.exec("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id, deduplicated) VALUES (" +
          std::to_string(backup) + ", " + std::to_string(offset) + ", " + std::to_string(id) + ", true)");
  list->push_back({b, offset, id});
}

const std::vector<Placed> &SendEnv::placed(uint64_t backup) {
  for (auto &[no, l] : backups_)
    if (no == backup) return l;
  static const std::vector<Placed> none;
  return none;
}

long SendEnv::announce() {
  std::string doc = vdtest::metadataDocument(kInstance, nextStart_++, 1);
  CURLcode res;
  long number = postStartBackup(target().c_str(), doc.data(), doc.size(), 4096, &res, 0);
  EXPECT_GT(number, 0);
  return number;
}

void SendEnv::freezeStore() {
  if (lockFd_ >= 0) return;
  lockFd_ = open(sysPath(g_SISinfoPath).c_str(), O_RDWR);
  ASSERT_GE(lockFd_, 0);
  ASSERT_EQ(0, flock(lockFd_, LOCK_SH));
}

std::string SendEnv::sisFile() {
  std::string dir = box.path("/dev0") + "/SIS/";
  DIR *d = opendir(dir.c_str());
  std::string found;
  if (!d) return found;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string p = dir + e->d_name;
    struct stat st;
    if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) found = p;
  }
  closedir(d);
  return found;
}

void SendEnv::truncateStore(uint64_t bytes) {
  std::string f = sisFile();
  ASSERT_FALSE(f.empty());
  ASSERT_EQ(0, truncate(f.c_str(), (off_t)bytes));
}

long SendEnv::multiBlockEntries() {
  std::ifstream in(vaultd.workDir() + "/vaultd.log");
  std::string line;
  long n = 0;
  while (std::getline(in, line)) {
    size_t at = line.find("multiblock: ");
    if (at == std::string::npos || line.find("(lost)") != std::string::npos) continue;
    n += atol(line.c_str() + at + 12);
  }
  return n;
}

long SendEnv::requests(const std::string &endpoint) {
  std::istringstream in(vdtest::controlGet(target(), "counters").body);
  std::string name;
  long n;
  while (in >> name >> n)
    if (name == endpoint) return n;
  return -1;
}

bool SendEnv::vaultHolds(const vdtest::Block &b) {
  return vdtest::controlGet(target(), "block?name=" + vdtest::blockName(b.key)).body == "1";
}

bool SendEnv::vaultRefusedSomething() {
  std::string log = rpd::test::readFile(vaultd.workDir() + "/vaultd.log");
  return log.find("405 Bad Request for") != std::string::npos;
}

uint64_t SendEnv::vaultBlockCount(long targetBackup) {
  uint64_t count = 0;
  CURLcode res;
  EXPECT_EQ(0, postBlockCount(target().c_str(), (uint64_t)targetBackup, &count, &res));
  return count;
}

void SendEnv::fault(const std::string &rule) {
  vdtest::Reply r = vdtest::controlPost(target(), "fault", rule);
  ASSERT_NE(std::string::npos, r.statusLine.find("200")) << r.statusLine << r.body;
}

std::string captureStdout(const std::function<void()> &fn) {
  fflush(stdout);
  FILE *tmp = tmpfile();
  int saved = dup(1);
  dup2(fileno(tmp), 1);
  fn();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  fclose(tmp);
  return out;
}

std::string tupleOf(const vdtest::Block &b) { return vdtest::blockName(b.key); }

}  // namespace pipetest
