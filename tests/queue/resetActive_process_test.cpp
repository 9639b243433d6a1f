// The daemon as a process against a test catalogue: entries left active by
// an earlier run are queued again when rpd starts, before anything else
// can take them; other states are left alone.
#include <gtest/gtest.h>

#include "support/fixture.h"
#include "tests/daemon/harness.h"

namespace rpd::test {
namespace {

class DaemonStart : public QueueCatalogue {};

TEST_F(DaemonStart, EntriesLeftActiveAreQueuedAgain) {
  auto s = [](long n) { return std::to_string(n); };
  long inst2 = addInstance(node_, 1, "second");
  long active1 = addBackup({}), done = addBackup({}), paused = addBackup({.instanceId = inst2});
  long active2 = addBackup({.instanceId = addInstance(node_, 1, "third")});
  addEntry(active1, "v1", 16);
  addEntry(done, "v1", 2);
  addEntry(paused, "v1", 128);
  addEntry(active2, "v2", 16);
  exec("UPDATE vx.replication_queue SET rep_start = 123 WHERE status = 16");

  rpdtest::Sandbox box;
  // Replication disabled: the daemon starts no worker that could take the
  // requeued entries again, so what it leaves is what it reset.
  rpdtest::writeFile(box.masterIni(), "[Replication]\nEnabled=false\nTimeDelay=1\n[debugging]\nrpd=4\n");
  std::string log = box.path("attached.log");
  pid_t pid = rpdtest::spawnRpd(box, {"-a", "-d"}, box.path("out.txt"), log,
                                {{"PGSERVICEFILE", getenv("PGSERVICEFILE") ? getenv("PGSERVICEFILE") : ""},
                                 {"RPD_CATALOGUE_DB", db_.name()}});
  // One full pass after start-up: the reset came before it.
  bool passed = rpdtest::eventually(
      [&] { return rpdtest::countOf(rpdtest::readFile(log), "Reading master.ini") >= 2; });
  std::string queued = value("SELECT string_agg(backup_no || ':' || vault || ':' || status, ' ' "
                             "ORDER BY backup_no, vault) FROM vx.replication_queue WHERE backup_no IN (" +
                             s(active1) + "," + s(done) + "," + s(paused) + "," + s(active2) + ")");
  kill(pid, SIGTERM);
  EXPECT_EQ(0, rpdtest::waitExit(pid));
  ASSERT_TRUE(passed) << rpdtest::readFile(log);

  EXPECT_EQ(s(active1) + ":v1:1 " + s(done) + ":v1:2 " + s(paused) + ":v1:128 " + s(active2) + ":v2:1", queued)
      << rpdtest::readFile(log);
  // The daemon could reach the catalogue (no connection failure logged).
  EXPECT_EQ(std::string::npos, rpdtest::readFile(log).find("connection to server")) << rpdtest::readFile(log);
}

}  // namespace
}  // namespace rpd::test
