// e2e_support.cpp: the appliance of the end-to-end tests (see e2e_support.h).
#include "e2e_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "lib/ini.h"

namespace e2e {

namespace {

std::string quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string readWhole(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

Run runCommand(const std::string &cmd) {
  Run run;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return run;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
  int status = pclose(p);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string rpdBinary() { return std::string(RPD_BINARY_DIR) + "/daemon/rpd"; }

}  // namespace

bool eventually(const std::function<bool()> &done, int boundSeconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(boundSeconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

Appliance::Appliance() {
  rpd::test::useTestCatalogueService();
  vault = vaultd.base();
  vx = box.mkdirs("usr/vx");
  bin = box.mkdirs("usr/vx/bin");
  dev = box.mkdirs("dev1");
  logDir = box.mkdirs("usr/vx/logs.dir");
  box.mkdirs("tmp");
  box.mkdirs("var/run");
  box.mkdirs("md");
  box.write("etc/default/vx.ini", "[Location Information]\nVXDIR=" + vx + "\n");
  // The commands rpd runs, installed as the appliance has them.
  for (const char *p : {"fileDedup", "recipe", "platformSupportsDedup"}) {
    std::string target = std::string(RPD_BINARY_DIR) + "/appliance/" + p;
    EXPECT_EQ(symlink(target.c_str(), (bin + "/" + p).c_str()), 0) << p;
  }
  masterIni = box.write("usr/vx/vxinit/master.ini",
                        "[fileDedup]\n"
                        "maxSubfileBytes=16384\n"
                        "imageBlockBytes=32768\n"
                        "MetadataDirectory=" + box.path("md") + "\n"
                        "maxHashedBlocks=64k\n"
                        "maxHashedBackups=1k\n"
                        "synchronizeUpdates=false\n"
                        "MetadataGeneration=0\n"
                        "[LogRetentionInstances]\n"
                        "default=100\n"
                        "[debugging]\n"
                        "rpd=5\n"
                        "[Debugging]\n"
                        "rpd=5\n"
                        "[Replication]\n"
                        "Enabled=true\n"
                        "SyncTo=" + vault + "\n"
                        "TimeDelay=1\n"
                        "MaxConcurrent=2\n"
                        "CheckInterval=1\n"
                        "QueueScheme=0\n");
  box.setEnv("VXDIR", vx);
  box.setEnv("VX_MASTER_INI", masterIni);
  box.setEnv("LOG_LEVEL", "5");
  unsetenv("VXLOGNAME");
  // Phases with names, so deleting their progress rows finds them.
  db.exec("INSERT INTO vx.operation_names (name_id, name_value) VALUES (20, 'processing'), (21, 'no_activity')");
}

Appliance::~Appliance() {
  if (deviceMonitor_) appliance("devmonitor", {"--remove"});
}

void Appliance::set(const std::string &key, const std::string &value, const std::string &section) {
  ASSERT_EQ(iniPutString(section.c_str(), key.c_str(), value.c_str(), masterIni.c_str()), 0);
}

Run Appliance::appliance(const std::string &program, const std::vector<std::string> &args) {
  std::string cmd = quote(std::string(RPD_BINARY_DIR) + "/appliance/" + program);
  for (const std::string &a : args) cmd += " " + quote(a);
  cmd += " 2>>" + quote(box.path("appliance.err"));
  return runCommand(cmd);
}

std::vector<uint64_t> Appliance::mkbackup(std::vector<std::string> args) {
  args.insert(args.begin(), {"--dir", dev});
  Run r = appliance("mkbackup", args);
  EXPECT_EQ(r.status, 0) << "mkbackup failed: " << readWhole(box.path("appliance.err"));
  std::vector<uint64_t> numbers;
  std::istringstream in(r.out);
  uint64_t n;
  while (in >> n) numbers.push_back(n);
  return numbers;
}

void Appliance::startDeviceMonitor() {
  ASSERT_EQ(appliance("devmonitor", {"--create"}).status, 0) << readWhole(box.path("appliance.err"));
  deviceMonitor_ = true;
}

Run Appliance::rpd(const std::vector<std::string> &args) {
  std::string cmd = quote(rpdBinary());
  for (const std::string &a : args) cmd += " " + quote(a);
  cmd += " 2>>" + quote(box.path("rpd.err"));
  return runCommand(cmd);
}

pid_t Appliance::spawnRpd(const std::vector<std::string> &args) {
  std::string binary = rpdBinary();
  std::string out = box.path("rpd.out"), err = box.path("rpd.err");
  pid_t pid = fork();
  if (pid != 0) return pid;
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  dup2(o, 1);
  dup2(e, 2);
  std::vector<char *> argv{binary.data()};
  std::vector<std::string> copy = args;
  for (std::string &a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(binary.c_str(), argv.data());
  _exit(127);
}

int Appliance::waitRpd(pid_t pid, int boundSeconds) {
  int status = 0;
  if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, boundSeconds)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t Appliance::startDaemon() { return spawnRpd({"-d"}); }

int Appliance::stopDaemon(pid_t pid) {
  kill(pid, SIGTERM);
  return waitRpd(pid);
}

std::string Appliance::logs() const {
  std::string all;
  DIR *d = opendir(logDir.c_str());
  if (!d) return all;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name.find(".log") != std::string::npos) all += readWhole(logDir + "/" + name);
  }
  closedir(d);
  return all;
}

long Appliance::vaultNumber(uint64_t b) {
  Run ubi = rpd({"util", "export-ubi", std::to_string(b)});
  while (!ubi.out.empty() && ubi.out.back() == '\n') ubi.out.pop_back();
  if (ubi.status != 0 || ubi.out.empty()) return 0;
  Run check = rpd({"util", "check-ubi", ubi.out, vault});
  return check.status == 0 ? atol(check.out.c_str()) : 0;
}

long Appliance::vaultBlocks() const {
  vdtest::Reply r = vdtest::controlGet(vault, "blocks");
  return r.statusLine.find("200") == std::string::npos ? -1 : atol(r.body.c_str());
}

std::string Appliance::exported(long number) {
  std::string out = box.path("export." + std::to_string(number));
  std::string cmd = quote(std::string(RPD_BINARY_DIR) + "/vaultd/vaultd") + " export " +
                    quote(vaultd.stateDir()) + " " + std::to_string(number) + " " + quote(out);
  EXPECT_EQ(runCommand(cmd).status, 0) << cmd;
  return readWhole(out);
}

std::string Appliance::archive(uint64_t b) const { return readWhole(dev + "/backup_" + std::to_string(b)); }

long Appliance::requests(const std::string &endpoint) {
  std::string text = vdtest::controlGet(vault, "counters").body;
  size_t at = text.find(endpoint + " ");
  return at == std::string::npos ? -1 : atol(text.c_str() + at + endpoint.size() + 1);
}

void Appliance::fault(const std::string &rule) {
  vdtest::Reply r = vdtest::controlPost(vault, "fault", rule);
  ASSERT_NE(r.statusLine.find("200"), std::string::npos) << r.statusLine << r.body;
}

std::string Appliance::describe(long number) {
  return vdtest::controlGet(vault, "backup?no=" + std::to_string(number)).body;
}

void Appliance::queue(uint64_t b) {
  db.exec("INSERT INTO vx.replication_queue (backup_no, vault, status) VALUES (" + std::to_string(b) + ", '" + vault +
          "', 1)");
}

std::string Appliance::queueState(uint64_t b) {
  return db.value("SELECT status FROM vx.replication_queue WHERE backup_no = " + std::to_string(b));
}

long Appliance::syncStatus(uint64_t b) {
  return (long)db.number("SELECT sync_status FROM vx.backups WHERE backup_no = " + std::to_string(b));
}

std::string Appliance::statsOf(uint64_t b) {
  return db.value("SELECT string_agg(message, ' | ' ORDER BY stat_id) FROM vx.sds_stats WHERE backup_no = " +
                  std::to_string(b));
}

}  // namespace e2e
