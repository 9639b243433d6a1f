// fault_matrix_test.cpp: the fault matrix. Each row of cases.txt names a
// fault, where it strikes and what the catalogue and the Vault must show
// after it; this runner drives every row against a whole appliance of its
// own (catalogue clone, sandbox, vaultd, the rpd binary), then clears the
// fault, lets the daemon finish the replication and checks that the Vault's
// copy equals the local backup and that no block the Vault already held
// was sent again. Rows run in forked children, RPD_FAULTS_JOBS (default 3)
// at a time; RPD_FAULTS_ROWS (substrings of row names, separated by commas) picks
// rows.
//
// The table printed at the end is the one kept in tests/faults/README.md.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "files.h"

namespace {

using e2e::Appliance;
using e2e::eventually;

std::string s(uint64_t v) { return std::to_string(v); }

// Text for a cell of the printed table: a "|" (between statistics rows)
// would end the cell.
std::string tableCell(std::string t) {
  for (size_t i = 0; (i = t.find('|', i)) != std::string::npos; i += 2) t.insert(i, "\\");
  return t;
}

// ---- the case file ----

// One row: name | backup | fault | phase | queue | sync | statistics |
// end notice | remedy. Statistics ending in "..." match as a prefix.
struct Row {
  std::string name, backup, fault, phase, queue, sync, stats, notice, remedy;
};

std::string trim(const std::string &t) {
  size_t a = t.find_first_not_of(" \t"), b = t.find_last_not_of(" \t");
  return a == std::string::npos ? "" : t.substr(a, b - a + 1);
}

std::vector<Row> readCases(const std::string &path) {
  std::vector<Row> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (trim(line).empty() || trim(line)[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream cells(line);
    std::string cell;
    while (std::getline(cells, cell, '|')) f.push_back(trim(cell));
    EXPECT_EQ(f.size(), 9u) << "malformed row: " << line;
    if (f.size() == 9) rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8]});
  }
  return rows;
}

std::vector<std::string> words(const std::string &t) {
  std::vector<std::string> w;
  std::istringstream in(t);
  std::string x;
  while (in >> x) w.push_back(x);
  return w;
}

// ---- what a row observed ----

struct Observed {
  std::string queue, sync, stats, notice;
  std::vector<std::string> problems;  // recovery checks that failed
  long resent = -1;                   // block bytes resent during recovery
};

bool statsMatch(const std::string &want, const std::string &got) {
  if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0)
    return got.compare(0, want.size() - 3, want, 0, want.size() - 3) == 0;
  return want == got;
}

// ---- one row against its own appliance ----

class RowRun {
 public:
  RowRun(const Row &row, Observed *out) : row_(row), out_(out) {}
  void run();

 private:
  void makeBackup();
  void holdPhase();
  void releasePhase();
  void daemonAttempt(const std::vector<std::string> &f);
  void utilityAttempt();
  void observe();
  void recover();
  bool vaultdAlive();
  void restartVaultd();
  std::map<std::string, std::string> received();
  long progressPid(const std::string &phase);
  void problem(const std::string &what) { out_->problems.push_back(what); }

  const Row &row_;
  Observed *out_;
  std::unique_ptr<Appliance> a_;
  uint64_t b_ = 0;
  pid_t vaultd_ = -1;  // a vaultd this row restarted itself
  std::string catalogueDir_;
};

std::string catalogueScript() { return std::string(RPD_SOURCE_DIR) + "/scripts/catalogue"; }

void RowRun::run() {
  std::vector<std::string> f = words(row_.fault);
  if (!f.empty() && f[0] == "catalogue") {
    // The restart must not disturb other tests: a cluster of the row's own.
    char tmpl[] = "/tmp/rpd-faults-cat-XXXXXX";
    catalogueDir_ = mkdtemp(tmpl);
    std::string cmd = "RPD_CATALOGUE_DIR=" + catalogueDir_ + " " + catalogueScript() + " start >/dev/null";
    if (system(cmd.c_str()) != 0) return problem("private catalogue did not start");
    setenv("PGSERVICEFILE", (catalogueDir_ + "/pg_service.conf").c_str(), 1);
  }
  a_ = std::make_unique<Appliance>();
  // Short waits everywhere; a stalled Vault is given up after 3 seconds.
  a_->set("SOCKET_TIMEOUT", "3");
  a_->set("RetryCount", "2");
  a_->set("invalidUUIDcheckRetryCount", "3");
  makeBackup();
  if (b_ == 0) return problem("no backup");
  a_->startDeviceMonitor();
  a_->queue(b_);
  if (f.empty() || f[0] == "vault" || f[0] == "enospc")
    utilityAttempt();
  else
    daemonAttempt(f);
  if (!vaultdAlive()) restartVaultd();
  observe();
  recover();
  if (getenv("RPD_FAULTS_KEEP") && !out_->problems.empty()) {
    std::ofstream keep(std::string(getenv("RPD_FAULTS_KEEP")) + "/" + row_.name + ".log");
    keep << a_->logs() << "\n---- vaultd\n" << rpd::test::readFile(a_->vaultd.workDir() + "/vaultd.log");
  }
  a_.reset();
  if (vaultd_ > 0) {
    kill(vaultd_, SIGTERM);
    waitpid(vaultd_, nullptr, 0);
  }
  if (!catalogueDir_.empty()) {
    std::string cmd = "RPD_CATALOGUE_DIR=" + catalogueDir_ + " " + catalogueScript() + " reset >/dev/null 2>&1";
    (void)system(cmd.c_str());
    (void)system(("rm -rf " + catalogueDir_).c_str());
  }
}

