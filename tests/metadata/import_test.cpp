// Importing replication metadata documents: the rows a document becomes,
// the three import modes, group ordering, and refusals that leave the
// catalogue as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lib/pghelper.h"
#include "metadata/replication.h"
#include "metadata_fixture.h"

using namespace mdtest;

namespace {

std::string n(long v) { return std::to_string(v); }

long importDoc(const std::string &doc, long device, int mark = 0) {
  long backupNo = 0;
  int rc = importReplicationMetadata(doc.c_str(), device, &backupNo, mark);
  EXPECT_EQ(0, rc);
  EXPECT_GT(backupNo, 0);
  return rc == 0 ? backupNo : 0;
}

// 0 when refused; the backup number handed back otherwise.
long refused(const std::string &doc, long device, int mark = 0) {
  long backupNo = 12345;
  EXPECT_EQ(-1, importReplicationMetadata(doc.c_str(), device, &backupNo, mark)) << doc;
  return backupNo;
}

std::string backupRow(ScopedTestDatabase &db, long b) {
  return db.value("SELECT concat_ws('|', node_no, instance_id, properties, type, start_time, total_megs, "
                  "verify_after, is_verified, x_command_short, status, exit_code, tape_no, operator_name, "
                  "multivolume, sync_status) FROM vx.backups WHERE backup_no = " + n(b));
}

TEST(importMetadata, RoundTripIntoAnotherApplianceAndBackToTheSource) {
  ScopedTestDatabase src;
  long node = addNode(src, {.name = "alpha", .properties = 0x15, .type = 3, .os = 7, .options = 2, .generic = 9});
  addInstance(src, node, 1);
  long oracle = addInstance(src, node, 6, "", {"orcl", "", "k3"});
  src.exec("INSERT INTO vx.application_properties VALUES (" + n(oracle) + ", 'sid', 'ORCL')");
  long b1 = addBackup(src, {.node = node, .instance = oracle, .properties = 0x1100, .type = 1, .startTime = 1000000,
                            .totalMegs = 77, .verifyAfter = 1, .verified = true, .command = "nightly it's"});
  src.exec("INSERT INTO vx.backup_snapshots VALUES (" + n(b1) + ", 999)");
  long sqlInst = addInstance(src, node, 3);
  long b2 = addBackup(src, {.node = node, .instance = sqlInst, .properties = 0x80, .type = 4});
  src.exec("INSERT INTO vx.sql_backups VALUES (" + n(b2) + ", " + n(node) + ", 2, 'MSSQL01', 'sales', -5, 3)");
  long vmInst = addInstance(src, node, 4);
  long b3 = addBackup(src, {.node = node, .instance = vmInst});
  src.exec("INSERT INTO vx.vmware_snapshots VALUES (" + n(b3) + ", '52 1a')");
  src.exec("INSERT INTO vx.vmware_hardware_hashes VALUES (" + n(b3) + ", 'hh01')");
  long filer = addNode(src, {.name = "filer"});
  addInstance(src, filer, 1);
  long b4 = addBackup(src, {.node = filer, .instance = addInstance(src, filer, 8)});
  src.exec("INSERT INTO vx.ndmp_nas VALUES (" + n(filer) + ", '10.0.0.9', '10000', 'NetApp', '4')");
  std::vector<std::string> docs = {exportDoc(b1), exportDoc(b2), exportDoc(b3), exportDoc(b4)};
  const std::string srcId = installId(src);
  const std::string fileLevel = src.value("SELECT identity FROM vx.application_instances WHERE app_id = 1 "
                                          "AND node_no = " + n(node));

  ScopedTestDatabase dst;
  useDatabase(dst);
  long dev = addDevice(dst, 42);
  std::string upper = srcId;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  long sys = permitSource(dst, "appliance", upper);  // identities compare without case
  std::vector<long> got;
  for (const auto &d : docs) got.push_back(importDoc(d, dev));
  ASSERT_EQ(4u, got.size());

  // One grandclient per client, named by serial, its real name in gcname.
  EXPECT_EQ("gc" + std::string(28, '0') + "1|3|7|52|2|9|" + n(sys),
            dst.value("SELECT concat_ws('|', node_name, type, os, properties, options, generic_property, "
                      "system_id) FROM vx.nodes WHERE gcname = 'alpha'"));
  long gc = (long)dst.number("SELECT node_no FROM vx.nodes WHERE gcname = 'alpha'");
  EXPECT_EQ(fileLevel, dst.value("SELECT identity FROM vx.application_instances WHERE app_id = 1 AND node_no = " +
                                 n(gc)));
  long gcOracle = (long)dst.number("SELECT instance_id FROM vx.backups WHERE backup_no = " + n(got[0]));
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"6", "orcl", "<null>", "k3", "<null>"}}),
            dst.rows("SELECT app_id, key1, key2, key3, key4 FROM vx.application_instances WHERE instance_id = " +
                     n(gcOracle)));
  EXPECT_EQ(src.value("SELECT identity FROM vx.application_instances WHERE instance_id = " + n(oracle)),
            dst.value("SELECT identity FROM vx.application_instances WHERE instance_id = " + n(gcOracle)));
  EXPECT_EQ("sid=ORCL", dst.value("SELECT prop_key || '=' || prop_value FROM vx.application_properties WHERE "
                                  "instance_id = " + n(gcOracle)));
  EXPECT_EQ("1,3,4,6", dst.value("SELECT string_agg(app_id::text, ',' ORDER BY app_id) FROM vx.node_applications "
                                 "WHERE node_no = " + n(gc)));

  // The backup rows: properties gain 0x4000, the rest copied or fixed.
  EXPECT_EQ(n(gc) + "|" + n(gcOracle) + "|20480|1|1000000|77|1|t|nightly it's|512|15|42|root|1|0",
            backupRow(dst, got[0]));
  EXPECT_EQ("42|disk42|file|1000000|1", dst.value("SELECT concat_ws('|', f.tape_no, f.tape_drive_name, "
                                                  "f.data_format, f.start_time, f.vol_no) FROM vx.filesets f JOIN "
                                                  "vx.backups b USING(fileset_no) WHERE b.backup_no = " +
                                                  n(got[0])));
  EXPECT_EQ("Replicated backup from source appliance " + srcId + "\n",
            dst.value("SELECT comment FROM vx.backup_msg WHERE backup_no = " + n(got[0])));
  EXPECT_EQ("999", dst.value("SELECT snapshot_time FROM vx.backup_snapshots WHERE backup_no = " + n(got[0])));
  EXPECT_EQ("Replicated backup from appliance",
            dst.value("SELECT x_command_short FROM vx.backups WHERE backup_no = " + n(got[1])));
  EXPECT_EQ(n(gc) + "|2|MSSQL01|sales|-5|3",
            dst.value("SELECT concat_ws('|', node_no, sql_type, server_instance_name, database_name, "
                      "group_file_order, file_order_no) FROM vx.sql_backups WHERE sql_ref = " + n(got[1])));
  EXPECT_EQ("52 1a|hh01", dst.value("SELECT s.change_id || '|' || h.hardware_hash FROM vx.vmware_snapshots s "
                                    "JOIN vx.vmware_hardware_hashes h USING(backup_no) WHERE backup_no = " +
                                    n(got[2])));
  EXPECT_EQ("NetApp|127.0.0.1", dst.value("SELECT vendor || '|' || address FROM vx.ndmp_nas n JOIN vx.backups b "
                                          "USING(node_no) WHERE b.backup_no = " + n(got[3])));

  // Back to the appliance that made it: the same client and instance, the
  // backup marked imported, the message naming the re-replicating system.
  std::string again = exportDoc(got[0]);
  const std::string dstId = installId(dst);
  useDatabase(src);
  long home = importDoc(again, addDevice(src, 7));
  EXPECT_EQ(n(node) + "|" + n(oracle) + "|20512|1|1000000|77|1|t|nightly it's|512|15|7|root|1|0",
            backupRow(src, home));  // 0x1000 | 0x4000 | 0x4020
  // The received copy names its source as the other side recorded it.
  EXPECT_EQ("Replicated backup from source appliance " + upper + "\nRe-replicated from appliance " + dstId + "\n",
            src.value("SELECT comment FROM vx.backup_msg WHERE backup_no = " + n(home)));
  EXPECT_EQ(1, src.number("SELECT count(*) FROM vx.nodes WHERE node_name = 'alpha'"));
}

