// Restore and synthesis groups against a real catalogue and its stored
// function vx.vxGetRestoreGroupOptimized.
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "queue/groups.h"
#include "support/files.h"
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

TEST_F(Groups, GroupsAndRefusalsFromTheTable) {
  std::map<std::string, long> backups, instances;
  auto number = [&](const std::string &name) {
    auto it = backups.find(name);
    return it != backups.end() ? it->second : atol(name.c_str());
  };
  auto names = [&](const std::string &list) {
    std::string out;
    std::istringstream in(list);
    for (std::string name; std::getline(in, name, ',');) out += (out.empty() ? "" : ",") + s(number(name));
    return out;
  };
  for (auto row : readTable(std::string(RPD_SOURCE_DIR) + "/tests/queue/data/groups.txt")) {
    SCOPED_TRACE(row[0]);
    std::istringstream words(row[0]);
    std::string kind, name;
    words >> kind >> name;
    if (kind == "backup") {
      row.resize(7);
      auto num = [&](size_t i, long fallback) { return row[i].empty() ? fallback : strtol(row[i].c_str(), nullptr, 0); };
      long instance = 0;
      if (!row[5].empty()) {
        if (!instances.count(row[5])) instances[row[5]] = addInstance(node_, 1, row[5]);
        instance = instances[row[5]];
      }
      backups[name] = addBackup({.type = num(1, 1), .status = num(2, kStatusGood), .properties = num(3, kPropSynthesisCapable),
                                 .tapeNo = num(4, 1), .instanceId = instance, .exitCode = num(6, 0)});
      continue;
    }
    std::string want = row[1];
    if (want.rfind("error: ", 0) == 0) {
      for (const auto &[n, b] : backups)
        for (size_t at; (at = want.find("$" + n)) != std::string::npos;) want.replace(at, n.size() + 1, s(b));
    } else {
      want = names(want);
    }
    if (kind == "restore") {
      EXPECT_EQ(restore(number(name)), want);
    } else {
      int ignoreDiffs = 0, ignoreMasters = 0;
      words >> ignoreDiffs >> ignoreMasters;
      EXPECT_EQ(synthesis(number(name), ignoreDiffs, ignoreMasters), want);
    }
  }
}

TEST_F(Groups, ApplicationTypesAndParameters) {
  // Only an instance of the UCS service profile type restores a 1039
  // backup; its differential or another application's 1039 is refused.
  long raeApp = appType("UCS", "UCS Service Profile");
  long otherApp = appType("Other", "Something Else");
  long raeInst = addInstance(node_, raeApp, "profile"), otherInst = addInstance(node_, otherApp);
  long rae = addBackup({.type = 1039, .instanceId = raeInst});
  long raeDiff = addBackup({.type = 4096, .instanceId = raeInst});
  long raeOther = addBackup({.type = 1039, .instanceId = otherInst});
  EXPECT_EQ(restore(rae), s(rae));
  EXPECT_EQ(last_[0].appId, (uint32_t)raeApp);
  EXPECT_STREQ(last_[0].appName, "UCS");
  EXPECT_EQ(restore(raeDiff), "error: Backup " + s(raeDiff) + " has an unknown or unsupported backup type (4096).");
  EXPECT_EQ(restore(raeOther), "error: Backup " + s(raeOther) + " has an unknown or unsupported backup type (1039).");

  uint32_t count = 0;
  EXPECT_EQ(vxGetRestoreGroupOptimized(rae, nullptr, &count), -1);
  EXPECT_STREQ(vxGetLastError(), "List and count parameters cannot be null.");
  // Only the text of a synthesis group may be asked for.
  long m = addBackup({.type = 1}), i = addBackup({.type = 3});
  char *text = nullptr;
  ASSERT_EQ(vxGetSynthesisGroup(i, 0, 0, nullptr, nullptr, &text), 0);
  EXPECT_EQ(std::string(text), s(m) + "," + s(i));
  free(text);
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

}  // namespace
}  // namespace rpd::test
