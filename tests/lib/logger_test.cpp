// logger_test.cpp: the logger's formats, levels, files, rotation and
// instance selection, observed in the files it writes.
#include "lib/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "lib/config.h"
#include "lib/ini.h"
#include "support/files.h"
#include "support/sandbox.h"

using rpd::test::ageFile;
using rpd::test::exists;
using rpd::test::readFile;
using rpd::test::Sandbox;
using rpd::test::writeFile;

namespace {

std::vector<std::string> g_errors;
void captureError(const char *message) { g_errors.push_back(message); }

// Puts the logger back to its start state in a fresh sandbox whose log
// directory is <root>/logs.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    close_log();
    log_level = 0;
    log_simple = 0;
    log_screen_level = -1;
    unsetenv("LOG_LEVEL");
    unsetenv("VXLOGNAME");
    logdir = sb.path("logs/x");
    logdir.resize(logdir.size() - 2);
    snprintf(g_logdir, sizeof g_logdir, "%s", logdir.c_str());
    snprintf(g_master_ini, sizeof g_master_ini, "%s", sb.path("vxinit/master.ini").c_str());
    g_errors.clear();
    setLogErrorCallback(captureError);
    while (pop_name() == 0) {
    }
  }
  void TearDown() override {
    close_log();
    log_level = 0;
    log_simple = 0;
    g_logdir[0] = '\0';
    g_master_ini[0] = '\0';
    setLogErrorCallback(nullptr);
  }
  std::vector<std::string> lines(const std::string &path) {
    std::vector<std::string> out;
    std::string text = readFile(path), cur;
    for (char c : text) {
      if (c == '\n') {
        out.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
  }
  Sandbox sb;
  std::string logdir;
};

const std::regex kFullLine(R"(^[A-Z][a-z]{2} [ 0-9][0-9] \d\d:\d\d:\d\d : \[LOG(\d+)\] (.*)$)");

}  // namespace

TEST_F(LoggerTest, FullFormatLevelsAndClosing) {
  ASSERT_EQ(openLog("t.log"), 0);
  std::string f = logdir + "/t.log";
  log_level = 2;
  EXPECT_GT(vxLog(0, "zero %d", 0), 0);
  EXPECT_GT(vxLog(2, "two with newline\n"), 0);
  EXPECT_EQ(vxLog(3, "three is suppressed"), 0);
  int n = LOG(1, "prefixed %s", "text");
  close_log();

  std::vector<std::string> l = lines(f);
  ASSERT_EQ(l.size(), 4u) << readFile(f);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(l[0], m, kFullLine));
  EXPECT_EQ(m[1], "0");
  EXPECT_EQ(m[2], "zero 0");
  ASSERT_TRUE(std::regex_match(l[1], m, kFullLine));
  EXPECT_EQ(m[2], "two with newline");
  ASSERT_TRUE(std::regex_match(l[2], m, kFullLine));
  EXPECT_EQ(m[1], "1");
  std::string expectPrefix = "logger_test.cpp:";
  EXPECT_EQ(m[2].str().substr(0, expectPrefix.size()), expectPrefix);
  EXPECT_TRUE(std::regex_search(l[2], std::regex(R"(logger_test\.cpp:\d+: prefixed text$)")));
  // The returned count is the whole line with its newline.
  EXPECT_EQ(n, (int)l[2].size() + 1);
  EXPECT_TRUE(std::regex_match(
      l[3], std::regex("^[A-Z][a-z]{2} [ 0-9][0-9] \\d\\d:\\d\\d:\\d\\d : pid=" +
                       std::to_string(getpid()) + " " + std::to_string(getppid()) +
                       " : Log Closed$")));
  // No doubled newline anywhere.
  EXPECT_EQ(readFile(f).find("\n\n"), std::string::npos);
  EXPECT_TRUE(g_errors.empty());
}

