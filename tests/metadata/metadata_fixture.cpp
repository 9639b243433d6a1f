// metadata_fixture.cpp: see metadata_fixture.h.
#include "metadata_fixture.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "lib/pghelper.h"
#include "metadata/replication.h"

namespace mdtest {

namespace {

std::string sqlText(const std::string &s) {
  if (s.empty()) return "NULL";
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string orNull(long v) { return v == 0 ? "NULL" : std::to_string(v); }

}  // namespace

Doc::Doc(const std::string &xml) {
  doc_ = xmlReadMemory(xml.data(), (int)xml.size(), "test.xml", nullptr, XML_PARSE_NONET);
}

Doc::~Doc() {
  if (doc_) xmlFreeDoc(doc_);
}

xmlNode *Doc::find(const std::string &path) const {
  xmlNode *n = doc_ ? xmlDocGetRootElement(doc_) : nullptr;
  std::stringstream parts(path);
  std::string part;
  while (n && std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    xmlNode *next = nullptr;
    for (xmlNode *c = n->children; c && !next; c = c->next)
      if (c->type == XML_ELEMENT_NODE && part == (const char *)c->name) next = c;
    n = next;
  }
  return n;
}

std::vector<std::string> Doc::children(const std::string &path) const {
  std::vector<std::string> names;
  xmlNode *n = find(path);
  for (xmlNode *c = n ? n->children : nullptr; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE) names.push_back((const char *)c->name);
  return names;
}

std::string Doc::text(const std::string &path) const {
  xmlNode *n = find(path);
  if (!n) return "<absent>";
  xmlChar *c = xmlNodeGetContent(n);
  std::string s = c ? (const char *)c : "";
  xmlFree(c);
  return s;
}

long addNode(ScopedTestDatabase &db, const NodeRow &n) {
  return (long)db.number(
      "INSERT INTO vx.nodes (node_name, gcname, properties, type, os, options, generic_property, system_id) "
      "VALUES (" + sqlText(n.name) + ", " + sqlText(n.gcname) + ", " + std::to_string(n.properties) + ", " +
      std::to_string(n.type) + ", " + std::to_string(n.os) + ", " + std::to_string(n.options) + ", " +
      std::to_string(n.generic) + ", " + orNull(n.systemId) + ") RETURNING node_no");
}

long addInstance(ScopedTestDatabase &db, long node, long appId, const std::string &identity,
                 const std::vector<std::string> &keys) {
  std::string k[4];
  for (size_t i = 0; i < keys.size() && i < 4; i++) k[i] = keys[i];
  db.exec("INSERT INTO vx.node_applications (node_no, app_id) VALUES (" + std::to_string(node) + ", " +
          std::to_string(appId) + ") ON CONFLICT DO NOTHING");
  return (long)db.number("INSERT INTO vx.application_instances (node_no, app_id, identity, key1, key2, key3, key4) "
                         "VALUES (" + std::to_string(node) + ", " + std::to_string(appId) + ", " + sqlText(identity) +
                         ", " + sqlText(k[0]) + ", " + sqlText(k[1]) + ", " + sqlText(k[2]) + ", " + sqlText(k[3]) +
                         ") RETURNING instance_id");
}

long addBackup(ScopedTestDatabase &db, const BackupRow &b) {
  return (long)db.number(
      "INSERT INTO vx.backups (node_no, instance_id, properties, type, start_time, total_megs, verify_after, "
      "is_verified, x_command_short, status, tape_no) VALUES (" + std::to_string(b.node) + ", " +
      orNull(b.instance) + ", " + std::to_string(b.properties) + ", " + std::to_string(b.type) + ", " +
      std::to_string(b.startTime) + ", " + std::to_string(b.totalMegs) + ", " + std::to_string(b.verifyAfter) +
      ", " + (b.verified ? "true" : "false") + ", " + sqlText(b.command) + ", " + std::to_string(b.status) + ", " +
      std::to_string(b.tape) + ") RETURNING backup_no");
}

std::string installId(ScopedTestDatabase &db) { return db.value("SELECT install_id FROM vx.state"); }

long addDevice(ScopedTestDatabase &db, long tapeNo, bool scsi, bool deleted) {
  return (long)db.number("INSERT INTO vx.devices (dev_name, tape_no, is_scsi, is_deleted) VALUES ('disk" +
                         std::to_string(tapeNo) + "', " + std::to_string(tapeNo) + ", " +
                         (scsi ? "true" : "false") + ", " + (deleted ? "true" : "false") +
                         ") RETURNING device_no");
}

long permitSource(ScopedTestDatabase &db, const std::string &name, const std::string &identity, long device) {
  return (long)db.number("INSERT INTO vx.systems (name, identity, role, device_no) VALUES (" + sqlText(name) + ", " +
                         sqlText(identity) + ", 'Replication Source', " + orNull(device) +
                         ") RETURNING system_id");
}

std::string importedRows(ScopedTestDatabase &db) {
  static const char *const tables[] = {"nodes", "node_applications", "application_instances",
                                       "application_properties", "backups", "filesets", "backup_msg",
                                       "backup_snapshots", "vmware_snapshots", "vmware_hardware_hashes",
                                       "ndmp_nas", "sql_backups", "dirs", "operation_status"};
  std::string all;
  for (const char *t : tables) {
    all += std::string("[") + t + "]\n";
    for (const auto &row : db.rows(std::string("SELECT * FROM vx.") + t + " ORDER BY 1, 2")) {
      for (const auto &cell : row) all += cell + "|";
      all += "\n";
    }
  }
  return all;
}

std::string exportDoc(long backupNo) {
  char *text = nullptr;
  size_t length = 0;
  int rc = exportReplicationMetadata(backupNo, &text, &length);
  EXPECT_EQ(0, rc) << "export of backup " << backupNo;
  if (rc != 0 || !text) return "";
  std::string doc(text, length);
  EXPECT_EQ(strlen(text), length);
  free(text);
  return doc;
}

std::string makeDoc(const DocSpec &s) {
  auto el = [&](const std::string &name, const std::string &value) {
    for (const auto &d : s.drop)
      if (d == name) return std::string();
    return "<" + name + ">" + value + "</" + name + ">";
  };
  return "<?xml version=\"1.0\"?>\n<backup_metadata>" + el("metadata_version", "1") + "<systems>" +
         el("name", s.sourceName) + el("UUID", s.sourceUuid) + "</systems><nodes>" + el("node_name", s.client) +
         el("file-level-uuid", s.fileLevel) + el("type", "3") + el("os", "7") +
         el("properties", std::to_string(s.nodeProperties)) + el("generic_property", "9") + el("options", "2") +
         "</nodes>\n  <application_instances>" + el("instance-uuid", s.instance) +
         el("app_id", std::to_string(s.appId)) + el("app_type", s.appType) + el("key1", "orcl") +
         "</application_instances><backups>" + el("properties", std::to_string(s.backupProperties)) +
         el("type", std::to_string(s.type)) + el("start_time", std::to_string(s.startTime)) +
         el("total_megs", "77") + el("verify_after", "1") + el("is_verified", "1") +
         (s.command.empty() ? "" : el("x_command_short", s.command)) + "</backups>" + s.extra +
         "</backup_metadata>\n";
}

void useDatabase(const ScopedTestDatabase &db) {
  pgCloseAll();
  setenv("RPD_CATALOGUE_DB", db.name().c_str(), 1);
}

}  // namespace mdtest
