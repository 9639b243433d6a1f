// rpd_process_test.cpp: runs the real rpd binary in a sandbox and checks
// what an operator sees: exit statuses, the pid file and its lock, the
// cleanup on SIGTERM, the log lines of the main loop and the utility
// mode's output.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "harness.h"

using namespace rpdtest;

namespace {

// master.ini that enables replication, passes every second and logs the
// main loop's level-4 lines.
const char *const kEnabledIni =
    "[Replication]\nEnabled=true\nTimeDelay=1\n[debugging]\nrpd=4\n";

// Waits until the attached daemon's log (its stderr) shows `n` more passes
// than `from` had, i.e. n further "Reading master.ini" lines.
bool waitPasses(const std::string &log, size_t from, size_t n) {
  return eventually([&] { return countOf(readFile(log), "Reading master.ini") >= from + n; });
}

TEST(RpdOptions, ExitStatusesAndUsage) {
  Sandbox box;
  std::string out, err;

  // An unknown option: the daemon's own usage line and status 1.
  EXPECT_EQ(runRpd(box, {"-x"}, &out), 1);
  EXPECT_EQ(out, "Usage: \n");

  // A vault name of 64 characters is refused with status 255 and two log
  // lines (written to the fallback log: no log is open yet).
  EXPECT_EQ(runRpd(box, {"-d", "-v", std::string(64, 'v')}, &out), 255);
  std::string fallback = readFile(box.path("tmp/program.log"));
  EXPECT_NE(fallback.find("Invalid vault override"), std::string::npos) << fallback;
  EXPECT_NE(fallback.find("Must be smaller than 64"), std::string::npos) << fallback;
  EXPECT_FALSE(exists(box.pidFile()));

  // 63 characters are accepted; "util" after an option is an argument, not
  // utility mode; SIGTERM ends the foreground daemon with status 0.
  writeFile(box.masterIni(), kEnabledIni);
  std::string log = box.path("attached.log");
  pid_t pid = spawnRpd(box, {"-a", "-d", "-v", std::string(63, 'w'), "util"}, box.path("out.txt"), log);
  ASSERT_TRUE(waitPasses(log, 0, 2)) << readFile(log);
  kill(pid, SIGTERM);
  EXPECT_EQ(waitExit(pid), 0);
  EXPECT_EQ(readFile(box.path("out.txt")).find("Usage:"), std::string::npos);
  std::string text = readFile(log);
  EXPECT_NE(text.find("cleanup signal caught"), std::string::npos) << text;
  EXPECT_NE(text.find("Cleaning up"), std::string::npos);
  // A foreground daemon has no pid file to clear.
  EXPECT_EQ(text.find("Failed to remove pid file"), std::string::npos);
}

TEST(RpdDaemon, PidFileLockAndCleanupOnSigterm) {
  // Become the subreaper so the detached daemons stay our children and
  // their exit statuses can be collected.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  Sandbox box;
  writeFile(box.masterIni(), kEnabledIni);
  std::string log1 = box.path("first.log"), log2 = box.path("second.log");

  // A long delay: the daemon is asleep when SIGTERM comes.
  pid_t launcher = spawnRpd(box, {"-t", "1000"}, box.path("o1"), box.path("e1"), {{"VXLOGNAME", log1}});
  EXPECT_EQ(waitExit(launcher), 0);  // the daemonising parent
  ASSERT_TRUE(eventually([&] { return countOf(readFile(log1), "Starting 5 workers") >= 1; })) << readFile(log1);
  std::string pidText = readFile(box.pidFile());
  pid_t daemonPid = static_cast<pid_t>(atoi(pidText.c_str()));
  ASSERT_GT(daemonPid, 1);
  EXPECT_EQ(pidText, std::to_string(daemonPid));  // decimal, no newline
  EXPECT_NE(daemonPid, launcher);

  // A second daemon fails at the lock, exits 0 and leaves the file alone.
  launcher = spawnRpd(box, {"-t", "1000"}, box.path("o2"), box.path("e2"), {{"VXLOGNAME", log2}});
  EXPECT_EQ(waitExit(launcher), 0);
  int status = 0;
  pid_t second = -1;
  ASSERT_TRUE(eventually([&] {
    second = waitpid(-1, &status, WNOHANG);
    return second > 0;
  }));
  EXPECT_NE(second, daemonPid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(readFile(log2).find("failed to lock /var/run/rpd.pid"), std::string::npos) << readFile(log2);
  EXPECT_EQ(readFile(box.pidFile()), pidText);

  kill(daemonPid, SIGTERM);
  EXPECT_EQ(waitExit(daemonPid), 0);
  std::string text = readFile(log1);
  size_t caught = text.find("cleanup signal caught");
  size_t cleaning = text.find("Cleaning up");
  size_t clear = text.find("Clear pid file");
  ASSERT_NE(caught, std::string::npos) << text;
  ASSERT_NE(cleaning, std::string::npos);
  ASSERT_NE(clear, std::string::npos);
  EXPECT_LT(caught, cleaning);
  EXPECT_LT(cleaning, clear);
  EXPECT_EQ(text.find("Failed to remove pid file"), std::string::npos);
  EXPECT_FALSE(exists(box.pidFile()));
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(RpdMainLoop, SettingsAreReReadOnlyWhenMasterIniGetsNewer) {
  Sandbox box;
  writeFile(box.masterIni(), kEnabledIni);
  time_t base = mtimeOf(box.masterIni());
  std::string log = box.path("attached.log");
  pid_t pid = spawnRpd(box, {"-a", "-d"}, box.path("out.txt"), log);
  ASSERT_TRUE(waitPasses(log, 0, 3)) << readFile(log);
  EXPECT_EQ(countOf(readFile(log), "Not using checkpoint system"), 1u);

  // New contents with the same modification time are not seen.
  const std::string checkpointIni =
      "[Replication]\nEnabled=true\nTimeDelay=1\nCheckpoint=true\n[debugging]\nrpd=4\n";
  replaceFile(box.masterIni(), checkpointIni, base);
  size_t passes = countOf(readFile(log), "Reading master.ini");
  ASSERT_TRUE(waitPasses(log, passes, 3));
  std::string text = readFile(log);
  EXPECT_EQ(countOf(text, "Using checkpoint system"), 0u);
  EXPECT_EQ(countOf(text, "Not using checkpoint system"), 1u);

  // A later modification time makes the next pass read them, once.
  replaceFile(box.masterIni(), checkpointIni, base + 10);
  ASSERT_TRUE(eventually([&] { return countOf(readFile(log), "Using checkpoint system") >= 1; }));
  passes = countOf(readFile(log), "Reading master.ini");
  ASSERT_TRUE(waitPasses(log, passes, 3));
  text = readFile(log);
  EXPECT_EQ(countOf(text, "Using checkpoint system"), 1u);
  EXPECT_EQ(countOf(text, "Not using checkpoint system"), 1u);

  kill(pid, SIGTERM);
  EXPECT_EQ(waitExit(pid), 0);
}

TEST(RpdMainLoop, EnabledAndAutoSyncDecideTheWorkerCount) {
  Sandbox box;
  writeFile(box.masterIni(), kEnabledIni);
  time_t stamp = mtimeOf(box.masterIni());
  std::string log = box.path("attached.log");
  pid_t pid = spawnRpd(box, {"-a", "-d", "-o", "3"}, box.path("out.txt"), log);

  // Rewrites master.ini with a later time and returns the log text written
  // after the re-read took effect (two passes later).
  auto reconfigure = [&](const std::string &ini) {
    stamp += 10;
    replaceFile(box.masterIni(), ini, stamp);
    size_t from = readFile(log).size();
    size_t passes = countOf(readFile(log), "Reading master.ini");
    EXPECT_TRUE(waitPasses(log, passes, 3));
    std::string text = readFile(log).substr(from);
    // Keep only what follows the first pass that saw the new file.
    size_t next = text.find("Reading master.ini", text.find("Reading master.ini") + 1);
    return next == std::string::npos ? std::string() : text.substr(next);
  };

  ASSERT_TRUE(eventually([&] { return readFile(log).find("Starting 3 workers") != std::string::npos; }))
      << readFile(log);

  std::string after = reconfigure(
      "[Replication]\nEnabled=true\nTimeDelay=1\n[securesync]\nAutoSyncEnabled=true\n[debugging]\nrpd=4\n");
  EXPECT_NE(after.find("Starting 0 workers"), std::string::npos) << after;
  EXPECT_EQ(after.find("Starting 3 workers"), std::string::npos) << after;

  // Enabled again: the -o value comes back.
  after = reconfigure(kEnabledIni);
  EXPECT_NE(after.find("Starting 3 workers"), std::string::npos) << after;
  EXPECT_EQ(after.find("Starting 0 workers"), std::string::npos) << after;

  after = reconfigure("[Replication]\nEnabled=false\nTimeDelay=1\n[debugging]\nrpd=4\n");
  EXPECT_NE(after.find("Starting 0 workers"), std::string::npos) << after;
  EXPECT_EQ(after.find("Starting 3 workers"), std::string::npos) << after;

  kill(pid, SIGTERM);
  EXPECT_EQ(waitExit(pid), 0);
}

TEST(RpdMainLoop, HighLoadSkipsWorkerStart) {
  Sandbox box;
  writeFile(box.masterIni(), kEnabledIni);
  writeFile(box.path("proc/loadavg"), "9.50 1.00 1.00 1/100 4242\n");
  std::string log = box.path("attached.log");
  pid_t pid = spawnRpd(box, {"-a", "-d", "-l", "2.5"}, box.path("out.txt"), log);
  ASSERT_TRUE(waitPasses(log, 0, 3)) << readFile(log);
  std::string text = readFile(log);
  EXPECT_NE(text.find("Load is 9.50...too high. Waiting 1 seconds."), std::string::npos) << text;
  EXPECT_EQ(text.find("Starting"), std::string::npos) << text;

  writeFile(box.path("proc/loadavg"), "0.10 1.00 1.00 1/100 4242\n");
  ASSERT_TRUE(eventually([&] { return readFile(log).find("Starting 5 workers") != std::string::npos; }));
  kill(pid, SIGTERM);
  EXPECT_EQ(waitExit(pid), 0);
}

TEST(RpdUtil, UsageAndUnknownCommands) {
  Sandbox box;
  std::string out;
  EXPECT_EQ(runRpd(box, {"util"}, &out), 0);
  std::string expected = readFile(std::string(RPD_SOURCE_DIR) + "/tests/daemon/data/util_usage.txt");
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(out, expected);
  EXPECT_EQ(runRpd(box, {"utility"}, &out), 0);
  EXPECT_EQ(out, expected);

  EXPECT_EQ(runRpd(box, {"util", "no-such-command", "1", "2"}, &out), 0);
  EXPECT_EQ(out, "");
  // Utility mode runs no daemon: no pid file, and its own log.
  EXPECT_FALSE(exists(box.pidFile()));
  EXPECT_NE(readFile(box.vx + "/logs.dir/rpd-util-0.log").find("Entering utility mode"), std::string::npos);
}

}  // namespace