// Backup shapes: small (one multi-block body), multi (many bodies), large
// (every block larger than the send buffer, sent one by one).
void RowRun::makeBackup() {
  std::vector<std::string> args;
  const std::string &shape = row_.backup;
  if (shape == "multi") {
    args = {"--size", "1200k", "--file-size", "20k"};
    a_->set("MaxBlocks", "131072");
    a_->set("MetaSize", "8");
  } else if (shape == "large") {
    args = {"--app", "baremetal", "--size", "320k", "--unit", "32k"};
    a_->set("MaxBlocks", "16384");
  } else {
    args = {"--size", "200k"};
  }
  if (row_.phase == "prepare") args.push_back("--locked");
  if (row_.phase == "processing") args.push_back("--in-progress");
  auto made = a_->mkbackup(args);
  if (made.size() == 1) b_ = made[0];
}

// Holds a running worker in the row's phase until releasePhase(): a locked
// backup keeps it hashing (prepare), slow multi-block replies keep it
// sending (replicate), an unfinished backup keeps it waiting to build the
// HaCTAR (processing), a Vault that keeps building keeps it polling (wait).
void RowRun::holdPhase() {
  if (row_.phase == "replicate") a_->fault("endpoint=multiblock,count=1,times=0,kind=delay,arg=3000");
  if (row_.phase == "wait") a_->fault("endpoint=file,count=1,kind=build-wait,arg=15");
}

void RowRun::releasePhase() {
  vdtest::controlPost(a_->vault, "clear-faults", "");
  if (row_.phase == "prepare") a_->appliance("mkbackup", {"unlock", s(b_)});
  if (row_.phase == "processing") a_->appliance("mkbackup", {"finish", s(b_)});
}

// The process id of the worker once it shows the phase's progress row.
long RowRun::progressPid(const std::string &phase) {
  return (long)a_->db.number(
      "SELECT coalesce(max(p.pid_to_kill), 0) FROM vx.operation_progress p JOIN vx.operation_names n USING "
      "(name_id) WHERE n.name_value = '" + phase + "' AND p.backup_no = " + s(b_));
}

// worker SIGTERM|SIGKILL <phase>: the daemon's worker is signalled in the
// phase. daemon SIGKILL|SIGTERM: the daemon (with its worker, as the
// service manager kills the whole unit, for SIGKILL) is stopped there.
// catalogue restart: the catalogue server restarts under the worker.
void RowRun::daemonAttempt(const std::vector<std::string> &f) {
  holdPhase();
  pid_t daemon = a_->startDaemon();
  if (daemon <= 0) return problem("the daemon did not start");
  long worker = 0;
  if (!eventually([&] { return (worker = progressPid(row_.phase)) > 0; }, 180))
    return problem("worker never reached phase " + row_.phase);
  if (row_.phase == "replicate" && !eventually([&] { return a_->requests("multiblock") >= 1; }))
    return problem("worker never sent");
  int sig = f.size() > 1 && f[1] == "SIGKILL" ? SIGKILL : SIGTERM;
  if (f[0] == "worker") {
    kill((pid_t)worker, sig);
    if (!eventually([&] { return kill((pid_t)worker, 0) != 0; })) problem("worker did not end");
    a_->stopDaemon(daemon);
  } else if (f[0] == "daemon") {
    kill(daemon, sig);
    if (sig == SIGKILL) kill((pid_t)worker, SIGKILL);
    a_->waitRpd(daemon);
    if (!eventually([&] { return kill((pid_t)worker, 0) != 0; })) problem("worker did not end");
  } else if (f[0] == "catalogue") {
    std::string env = "RPD_CATALOGUE_DIR=" + catalogueDir_ + " " + catalogueScript();
    if (system((env + " stop >/dev/null").c_str()) != 0 || system((env + " start >/dev/null").c_str()) != 0)
      problem("catalogue restart failed");
    a_->db.tryExec("SELECT 1");  // the test's own session reconnects
    releasePhase();
    // The worker goes on (or fails) by itself, and the daemon stays up: a
    // failed attempt leaves the entry queued, so the same daemon takes it
    // again and finishes it without being restarted.
    if (!eventually([&] { return kill((pid_t)worker, 0) != 0; }, 240)) problem("worker did not end");
    if (!eventually([&] { return a_->queueState(b_) == "2"; }, 240))
      problem("the running daemon did not finish the backup (queue " + a_->queueState(b_) + ")");
    a_->stopDaemon(daemon);
  }
}