TEST_F(LoggerTest, SimpleFormatSharesFileAndTruncates) {
  log_level = 103;
  ASSERT_EQ(openLog("rpd-worker.log"), 0);
  EXPECT_EQ(log_level, 3);
  EXPECT_EQ(log_simple, 1);
  EXPECT_GT(vxLog(3, "level three"), 0);
  EXPECT_EQ(vxLog(4, "level four"), 0);
  std::string big(2000, 'x');
  vxLog(0, "%s", big.c_str());
  vxLog(1, "ends with newline\n");
  close_log();

  // The worker's log and the program's log are one file.
  std::string f = logdir + "/rpd.log";
  ASSERT_TRUE(exists(f));
  EXPECT_FALSE(exists(logdir + "/rpd-worker.log"));
  std::vector<std::string> l = lines(f);
  ASSERT_EQ(l.size(), 5u) << readFile(f);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(l[0], m, kFullLine));
  EXPECT_EQ(m[1], "3");
  EXPECT_EQ(m[2], "level three");
  std::string head = l[0].substr(0, l[0].find("[LOG")) + "[LOG0] ";
  EXPECT_EQ(l[1], "Message below was truncated from " + std::to_string(head.size() + 2000) +
                      " to 1024 bytes");
  EXPECT_EQ(l[2].size(), 1023u);
  EXPECT_TRUE(std::regex_search(l[2], std::regex(R"(^[A-Z][a-z]{2} [ 0-9][0-9] \d\d:\d\d:\d\d : \[LOG0\] x)")));
  EXPECT_EQ(l[2].substr(head.size()), big.substr(0, 1023 - head.size()));
  ASSERT_TRUE(std::regex_match(l[3], m, kFullLine));
  EXPECT_EQ(m[2], "ends with newline");
  EXPECT_NE(l[4].find(": Log Closed"), std::string::npos);
}

TEST_F(LoggerTest, LevelTwoHundredWritesNothing) {
  log_level = 200;
  ASSERT_EQ(openLog("off.log"), 0);
  EXPECT_EQ(vxLog(0, "level zero"), 0);
  close_log();
  EXPECT_FALSE(exists(logdir + "/off.log"));
  EXPECT_FALSE(exists(sb.root() + "/tmp/program.log"));
}

TEST_F(LoggerTest, MessagesBeforeOpeningGoToProgramLog) {
  EXPECT_GT(vxLog(0, "early message"), 0);
  close_log();
  std::string text = readFile(sb.root() + "/tmp/program.log");
  EXPECT_NE(text.find("[LOG0] early message\n"), std::string::npos) << text;
}

TEST_F(LoggerTest, OpeningRemovesOldFilesOfTheName) {
  for (const char *n : {"old.log", "old_1.log.gz", "old_2.log", "old_4.log"})
    writeFile(logdir + "/" + n, "stale\n");
  ASSERT_EQ(openLog((logdir + "/old.log").c_str()), 0);
  vxLog(0, "fresh");
  close_log();
  EXPECT_EQ(readFile(logdir + "/old.log").find("stale"), std::string::npos);
  EXPECT_FALSE(exists(logdir + "/old_1.log.gz"));
  EXPECT_FALSE(exists(logdir + "/old_2.log"));
  // The chain stops at the first gap.
  EXPECT_TRUE(exists(logdir + "/old_4.log"));
}

TEST_F(LoggerTest, UnopenableFileFallsBackToDevNull) {
  EXPECT_EQ(openLog("/nonexistent-dir/x/y.log"), -1);
  ASSERT_EQ(g_errors.size(), 1u);
  EXPECT_EQ(g_errors[0].rfind("Fatal error opening logfile /nonexistent-dir/x/y.log because: ", 0),
            0u);
  EXPECT_GT(vxLog(0, "into the void"), 0);
}

TEST_F(LoggerTest, LevelFromEnvironment) {
  setenv("LOG_LEVEL", "LOG_LEVEL= 5", 1);
  ASSERT_EQ(openLog("env.log"), 0);
  EXPECT_EQ(log_level, 5);
  setenv("LOG_LEVEL", "4", 1);
  ASSERT_EQ(openLog("env.log"), 0);
  EXPECT_EQ(log_level, 4);
  setenv("LOG_LEVEL", "junk", 1);
  ASSERT_EQ(openLog("env.log"), 0);
  EXPECT_EQ(log_level, 4);
  unsetenv("LOG_LEVEL");
}

