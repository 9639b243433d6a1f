// fixture.h: catalogue fixture rows: nodes, application instances,
// backups, devices and permitted sources written over the test database's
// own connection (not the code under test's), and a test fixture with a
// fresh catalogue, a node and an instance per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue.h"
#include "daemon/settings.h"
#include "sandbox.h"

namespace rpd::test {

// Backup status and property bits used by the fixtures.
constexpr long kStatusGood = 0xC40;     // finished, succeeded
constexpr long kStatusFailed = 0x50;    // finished with a failure bit (0x10)
constexpr long kStatusRunning = 0x200;  // in progress, not finished
constexpr long kPropSynthesisCapable = 0x1000;

struct NodeRow {
  std::string name = "client";
  long properties = 0, type = 2, os = 5, options = 0, generic = 0;
  std::string gcname;  // "" = NULL
  long systemId = 0;   // 0 = NULL
};
long addNode(ScopedTestDatabase &db, const NodeRow &n);

// An instance of appId on node; identity "" = NULL; keys "" = NULL.
long addInstance(ScopedTestDatabase &db, long node, long appId, const std::string &identity = "",
                 const std::vector<std::string> &keys = {});

struct BackupRow {
  long node = 0, instance = 0;
  long properties = 0, type = 1, startTime = 1700000000, totalMegs = 10, verifyAfter = 0;
  bool verified = false;
  std::string command = "";  // "" = NULL
  long status = 0xC40;
  long long tape = 1;
};
long addBackup(ScopedTestDatabase &db, const BackupRow &b);

// This appliance's install identity.
std::string installId(ScopedTestDatabase &db);
// A D2D device with the given tape number; returns its device_no.
long addDevice(ScopedTestDatabase &db, long tapeNo, bool scsi = false, bool deleted = false);
// A permitted replication source; device 0 = NULL. Returns its system_id.
long permitSource(ScopedTestDatabase &db, const std::string &name, const std::string &identity, long device = 0);

struct BackupSpec {
  long type = 1;
  long status = kStatusGood;
  long properties = kPropSynthesisCapable;
  long startTime = 0;  // 0: 1000 * backup number
  long tapeNo = 1;
  long instanceId = 0;  // 0: the fixture's default instance
  long syncStatus = 0;
  long exitCode = 0;
};

class QueueCatalogue : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs SQL that must succeed (fails the test otherwise).
  void exec(const std::string &sql) { db_.exec(sql); }
  // The rows of a query as text; SQL NULL as "<null>".
  std::vector<std::vector<std::string>> rows(const std::string &sql) { return db_.rows(sql); }
  // The first value of a query ("" when there is no row).
  std::string value(const std::string &sql) { return db_.value(sql); }
  long number(const std::string &sql) { return (long)db_.number(sql); }

  // A new node, an instance of `appId` on it and a backup. Numbers come
  // from the catalogue's sequences unless given.
  long addNode(const std::string &name);
  long addInstance(long nodeNo, long appId = 1, const std::string &key1 = "");
  long addBackup(const BackupSpec &backup, long backupNo = 0);
  // Inserts a queue entry directly.
  void addEntry(long backupNo, const std::string &vault, int status);
  // "backup:status" of every entry of `vault` in position order.
  std::string queueOf(const std::string &vault);

  ScopedTestDatabase db_;
  long node_ = 0;
  long instance_ = 0;
};

// A QueueCatalogue plus a sandbox with a bin directory (g_bindir) for the
// commands rpd runs and a device directory that the catalogue names as
// device "dedup0", so HaCTAR paths land in the sandbox. The settings
// record and g_bindir are restored after each test.
class DeviceCatalogue : public QueueCatalogue {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A backup whose fileset sits on the sandbox device.
  long addBackupOnDevice(const BackupSpec &backup);
  // Installs bin/<name> as a shell script with `body`; $DEVICE is the
  // device directory, $BIN the bin directory, "$2" the recipe's backup.
  void writeCommand(const std::string &name, const std::string &body);
  std::string hactarFile(long b) const { return device_ + "/hactar_" + std::to_string(b); }
  long syncOf(long b);
  void setSync(long b, long sync);

  Sandbox sandbox_{"rpd-device"};
  std::string bindir_, device_;
  ReplicationSettings savedSettings_;
  std::string savedBindir_;
};

}  // namespace rpd::test