// One worker run through "rpd util replicate", the entry marked active as
// the daemon marks the entry it takes.
void RowRun::utilityAttempt() {
  std::vector<std::string> f = words(row_.fault);
  if (!f.empty() && f[0] == "vault") {
    std::string rules = row_.fault.substr(row_.fault.find("vault") + 5);
    std::istringstream in(rules);
    std::string rule;
    while (std::getline(in, rule, ';'))
      if (!trim(rule).empty()) a_->fault(trim(rule));
  }
  a_->db.exec("UPDATE vx.replication_queue SET status = 16 WHERE backup_no = " + s(b_));
  if (!f.empty() && f[0] == "enospc") {
    setenv("LD_PRELOAD", RPD_ENOSPC_PRELOAD, 1);
    setenv("RPD_ENOSPC_AFTER", f.size() > 1 ? f[1].c_str() : "0", 1);
  }
  a_->rpd({"util", "replicate", s(b_), a_->vault});
  unsetenv("LD_PRELOAD");
}

std::map<std::string, std::string> RowRun::received() {
  std::map<std::string, std::string> m;
  std::istringstream in(vdtest::controlGet(a_->vault, "received").body);
  std::string line;
  while (std::getline(in, line)) {
    size_t sp = line.find(' ');
    std::string key = line.substr(0, sp), value = sp == std::string::npos ? "" : line.substr(sp + 1);
    m[key] = m.count(key) ? m[key] + " | " + value : value;
  }
  return m;
}

void RowRun::observe() {
  out_->queue = a_->queueState(b_);
  out_->sync = s(a_->syncStatus(b_));
  out_->stats = trim(a_->statsOf(b_));
  if (out_->stats.empty() || out_->stats == "<null>") out_->stats = "-";
  auto r = received();
  out_->notice = r.count("notice") ? r["notice"] : "-";
}

// After the fault: the administrator's remedy for a paused or cancelled
// entry, then the daemon replicates the backup to its end.
void RowRun::recover() {
  releasePhase();
  const std::string &v = a_->vault;
  if (row_.remedy == "enqueue") a_->rpd({"util", "enqueue", s(b_), v});
  if (row_.remedy == "requeue") {
    a_->rpd({"util", "remove", s(b_), v});
    a_->rpd({"util", "enqueue", s(b_), v});
  }
  if (row_.remedy == "fix") a_->rpd({"util", "fix-paused-instance", v, s(b_)});
  vdtest::controlPost(a_->vault, "mark", "");
  long resentBefore = atol(received()["resent"].c_str());
  pid_t daemon = a_->startDaemon();
  bool done = eventually([&] { return a_->queueState(b_) == "2"; }, 240);
  a_->stopDaemon(daemon);
  if (!done) return problem("not replicated after the fault cleared (queue " + a_->queueState(b_) + ")");
  out_->resent = atol(received()["resent"].c_str()) - resentBefore;
  if (out_->resent != 0) problem(std::to_string(out_->resent) + " bytes of held blocks sent again");
  if (a_->syncStatus(b_) != 2) problem("sync bits " + s(a_->syncStatus(b_)) + " after success");
  long n = a_->vaultNumber(b_);
  if (n <= 0) return problem("the Vault does not know the backup");
  e2e::Run cat = a_->appliance("mkbackup", {"cat", s(b_)});
  if (cat.status != 0 || cat.out.empty() || a_->exported(n) != cat.out)
    problem("the Vault's copy differs from the local backup");
  if (a_->db.number("SELECT count(*) FROM vx.replication_queue WHERE status = 16") != 0)
    problem("an entry is left active");
}

bool RowRun::vaultdAlive() {
  return vdtest::controlGet(a_->vault, "counters").statusLine.find("200") != std::string::npos;
}

