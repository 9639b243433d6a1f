// The queue commands of utility mode, called as the dispatcher calls them,
// with their output and results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/util_queue.h"
#include "queue/replicationQueue.h"
#include "queue_fixture.h"

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

TEST_F(UtilQueue, EnqueuePeekSwapCompleteCleanupRemove) {
  long m = addBackup({.type = 1}), i1 = addBackup({.type = 3}), i2 = addBackup({.type = 3});
  std::string out;

  EXPECT_EQ(run(utilPeek, {"peek", "0"}, &out), 0);  // empty queue
  EXPECT_EQ(out, "0");

  EXPECT_EQ(run(utilEnqueue, {"enqueue", s(i2), "vaultA"}, &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(queueOf("vaultA"), s(m) + ":1 " + s(i1) + ":1 " + s(i2) + ":1");

  EXPECT_EQ(run(utilPeek, {"peek", "1"}, &out), (int)i1);
  EXPECT_EQ(out, s(i1));
  EXPECT_EQ(run(utilPeek, {"peek", "junk"}, &out), (int)m);  // atoi: offset 0
  EXPECT_EQ(run(utilPeek, {"peek", "3"}, &out), 0);

  EXPECT_EQ(run(utilSwap, {"swap", s(m), "vaultA", s(i2), "vaultA"}), 0);
  EXPECT_EQ(queueOf("vaultA"), s(i2) + ":1 " + s(i1) + ":1 " + s(m) + ":1");

  EXPECT_EQ(run(utilComplete, {"complete", s(i2), "vaultA"}), 0);
  EXPECT_EQ(run(utilCleanup, {"cleanup", s(i1), "vaultA"}), 0);
  EXPECT_EQ(queueOf("vaultA"), s(i2) + ":2 " + s(i1) + ":32 " + s(m) + ":1");
  EXPECT_EQ(run(utilRemove, {"remove", s(m), "vaultA"}), 0);
  EXPECT_EQ(queueOf("vaultA"), s(i2) + ":2 " + s(i1) + ":32");

  // Enqueueing again brings the cleaned-up member back, leaves the
  // complete one and re-adds the removed one.
  EXPECT_EQ(run(utilEnqueue, {"enqueue", s(i2), "vaultA"}), 0);
  EXPECT_EQ(queueOf("vaultA"), s(i2) + ":2 " + s(i1) + ":1 " + s(m) + ":1");

  // A backup that does not exist.
  EXPECT_EQ(run(utilEnqueue, {"enqueue", "notanumber", "vaultA"}), -1);
}

TEST_F(UtilQueue, WrongArgumentCountsDoNothing) {
  long m = addBackup({.type = 1});
  std::string out;
  EXPECT_EQ(run(utilEnqueue, {"enqueue", s(m)}, &out), 0);
  EXPECT_EQ(run(utilSwap, {"swap", s(m), "v", s(m)}, &out), 0);
  EXPECT_EQ(run(utilPeek, {"peek"}, &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue"), 0);
}

}  // namespace
}  // namespace rpd::test
