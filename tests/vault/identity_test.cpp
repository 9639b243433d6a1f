// Backup identities, group ordering and the backup lookups, against a
// fresh copy of the test catalogue.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lib/pghelper.h"
#include "metadata/identity.h"
#include "pipeline/common.h"
#include "support/sandbox.h"
#include "support/catalogue.h"

namespace {

const char kIdentity[] = "6a1f9c2e-4b7d-4e8a-9f3c-2d5e8b1a7c40";

void exec(const std::string &sql) {
  PgResultPtr r(pgExec(sql.c_str()));
  ASSERT_TRUE(r && pgStatus(r.get()) == 0) << sql;
}

long scalar(const std::string &sql) {
  PgResultPtr r(pgExec(sql.c_str()));
  if (!r || pgTuples(r.get()) < 1) return -999;
  return atol(PQgetvalue(pgRawResult(r.get()), 0, 0));
}

// instance 1 has an identity, instance 2 has none.
void addInstances() {
  exec("INSERT INTO vx.application_lookup (app_id, type) VALUES (101, NULL), (102, 'Oracle')");
  exec(std::string("INSERT INTO vx.application_instances (instance_id, app_id, identity) VALUES (1, 101, '") +
       kIdentity + "'), (2, 102, NULL)");
}

void addBackup(long no, long instance, long type, long start, long status, long properties,
               long long tape = 1, long megs = 3) {
  exec("INSERT INTO vx.backups (backup_no, instance_id, type, start_time, status, properties, tape_no, total_megs) "
       "VALUES (" + std::to_string(no) + ", " + std::to_string(instance) + ", " + std::to_string(type) + ", " +
       std::to_string(start) + ", " + std::to_string(status) + ", " + std::to_string(properties) + ", " +
       std::to_string(tape) + ", " + std::to_string(megs) + ")");
}

TEST(identity, UbiIsBuiltFromInstanceStartAndTypeAndResolvesBack) {
  rpd::test::ScopedTestDatabase db;
  rpd::test::SystemSandbox box{"rpd-vault"};
  addInstances();
  addBackup(10, 1, 3, 1700000000, 0x440, 0);
  addBackup(11, 2, 1, 1700000100, 0x440, 0);
  char *ubi = nullptr;
  ASSERT_EQ(0, getUniversalBackupIdentity(10, &ubi));
  ASSERT_NE(nullptr, ubi);
  EXPECT_EQ(std::string(kIdentity) + "_1700000000_3", ubi);
  free(ubi);
  ASSERT_EQ(0, getUniversalBackupIdentity(11, &ubi));  // never replicated
  EXPECT_EQ(nullptr, ubi);
  EXPECT_EQ(-1, getUniversalBackupIdentity(99, &ubi));
  EXPECT_EQ(-1, getUniversalBackupIdentity(0, &ubi));

  // Received backups with that identity: the newest usable one wins; the
  // identity part is compared without regard to case.
  addBackup(20, 1, 3, 1700000000, 0x440, 0x4000);
  addBackup(21, 1, 3, 1700000000, 0x440, 0x4000);
  addBackup(22, 1, 3, 1700000000, 0x8000, 0x4000);            // failed
  addBackup(23, 1, 3, 1700000000, 0x440, 0x4000, 4294967295);  // deleted
  addBackup(24, 1, 3, 1700000000, 0x440, 0);                   // not received
  addBackup(25, 1, 3, 1700000000, 0x440, 0x4000, -1);          // deleted
  uint64_t no = 1;
  std::string upper = std::string(kIdentity) + "_1700000000_3";
  for (auto &c : upper) c = (char)toupper(c);
  ASSERT_EQ(0, UBIstringToBackupNumber(upper.c_str(), &no));
  EXPECT_EQ(21u, no);
  ASSERT_EQ(0, UBIstringToBackupNumber((std::string(kIdentity) + "_1700000000_1").c_str(), &no));
  EXPECT_EQ(0u, no);

  const std::string bad[] = {
      std::string(kIdentity) + "_0_3",          // start time 0
      std::string(kIdentity) + "_1700000000_3x",  // trailing characters
      std::string(kIdentity) + "_1700000000",   // no type
      std::string(kIdentity) + "1700000000_3",  // identity too long
      "6a1f9c2e4b7d-4e8a-9f3c-2d5e8b1a7c40a_1_3",  // not an identity
      "no-underscore",
  };
  for (const auto &t : bad) EXPECT_EQ(-1, UBIstringToBackupNumber(t.c_str(), &no)) << t;
  EXPECT_EQ(-1, UBIstringToBackupNumber(nullptr, &no));
}

TEST(identity, GroupOrderingCountsOrMarksLaterUsableGroupBackups) {
  rpd::test::ScopedTestDatabase db;
  rpd::test::SystemSandbox box{"rpd-vault"};
  addInstances();
  addBackup(1, 1, 1, 100, 0x440, 0);
  addBackup(2, 1, 3, 200, 0x440, 0);
  addBackup(3, 1, 2, 300, 0x440, 0);
  addBackup(4, 1, 4, 400, 0x440, 0);     // type 4: never out of order
  addBackup(5, 1, 1024, 500, 0x440, 0);  // type 1024: never out of order
  addBackup(6, 1, 3, 600, 0x1000, 0);    // failed already
  addBackup(7, 1, 3, 700, 0x440, 0, 4294967295);  // deleted
  addBackup(8, 2, 3, 800, 0x440, 0);     // another instance
  addBackup(9, 1, 3, 900, 0x440, 0, -1);  // deleted
  exec("INSERT INTO vx.backup_msg (backup_no, messages) VALUES (2, 'done.\n'), (3, '')");

  EXPECT_EQ(2, enforceGroupOrdering(1, 150, 0));
  EXPECT_EQ(0x440, scalar("SELECT status FROM vx.backups WHERE backup_no = 2"));
  EXPECT_EQ(0, enforceGroupOrdering(1, 1000, 1));

  EXPECT_EQ(0, enforceGroupOrdering(1, 150, 1));
  EXPECT_EQ(5184, scalar("SELECT status FROM vx.backups WHERE backup_no = 2"));
  EXPECT_EQ(5184, scalar("SELECT status FROM vx.backups WHERE backup_no = 3"));
  EXPECT_EQ(0x440, scalar("SELECT status FROM vx.backups WHERE backup_no = 1"));
  EXPECT_EQ(0x440, scalar("SELECT status FROM vx.backups WHERE backup_no = 4"));
  EXPECT_EQ(1, scalar("SELECT count(*) FROM vx.backup_msg WHERE backup_no = 2 AND "
                      "messages = E'done.\\nMark backup as failed, out of order.\\n'"));
  // Marked backups no longer count.
  EXPECT_EQ(0, enforceGroupOrdering(1, 150, 0));
}

TEST(identity, GeneratedIdentitiesHaveTheIdentityForm) {
  char buf[37];
  ASSERT_EQ(0, genUUID(buf, sizeof buf));
  EXPECT_TRUE(isUUIDString(buf));
  for (const char *c = buf; *c; c++) EXPECT_FALSE(isupper((unsigned char)*c));
  char other[37];
  ASSERT_EQ(0, genUUID(other, sizeof other));
  EXPECT_STRNE(buf, other);
  EXPECT_EQ(-1, genUUID(buf, 36));
  EXPECT_FALSE(isUUIDString("ZZZZZZZZ-ZZZZ-ZZZZ-ZZZZ-ZZZZZZZZZZZZ"));  // hexadecimal digits only
  EXPECT_FALSE(isUUIDString("6a1f9c2e-4b7d-4e8a-9f3c2-d5e8b1a7c40"));
  EXPECT_FALSE(isUUIDString("6a1f9c2e-4b7d-4e8a-9f3c-2d5e8b1a7c4"));
}

TEST(backupLookups, StatusTypeNameSizeAndFailSwitch) {
  rpd::test::ScopedTestDatabase db;
  rpd::test::SystemSandbox box{"rpd-vault"};
  addInstances();
  addBackup(30, 1, 4097, 100, 0x440, 0x600, 1, 5);
  addBackup(31, 2, 1034, 100, 0x200, 0, 1, 2);
  uint64_t status = 0, props = 0;
  ASSERT_EQ(0, checkBackupStatus(30, &status, &props));
  EXPECT_EQ(0x440u, status);
  EXPECT_EQ(0x600u, props);
  EXPECT_EQ(-1, checkBackupStatus(99, &status, &props));
  box.master("[Replication]\nfailCheckStatus=1\n");
  EXPECT_EQ(-1, checkBackupStatus(30, &status, &props));
  box.master("[Replication]\n");

  char name[64];
  ASSERT_EQ(0, getBackupTypeName(30, name, sizeof name));
  EXPECT_STREQ("Generic Incr", name);
  ASSERT_EQ(0, getBackupTypeName(31, name, sizeof name));
  EXPECT_STREQ("Oracle Full", name);
  EXPECT_EQ(-1, getBackupTypeName(99, name, sizeof name));

  EXPECT_EQ(4097, getBackupType(30));
  EXPECT_EQ(-1, getBackupType(99));
  EXPECT_EQ(5u, getBackupMegs(30));
  EXPECT_EQ(0u, getBackupMegs(99));
  EXPECT_EQ(5u * 1048576 + 512, estimateHactarSize(30, 1));
  EXPECT_EQ(0u, estimateHactarSize(99, 1));
}

}  // namespace
