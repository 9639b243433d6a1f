// settings_test.cpp: the settings re-read and the configuration
// initialisations, run in-process against INI files in a sandbox.
#include "daemon/settings.h"

#include <gtest/gtest.h>

#include <map>

#include "harness.h"
#include "lib/config.h"
#include "lib/logger.h"

using namespace rpdtest;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  Sandbox box;
  char cwd_[4096];

  void SetUp() override {
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    box.unsetEnv("VXDIR");
    snprintf(g_master_ini, sizeof g_master_ini, "%s", box.masterIni().c_str());
    g_settings = ReplicationSettings();
    g_optionSettings = ReplicationSettings();
    g_overrideMask[0] = g_overrideMask[1] = 0;
    g_masterIniMtime = 0;
  }
  void TearDown() override {
    log_level = 0;
    if (chdir(cwd_) != 0) ADD_FAILURE() << "chdir back failed";
  }

  // Writes master.ini with a modification time later than any before.
  void writeMaster(const std::string &text) {
    static time_t stamp = time(nullptr);
    stamp += 10;
    replaceFile(box.masterIni(), text, stamp);
  }
};

// A setting by its name, as text.
std::string setting(const std::string &name) {
  const ReplicationSettings &g = g_settings;
  const std::map<std::string, std::string> all = {
      {"SyncTo", g.SyncTo},
      {"TimeDelay", std::to_string(g.TimeDelay)},
      {"MaxConcurrent", std::to_string(g.MaxConcurrent)},
      {"QueueScheme", std::to_string(g.QueueScheme)},
      {"RetryCount", std::to_string(g.RetryCount)},
      {"Checkpoint", std::to_string(g.Checkpoint)},
      {"LocalBlockElimination", std::to_string(g.LocalBlockElimination)},
      {"BlockEliminationType", std::to_string(g.BlockEliminationType)},
      {"BlockEliminationCandidate", std::to_string(g.BlockEliminationCandidate)},
      {"MaxBlocks", std::to_string(g.MaxBlocks)},
      {"MetaSize", std::to_string(g.MetaSize)},
      {"Cluster", std::to_string(g.Cluster)}};
  auto it = all.find(name);
  return it == all.end() ? "no setting " + name : it->second;
}

TEST_F(SettingsTest, KeysFromTheTableAreReadAndFallBackToTheirDefaults) {
  auto keys = readTable(std::string(RPD_SOURCE_DIR) + "/tests/daemon/data/settings_keys.txt");
  // No file yet: the defaults, with replication disabled, read once.
  g_settings.TimeDelay = 999;
  readReplicationSettings();
  for (const auto &k : keys) EXPECT_EQ(setting(k[2]), k[2] == "MaxConcurrent" ? "0" : k[4]) << k[0];
  g_settings.TimeDelay = 999;
  readReplicationSettings();
  EXPECT_EQ(g_settings.TimeDelay, 999);

  // Appearing: every key read.
  std::string text = "[replication]\nEnabled=yes\n";
  for (const auto &k : keys) text += k[0] + "=" + k[1] + "\n";
  writeMaster(text + "[debugging]\nrpd=3\n");
  readReplicationSettings();
  for (const auto &k : keys) EXPECT_EQ(setting(k[2]), k[3]) << k[0];
  EXPECT_EQ(log_level, 3);

  // Same time, new contents: nothing changes.
  time_t same = mtimeOf(box.masterIni());
  replaceFile(box.masterIni(), "[Replication]\nEnabled=yes\n", same);
  readReplicationSettings();
  EXPECT_EQ(g_settings.TimeDelay, 11);
  // Later time: every key is read again, missing ones fall to defaults.
  replaceFile(box.masterIni(), "[Replication]\nEnabled=yes\n", same + 1);
  readReplicationSettings();
  for (const auto &k : keys) EXPECT_EQ(setting(k[2]), k[4]) << k[0];
}

