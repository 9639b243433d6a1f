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
#include "support/files.h"
#include "support/process.h"

namespace e2e {

Appliance::Appliance()
    : rpd::test::Appliance(0, "",
                           "[LogRetentionInstances]\ndefault=100\n[debugging]\nrpd=5\n[Debugging]\nrpd=5\n") {
  vault = vaultd.base();
  logDir = box.mkdirs("usr/vx/logs.dir");
  // The commands rpd runs, installed as the appliance has them.
  for (const char *p : {"fileDedup", "recipe", "platformSupportsDedup"}) {
    std::string target = rpd::test::program(std::string("appliance/") + p);
    EXPECT_EQ(symlink(target.c_str(), (bin + "/" + p).c_str()), 0) << p;
  }
  set("Enabled", "true");
  set("SyncTo", vault);
  set("TimeDelay", "1");
  set("MaxConcurrent", "2");
  set("CheckInterval", "1");
  set("QueueScheme", "0");
  box.setEnv("LOG_LEVEL", "5");
  box.unsetEnv("VXLOGNAME");
  // Phases with names, so deleting their progress rows finds them.
  db.exec("INSERT INTO vx.operation_names (name_id, name_value) VALUES (20, 'processing'), (21, 'no_activity')");
}

Appliance::~Appliance() {
  if (deviceMonitor_) appliance("devmonitor", {"--remove"});
}

// Runs a program; its standard error is appended to <sandbox>/<errLog>.
static Run runLogged(const std::vector<std::string> &argv, const std::string &errLog) {
  Run r = rpd::test::run(argv);
  rpd::test::writeFile(errLog, rpd::test::readFile(errLog) + r.err);
  return r;
}

void Appliance::startDeviceMonitor() {
  ASSERT_EQ(appliance("devmonitor", {"--create"}).status, 0) << rpd::test::readFile(box.path("appliance.err"));
  deviceMonitor_ = true;
}

Run Appliance::rpd(const std::vector<std::string> &args) {
  std::vector<std::string> argv{rpd::test::program("daemon/rpd")};
  argv.insert(argv.end(), args.begin(), args.end());
  return runLogged(argv, box.path("rpd.err"));
}

pid_t Appliance::spawnRpd(const std::vector<std::string> &args) {
  std::vector<std::string> argv{rpd::test::program("daemon/rpd")};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string n = std::to_string(++spawned_);
  return rpd::test::spawn(argv, box.path("rpd.out." + n), box.path("rpd.err." + n));
}

int Appliance::waitRpd(pid_t pid, int boundSeconds) { return rpd::test::waitExit(pid, boundSeconds); }

pid_t Appliance::startDaemon() { return spawnRpd({"-d"}); }

int Appliance::stopDaemon(pid_t pid) {
  // A daemon that never started has no pid: kill(-1) or kill(0) would
  // signal every process or the whole group, the test runner included.
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  return waitRpd(pid);
}

std::string Appliance::logs() const {
  std::string all;
  DIR *d = opendir(logDir.c_str());
  if (!d) return all;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name.find(".log") != std::string::npos) all += rpd::test::readFile(logDir + "/" + name);
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
  EXPECT_EQ(vdtest::vaultdExport(vaultd.stateDir(), number, out), 0) << number;
  return rpd::test::readFile(out);
}

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
