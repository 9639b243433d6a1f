// Exported replication metadata documents validated against the document
// format's RELAX NG schema (backup_metadata.rng) by xmllint, for every kind
// of backup the export knows; and the schema itself refusing documents that
// break the format, so that a pass means something.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metadata_fixture.h"
#include "support/process.h"
#include "support/sandbox.h"

using namespace mdtest;
using Names = std::vector<std::string>;

namespace {

std::string n(long v) { return std::to_string(v); }

// Runs xmllint on the document; "" when it is valid, else xmllint's report.
std::string validate(const std::string &xml) {
  rpd::test::Sandbox box("rpd-metadata-doc");
  std::string doc = box.write("doc.xml", xml);
  rpd::test::Run r = rpd::test::run(
      {"xmllint", "--noout", "--relaxng", RPD_SOURCE_DIR "/tests/metadata/backup_metadata.rng", doc});
  if (r.status == 0) return "";
  return "status " + std::to_string(r.status) + ": " + r.out + r.err + "\n" + xml;
}

std::string replace(std::string s, const std::string &from, const std::string &to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(metadataSchema, EveryKindOfExportedDocumentIsValid) {
  ScopedTestDatabase db;
  // Plain file-level backup: exactly the five core groups.
  long node = addNode(db, {.name = "alpha", .properties = 255, .type = 3, .os = 7, .options = 2, .generic = 9});
  long fileInst = addInstance(db, node, 1);
  long plain = addBackup(db, {.node = node, .instance = fileInst, .properties = 0x2001F880L & ~0x4000L});
  std::string xml = exportDoc(plain);
  EXPECT_EQ("", validate(xml));
  EXPECT_EQ((Names{"metadata_version", "systems", "nodes", "application_instances", "backups"}),
            Doc(xml).children());

  // Instance with keys and properties, a snapshot time and a command.
  long oracle = addInstance(db, node, 6, "", {"orcl", "", "k3", "k4"});
  db.exec("INSERT INTO vx.application_properties VALUES (" + n(oracle) + ", 'sid', 'ORCL'), (" + n(oracle) +
          ", 'port', '1521')");
  long withProps = addBackup(db, {.node = node, .instance = oracle, .properties = 0x1100, .type = 2,
                                  .verified = true, .command = "rman <full> & more"});
  db.exec("INSERT INTO vx.backup_snapshots VALUES (" + n(withProps) + ", 1700000999)");
  xml = exportDoc(withProps);
  EXPECT_EQ("", validate(xml));
  EXPECT_EQ((Names{"metadata_version", "systems", "nodes", "application_instances", "application_properties",
                   "backups", "backup_snapshots"}),
            Doc(xml).children());

  // SQL with negative orders.
  long sqlInst = addInstance(db, node, 3, "", {"MSSQL01"});
  long sql = addBackup(db, {.node = node, .instance = sqlInst, .properties = 0x80, .type = 4});
  db.exec("INSERT INTO vx.sql_backups VALUES (" + n(sql) + ", " + n(node) + ", 2, 'MSSQL01', 'sales', -5, 3)");
  xml = exportDoc(sql);
  EXPECT_EQ("", validate(xml));
  EXPECT_EQ("sql_backups", Doc(xml).children().back());

  // VMware with snapshot time, change id and hardware hash.
  long vmInst = addInstance(db, node, 4, "", {"vm-17"});
  long vm = addBackup(db, {.node = node, .instance = vmInst});
  db.exec("INSERT INTO vx.backup_snapshots VALUES (" + n(vm) + ", 1700001234)");
  db.exec("INSERT INTO vx.vmware_snapshots VALUES (" + n(vm) + ", '52 1a 7f')");
  db.exec("INSERT INTO vx.vmware_hardware_hashes VALUES (" + n(vm) + ", 'hh01')");
  xml = exportDoc(vm);
  EXPECT_EQ("", validate(xml));
  EXPECT_EQ((Names{"metadata_version", "systems", "nodes", "application_instances", "backups", "backup_snapshots",
                   "vmware_snapshots", "vmware_hardware_hashes"}),
            Doc(xml).children());

  // NDMP.
  long nasNode = addNode(db, {.name = "filer"});
  addInstance(db, nasNode, 1);
  long nasInst = addInstance(db, nasNode, 8);
  db.exec("INSERT INTO vx.ndmp_nas VALUES (" + n(nasNode) + ", '10.0.0.9', '10000', 'NetApp', '4')");
  xml = exportDoc(addBackup(db, {.node = nasNode, .instance = nasInst}));
  EXPECT_EQ("", validate(xml));
  EXPECT_EQ("NDMP_backups", Doc(xml).children().back());

  // Received from another appliance, then replicated onward.
  long sys = permitSource(db, "origin", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
  long gc = addNode(db, {.name = "gc00000000000000000000000000001", .properties = 255, .gcname = "realname",
                         .systemId = sys});
  addInstance(db, gc, 1, "11111111-2222-4333-8444-555555555555");
  long gcApp = addInstance(db, gc, 6, "66666666-7777-4888-9999-000000000000");
  xml = exportDoc(addBackup(db, {.node = gc, .instance = gcApp, .properties = 0xFFFFFFFFL}));
  EXPECT_EQ("", validate(xml));
  Doc rr(xml);
  EXPECT_EQ((Names{"name", "UUID", "re-replicated-from"}), rr.children("systems"));
  // Every property bit set: only the mask travels, for backup and client.
  EXPECT_EQ("537000064", rr.text("backups/properties"));
  EXPECT_EQ("20", rr.text("nodes/properties"));
}

TEST(metadataSchema, DocumentsBreakingTheFormatAreRefused) {
  ScopedTestDatabase db;
  long node = addNode(db, {.name = "alpha"});
  long inst = addInstance(db, node, 1);
  std::string xml = exportDoc(addBackup(db, {.node = node, .instance = inst, .command = "x"}));
  ASSERT_EQ("", validate(xml));
  // A group out of order, a missing leaf, a foreign version, an identity in
  // upper case, a client property bit that must not travel, a signed
  // number where "%lu" is written.
  std::string backups = xml.substr(xml.find("  <backups>"));
  backups = backups.substr(0, backups.find("</backups>") + 11);
  std::string swapped = replace(xml, backups + "\n", "");
  swapped = replace(swapped, "  <nodes>", backups + "\n  <nodes>");
  const std::string broken[] = {
      swapped,
      replace(xml, "<is_verified>0</is_verified>", ""),
      replace(xml, "<metadata_version>1<", "<metadata_version>2<"),
      replace(xml, "<UUID>" + installId(db), "<UUID>" + std::string(36, 'A')),
      replace(xml, "<properties>0</properties>", "<properties>1</properties>"),
      replace(xml, "<start_time>", "<start_time>-"),
  };
  for (const std::string &doc : broken) {
    ASSERT_NE(xml, doc) << "the edit must change the document";
    EXPECT_NE("", validate(doc)) << doc;
  }
}

}  // namespace