TEST_F(SettingsTest, OptionsOverrideAndEnablingRulesWin) {
  g_overrideMask[0] = OVERRIDE_SYNCTO | OVERRIDE_TIMEDELAY | OVERRIDE_MAXCONCURRENT | OVERRIDE_MAXBLOCKS;
  g_overrideMask[1] = OVERRIDE_CLUSTER | OVERRIDE_QUEUESCHEME;
  snprintf(g_optionSettings.SyncTo, sizeof g_optionSettings.SyncTo, "optvault");
  g_optionSettings.TimeDelay = 2;
  g_optionSettings.MaxConcurrent = 3;
  g_optionSettings.MaxBlocks = 5;
  g_optionSettings.Cluster = 0;
  g_optionSettings.QueueScheme = 1;
  const std::string common = "SyncTo=inivault\nTimeDelay=40\nMaxConcurrent=9\nMaxBlocks=50\nCluster=1\n"
                             "QueueScheme=2\nMetaSize=64\n";

  writeMaster("[Replication]\nEnabled=true\n" + common);
  readReplicationSettings();
  EXPECT_STREQ(g_settings.SyncTo, "optvault");
  EXPECT_EQ(g_settings.TimeDelay, 2);
  EXPECT_EQ(g_settings.MaxConcurrent, 3);
  EXPECT_EQ(g_settings.MaxBlocks, 5ul);
  EXPECT_EQ(g_settings.Cluster, 0);
  EXPECT_EQ(g_settings.QueueScheme, 1);
  EXPECT_EQ(g_settings.MetaSize, 64);  // no option: always read

  // Secure synchronisation owns the data: no workers, whatever -o said.
  writeMaster("[Replication]\nEnabled=true\n" + common + "[securesync]\nAutoSyncEnabled=true\n");
  readReplicationSettings();
  EXPECT_EQ(g_settings.MaxConcurrent, 0);

  writeMaster("[Replication]\nEnabled=false\n" + common);
  readReplicationSettings();
  EXPECT_EQ(g_settings.MaxConcurrent, 0);

  // Enabled again: the option's value is back.
  writeMaster("[Replication]\nEnabled=true\n" + common);
  readReplicationSettings();
  EXPECT_EQ(g_settings.MaxConcurrent, 3);

  // An empty target forces the queue scheme off, even an option's.
  g_overrideMask[0] = 0;
  writeMaster("[Replication]\nEnabled=true\nSyncTo=\"\"\nQueueScheme=2\n");
  readReplicationSettings();
  EXPECT_STREQ(g_settings.SyncTo, "");
  EXPECT_EQ(g_settings.QueueScheme, 0);
}

TEST_F(SettingsTest, BlockOutPeriodsLengthLimitAndDisabledKeepsOldValue) {
  std::string fits(4094, 'x'), tooLong(4095, 'y');
  writeMaster("[Replication]\nEnabled=true\nBlockOutPeriods=" + fits + "\n");
  readReplicationSettings();
  EXPECT_EQ(std::string(g_settings.BlockOutPeriods), fits);

  writeMaster("[Replication]\nEnabled=true\nBlockOutPeriods=" + tooLong + "\n");
  readReplicationSettings();
  EXPECT_EQ(std::string(g_settings.BlockOutPeriods), "");

  writeMaster("[Replication]\nEnabled=true\nBlockOutPeriods=Mon 08:00-17:00 0\n");
  readReplicationSettings();
  EXPECT_STREQ(g_settings.BlockOutPeriods, "Mon 08:00-17:00 0");

  // Replication disabled: the schedule is not read, the old one stays.
  writeMaster("[Replication]\nEnabled=false\nBlockOutPeriods=other\n");
  readReplicationSettings();
  EXPECT_STREQ(g_settings.BlockOutPeriods, "Mon 08:00-17:00 0");
}