TEST(importMetadata, GrandclientIsUpdatedOnlyForANewNameOrEncryptionBit) {
  ScopedTestDatabase db;
  long dev = addDevice(db, 5);
  long sys = permitSource(db, "origin", kSourceUuid);
  long b1 = importDoc(makeDoc({}), dev);
  const std::string gcNode = "SELECT concat_ws('|', gcname, properties) FROM vx.nodes WHERE system_id = " + n(sys);
  EXPECT_EQ("carol|48", db.value(gcNode));  // 0x10 | 0x20
  db.exec("UPDATE vx.nodes SET properties = 49");  // a local bit: survives unless updated

  importDoc(makeDoc({.startTime = 1700000100}), dev);
  EXPECT_EQ("carol|49", db.value(gcNode));
  importDoc(makeDoc({.nodeProperties = 0x14, .startTime = 1700000200}), dev);
  EXPECT_EQ("carol|52", db.value(gcNode));
  importDoc(makeDoc({.client = "caroline", .nodeProperties = 0x14, .startTime = 1700000300}), dev);
  EXPECT_EQ("caroline|52", db.value(gcNode));
  // The same document twice: two backups (nothing later than it exists).
  long last = importDoc(makeDoc({.client = "caroline", .nodeProperties = 0x14, .startTime = 1700000300}), dev);
  EXPECT_EQ(5, db.number("SELECT count(*) FROM vx.backups WHERE instance_id = (SELECT instance_id FROM "
                         "vx.backups WHERE backup_no = " + n(b1) + ")"));
  EXPECT_EQ(1, db.number("SELECT count(*) FROM vx.nodes"));
  EXPECT_EQ(2, db.number("SELECT count(*) FROM vx.application_instances"));
  EXPECT_EQ(5, db.number("SELECT count(DISTINCT fileset_no) FROM vx.filesets"));
  EXPECT_GT(last, b1);
}

