// Sub-file limits and per-file classes of backup types, against a real
// master.ini, capability file and platformSupportsDedup program in a
// sandbox directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "dedup/backupTypes.h"
#include "lib/config.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace {

class SubfileSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.mkdirs("var/opt/kestrelon");
    snprintf(g_master_ini, sizeof g_master_ini, "%s", box_.path("master.ini").c_str());
    snprintf(g_bindir, sizeof g_bindir, "%s", box_.mkdirs("bin").c_str());
    setDedupAnswer(0);
  }
  void writeFile(const std::string &path, const std::string &text) { rpd::test::writeFile(path, text); }
  void setIni(const std::string &body) { writeFile(g_master_ini, "[fileDedup]\n" + body); }
  // The stand-in platformSupportsDedup exits with `answer`.
  void setDedupAnswer(int answer) {
    std::string p = box_.path("bin/platformSupportsDedup");
    writeFile(p, "#!/bin/sh\nexit " + std::to_string(answer) + "\n");
    chmod(p.c_str(), 0755);
  }
  void setCapabilities(const std::string &text) {
    writeFile(box_.path("var/opt/kestrelon/platform_capabilities"), text);
  }
  rpd::test::Sandbox box_{"rpd-subfile"};
};

const uint64_t kTwoPages = 2 * (uint64_t)sysconf(_SC_PAGESIZE);

TEST_F(SubfileSandbox, CategoryKeyWinsThenGenericKeyThenPlatformDefault) {
  setIni("maxSubfileBytes_VMware = 0x200000\nmaxSubfileBytes_SQL_Server = 3145728\n"
         "maxSubfileBytes = 65536\n");
  EXPECT_EQ(maxSubfileBytes(12, 0), 0x200000u);
  EXPECT_EQ(maxSubfileBytes(14, 0), 0x200000u);
  EXPECT_EQ(maxSubfileBytes(10, 0), 3145728u);  // blank of "SQL Server" became "_"
  EXPECT_EQ(maxSubfileBytes(5, 0), 65536u);     // no Exchange key: generic one
  EXPECT_EQ(maxSubfileBytes(1, 0), 65536u);

  setIni("");
  EXPECT_EQ(maxSubfileBytes(1, 0), SUBFILE_BYTES_LARGE);
  setCapabilities("dedupNT\nreplication\n");
  EXPECT_EQ(maxSubfileBytes(1, 0), SUBFILE_BYTES_SMALL);
  setCapabilities("dedupNT\nreplication_v2\n");  // not the word standing alone
  EXPECT_EQ(maxSubfileBytes(1, 0), SUBFILE_BYTES_LARGE);
  setDedupAnswer(2);
  EXPECT_EQ(maxSubfileBytes(1, 0), SUBFILE_BYTES_SMALL);
  setDedupAnswer(3);
  EXPECT_EQ(maxSubfileBytes(1, 0), SUBFILE_BYTES_LARGE);
}

TEST_F(SubfileSandbox, ValuesBelowTwoPagesOrWithTrailingTextFallThrough) {
  setIni("maxSubfileBytes_VMware = " + std::to_string(kTwoPages / 2) +
         "\nmaxSubfileBytes_Oracle = " + std::to_string(kTwoPages) +
         "\nmaxSubfileBytes_Hyper-V = 4M\nmaxSubfileBytes_RAE = -65536\n"
         "maxSubfileBytes = 131072\n");
  EXPECT_EQ(maxSubfileBytes(12, 0), 131072u);    // one page: next rule
  EXPECT_EQ(maxSubfileBytes(1034, 0), kTwoPages);  // exactly two pages: accepted
  EXPECT_EQ(maxSubfileBytes(1032, 0), 131072u);  // unit suffix refused
  EXPECT_EQ(maxSubfileBytes(4096, 0), 131072u);  // sign refused

  setIni("maxSubfileBytes = 12ab\n");
  EXPECT_EQ(maxSubfileBytes(1, 0), SUBFILE_BYTES_LARGE);

  uint64_t v = 0;
  EXPECT_EQ(parseSubfileBytes("040000", 8192, &v), 0);  // octal
  EXPECT_EQ(v, 040000u);
  EXPECT_EQ(parseSubfileBytes("0x2000", 8192, &v), 0);
  EXPECT_EQ(v, 0x2000u);
  EXPECT_EQ(parseSubfileBytes("0x1fff", 8192, &v), -1);
  EXPECT_EQ(parseSubfileBytes("", 0, &v), -1);
  EXPECT_EQ(parseSubfileBytes(" 9000", 0, &v), -1);
  EXPECT_EQ(parseSubfileBytes("99999999999999999999999", 0, &v), -1);  // overflow
}

TEST_F(SubfileSandbox, LegacySqlAndSystemMetadataUseTheirOwnKeys) {
  setIni("maxSubfileBytes_LEGACY_MSSQL = 0x300000\nmaxSubfileBytes_file-level = 0x500000\n"
         "maxSubfileBytes_Archive = 0x600000\n");
  EXPECT_EQ(maxSubfileBytes(4, 0x80), 0x300000u);
  EXPECT_EQ(maxSubfileBytes(4, 0x7f), 0x500000u);
  EXPECT_EQ(maxSubfileBytes(1038, 0), 0x500000u);
  EXPECT_EQ(maxSubfileBytes(1025, 0), 0x600000u);
}

TEST(backupTypeCategory, NamesEveryRange) {
  struct { uint32_t type; const char *category; } cases[] = {
      {4, "file-level"}, {5, "Exchange"}, {7, "Exchange"}, {8, "file-level"}, {9, "SQL Server"},
      {11, "SQL Server"}, {12, "VMware"}, {14, "VMware"}, {15, "file-level"}, {1025, "Archive"},
      {1031, "Hyper-V"}, {1033, "Hyper-V"}, {1034, "Oracle"}, {1035, "Oracle"},
      {1036, "SharePoint"}, {1037, "SharePoint"}, {1038, "file-level"}, {1039, "RAE"},
      {4096, "RAE"}, {4097, "RAE"}, {4098, "file-level"}};
  for (const auto &c : cases) EXPECT_STREQ(backupTypeCategory(c.type), c.category) << c.type;
}

TEST(classifyBackupType, PerFileTypesLegacySqlAndBareMetal) {
  struct { uint32_t type; uint64_t props; int expected; } cases[] = {
      {0, 0, -1},    {1, 0, 1},     {3, 0, 1},     {4, 0, 1},     {4, 0x80, 0},  {4, 0x7f, 1},
      {5, 0, 1},     {7, 0, 1},     {8, 0, -1},    {9, 0, 1},     {14, 0, 1},    {15, 0, -1},
      {1024, 0, 0},  {1025, 0, -1}, {1030, 0, -1}, {1031, 0, 1},  {1038, 0, 1},  {1039, 0, 1},
      {1040, 0, -1}, {4095, 0, -1}, {4096, 0, 1},  {4100, 0, 1},  {4101, 0, -1}, {1, 0x80, 1}};
  for (const auto &c : cases)
    EXPECT_EQ(classifyBackupType(c.type, c.props), c.expected) << c.type << "/" << c.props;
}

}  // namespace