TEST_F(LoggerTest, RotationAtTheSizeLimit) {
  writeFile(g_master_ini,
            "[MaxLogKB]\ndefault=1\n[LogsPerInstance]\ndefault=8\nrot=3\n");
  ASSERT_EQ(openProgramLog("rot", 1), 0);
  std::string base = logdir + "/rot-0";
  std::string line(100, 'r');
  for (int i = 0; i < 40; i++) vxLog(0, "%03d %s", i, line.c_str());
  close_log();
  ASSERT_TRUE(exists(base + ".log"));
  ASSERT_TRUE(exists(base + "_1.log"));
  ASSERT_TRUE(exists(base + "_2.log"));
  EXPECT_FALSE(exists(base + "_3.log"));
  // Every file stays near the limit: the test happens before each write.
  for (const char *s : {".log", "_1.log", "_2.log"})
    EXPECT_LE(rpd::test::fileSize(base + s), 1024 + 400) << s;
  // The newest file starts with the banner and the notice; the line that
  // triggered the rotation follows.
  std::vector<std::string> l = lines(base + ".log");
  ASSERT_GE(l.size(), 3u);
  EXPECT_TRUE(std::regex_match(
      l[0], std::regex("^rot\\[" RPD_VERSION ", pid = " + std::to_string(getpid()) +
                       "\\]: started on .* \\(Log level=0\\)$")));
  EXPECT_EQ(l[1], "Log size limit reached, starting new log file. For prior logs, check rot-0*.log");
  EXPECT_NE(l[2].find("[LOG0] "), std::string::npos);
  // The moved file ends with the moving notice (and the closing line).
  std::string moved = readFile(base + "_1.log");
  EXPECT_NE(moved.find("Moving log file..."), std::string::npos);
  // The last message is in the current file, none is lost in between.
  EXPECT_NE(readFile(base + ".log").find("039 "), std::string::npos);
  EXPECT_TRUE(g_errors.empty());
}

TEST_F(LoggerTest, NoRotationWithOneLogPerInstanceOrZeroSize) {
  for (const char *cfg : {"[MaxLogKB]\ndefault=1\n[LogsPerInstance]\ndefault=1\n",
                          "[MaxLogKB]\ndefault=0\n[LogsPerInstance]\ndefault=4\n"}) {
    writeFile(g_master_ini, cfg);
    ASSERT_EQ(openProgramLog("flat", 1), 0);
    std::string line(100, 'f');
    for (int i = 0; i < 30; i++) vxLog(0, "%s", line.c_str());
    close_log();
    EXPECT_GT(rpd::test::fileSize(logdir + "/flat-0.log"), 3000) << cfg;
    EXPECT_FALSE(exists(logdir + "/flat-0_1.log")) << cfg;
    unlink((logdir + "/flat-0.log").c_str());
    // Start the next run without a remembered instance.
    unlink((sb.root() + "/etc/default/vx.ini").c_str());
  }
}