TEST_F(SettingsTest, FullInitialisationDerivesPathsAndExportsThem) {
  setenv("VXDIR", box.vx.c_str(), 1);
  writeFile(box.masterIni(),
            "[Location Information]\nReports-Dir=" + box.root() + "/myreports\nLogs-Dir=N/A\n"
            "[Configuration Options]\nOemName=Test Suite\n[Debugging]\nrpd=4\n");
  snprintf(ghAppName, sizeof ghAppName, "rpd");
  ASSERT_EQ(initGlobals(), 0);
  EXPECT_STREQ(g_appdir, box.vx.c_str());
  EXPECT_EQ(std::string(g_master_ini), box.masterIni());
  EXPECT_EQ(std::string(g_bindir), box.vx + "/bin");
  EXPECT_EQ(std::string(g_xrdir), box.vx + "/vxinit/xresources");
  EXPECT_EQ(std::string(g_listdir), box.vx + "/lists.dir");
  EXPECT_EQ(std::string(g_reportdir), box.root() + "/myreports");
  EXPECT_EQ(std::string(g_logdir), box.vx + "/logs.dir");  // "N/A" counts as missing
  EXPECT_STREQ(g_appname, "Test Suite");
  EXPECT_EQ(log_level, 4);
  for (const char *d : {"profiles.dir", "lists.dir", "info.dir", "logs.dir"})
    EXPECT_TRUE(exists(box.vx + "/" + d)) << d;
  EXPECT_TRUE(exists(box.root() + "/myreports"));
  EXPECT_TRUE(exists(box.vx + "/logs.dir/vx.log"));
  EXPECT_STREQ(getenv("VX_MASTER_INI"), g_master_ini);
  EXPECT_STREQ(getenv("BKUPBIN"), g_bindir);
  EXPECT_STREQ(getenv("VX_XRDIR"), g_xrdir);
  EXPECT_STREQ(getenv("VXDIR"), g_appdir);
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  EXPECT_EQ(std::string(here), box.vx);

  // Without VXDIR, vx.ini decides; "N/A" there means the default.
  unsetenv("VXDIR");
  std::string other = box.root() + "/other";
  writeFile(box.root() + "/etc/default/vx.ini", "[Location Information]\nVXDIR=" + other + "\n");
  ASSERT_EQ(initGlobals(), 0);
  EXPECT_EQ(std::string(g_appdir), other);
  EXPECT_TRUE(exists(other + "/info.dir"));
  writeFile(box.root() + "/etc/default/vx.ini", "[Location Information]\nVXDIR=N/A\n");
  unsetenv("VXDIR");  // the initialisation exported its own
  ASSERT_EQ(initGlobals(), 0);
  EXPECT_EQ(std::string(g_appdir), box.root() + "/usr/vx");

  setenv("VXDIR", ("/" + std::string(300, 'd')).c_str(), 1);
  EXPECT_EQ(initGlobals(), -1);
  unsetenv("VXDIR");
}

TEST_F(SettingsTest, LightInitialisationFromVxIni) {
  std::string ini = box.root() + "/etc/default/vx.ini";
  log_level = 2;
  writeFile(ini, "[Location Information]\nVXDIR=" + box.vx + "\n[debugging]\nrpdtest=6\n");
  // No master.ini yet: vx.ini itself is the settings file.
  EXPECT_EQ(initGlobalsLight("rpdtest", "vx.ini", "/nowhere"), 0);
  EXPECT_EQ(std::string(g_initdir), box.vx + "/vxinit");
  EXPECT_EQ(std::string(g_master_ini), ini);
  EXPECT_EQ(std::string(g_logdir), box.vx + "/logs.dir");
  EXPECT_EQ(std::string(g_bindir), box.vx + "/bin");
  EXPECT_EQ(log_level, 6);

  writeFile(box.masterIni(), "[Replication]\n");
  EXPECT_EQ(initGlobalsLight("other", ini.c_str(), "/nowhere"), 0);
  EXPECT_EQ(std::string(g_master_ini), box.masterIni());
  EXPECT_EQ(log_level, 6);  // no key for "other": the level stays

  writeFile(ini, "[Location Information]\nAPPDIR=" + box.vx + "\n");
  EXPECT_EQ(initGlobalsLight("rpdtest", "vx.ini", "/nowhere"), 0);
  EXPECT_EQ(std::string(g_initdir), box.vx + "/config");

  writeFile(ini, "[Location Information]\n");
  EXPECT_EQ(initGlobalsLight("rpdtest", "vx.ini", "/fallback"), -1);
  EXPECT_STREQ(g_appdir, "/fallback");
}

}  // namespace