TEST(importMetadata, OlderBackupIsRefusedOrMarksTheLaterOnesFailed) {
  ScopedTestDatabase db;
  long dev = addDevice(db, 5);
  permitSource(db, "origin", kSourceUuid);
  long later = importDoc(makeDoc({.startTime = 2000}), dev);
  db.exec("UPDATE vx.backups SET status = 1088");  // 0x440: finished; usable
  std::string before = importedRows(db);
  EXPECT_EQ(-1, refused(makeDoc({.startTime = 1000}), dev, 0));
  EXPECT_EQ(before, importedRows(db));

  long older = importDoc(makeDoc({.startTime = 1000}), dev, 1);
  EXPECT_NE(later, older);
  EXPECT_EQ(5184, db.number("SELECT status FROM vx.backups WHERE backup_no = " + n(later)));
  EXPECT_NE(std::string::npos, db.value("SELECT messages FROM vx.backup_msg WHERE backup_no = " + n(later))
                                   .find("Mark backup as failed, out of order.\n"));
  // Another instance is not held back by this one's later backups.
  importDoc(makeDoc({.instance = "99999999-7777-4888-9999-000000000000", .startTime = 500}), dev);
}

TEST(importMetadata, DisasterRecoveryStartUsesTheApplianceOwnClient) {
  ScopedTestDatabase db;
  long dev = addDevice(db, 5);
  long qru = addNode(db, {.name = "qru", .options = 1});
  addNode(db, {.name = "gc-like", .properties = 32, .options = 1});
  long meta = addInstance(db, qru, 9);
  const std::string pending = "INSERT INTO vx.operation_status (subsystem, status, description) VALUES "
                              "('Disaster Recovery', 'pending', 'Begin Disaster Recovery, initial system "
                              "metadata restore') RETURNING operation_id";
  DocSpec dr{.sourceName = "old-box", .appId = 9, .appType = "System Metadata", .type = 1038};

  long op = (long)db.number(pending);
  DocSpec wrongApp = dr;
  wrongApp.appType = "Oracle";
  EXPECT_EQ(0, refused(makeDoc(wrongApp), dev));
  EXPECT_EQ(0, db.number("SELECT count(*) FROM vx.operation_status"));  // the failed start is withdrawn
  EXPECT_EQ(0, db.number("SELECT count(*) FROM vx.backups"));

  op = (long)db.number(pending);
  long b = importDoc(makeDoc(dr), dev);
  EXPECT_EQ("done", db.value("SELECT status FROM vx.operation_status WHERE operation_id = " + n(op)));
  EXPECT_EQ(kInstanceUuid, db.value("SELECT identity FROM vx.application_instances WHERE instance_id = " + n(meta)));
  EXPECT_EQ(n(qru) + "|" + n(meta) + "|20480|1038",
            db.value("SELECT concat_ws('|', node_no, instance_id, properties, type) FROM vx.backups WHERE "
                     "backup_no = " + n(b)));
  // Without a pending start the same document is someone else's backup.
  refused(makeDoc(dr), dev);
  // With one, a different identity than the instance now has is refused.
  db.number(pending);
  dr.instance = "77777777-7777-4888-9999-000000000000";
  refused(makeDoc(dr), dev);
  EXPECT_EQ(1, db.number("SELECT count(*) FROM vx.backups"));
}

