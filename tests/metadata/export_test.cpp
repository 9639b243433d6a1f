// The replication metadata document written from catalogue rows: element
// order and conditions, property masks, identities and their races.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lib/pghelper.h"
#include "metadata/identity.h"
#include "metadata/replication.h"
#include "metadata_fixture.h"

using namespace mdtest;
using Names = std::vector<std::string>;

namespace {

std::string n(long v) { return std::to_string(v); }

TEST(exportMetadata, FileLevelBackupHasTheCoreGroupsAndKeepsItsNewIdentities) {
  ScopedTestDatabase db;
  long node = addNode(db, {.name = "alpha", .properties = 255, .type = 3, .os = 7, .options = 2, .generic = 9});
  long inst = addInstance(db, node, 1);
  long b = addBackup(db, {.node = node, .instance = inst, .properties = 0xFFFFBFFFL, .type = 1,
                          .startTime = 1700000123, .totalMegs = 4096, .verifyAfter = 1, .verified = true,
                          .command = "backup /home & <etc>"});
  std::string xml = exportDoc(b);
  Doc d(xml);
  ASSERT_TRUE(d.parsed()) << xml;
  EXPECT_EQ(0u, xml.rfind("<?xml version=\"1.0\"?>\n<backup_metadata>\n  <metadata_version>1<", 0)) << xml;
  EXPECT_EQ((Names{"metadata_version", "systems", "nodes", "application_instances", "backups"}), d.children());
  EXPECT_EQ((Names{"name", "UUID"}), d.children("systems"));
  EXPECT_EQ("appliance", d.text("systems/name"));
  EXPECT_EQ(installId(db), d.text("systems/UUID"));

  EXPECT_EQ((Names{"node_name", "file-level-uuid", "type", "os", "properties", "generic_property", "options"}),
            d.children("nodes"));
  EXPECT_EQ("alpha", d.text("nodes/node_name"));
  EXPECT_EQ("3", d.text("nodes/type"));
  EXPECT_EQ("7", d.text("nodes/os"));
  EXPECT_EQ("20", d.text("nodes/properties"));  // only the bits 0x4 and 0x10 travel
  EXPECT_EQ("9", d.text("nodes/generic_property"));
  EXPECT_EQ("2", d.text("nodes/options"));
  std::string fileLevel = d.text("nodes/file-level-uuid");
  EXPECT_TRUE(isUUIDString(fileLevel.c_str())) << fileLevel;
  EXPECT_EQ(fileLevel, db.value("SELECT identity FROM vx.application_instances WHERE instance_id = " + n(inst)));

  EXPECT_EQ((Names{"instance-uuid", "app_id", "app_type"}), d.children("application_instances"));
  EXPECT_EQ(fileLevel, d.text("application_instances/instance-uuid"));  // the file-level instance itself
  EXPECT_EQ("1", d.text("application_instances/app_id"));
  EXPECT_EQ("File Level", d.text("application_instances/app_type"));

  EXPECT_EQ((Names{"properties", "type", "start_time", "total_megs", "verify_after", "is_verified",
                   "x_command_short"}),
            d.children("backups"));
  // Every bit but 0x4000 (received): 0x2001F880 without it.
  EXPECT_EQ("536983680", d.text("backups/properties"));
  EXPECT_EQ("1700000123", d.text("backups/start_time"));
  EXPECT_EQ("4096", d.text("backups/total_megs"));
  EXPECT_EQ("1", d.text("backups/verify_after"));
  EXPECT_EQ("1", d.text("backups/is_verified"));
  EXPECT_EQ("backup /home & <etc>", d.text("backups/x_command_short"));

  // The stored identities are reused: the next export is the same document.
  EXPECT_EQ(xml, exportDoc(b));
}

TEST(exportMetadata, OptionalGroupsFollowTheRecordsAndTheApplicationType) {
  ScopedTestDatabase db;
  const std::string fileLevel = "0f1e2d3c-4b5a-4678-9abc-def012345678";
  long node = addNode(db, {.name = "beta"});
  addInstance(db, node, 1, fileLevel);
  long oracle = addInstance(db, node, 6, "", {"orcl", "", "k3"});
  db.exec("INSERT INTO vx.application_properties VALUES (" + n(oracle) + ", 'sid', 'ORCL'), (" + n(oracle) +
          ", 'port', NULL)");
  long incr = addBackup(db, {.node = node, .instance = oracle, .properties = 0x1100, .type = 2});
  db.exec("INSERT INTO vx.backup_snapshots VALUES (" + n(incr) + ", 1700000999)");
  db.exec("INSERT INTO vx.vmware_snapshots VALUES (" + n(incr) + ", 'not-vmware')");  // ignored: not VMware
  Doc d(exportDoc(incr));
  EXPECT_EQ((Names{"metadata_version", "systems", "nodes", "application_instances", "application_properties",
                   "backups", "backup_snapshots"}),
            d.children());
  EXPECT_EQ(fileLevel, d.text("nodes/file-level-uuid"));
  std::string instUuid = d.text("application_instances/instance-uuid");
  EXPECT_TRUE(isUUIDString(instUuid.c_str()));
  EXPECT_NE(fileLevel, instUuid);
  EXPECT_EQ(instUuid, db.value("SELECT identity FROM vx.application_instances WHERE instance_id = " + n(oracle)));
  EXPECT_EQ((Names{"instance-uuid", "app_id", "app_type", "key1", "key3"}), d.children("application_instances"));
  EXPECT_EQ("Oracle", d.text("application_instances/app_type"));
  EXPECT_EQ("k3", d.text("application_instances/key3"));
  EXPECT_EQ((Names{"kv_pair", "kv_pair"}), d.children("application_properties"));
  EXPECT_EQ((Names{"prop_key", "prop_value"}), d.children("application_properties/kv_pair"));
  EXPECT_EQ("4096", d.text("backups/properties"));  // 0x100 does not travel
  EXPECT_EQ("<absent>", d.text("backups/x_command_short"));
  EXPECT_EQ("1700000999", d.text("backup_snapshots/snapshot_time"));

  long sqlInst = addInstance(db, node, 3);
  long sql = addBackup(db, {.node = node, .instance = sqlInst, .properties = 0x80, .type = 4});
  db.exec("INSERT INTO vx.sql_backups VALUES (" + n(sql) + ", " + n(node) + ", 2, 'MSSQL01', 'sales', -5, 3)");
  Doc s(exportDoc(sql));
  EXPECT_EQ("sql_backups", s.children().back());
  EXPECT_EQ((Names{"server_instance_name", "database_name", "sql_type", "group_file_order", "file_order_no"}),
            s.children("sql_backups"));
  EXPECT_EQ("-5", s.text("sql_backups/group_file_order"));
  EXPECT_EQ("sales", s.text("sql_backups/database_name"));

  long vmInst = addInstance(db, node, 4, "", {"vm-17"});
  long vm = addBackup(db, {.node = node, .instance = vmInst});
  long vmBare = addBackup(db, {.node = node, .instance = vmInst, .startTime = 1700009999});
  db.exec("INSERT INTO vx.vmware_snapshots VALUES (" + n(vm) + ", '52 1a')");
  db.exec("INSERT INTO vx.vmware_hardware_hashes VALUES (" + n(vm) + ", 'hh01')");
  Doc v(exportDoc(vm));
  EXPECT_EQ((Names{"metadata_version", "systems", "nodes", "application_instances", "backups", "vmware_snapshots",
                   "vmware_hardware_hashes"}),
            v.children());
  EXPECT_EQ("52 1a", v.text("vmware_snapshots/change_id"));
  EXPECT_EQ("hh01", v.text("vmware_hardware_hashes/hardware_hash"));
  EXPECT_EQ("backups", Doc(exportDoc(vmBare)).children().back());

  long nasNode = addNode(db, {.name = "filer"});
  addInstance(db, nasNode, 1);
  long nasInst = addInstance(db, nasNode, 8);
  db.exec("INSERT INTO vx.ndmp_nas VALUES (" + n(nasNode) + ", '10.0.0.9', '10000', 'NetApp', '4')");
  Doc nas(exportDoc(addBackup(db, {.node = nasNode, .instance = nasInst})));
  EXPECT_EQ("NDMP_backups", nas.children().back());
  EXPECT_EQ("NetApp", nas.text("NDMP_backups/vendor"));
}

TEST(exportMetadata, ReceivedBackupNamesItsSourceAndThisAppliance) {
  ScopedTestDatabase db;
  const std::string src = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee", fl = "11111111-2222-4333-8444-555555555555",
                    iu = "66666666-7777-4888-9999-000000000000";
  long sys = permitSource(db, "origin", src);
  long node = addNode(db, {.name = "gc00000000000000000000000000001", .properties = 255, .gcname = "realname",
                           .systemId = sys});
  long inst = addInstance(db, node, 1, fl);
  long app = addInstance(db, node, 6, iu);
  long b = addBackup(db, {.node = node, .instance = app, .properties = 0xFFFFFFFFL});
  Doc d(exportDoc(b));
  EXPECT_EQ((Names{"name", "UUID", "re-replicated-from"}), d.children("systems"));
  EXPECT_EQ("origin", d.text("systems/name"));
  EXPECT_EQ(src, d.text("systems/UUID"));
  EXPECT_EQ("appliance", d.text("systems/re-replicated-from/name"));
  EXPECT_EQ(installId(db), d.text("systems/re-replicated-from/UUID"));
  EXPECT_EQ("realname", d.text("nodes/node_name"));
  EXPECT_EQ(fl, d.text("nodes/file-level-uuid"));
  EXPECT_EQ(iu, d.text("application_instances/instance-uuid"));
  EXPECT_EQ("20", d.text("nodes/properties"));
  EXPECT_EQ("537000064", d.text("backups/properties"));  // 0x2001F880

  // A received backup never gets identities made up here.
  char *text = nullptr;
  size_t len = 0;
  db.exec("UPDATE vx.application_instances SET identity = NULL WHERE instance_id = " + n(app));
  EXPECT_EQ(-1, exportReplicationMetadata(b, &text, &len));
  EXPECT_EQ("<null>", db.value("SELECT identity FROM vx.application_instances WHERE instance_id = " + n(app)));
  db.exec("UPDATE vx.application_instances SET identity = '" + iu + "' WHERE instance_id = " + n(app));
  db.exec("UPDATE vx.application_instances SET identity = NULL WHERE instance_id = " + n(inst));
  EXPECT_EQ(-1, exportReplicationMetadata(b, &text, &len));
  db.exec("UPDATE vx.application_instances SET identity = '" + fl + "' WHERE instance_id = " + n(inst));
  db.exec("UPDATE vx.nodes SET gcname = NULL WHERE node_no = " + n(node));
  EXPECT_EQ(-1, exportReplicationMetadata(b, &text, &len));
  db.exec("UPDATE vx.nodes SET gcname = 'realname', system_id = NULL WHERE node_no = " + n(node));
  EXPECT_EQ(-1, exportReplicationMetadata(b, &text, &len));
  EXPECT_EQ(nullptr, text);
}

TEST(exportMetadata, RefusesMissingDeletedAndInstancelessBackups) {
  ScopedTestDatabase db;
  long node = addNode(db, {});
  long inst = addInstance(db, node, 1);
  long good = addBackup(db, {.node = node, .instance = inst});
  long deleted32 = addBackup(db, {.node = node, .instance = inst, .tape = 4294967295LL});
  long deleted = addBackup(db, {.node = node, .instance = inst, .tape = -1});
  long orphan = addBackup(db, {.node = node, .instance = 0});
  char *text = nullptr;
  size_t len = 0;
  EXPECT_EQ(-1, exportReplicationMetadata(0, &text, &len));
  EXPECT_EQ(-1, exportReplicationMetadata(good, nullptr, &len));
  EXPECT_EQ(-1, exportReplicationMetadata(good, &text, nullptr));
  EXPECT_EQ(-1, exportReplicationMetadata(good + 1000, &text, &len));
  EXPECT_EQ(-1, exportReplicationMetadata(deleted32, &text, &len));
  EXPECT_EQ(-1, exportReplicationMetadata(deleted, &text, &len));
  EXPECT_EQ(-1, exportReplicationMetadata(orphan, &text, &len));
  EXPECT_EQ(nullptr, text);
  // A client without a file-level instance cannot be described.
  long bare = addNode(db, {.name = "bare"});
  EXPECT_EQ(-1, exportReplicationMetadata(addBackup(db, {.node = bare, .instance = addInstance(db, bare, 6)}),
                                          &text, &len));
  EXPECT_EQ(0, exportReplicationMetadata(good, &text, &len));
  free(text);
}

// Two processes export the same never-replicated clients at once: both
// must report, and leave stored, one identity per instance. The test holds
// the instance rows locked until both processes wait to store their new
// identity for the first client, so both really race for it.
TEST(exportMetadata, ConcurrentExportsAgreeOnOneStoredIdentity) {
  ScopedTestDatabase db;
  std::vector<long> backups, fileLevel, apps;
  for (int i = 0; i < 12; i++) {
    long node = addNode(db, {.name = "racer" + n(i)});
    fileLevel.push_back(addInstance(db, node, 1));
    apps.push_back(addInstance(db, node, 6));
    backups.push_back(addBackup(db, {.node = node, .instance = apps.back()}));
  }
  pgCloseAll();
  int go[2];
  ASSERT_EQ(0, pipe(go));
  int out[2][2];
  pid_t pids[2];
  for (int c = 0; c < 2; c++) {
    ASSERT_EQ(0, pipe(out[c]));
    pids[c] = fork();
    ASSERT_GE(pids[c], 0);
    if (pids[c] == 0) {
      close(go[1]);
      char byte;
      if (read(go[0], &byte, 1) != 1) _exit(2);
      std::string lines;
      for (long b : backups) {
        char *text = nullptr;
        size_t len = 0;
        if (exportReplicationMetadata(b, &text, &len) != 0) _exit(1);
        Doc d(std::string(text, len));
        free(text);
        lines += d.text("nodes/file-level-uuid") + " " + d.text("application_instances/instance-uuid") + "\n";
      }
      if (write(out[c][1], lines.data(), lines.size()) != (ssize_t)lines.size()) _exit(3);
      _exit(0);
    }
    close(out[c][1]);
  }
  db.exec("BEGIN");
  db.exec("SELECT * FROM vx.application_instances FOR UPDATE");
  ASSERT_EQ(2, write(go[1], "gg", 2));
  const std::string waiting = "SELECT count(*) FROM pg_stat_activity WHERE datname = '" + db.name() +
                              "' AND wait_event_type = 'Lock' AND query LIKE 'UPDATE application_instances%'";
  int polls = 0;
  // Activity statistics are a snapshot per transaction: refresh each poll.
  auto waiters = [&] {
    db.exec("SELECT pg_stat_clear_snapshot()");
    return db.number(waiting);
  };
  while (waiters() < 2 && ++polls < 6000) usleep(5000);
  EXPECT_EQ(2, waiters()) << "both exports should wait for the first client's row";
  db.exec("COMMIT");
  std::string got[2];
  for (int c = 0; c < 2; c++) {
    char buf[4096];
    ssize_t r;
    while ((r = read(out[c][0], buf, sizeof buf)) > 0) got[c].append(buf, (size_t)r);
    close(out[c][0]);
    int status = 0;
    ASSERT_EQ(pids[c], waitpid(pids[c], &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << c << " status " << status;
  }
  close(go[0]);
  close(go[1]);
  std::string stored;
  for (size_t i = 0; i < backups.size(); i++)
    stored += db.value("SELECT identity FROM vx.application_instances WHERE instance_id = " + n(fileLevel[i])) +
              " " + db.value("SELECT identity FROM vx.application_instances WHERE instance_id = " + n(apps[i])) +
              "\n";
  EXPECT_EQ(stored, got[0]);
  EXPECT_EQ(stored, got[1]);
  EXPECT_EQ(std::string::npos, stored.find("<null>"));
}

}  // namespace
