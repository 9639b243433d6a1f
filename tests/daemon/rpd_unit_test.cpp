// rpd_unit_test.cpp: the daemon's in-process pieces: the program name,
// the load reading, the worker list with reaping, and the utility-mode
// dispatch rule.
#include <gtest/gtest.h>

#include "daemon/rpd.h"
#include "daemon/util.h"
#include "harness.h"

using namespace rpdtest;

namespace {

TEST(RpdEntry, AppNameIsTheBaseNameWithinThirtyOneCharacters) {
  char name[32];
  setAppName("/usr/vx/bin/rpd", name);
  EXPECT_STREQ(name, "rpd");
  setAppName("rpd", name);
  EXPECT_STREQ(name, "rpd");
  // Longer than 32: only the last 31 characters count, then the base name.
  setAppName("/a/very/long/directory/name/here/rpd-custom", name);
  EXPECT_STREQ(name, "rpd-custom");
  std::string longBase = "/x/" + std::string(40, 'n');
  setAppName(longBase.c_str(), name);
  EXPECT_EQ(std::string(name), std::string(31, 'n'));
  // The cut happens before the slash search: a slash just outside the
  // last 31 characters is not seen.
  std::string cut = "/dir/" + std::string(31, 'm');
  setAppName(cut.c_str(), name);
  EXPECT_EQ(std::string(name), std::string(31, 'm'));
}

TEST(RpdEntry, LoadAverageFromFirstField) {
  Sandbox box;
  std::string f = box.path("proc/loadavg");
  writeFile(f, "3.25 2.00 1.00 2/345 999\n");
  EXPECT_FLOAT_EQ(readLoadAverage(f.c_str()), 3.25f);
  writeFile(f, "garbage\n");
  EXPECT_FLOAT_EQ(readLoadAverage(f.c_str()), -1.0f);
  EXPECT_FLOAT_EQ(readLoadAverage(box.path("proc/missing").c_str()), -1.0f);

  // The sandbox's file wins over the kernel's when it exists.
  EXPECT_EQ(std::string(loadAveragePath()), f);
  unlink(f.c_str());
  EXPECT_STREQ(loadAveragePath(), "/proc/loadavg");
}

TEST(RpdWorkers, ListAndReaping) {
  workerList.clear();
  pid_t a = fork();
  if (a == 0) _exit(0);
  pid_t b = fork();
  if (b == 0) _exit(3);
  const pid_t stranger = 999999;
  addWorker(a, 0x100000007ull, "vault-a");
  addWorker(stranger, 8, "vault-b");
  addWorker(b, 9, "vault-c");
  EXPECT_EQ(workerCount(), 3);
  EXPECT_EQ(workerList.front().backupNo, 7u);  // low half of the number
  EXPECT_STREQ(workerList.front().vault, "vault-a");

  // Wait until both children have ended, without reaping them.
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, a, &info, WEXITED | WNOWAIT), 0);
  ASSERT_EQ(waitid(P_PID, b, &info, WEXITED | WNOWAIT), 0);
  reapWorkers();
  ASSERT_EQ(workerCount(), 1);
  EXPECT_EQ(workerList.front().pid, stranger);
  EXPECT_EQ(removeWorker(a), 0);
  EXPECT_EQ(removeWorker(stranger), 1);
  EXPECT_EQ(workerCount(), 0);
}

// Handlers of a test table: record the call and return a marker.
int g_calls = 0;
int g_lastArgc = 0;
int recordingHandler(int argc, char **) {
  ++g_calls;
  g_lastArgc = argc;
  return 42;
}

std::string dispatch(const UtilCommand *table, size_t n, std::vector<std::string> args, int *result) {
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  FILE *out = tmpfile();
  *result = utilDispatch(table, n, static_cast<int>(args.size()), argv.data(), out);
  fflush(out);
  rewind(out);
  std::string text;
  char buf[4096];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, got);
  fclose(out);
  return text;
}

TEST(RpdUtil, DispatchAppliesTheArgumentCountRule) {
  const UtilCommand table[] = {
      {"exact", 5, 5, 0, recordingHandler},
      {"range", 4, 5, 0, recordingHandler},
      {"atleast", 6, UTIL_ANY_COUNT, 0, recordingHandler},
      {"strict", 5, 5, -1, recordingHandler},
  };
  const size_t n = sizeof table / sizeof table[0];
  std::string usage = readFile(std::string(RPD_SOURCE_DIR) + "/tests/daemon/data/util_usage.txt");
  ASSERT_FALSE(usage.empty());
  int rc = 0;
  g_calls = 0;

  EXPECT_EQ(dispatch(table, n, {"rpd", "util"}, &rc), usage);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(dispatch(table, n, {"rpd", "util", "unknown", "1", "2"}, &rc), "");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(g_calls, 0);

  EXPECT_EQ(dispatch(table, n, {"rpd", "util", "exact", "1", "v"}, &rc), "");
  EXPECT_EQ(rc, 42);
  EXPECT_EQ(g_lastArgc, 5);
  EXPECT_EQ(dispatch(table, n, {"rpd", "util", "exact", "1"}, &rc), usage);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(dispatch(table, n, {"rpd", "util", "exact", "1", "v", "x"}, &rc), usage);
  EXPECT_EQ(rc, 0);

  EXPECT_EQ(dispatch(table, n, {"rpd", "util", "range", "u"}, &rc), "");
  EXPECT_EQ(rc, 42);
  EXPECT_EQ(dispatch(table, n, {"rpd", "util", "range", "u", "t", "x"}, &rc), usage);

  EXPECT_EQ(dispatch(table, n, {"rpd", "util", "atleast", "a", "b", "c", "d", "e", "f"}, &rc), "");
  EXPECT_EQ(rc, 42);
  EXPECT_EQ(g_lastArgc, 9);
  EXPECT_EQ(dispatch(table, n, {"rpd", "util", "atleast", "a", "b"}, &rc), usage);

  EXPECT_EQ(dispatch(table, n, {"rpd", "util", "strict"}, &rc), usage);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(g_calls, 3);
}

}  // namespace
