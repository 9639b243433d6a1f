// appliance.cpp: the appliance of the stand-in tests (see appliance.h).
#include "appliance.h"

#include <gtest/gtest.h>

#include <sstream>

#include "dedup/hashValues.h"
#include "files.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "store/SIS.h"
#include "store/crypto.h"
#include "store/libCryptoDaemon.h"

namespace rpd::test {

Appliance::Appliance(int generation, const std::string &extraFileDedup, const std::string &moreIni) {
  useTestCatalogueService();
  vx = box.installDir("usr/vx");
  bin = box.mkdirs("usr/vx/bin");
  dev = box.mkdirs("dev1");
  box.mkdirs("md");
  box.mkdirs("var/run");
  masterIni = box.master("[fileDedup]\n"
                         "maxSubfileBytes=16384\n"
                         "imageBlockBytes=32768\n"
                         "MetadataDirectory=" + box.path("md") + "\n"
                         "maxHashedBlocks=64k\n"
                         "maxHashedBackups=1k\n"
                         "synchronizeUpdates=false\n"
                         "MetadataGeneration=" + std::to_string(generation) + "\n" + extraFileDedup + moreIni,
                         "usr/vx/vxinit/master.ini");
  if (generation == 1) box.write("var/opt/kestrelon/platform_capabilities", "dedupNT\n");
  box.setEnv("VXDIR", vx);
  box.setEnv("VX_MASTER_INI", masterIni);
  box.setEnv("LOG_LEVEL", "1");
  snprintf(g_bindir, sizeof g_bindir, "%s", bin.c_str());
  snprintf(g_SISinfoPath, sizeof g_SISinfoPath, "%s", "/backups/SISinfo");
  attachLogStream(stderr);
  forgetMetadataGeneration();
  CDlibForgetState();
  cryptoResetProcessState();
}

Appliance::~Appliance() { forgetMetadataGeneration(); }

void Appliance::set(const std::string &key, const std::string &value, const std::string &section) {
  ASSERT_EQ(iniPutString(section.c_str(), key.c_str(), value.c_str(), masterIni.c_str()), 0);
}

Run Appliance::program(const std::string &name, const std::vector<std::string> &args) {
  std::vector<std::string> argv{rpd::test::program("appliance/" + name)};
  argv.insert(argv.end(), args.begin(), args.end());
  Run r = run(argv);
  std::string log = box.path("appliance.err");
  writeFile(log, readFile(log) + r.err);
  return r;
}

std::vector<uint64_t> Appliance::mkbackup(std::vector<std::string> args) {
  bool hasDir = false;
  for (const std::string &a : args) hasDir = hasDir || a == "--dir";
  if (!hasDir) args.insert(args.begin(), {"--dir", dev});
  Run r = program("mkbackup", args);
  EXPECT_EQ(r.status, 0) << "mkbackup failed: " << r.err;
  std::vector<uint64_t> numbers;
  std::istringstream in(r.out);
  uint64_t n;
  while (in >> n) numbers.push_back(n);
  return numbers;
}

std::string Appliance::archive(uint64_t b) const {
  std::string base = dev + "/backup_" + std::to_string(b);
  if (exists(base + ".gz")) return base + ".gz";
  return exists(base) ? base : "";
}

void Appliance::makeSmallSIS() const { ASSERT_EQ(SIScreateInfoFile(0, 1ULL << 26), 0); }

}  // namespace rpd::test