// A killed vaultd comes back on the same port with the same state, as a
// restarted Vault would.
void RowRun::restartVaultd() {
  std::string dir = a_->vaultd.workDir();
  std::string port = std::to_string(a_->vaultd.port());
  std::string binary = std::string(RPD_BINARY_DIR) + "/vaultd/vaultd";
  vaultd_ = fork();
  if (vaultd_ == 0) {
    if (!freopen("/dev/null", "w", stdout)) _exit(127);
    execl(binary.c_str(), binary.c_str(), "--state", a_->vaultd.stateDir().c_str(), "--port", port.c_str(),
          "--log", (dir + "/vaultd.log").c_str(), "--log-level", "3", (char *)nullptr);
    _exit(127);
  }
  if (!eventually([&] { return vaultdAlive(); }, 60)) problem("vaultd did not come back");
}

// ---- the runner ----

std::string casesFile() { return std::string(RPD_SOURCE_DIR) + "/tests/faults/cases.txt"; }

// Runs one row in a child; the child writes what it observed to `file`.
pid_t startRow(const Row &row, const std::string &file) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  Observed o;
  time_t start = time(nullptr);
  try {
    RowRun(row, &o).run();
  } catch (...) {
    o.problems.push_back("the row's set-up failed");
  }
  fprintf(stderr, "fault matrix: row %s done after %lds%s\n", row.name.c_str(), (long)(time(nullptr) - start),
          o.problems.empty() ? "" : (": " + o.problems[0]).c_str());
  std::ofstream out(file);
  out << o.queue << "\n" << o.sync << "\n" << o.stats << "\n" << o.notice << "\n" << o.resent << "\n";
  for (const std::string &p : o.problems) out << p << "\n";
  out.close();
  _exit(0);
}

Observed readObserved(const std::string &file) {
  Observed o;
  std::ifstream in(file);
  std::string resent, p;
  if (!std::getline(in, o.queue) || !std::getline(in, o.sync) || !std::getline(in, o.stats) ||
      !std::getline(in, o.notice) || !std::getline(in, resent)) {
    o.problems.push_back("the row's process ended without a result");
    return o;
  }
  o.resent = atol(resent.c_str());
  while (std::getline(in, p)) o.problems.push_back(p);
  return o;
}

TEST(FaultMatrix, EveryRowEndsAsTheTableSaysAndRecoversWhole) {
  std::vector<Row> all = readCases(casesFile()), rows;
  const char *pick = getenv("RPD_FAULTS_ROWS");
  for (const Row &r : all) {
    bool picked = !pick;
    std::istringstream names(pick ? pick : "");
    for (std::string n; std::getline(names, n, ',');) picked = picked || r.name.find(n) != std::string::npos;
    if (picked) rows.push_back(r);
  }
  if (!pick) {
    ASSERT_GE(rows.size(), 25u) << "the matrix has shrunk";
  }
  int jobs = getenv("RPD_FAULTS_JOBS") ? atoi(getenv("RPD_FAULTS_JOBS")) : 3;
  char tmpl[] = "/tmp/rpd-faults-XXXXXX";
  std::string dir = mkdtemp(tmpl);

  std::map<pid_t, size_t> running;
  size_t next = 0;
  while (next < rows.size() || !running.empty()) {
    while (next < rows.size() && (int)running.size() < std::max(jobs, 1)) {
      running[startRow(rows[next], dir + "/" + s(next))] = next;
      next++;
    }
    int status;
    pid_t done = waitpid(-1, &status, 0);
    if (done > 0) running.erase(done);
  }

  std::ostringstream table;
  table << "| row: fault | phase | expected: queue, sync, statistics, end notice | observed | after the fault |\n"
        << "|---|---|---|---|---|\n";
  for (size_t i = 0; i < rows.size(); i++) {
    const Row &r = rows[i];
    Observed o = readObserved(dir + "/" + s(i));
    bool match = o.queue == r.queue && o.sync == r.sync && statsMatch(r.stats, o.stats) && o.notice == r.notice;
    EXPECT_TRUE(match) << r.name << ": expected " << r.queue << ", " << r.sync << ", \"" << r.stats << "\", "
                       << r.notice << "; observed " << o.queue << ", " << o.sync << ", \"" << o.stats << "\", "
                       << o.notice;
    std::string recovery = "whole, 0 bytes resent";
    if (!o.problems.empty()) {
      recovery.clear();
      for (const std::string &p : o.problems) recovery += (recovery.empty() ? "" : "; ") + p;
      ADD_FAILURE() << r.name << ": " << recovery;
    }
    table << "| " << r.name << ": " << r.fault << " | " << r.phase << " | " << r.queue << ", " << r.sync << ", "
          << r.stats << ", " << r.notice << " | " << (match ? "" : "**") << o.queue << ", " << o.sync << ", " << tableCell(o.stats)
          << ", " << o.notice << (match ? "" : "**") << " | " << recovery << " |\n";
  }
  printf("%s", table.str().c_str());
  (void)system(("rm -rf " + dir).c_str());
}

}  // namespace