TEST_F(LoggerTest, InstanceSelectionAndRetention) {
  writeFile(g_master_ini, "[LogRetentionInstances]\ndefault=5\ninst=2\n[LogRetentionDays]\ninst=3\n");
  std::string vxini = sb.root() + "/etc/default/vx.ini";
  auto run = [&]() {
    EXPECT_EQ(openProgramLog("inst", 1), 0);
    close_log();
  };
  auto slot = [&](int k) { return logdir + "/inst-" + std::to_string(k) + ".log"; };
  auto remembered = [&](const char *key) {
    char buf[256];
    iniGetString("Location Information", key, "", buf, sizeof buf, vxini.c_str());
    return std::string(buf);
  };

  // Fresh runs take slots 0, 1, 2 (instances + 1 files at most).
  run();
  EXPECT_EQ(remembered("inst"), slot(0));
  ageFile(slot(0), 300);
  run();
  EXPECT_EQ(remembered("inst"), slot(1));
  EXPECT_EQ(remembered("prev_inst"), slot(0));
  ageFile(slot(1), 200);
  run();
  EXPECT_EQ(remembered("inst"), slot(2));
  ageFile(slot(2), 100);
  EXPECT_FALSE(exists(slot(3)));

  // All slots taken: the oldest one is reused.
  {
    FILE *f = fopen(slot(0).c_str(), "a");
    fputs("marker of the old run\n", f);
    fclose(f);
    ageFile(slot(0), 300);
  }
  run();
  EXPECT_EQ(remembered("inst"), slot(0));
  EXPECT_EQ(remembered("prev_inst"), slot(2));
  EXPECT_FALSE(exists(slot(3)));
  EXPECT_EQ(readFile(slot(0)).find("marker of the old run"), std::string::npos);

  // A slot older than the retention days is reused before the oldest.
  ageFile(slot(0), 50);
  ageFile(slot(1), 400);
  ageFile(slot(2), 4 * 86400);
  run();
  EXPECT_EQ(remembered("inst"), slot(2));
  ageFile(slot(2), 10);
  run();
  EXPECT_EQ(remembered("inst"), slot(1));

  // VXLOGNAME names the file outright.
  setenv("VXLOGNAME", "named.log", 1);
  run();
  unsetenv("VXLOGNAME");
  EXPECT_NE(readFile(logdir + "/named.log").find("inst[" RPD_VERSION ", pid = "),
            std::string::npos);
}

TEST_F(LoggerTest, BannerAndConfigurationAtHighLevels) {
  writeFile(g_master_ini, "[LogRetentionDays]\ndefault=0\n[MaxLogKB]\ndefault=-4\n");
  log_level = 6;
  ASSERT_EQ(openProgramLog("chatty", 1), 0);
  close_log();
  std::string text = readFile(logdir + "/chatty-0.log");
  EXPECT_NE(text.find("chatty[" RPD_VERSION ", pid = " + std::to_string(getpid()) +
                      "]: started on "),
            std::string::npos);
  EXPECT_NE(text.find("  (Log level=6)\n"), std::string::npos);
  // The banner line carries no timestamp prefix.
  EXPECT_EQ(text.rfind("chatty[", 0), 0u) << text;
  EXPECT_NE(text.find("[LOG6] \tLogRetentionDays:1\n"), std::string::npos);
  EXPECT_NE(text.find("[LOG6] \tLogRetentionInstances:1\n"), std::string::npos);
  EXPECT_NE(text.find("[LOG6] \tLogsPerInstance:4\n"), std::string::npos);
  EXPECT_NE(text.find("[LOG6] \tMaxLogSize:0\n"), std::string::npos);
}

TEST_F(LoggerTest, NameStack) {
  EXPECT_STREQ(top_name(), "Not set:");
  EXPECT_EQ(pop_name(), -1);
  std::string longName(100, 'n');
  ASSERT_EQ(push_name(longName.c_str()), 0);
  EXPECT_EQ(std::string(top_name()), longName.substr(0, 63));
  ASSERT_EQ(push_name("fmt %%s"), 0);
  EXPECT_STREQ(top_name(), "Not set:");
  ASSERT_EQ(pop_name(), 0);
  ASSERT_EQ(pop_name(), 0);

  ASSERT_EQ(openLog("names.log"), 0);
  log_level = 1;
  int pushed = 0;
  for (int i = 0; i < 60; i++) {
    char n[16];
    snprintf(n, sizeof n, "f%d", i);
    if (push_name(n) != 0) break;
    pushed++;
  }
  // 49 names fit; the 50th push empties the stack.
  EXPECT_EQ(pushed, 49);
  EXPECT_STREQ(top_name(), "Not set:");
  EXPECT_EQ(pop_name(), -1);
  close_log();
  std::string text = readFile(logdir + "/names.log");
  EXPECT_NE(text.find("WARNING: push_name() limit of 50 reached"), std::string::npos);
  EXPECT_NE(text.find("name_array[48] is \"f48\""), std::string::npos);
  EXPECT_NE(text.find("WARNING: pop_name() - cannot pop stack further"), std::string::npos);
}
