// refresh_support.h: helpers of the refresh and termination tests: a log
// capture, a fake "recipe" command, HaCTAR devices in the catalogue, and
// settings that each test restores.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "daemon/settings.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "support/fixture.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace rpd::test {


// A catalogue per test plus a sandbox with a bin directory (g_bindir) and
// a device directory that the catalogue names as the backups' device, so
// HaCTAR paths land in the sandbox. The settings record is restored after
// each test.
class RefreshCatalogue : public QueueCatalogue {
 protected:
  void SetUp() override {
    QueueCatalogue::SetUp();
    savedSettings_ = g_settings;
    savedBindir_ = g_bindir;
    bindir_ = sandbox_.mkdirs("bin");
    snprintf(g_bindir, sizeof g_bindir, "%s", bindir_.c_str());
    sandbox_.mkdirs("tmp");  // the logger's fallback file lives here
    device_ = sandbox_.mkdirs("dev/dedup0");
    exec("INSERT INTO vx.devices (dev_name, dev_rw_name) VALUES ('dedup0', '" + device_ + "')");
  }
  void TearDown() override {
    g_settings = savedSettings_;
    snprintf(g_bindir, sizeof g_bindir, "%s", savedBindir_.c_str());
    QueueCatalogue::TearDown();
  }

  // A backup whose fileset sits on the sandbox device.
  long addBackupOnDevice(const BackupSpec &backup) {
    long b = addBackup(backup);
    long fs = number("INSERT INTO vx.filesets (backup_no, tape_drive_name) VALUES (" +
                     std::to_string(b) + ", 'dedup0') RETURNING fileset_no");
    exec("UPDATE vx.backups SET fileset_no = " + std::to_string(fs) +
         " WHERE backup_no = " + std::to_string(b));
    return b;
  }
  std::string hactarFile(long b) const { return device_ + "/hactar_" + std::to_string(b); }

  // Installs bin/recipe as a shell script with the given body ("$2" is the
  // backup number, $DEVICE the device directory).
  void writeRecipe(const std::string &body) {
    std::string path = sandbox_.write("bin/recipe", "#!/bin/sh\nDEVICE='" + device_ + "'\n" + body + "\n");
    chmod(path.c_str(), 0755);
  }

  long syncOf(long b) {
    return number("SELECT sync_status FROM vx.backups WHERE backup_no = " + std::to_string(b));
  }
  void setSync(long b, long sync) {
    exec("UPDATE vx.backups SET sync_status = " + std::to_string(sync) +
         " WHERE backup_no = " + std::to_string(b));
  }

  Sandbox sandbox_{"rpd-refresh"};
  std::string bindir_, device_;
  ReplicationSettings savedSettings_;
  std::string savedBindir_;
};

}  // namespace rpd::test
