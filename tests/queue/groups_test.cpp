// Restore and synthesis groups against a real catalogue and its stored
// function vx.vxGetRestoreGroupOptimized.
#include <cstdlib>
#include <string>
#include <vector>

#include "queue/groups.h"
#include "support/fixture.h"

namespace rpd::test {
namespace {

class Groups : public QueueCatalogue {
 protected:
  // The members of the restore group of `b` joined by ","; "error: <text>"
  // when the function refuses.
  std::string restore(long b) {
    RestoreGroupRecord *records = reinterpret_cast<RestoreGroupRecord *>(0x1);
    uint32_t count = 99;
    int rc = vxGetRestoreGroupOptimized(b, &records, &count);
    if (rc != 0) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(records, nullptr);
      EXPECT_EQ(count, 0u);
      return std::string("error: ") + vxGetLastError();
    }
    last_.assign(records, records + count);
    free(records);
    std::string out;
    for (auto &r : last_) out += (out.empty() ? "" : ",") + std::to_string(r.backupNo);
    return out;
  }
  // The synthesis group of `b` as its group text, checked against the
  // number array; "error: <text>" on refusal.
  std::string synthesis(long b, int ignoreDiffs = 0, int ignoreMasters = 0) {
    uint32_t *numbers = reinterpret_cast<uint32_t *>(0x1);
    uint32_t count = 99;
    char *text = reinterpret_cast<char *>(0x1);
    int rc = vxGetSynthesisGroup(b, ignoreDiffs, ignoreMasters, &numbers, &count, &text);
    if (rc != 0) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(numbers, nullptr);
      EXPECT_EQ(count, 0u);
      EXPECT_EQ(text, nullptr);
      return std::string("error: ") + vxGetLastError();
    }
    std::string fromArray;
    for (uint32_t i = 0; i < count; i++)
      fromArray += (i ? "," : "") + std::to_string(numbers[i]);
    std::string out = text;
    EXPECT_EQ(out, fromArray);
    free(numbers);
    free(text);
    return out;
  }
  long appType(const std::string &name, const std::string &type) {
    return number("INSERT INTO vx.application_lookup (name, type) VALUES ('" + name + "', '" +
                  type + "') RETURNING app_id");
  }
  static std::string s(long n) { return std::to_string(n); }
  std::vector<RestoreGroupRecord> last_;
};

TEST_F(Groups, RestoreGroupRefusesWithItsMessages) {
  long sds = addBackup({.properties = 0x1});
  long purged = addBackup({.tapeNo = -1});
  long active = addBackup({.status = kStatusRunning});
  long failedIncr = addBackup({.type = 3, .status = kStatusFailed});
  long failedVmware = addBackup({.type = 12, .status = 0x1040});
  long odd = addBackup({.type = 77});
  long raeApp = appType("UCS", "UCS Service Profile");
  long otherApp = appType("Other", "Something Else");
  long raeInst = addInstance(node_, raeApp, "profile"), otherInst = addInstance(node_, otherApp);
  long raeDiff = addBackup({.type = 4096, .instanceId = raeInst});
  long raeOther = addBackup({.type = 1039, .instanceId = otherInst});

  EXPECT_EQ(restore(sds), "error: SDS backups cannot be restored");
  EXPECT_EQ(restore(purged), "error: Purged backups cannot be restored");
  EXPECT_EQ(restore(active), "error: Active backups cannot be restored");
  EXPECT_EQ(restore(failedIncr), "error: Failed backups of this type cannot be restored");
  EXPECT_EQ(restore(failedVmware), "error: Failed backups of this type cannot be restored");
  EXPECT_EQ(restore(odd), "error: Backup " + s(odd) + " has an unknown or unsupported backup type (77).");
  EXPECT_EQ(restore(raeDiff),
            "error: Backup " + s(raeDiff) + " has an unknown or unsupported backup type (4096).");
  EXPECT_EQ(restore(raeOther),
            "error: Backup " + s(raeOther) + " has an unknown or unsupported backup type (1039).");
  EXPECT_EQ(restore(555555), "error: Backup #555555 not found in database.");
  // SDS is checked before purged, purged before active.
  long both = addBackup({.status = kStatusRunning, .properties = 0x1, .tapeNo = -1});
  EXPECT_EQ(restore(both), "error: SDS backups cannot be restored");

  uint32_t count = 0;
  EXPECT_EQ(vxGetRestoreGroupOptimized(sds, nullptr, &count), -1);
  EXPECT_STREQ(vxGetLastError(), "List and count parameters cannot be null.");
}

