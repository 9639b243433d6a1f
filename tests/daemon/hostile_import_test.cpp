// hostile_import_test.cpp: metadata documents with quotes and backslashes
// in every name are imported with the names stored verbatim; documents
// with crafted identities or an SQL backup without its complete
// sql_backups element are refused and change nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "catalogue.h"
#include "lib/pghelper.h"
#include "metadata/replication.h"

namespace rpd::test {
namespace {

const char kSourceUuid[] = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee";

// A document from a permitted source; %NAME% fields are filled by doc().
const char kTemplate[] =
    "<?xml version=\"1.0\"?>\n<backup_metadata><metadata_version>1</metadata_version>"
    "<systems><name>%SOURCE%</name><UUID>%SOURCE_UUID%</UUID><re-replicated-from><name>%VIA%</name>"
    "<UUID>%VIA_UUID%</UUID></re-replicated-from></systems>"
    "<nodes><node_name>%CLIENT%</node_name><file-level-uuid>%FILE_LEVEL%</file-level-uuid><type>3</type>"
    "<os>7</os><properties>16</properties><generic_property>9</generic_property><options>2</options></nodes>"
    "<application_instances><instance-uuid>%INSTANCE%</instance-uuid><app_id>%APP_ID%</app_id>"
    "<app_type>%APP_TYPE%</app_type><key1>%KEY%1</key1><key2>%KEY%2</key2><key3>%KEY%3</key3>"
    "<key4>%KEY%4</key4></application_instances>"
    "<application_properties><kv_pair><prop_key>%KEY%</prop_key><prop_value>%VALUE%</prop_value></kv_pair>"
    "</application_properties>"
    "<backups><properties>%PROPERTIES%</properties><type>%TYPE%</type><start_time>1700000000</start_time>"
    "<total_megs>77</total_megs><verify_after>1</verify_after><is_verified>1</is_verified>"
    "<x_command_short>%COMMAND%</x_command_short></backups>%EXTRA%</backup_metadata>\n";

// Names that would end a quoted literal, escape its end or comment out
// the rest of a statement if they were pasted as they are.
const std::map<std::string, std::string> kHostileNames = {
    {"SOURCE", "o'ri\\gin"},       {"VIA", "vi'a\\"},
    {"CLIENT", "car'ol\\';--"},    {"KEY", "k\\'ey"},
    {"VALUE", "v'al\\ue''"},       {"COMMAND", "nightly'); DELETE FROM vx.backups;--\\"},
    {"VENDOR", "Net'App\\"},       {"SQL_INSTANCE", "MSSQL'01\\"},
    {"DATABASE", "sa'les\\\\"},
};

std::string doc(std::map<std::string, std::string> fields) {
  std::map<std::string, std::string> all = {
      {"SOURCE_UUID", kSourceUuid}, {"VIA_UUID", "bbbbbbbb-cccc-4ddd-8eee-ffffffffffff"},
      {"FILE_LEVEL", "11111111-2222-4333-8444-555555555555"}, {"INSTANCE", "66666666-7777-4888-9999-000000000000"},
      {"APP_ID", "8"}, {"APP_TYPE", "NDMP Device"}, {"PROPERTIES", "0"}, {"TYPE", "1"}, {"EXTRA", ""}};
  for (const auto &[k, v] : kHostileNames) all[k] = v;
  for (const auto &[k, v] : fields) all[k] = v;
  std::string text = kTemplate;
  for (const auto &[k, v] : all)
    for (size_t at; (at = text.find("%" + k + "%")) != std::string::npos;) text.replace(at, k.size() + 2, v);
  return text;
}

std::string sqlBackups(int children) {
  static const char *const leaves[5] = {"<sql_type>2</sql_type>", "<server_instance_name>%SQL_INSTANCE%"
                                        "</server_instance_name>",
                                        "<database_name>%DATABASE%</database_name>",
                                        "<group_file_order>1</group_file_order>", "<file_order_no>3</file_order_no>"};
  std::string text = "<sql_backups>";
  for (int i = 0; i < children; i++) text += leaves[i];
  text += "</sql_backups>";
  for (const char *k : {"SQL_INSTANCE", "DATABASE"})
    text.replace(text.find(std::string("%") + k + "%"), strlen(k) + 2, kHostileNames.at(k));
  return text;
}

class HostileImport : public ::testing::Test {
 protected:
  ScopedTestDatabase db;
  long device = 0;

  void SetUp() override {
    device = db.number("INSERT INTO vx.devices (dev_name, tape_no, is_scsi, is_deleted) VALUES ('disk1', 1, "
                       "false, false) RETURNING device_no");
    db.exec(std::string("INSERT INTO vx.systems (name, identity, role) VALUES ('origin', '") + kSourceUuid +
            "', 'Replication Source'), ('crafted', 'x'' OR ''1''=''1', 'Replication Source')");
  }
  void TearDown() override { pgCloseAll(); }

