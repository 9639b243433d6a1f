// fixture.h: a fresh catalogue per test and small helpers that make
// nodes, application instances and backups and read rows back, over the
// test database's own connection (not the code under test's).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue.h"

namespace rpd::test {

// Backup status and property bits used by the fixtures.
constexpr long kStatusGood = 0xC40;     // finished, succeeded
constexpr long kStatusFailed = 0x50;    // finished with a failure bit (0x10)
constexpr long kStatusRunning = 0x200;  // in progress, not finished
constexpr long kPropSynthesisCapable = 0x1000;

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

}  // namespace rpd::test
