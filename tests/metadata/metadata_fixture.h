// metadata_fixture.h: catalogue rows and document access for the
// replication metadata tests. Rows are written over the test database's own
// connection; the code under test uses the catalogue helper's.
#pragma once

#include <libxml/tree.h>

#include <string>
#include <vector>

#include "support/catalogue.h"

#include "support/fixture.h"

namespace mdtest {

using rpd::test::ScopedTestDatabase;

// A parsed document with lookups by slash-separated element path from the
// root ("nodes/node_name"); the first element of each name is taken.
class Doc {
 public:
  explicit Doc(const std::string &xml);
  ~Doc();
  Doc(const Doc &) = delete;
  Doc &operator=(const Doc &) = delete;
  bool parsed() const { return doc_ != nullptr; }
  // Names of the element children of path ("" = the root).
  std::vector<std::string> children(const std::string &path = "") const;
  // Text of the element at path, "<absent>" when there is none.
  std::string text(const std::string &path) const;

 private:
  xmlNode *find(const std::string &path) const;
  xmlDoc *doc_ = nullptr;
};

using rpd::test::addBackup;
using rpd::test::addDevice;
using rpd::test::addInstance;
using rpd::test::addNode;
using rpd::test::BackupRow;
using rpd::test::installId;
using rpd::test::NodeRow;
using rpd::test::permitSource;

// Every row of the tables an import writes, as one text, for "unchanged"
// comparisons.
std::string importedRows(ScopedTestDatabase &db);

// exportReplicationMetadata of backupNo through the process's catalogue
// helper; "" (and a test failure) when it fails.
std::string exportDoc(long backupNo);

// A hand-made document as another appliance would send it. Elements named
// in `drop` (by element name, e.g. "os") are left out; `extra` goes in
// before the end of the root.
constexpr const char *kSourceUuid = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee";
constexpr const char *kFileLevelUuid = "11111111-2222-4333-8444-555555555555";
constexpr const char *kInstanceUuid = "66666666-7777-4888-9999-000000000000";
struct DocSpec {
  std::string sourceName = "origin", sourceUuid = kSourceUuid;
  std::string client = "carol", fileLevel = kFileLevelUuid, instance = kInstanceUuid;
  long nodeProperties = 0x10;
  long appId = 6;
  std::string appType = "Oracle";
  long backupProperties = 0x1000, type = 1, startTime = 1700000000;
  std::string command = "nightly";  // "" = no x_command_short
  std::vector<std::string> drop;
  std::string extra;
};
std::string makeDoc(const DocSpec &s);

// Points the catalogue helper of this process at db (for tests that use
// two databases) and drops its open connections.
void useDatabase(const ScopedTestDatabase &db);

}  // namespace mdtest