TEST_F(Groups, RestoreGroupOfFileLevelBackupsAndItsRecords) {
  long m1 = addBackup({.type = 1});
  long d1 = addBackup({.type = 2, .status = kStatusFailed});
  long m2 = addBackup({.type = 1, .status = kStatusGood | 0x4000});
  long d2 = addBackup({.type = 2, .exitCode = 50});
  long sel = addBackup({.type = 4});
  long bmr = addBackup({.type = 1024});
  long sysmeta = addBackup({.type = 1038});

  // A master's group holds only its own type: itself.
  EXPECT_EQ(restore(m1), s(m1));
  ASSERT_EQ(last_.size(), 1u);
  EXPECT_EQ(last_[0].nodeNo, (uint32_t)node_);
  EXPECT_EQ(last_[0].startTime, (uint64_t)(1000 * m1));
  EXPECT_EQ(last_[0].statusCode, 0u);
  EXPECT_EQ(last_[0].instanceId, (uint32_t)instance_);
  EXPECT_EQ(last_[0].appId, 1u);
  EXPECT_STRNE(last_[0].instanceName, "");

  // A failed differential is not refused, and its member list comes from
  // the base filter, which keeps failed members.
  EXPECT_EQ(restore(d1), s(m1) + "," + s(d1));
  ASSERT_EQ(last_.size(), 2u);
  EXPECT_EQ(last_[1].statusCode, 2u);

  EXPECT_EQ(restore(m2), s(m2));
  EXPECT_EQ(last_[0].statusCode, 1u);  // finished with warnings
  EXPECT_EQ(restore(d2), s(m2) + "," + s(d2));
  EXPECT_EQ(last_[1].statusCode, 1u);  // exit code 50

  EXPECT_EQ(restore(sel), s(sel));
  EXPECT_EQ(restore(bmr), s(bmr));
  EXPECT_EQ(restore(sysmeta), s(sysmeta));
}

TEST_F(Groups, RestoreGroupOfApplicationChainsDropsFailedMembers) {
  long vmInst = addInstance(node_, 1, "vm1");
  BackupSpec vm{.type = 12, .instanceId = vmInst};
  long full = addBackup(vm);
  vm.type = 14;
  long i1 = addBackup(vm);
  vm.status = kStatusFailed;
  long bad = addBackup(vm);
  vm.status = kStatusGood;
  long i2 = addBackup(vm);
  EXPECT_EQ(restore(i2), s(full) + "," + s(i1) + "," + s(i2));
  (void)bad;

  long oraInst = addInstance(node_, 1, "ora");
  long oFull = addBackup({.type = 1034, .instanceId = oraInst});
  long oIncr = addBackup({.type = 1035, .instanceId = oraInst});
  EXPECT_EQ(restore(oIncr), s(oFull) + "," + s(oIncr));

  long exInst = addInstance(node_, 1, "ex");
  long eFull = addBackup({.type = 5, .instanceId = exInst});
  long eDiff = addBackup({.type = 6, .instanceId = exInst});
  EXPECT_EQ(restore(eDiff), s(eFull) + "," + s(eDiff));

  long raeApp = appType("UCS", "UCS Service Profile");
  long raeInst = addInstance(node_, raeApp, "profile");
  long rae = addBackup({.type = 1039, .instanceId = raeInst});
  EXPECT_EQ(restore(rae), s(rae));
  EXPECT_EQ(last_[0].appId, (uint32_t)raeApp);
  EXPECT_STREQ(last_[0].appName, "UCS");
}

TEST_F(Groups, RestoreGroupOfLegacySqlBackupFollowsTheSqlChain) {
  auto sql = [&](int sqlType, int order, const std::string &db, const std::string &server) {
    long b = addBackup({.type = 4, .properties = 0x80 | kPropSynthesisCapable});
    exec("INSERT INTO vx.sql_backups (sql_ref, node_no, sql_type, server_instance_name, "
         "database_name, group_file_order, file_order_no) VALUES (" +
         s(b) + ", " + s(node_) + ", " + std::to_string(sqlType) + ", '" + server + "', '" + db +
         "', 1, " + std::to_string(order) + ")");
    return b;
  };
  long full = sql(1, 1, "Sales", "SRV");
  sql(3, 2, "Sales", "SRV");                 // before the differential: not needed
  long diff = sql(2, 3, "SALES", "srv");     // names compare case-insensitively
  long log1 = sql(3, 4, "sales", "Srv");
  sql(3, 5, "Sales", "SRV");                 // after the requested backup
  sql(1, 1, "Other", "SRV");                 // another database
  EXPECT_EQ(restore(log1), s(full) + "," + s(diff) + "," + s(log1));
  EXPECT_EQ(last_[2].typeCode >> 16, 3u);  // the SQL type rides along
}

