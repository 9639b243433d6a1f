// daemon_faults_e2e_test.cpp: the running daemon under faults: a worker
// killed outright in the middle of sending, an administrator's request to
// terminate a running replication, and the catalogue going away and coming
// back while the daemon loops.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "e2e_support.h"
#include "support/files.h"
#include "support/process.h"

namespace e2e {
namespace {

std::string s(uint64_t v) { return std::to_string(v); }

// Runs one statement in the maintenance database (a database cannot shut
// its own door).
int admin(const std::string &sql) {
  return rpd::test::run({"psql", "-q", "-X", "service=localhost dbname=postgres", "-c", sql}).status;
}

// The process id recorded by the worker handling b, once it is sending.
long workerOf(Appliance &a, uint64_t b) {
  return (long)a.db.number("SELECT coalesce(max(pid_to_kill), 0) FROM vx.operation_progress WHERE backup_no = " +
                           s(b));
}

TEST(DaemonFaults, WorkerKilledMidSendStaysActiveAndTheRestartReplicatesTheBackupWhole) {
  Appliance a;
  auto b = a.mkbackup({"--size", "1200k", "--file-size", "20k"});
  ASSERT_EQ(b.size(), 1u);
  a.startDeviceMonitor();
  a.queue(b[0]);
  // Every body's reply is held back, so the worker is caught sending.
  a.fault("endpoint=multiblock,count=1,times=0,kind=delay,arg=3000");
  pid_t daemon = a.startDaemon();
  ASSERT_TRUE(eventually([&] { return a.requests("multiblock") >= 1; })) << a.logs();
  long worker = workerOf(a, b[0]);
  ASSERT_GT(worker, 0);
  ASSERT_EQ(kill((pid_t)worker, SIGKILL), 0);
  EXPECT_TRUE(eventually([&] { return kill((pid_t)worker, 0) != 0; })) << "the daemon reaps its killed worker";
  // No handler ran: the entry stays active and the daemon does not take it
  // again while it runs.
  EXPECT_EQ(a.queueState(b[0]), "16");
  EXPECT_EQ(a.stopDaemon(daemon), 0);
  EXPECT_EQ(a.queueState(b[0]), "16");
  EXPECT_EQ(a.requests("end-backup"), 0);

  vdtest::controlPost(a.vault, "clear-faults", "");
  daemon = a.startDaemon();
  EXPECT_TRUE(eventually([&] { return a.queueState(b[0]) == "2"; }, 300)) << a.logs();
  EXPECT_EQ(a.stopDaemon(daemon), 0);
  EXPECT_EQ(a.syncStatus(b[0]), 2);
  EXPECT_EQ(a.statsOf(b[0]), "Success: ");
  long n = a.vaultNumber(b[0]);
  ASSERT_GT(n, 0);
  // The Vault's rebuilt copy equals the local backup's decoded stream.
  e2e::Run cat = a.appliance("mkbackup", {"cat", s(b[0])});
  ASSERT_EQ(cat.status, 0);
  ASSERT_FALSE(cat.out.empty());
  EXPECT_TRUE(a.exported(n) == cat.out) << "the Vault's copy differs from the local backup";
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.operation_progress WHERE pid_to_kill <> " + s(worker)), 0);
}

TEST(DaemonFaults, CleanupTerminatesTheRunningWorkerAndTellsTheVault) {
  Appliance a;
  auto b = a.mkbackup({"--size", "1200k", "--file-size", "20k"});
  ASSERT_EQ(b.size(), 1u);
  a.startDeviceMonitor();
  a.queue(b[0]);
  a.fault("endpoint=multiblock,count=1,times=0,kind=delay,arg=3000");
  pid_t daemon = a.startDaemon();
  ASSERT_TRUE(eventually([&] { return a.requests("multiblock") >= 1; })) << a.logs();
  long worker = workerOf(a, b[0]);
  ASSERT_GT(worker, 0);
  long n = a.vaultNumber(b[0]);
  ASSERT_GT(n, 0) << "the backup was announced";

  e2e::Run r = a.rpd({"util", "cleanup", s(b[0]), a.vault});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(eventually([&] { return a.queueState(b[0]) == "8"; })) << a.queueState(b[0]) << "\n" << a.logs();
  EXPECT_TRUE(eventually([&] { return kill((pid_t)worker, 0) != 0; })) << "the worker was terminated";
  // The worker's handler removed its progress rows and left the entry alone.
  EXPECT_TRUE(eventually([&] {
    return a.db.number("SELECT count(*) FROM vx.operation_progress WHERE backup_no = " + s(b[0])) == 0;
  }));
  EXPECT_EQ(a.queueState(b[0]), "8");
  EXPECT_EQ(a.requests("end-backup"), 1);
  std::string d = a.describe(n);
  EXPECT_NE(d.find("backup operation terminated"), std::string::npos) << d;
  EXPECT_EQ(a.stopDaemon(daemon), 0);
  // A cancelled entry is not taken again.
  EXPECT_EQ(a.queueState(b[0]), "8");
  EXPECT_NE(a.syncStatus(b[0]) & 1, 0) << "the backup still needs replicating";
  vdtest::controlPost(a.vault, "clear-faults", "");
}

TEST(DaemonFaults, CatalogueOutageKeepsTheDaemonLoopingAndTheNextPassWorks) {
  Appliance a;
  auto b = a.mkbackup({"--size", "200k"});
  ASSERT_EQ(b.size(), 1u);
  a.startDeviceMonitor();
  pid_t daemon = a.startDaemon();
  const std::string pass = "Handling terminated operations";
  ASSERT_TRUE(eventually([&] { return (long)rpd::test::countOf(a.logs(), pass) >= 2; })) << a.logs();

  std::string name = a.db.name();
  ASSERT_EQ(admin("ALTER DATABASE \"" + name + "\" ALLOW_CONNECTIONS false"), 0);
  ASSERT_EQ(admin("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + name +
                  "' AND pid <> pg_backend_pid()"),
            0);
  size_t mark = a.logs().size();
  // Passes go on while nothing can be read.
  bool looping = eventually([&] { return (long)rpd::test::countOf(a.logs().substr(mark), pass) >= 3; });
  bool alive = kill(daemon, 0) == 0;
  ASSERT_EQ(admin("ALTER DATABASE \"" + name + "\" ALLOW_CONNECTIONS true"), 0);
  EXPECT_TRUE(looping) << a.logs().substr(mark);
  EXPECT_TRUE(alive);
  // This test's own session was ended too: the failed statement lets the
  // next one reconnect.
  a.db.tryExec("SELECT 1");

  // Back again: the next pass takes a new entry, without a restart.
  a.queue(b[0]);
  EXPECT_TRUE(eventually([&] { return a.queueState(b[0]) == "2"; }, 300)) << a.logs().substr(mark);
  EXPECT_EQ(a.stopDaemon(daemon), 0);
  long n = a.vaultNumber(b[0]);
  ASSERT_GT(n, 0);
  EXPECT_TRUE(a.exported(n) == a.archiveBytes(b[0]));
}

}  // namespace
}  // namespace e2e
