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