TEST_F(Groups, SynthesisGroupFollowsTheLatestMasterOrDifferential) {
  long m1 = addBackup({.type = 1});
  long i1 = addBackup({.type = 3});
  long d1 = addBackup({.type = 2});
  long i2 = addBackup({.type = 3});
  long failed = addBackup({.type = 3, .status = kStatusFailed});
  long i3 = addBackup({.type = 3});
  // Another instance of the same node does not belong to the chain.
  long otherInst = addInstance(node_, 1, "other");
  addBackup({.type = 1, .instanceId = otherInst});

  EXPECT_EQ(synthesis(i1), s(m1) + "," + s(i1));
  // The differential is newer than the master: the group starts there and
  // still carries the master.
  EXPECT_EQ(synthesis(i2), s(m1) + "," + s(d1) + "," + s(i2));
  EXPECT_EQ(synthesis(i3), s(m1) + "," + s(d1) + "," + s(i2) + "," + s(i3));
  (void)failed;

  // A newer master than every differential: master and what follows.
  long m2 = addBackup({.type = 1});
  long i4 = addBackup({.type = 3});
  EXPECT_EQ(synthesis(i4), s(m2) + "," + s(i4));
  EXPECT_EQ(synthesis(m2), s(m2));

  // Synthetic differentials can be left out, also as the chain's start.
  exec("UPDATE vx.backups SET properties = properties | 2048 WHERE backup_no = " + s(d1));
  EXPECT_EQ(synthesis(i2, 1, 0), s(m1) + "," + s(i1) + "," + s(i2));
  EXPECT_EQ(synthesis(i2, 0, 0), s(m1) + "," + s(d1) + "," + s(i2));

  // Only the text may be asked for.
  char *text = nullptr;
  ASSERT_EQ(vxGetSynthesisGroup(i4, 0, 0, nullptr, nullptr, &text), 0);
  EXPECT_EQ(std::string(text), s(m2) + "," + s(i4));
  free(text);

  long vmInst = addInstance(node_, 1, "vm");
  long vf = addBackup({.type = 12, .instanceId = vmInst});
  long vi = addBackup({.type = 14, .instanceId = vmInst});
  EXPECT_EQ(synthesis(vi), s(vf) + "," + s(vi));
}

TEST_F(Groups, SynthesisGroupRefusesWithItsMessages) {
  long failed = addBackup({.type = 3, .status = kStatusFailed});
  long running = addBackup({.type = 3, .status = kStatusRunning});
  long purged = addBackup({.type = 3, .tapeNo = -1});
  long plain = addBackup({.type = 3, .properties = 0});
  long sds = addBackup({.type = 3, .properties = kPropSynthesisCapable | 0x1});
  long sysmeta = addBackup({.type = 1038});
  long exchange = addBackup({.type = 7});

  EXPECT_EQ(synthesis(failed), "error: Input backup was not successful.");
  EXPECT_EQ(synthesis(running), "error: Input backup is not complete.");
  EXPECT_EQ(synthesis(purged), "error: Input backup has been logically deleted.");
  EXPECT_EQ(synthesis(plain), "error: Input backup is not synthesis-capable.");
  EXPECT_EQ(synthesis(sds), "error: Cannot restore SDS backups.");
  EXPECT_EQ(synthesis(sysmeta), "error: Input backup must be a supported type.");
  EXPECT_EQ(synthesis(exchange), "error: Input backup must be a supported type.");
  EXPECT_EQ(synthesis(444444), "error: Invalid backup id: 444444.");
  // The type check comes first: a failed backup of an unsupported type.
  long failedSys = addBackup({.type = 1038, .status = kStatusFailed});
  EXPECT_EQ(synthesis(failedSys), "error: Input backup must be a supported type.");
}

}  // namespace
}  // namespace rpd::test
