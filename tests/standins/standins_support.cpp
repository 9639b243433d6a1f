// standins_support.cpp: the appliance of the stand-in tests (see
// standins_support.h).
#include "standins_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "dedup/hashRead.h"
#include "dedup/hashValues.h"
#include "lib/handles.h"
#include "vaultd/hactar.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "store/SIS.h"
#include "store/crypto.h"
#include "store/libCryptoDaemon.h"

namespace standins_test {

Run runProgram(const std::string &program, const std::vector<std::string> &args) {
  std::vector<std::string> argv{rpd::test::program("appliance/" + program)};
  argv.insert(argv.end(), args.begin(), args.end());
  Run r = rpd::test::run(argv);
  const char *root = getenv("RPD_SYSROOT");
  FILE *log = fopen((std::string(root ? root : "/tmp") + "/stderr.log").c_str(), "a");
  if (log) {
    fputs(r.err.c_str(), log);
    fclose(log);
  }
  return r;
}

std::vector<uint64_t> mkbackup(const std::vector<std::string> &args) {
  Run r = runProgram("mkbackup", args);
  EXPECT_EQ(r.status, 0) << "mkbackup failed; see stderr.log in the sandbox";
  std::vector<uint64_t> numbers;
  std::istringstream in(r.out);
  uint64_t n;
  while (in >> n) numbers.push_back(n);
  return numbers;
}

Appliance::Appliance(int generation, const std::string &extraFileDedup) {
  std::string vxdir = box.mkdirs("usr/vx");
  box.mkdirs("usr/vx/bin");
  box.mkdirs("md");
  dev = box.mkdirs("dev1");
  std::string ini = box.write("usr/vx/vxinit/master.ini",
                              "[fileDedup]\n"
                              "maxSubfileBytes=16384\n"
                              "imageBlockBytes=32768\n"
                              "MetadataDirectory=" + box.path("md") + "\n"
                              "maxHashedBlocks=64k\n"
                              "maxHashedBackups=1k\n"
                              "synchronizeUpdates=false\n"
                              "MetadataGeneration=" + std::to_string(generation) + "\n" + extraFileDedup);
  if (generation == 1) box.write("var/opt/kestrelon/platform_capabilities", "dedupNT\n");
  box.setEnv("VXDIR", vxdir);
  box.setEnv("VX_MASTER_INI", ini);
  box.setEnv("LOG_LEVEL", "1");
  snprintf(g_master_ini, sizeof g_master_ini, "%s", ini.c_str());
  snprintf(g_bindir, sizeof g_bindir, "%s/bin", vxdir.c_str());
  snprintf(g_SISinfoPath, sizeof g_SISinfoPath, "%s", "/backups/SISinfo");
  attachLogStream(stderr);
  forgetMetadataGeneration();
  CDlibForgetState();
  cryptoResetProcessState();
}

Appliance::~Appliance() {
  forgetMetadataGeneration();
  g_master_ini[0] = 0;
}

std::string Appliance::archive(uint64_t backupNo) const {
  std::string base = dev + "/backup_" + std::to_string(backupNo);
  if (access((base + ".gz").c_str(), F_OK) == 0) return base + ".gz";
  if (access(base.c_str(), F_OK) == 0) return base;
  return "";
}

void Appliance::makeSmallSIS() const { ASSERT_EQ(SIScreateInfoFile(0, 1ULL << 26), 0); }

}  // namespace standins_test

FILE *openPlainHactar(const std::string &path) {
  FILE *in = fopen(path.c_str(), "rb");
  if (!in) return nullptr;
  char magic[8] = {};
  if (fread(magic, 1, sizeof magic, in) == sizeof magic && memcmp(magic, "VXHACTAR", 8) == 0) {
    rewind(in);
    return in;
  }
  rewind(in);
  std::vector<uint8_t> header(1536);
  FILE *out = tmpfile();
  CDcryptCtx ctx{};
  CDresult res{};
  bool ok = out && fread(header.data(), 1, header.size(), in) == header.size() &&
            CDlibInitCryptWithToken(header.data(), int(header.size()), &ctx, &res) == 0;
  std::vector<uint8_t> cipher(kCDUnitSize * 1024), plain(cipher.size());
  size_t n;
  while (ok && (n = fread(cipher.data(), 1, cipher.size(), in)) > 0) {
    ctx.nextDataInPtr = cipher.data();
    ctx.dataInBytes = int32_t(n);
    ctx.nextDataOutPtr = plain.data();
    ctx.dataOutBytes = int32_t(plain.size());
    ok = CDlibCrypt(CD_OP_DECRYPT, &ctx, &res) == 0 && ctx.dataInBytes == 0 &&
         fwrite(plain.data(), 1, n, out) == n;
    if (!ok) fprintf(stderr, "HaCTAR decryption failed: %.64s (left %d)\n", res.message, ctx.dataInBytes);
  }
  if (ctx.cdlibData) CDlibReleaseCtx(&ctx);
  fclose(in);
  if (!ok) {
    if (out) fclose(out);
    return nullptr;
  }
  rewind(out);
  return out;
}

std::string rebuildFromHactar(
    const std::string &path, size_t *blocks, std::string *error,
    const std::function<std::string(hashedContentsPrivate **, const HashValue &)> &readBlock) {
  UniqueFile f(openPlainHactar(path));
  if (!f) {
    *error = "no readable HaCTAR at " + path;
    return "";
  }
  hactar::Reader reader;
  if (reader.open(f.get()) != 0) {
    *error = reader.error;
    return "";
  }
  hashedContentsPrivate *priv = nullptr;
  std::string out;
  *blocks = 0;
  hactar::Record rec;
  int rc;
  while ((rc = reader.next(&rec)) == 1) {
    if (rec.tag == hactar::kTagLiteral) {
      std::string lit(rec.length, '\0');
      if (reader.readLiteral(lit.data(), lit.size()) != long(lit.size())) break;
      out += lit;
      continue;
    }
    HashValue v;
    memset(&v, 0, sizeof v);
    memcpy(v.hashType, rec.hashType, 8);
    v.hashedLength = rec.length;
    memcpy(v.hashValue, rec.hashValue, 64);
    v.flags = hashValue_in;
    out += readBlock(&priv, v);
    (*blocks)++;
  }
  if (rc != 0) *error = reader.error.empty() ? "bad record" : reader.error;
  closeHashedContents(&priv);
  return out;
}