TEST(importMetadata, RefusedDocumentsLeaveTheCatalogueUnchanged) {
  ScopedTestDatabase db;
  long dev = addDevice(db, 5);
  permitSource(db, "origin", kSourceUuid);
  // A local client that this appliance backed up itself.
  long local = addNode(db, {.name = "direct"});
  addInstance(db, local, 1, "22222222-2222-4333-8444-555555555555");
  std::string before = importedRows(db);

  std::vector<std::string> bad = {
      "this is not XML",
      "<?xml version=\"1.0\"?><other><metadata_version>1</metadata_version></other>",
      makeDoc({.drop = {"UUID"}}),
      makeDoc({.sourceUuid = "12345678-0000-4000-8000-000000000000"}),  // not permitted
      makeDoc({.drop = {"os"}}),                                          // fails creating the grandclient
      makeDoc({.command = "", .drop = {"is_verified"}}),                  // fails after the grandclient
      makeDoc({.drop = {"app_type"}}),
      makeDoc({.backupProperties = 0x80, .extra = "<sql_backups><server_instance_name>S</server_instance_name>"
                                                  "<database_name>d</database_name></sql_backups>"}),
      makeDoc({.sourceUuid = installId(db), .fileLevel = "22222222-2222-4333-8444-555555555555"}),  // unknown
      makeDoc({.sourceUuid = installId(db)}),  // source's own backup of an unknown client
  };
  std::string typo = makeDoc({});
  typo.replace(typo.find("<start_time>1700000000"), 22, "<start_time>17000x0000");
  bad.push_back(typo);
  for (const auto &doc : bad) {
    EXPECT_EQ(0, refused(doc, dev));
    EXPECT_EQ(before, importedRows(db)) << doc;
  }

  long scsi = addDevice(db, 6, true), gone = addDevice(db, 7, false, true);
  std::string fromElsewhere = makeDoc({});
  before = importedRows(db);
  for (long device : {scsi, gone, dev + 100, 0L}) refused(fromElsewhere, device);
  long out = 0;
  EXPECT_EQ(-1, importReplicationMetadata(nullptr, dev, &out, 0));
  EXPECT_EQ(-1, importReplicationMetadata(fromElsewhere.c_str(), dev, nullptr, 0));
  EXPECT_EQ(before, importedRows(db));
}

TEST(importMetadata, SourceDeviceAndCommandDefaultsAndCallerTransaction) {
  ScopedTestDatabase db;
  long given = addDevice(db, 5), own = addDevice(db, 55);
  permitSource(db, "origin", kSourceUuid, own);
  long b = importDoc(makeDoc({.command = ""}), given);
  EXPECT_EQ("55|Replicated backup from origin",
            db.value("SELECT tape_no || '|' || x_command_short FROM vx.backups WHERE backup_no = " + n(b)));
  EXPECT_EQ("Replicated backup from source origin " + std::string(kSourceUuid) + "\n",
            db.value("SELECT comment FROM vx.backup_msg WHERE backup_no = " + n(b)));

  // Inside a caller's transaction the import is a savepoint: the caller's
  // rollback takes it away, and a failed import leaves the caller's work.
  std::string before = importedRows(db);
  int outer = 0;
  ASSERT_EQ(0, pgPushTransaction(&outer));
  PgResultPtr mine(pgExec("INSERT INTO vx.dirs (dname) VALUES ('/mine')"));
  ASSERT_TRUE(mine);
  importDoc(makeDoc({.startTime = 1800000000}), given);
  refused(makeDoc({.client = "someone-else", .drop = {"os"}}), given);
  EXPECT_EQ(1, pgInTransaction());
  PgResultPtr seen(pgExec("SELECT count(*) AS n FROM vx.dirs WHERE dname = '/mine'"));
  EXPECT_EQ(1, pgLVal(seen.get(), 0, "n"));
  ASSERT_EQ(0, pgPopTransaction(0, outer));
  EXPECT_EQ(before, importedRows(db));
}

}  // namespace