  long import(const std::string &text) {
    long backupNo = 0;
    return importReplicationMetadata(text.c_str(), device, &backupNo, 0) == 0 ? backupNo : -1;
  }
  std::string value(const std::string &sql) { return db.value(sql); }

  // Every row of the tables an import writes.
  std::string importedRows() {
    std::string all;
    for (const char *t : {"nodes", "node_applications", "application_instances", "application_properties",
                          "backups", "filesets", "backup_msg", "ndmp_nas", "sql_backups", "dirs"})
      for (const auto &row : db.rows(std::string("SELECT * FROM vx.") + t + " ORDER BY 1")) {
        all += t;
        for (const auto &cell : row) all += "|" + cell;
        all += "\n";
      }
    return all;
  }
};

TEST_F(HostileImport, NamesWithQuotesAndBackslashesAreStoredVerbatim) {
  long b = import(doc({{"EXTRA", "<NDMP_backups><vendor>%VENDOR%</vendor></NDMP_backups>"}}));
  ASSERT_GT(b, 0);
  const std::string where = " WHERE backup_no = " + std::to_string(b);
  const std::string instance = "(SELECT instance_id FROM vx.backups" + where + ")";
  const auto &n = kHostileNames;
  EXPECT_EQ(value("SELECT gcname FROM vx.nodes WHERE node_no = (SELECT node_no FROM vx.backups" + where + ")"),
            n.at("CLIENT"));
  EXPECT_EQ(value("SELECT key1 || '|' || key4 FROM vx.application_instances WHERE instance_id = " + instance),
            n.at("KEY") + "1|" + n.at("KEY") + "4");
  EXPECT_EQ(value("SELECT prop_key || '|' || prop_value FROM vx.application_properties WHERE instance_id = " +
                  instance),
            n.at("KEY") + "|" + n.at("VALUE"));
  EXPECT_EQ(value("SELECT x_command_short FROM vx.backups" + where), n.at("COMMAND"));
  EXPECT_EQ(value("SELECT comment FROM vx.backup_msg" + where),
            "Replicated backup from source " + n.at("SOURCE") + " " + kSourceUuid + "\nRe-replicated from " +
                n.at("VIA") + " bbbbbbbb-cccc-4ddd-8eee-ffffffffffff\n");
  EXPECT_EQ(value("SELECT vendor FROM vx.ndmp_nas"), n.at("VENDOR"));
  EXPECT_EQ(db.number("SELECT count(*) FROM vx.backups"), 1);

  // An SQL backup with its five sql_backups children keeps its names too.
  long s = import(doc({{"APP_ID", "3"}, {"APP_TYPE", "SQL Server"}, {"PROPERTIES", "128"}, {"TYPE", "4"},
                       {"INSTANCE", "77777777-7777-4888-9999-000000000000"}, {"EXTRA", sqlBackups(5)}}));
  ASSERT_GT(s, 0);
  EXPECT_EQ(value("SELECT server_instance_name || '|' || database_name FROM vx.sql_backups WHERE sql_ref = " +
                  std::to_string(s)),
            n.at("SQL_INSTANCE") + "|" + n.at("DATABASE"));
}

TEST_F(HostileImport, CraftedIdentitiesAndIncompleteSqlBackupsChangeNothing) {
  const std::string before = importedRows();
  const std::string sql[] = {"APP_ID", "3", "APP_TYPE", "SQL Server", "PROPERTIES", "128", "TYPE", "4"};
  auto sqlDoc = [&](const std::string &extra) {
    std::map<std::string, std::string> f = {{"EXTRA", extra}};
    for (size_t i = 0; i < 8; i += 2) f[sql[i]] = sql[i + 1];
    return doc(f);
  };
  const std::vector<std::string> refused = {
      doc({{"SOURCE_UUID", "x' OR '1'='1"}}),  // a permitted source row has this "identity"
      doc({{"SOURCE_UUID", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeee\\"}}),
      doc({{"VIA_UUID", "');DELETE FROM vx.backups;--"}}),
      doc({{"FILE_LEVEL", "11111111-2222-4333-8444-55555555555'"}}),
      doc({{"INSTANCE", "') OR identity IS NOT NULL OR ('"}}),
      sqlDoc(""),              // SQL backup without sql_backups
      sqlDoc(sqlBackups(4)),   // ... or with four of its five children
  };
  for (const std::string &text : refused) {
    EXPECT_EQ(import(text), -1) << text;
    EXPECT_EQ(importedRows(), before) << text;
  }
}

}  // namespace
}  // namespace rpd::test
