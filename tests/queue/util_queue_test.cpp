// The queue commands of utility mode, called as the dispatcher calls them,
// with their output and results.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "daemon/util_queue.h"
#include "queue/replicationQueue.h"
#include "support/fixture.h"
#include "support/files.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace rpd::test {
namespace {

class UtilQueue : public QueueCatalogue {
 protected:
  // Runs handler with "rpd util <words...>", capturing standard output.
  int run(int (*handler)(int, char **), std::vector<std::string> words, std::string *out = nullptr) {
    std::vector<std::string> args = {"rpd", "util"};
    args.insert(args.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    int rc = handler((int)args.size(), argv.data());
    std::string captured = testing::internal::GetCapturedStdout();
    if (out) *out = captured;
    return rc;
  }
  static std::string s(long n) { return std::to_string(n); }
};

TEST_F(UtilQueue, CreateQueueAndCreateTypes) {
  exec("DROP TABLE vx.replication_queue CASCADE");
  EXPECT_EQ(run(utilCreateQueue, {"createqueue"}), 0);
  EXPECT_EQ(number("SELECT count(*) FROM information_schema.tables WHERE table_schema = 'vx' AND "
                   "table_name = 'replication_queue'"),
            1);
  EXPECT_EQ(run(utilCreateQueue, {"createqueue"}), -1);  // exists now

  exec("DELETE FROM vx.operation_names WHERE name_id IN (6,7,8,9)");
  EXPECT_EQ(run(utilCreateTypes, {"createtypes"}), 0);
  EXPECT_EQ(value("SELECT string_agg(name_id || '=' || name_value, ',' ORDER BY name_id) FROM "
                  "vx.operation_names WHERE name_id IN (6,7,8,9)"),
            "6=prepare,7=replicate,8=wait,9=rebuild");
  // A second run fails as one statement (duplicate keys) but still gives 0.
  EXPECT_EQ(run(utilCreateTypes, {"createtypes"}), 0);
  EXPECT_EQ(number("SELECT count(*) FROM vx.operation_names WHERE name_id IN (6,7,8,9)"), 4);
}

TEST_F(UtilQueue, RealBinaryCommandsFromTheTable) {
  long m = addBackup({.type = 1}, 300), i1 = addBackup({.type = 3}, 301), i2 = addBackup({.type = 3}, 302);
  Sandbox box("rpd-queue-util");
  std::string vx = box.installDir("vx");
  EnvChanges env = {{"VXDIR", vx}, {"VXLOGNAME", box.path("tmp/rpd-util.log")}, {"RPD_CATALOGUE_DB", db_.name()}};
  for (const auto &row : readTable(std::string(RPD_SOURCE_DIR) + "/tests/queue/data/util_queue.txt",
                                   {{"m", s(m)}, {"i1", s(i1)}, {"i2", s(i2)}})) {
    ASSERT_EQ(row.size(), 4u);
    SCOPED_TRACE(row[0]);
    std::vector<std::string> argv = {program("daemon/rpd"), "util"};
    std::istringstream words(row[0]);
    for (std::string w; words >> w;) argv.push_back(w);
    rpd::test::Run r = rpd::test::run(argv, env);
    EXPECT_EQ(std::to_string(r.status), row[1]);
    if (row[2].empty() || row[2].back() != '*') {
      EXPECT_EQ(r.out, row[2]);
    } else {
      EXPECT_EQ(r.out.rfind(row[2].substr(0, row[2].size() - 1), 0), 0u) << r.out;
    }
    if (row[3] != "*") {
      EXPECT_EQ(queueOf("vaultB"), row[3]);
    }
  }
}

}  // namespace
}  // namespace rpd::test
