// replication_e2e_test.cpp: replication end to end: backups made by the
// appliance stand-ins, replicated by the real rpd (utility command and
// daemon) to the real vaultd, with the outcome read from the catalogue, the
// Vault's rebuilt byte streams and the logs.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

std::string s(uint64_t v) { return std::to_string(v); }

TEST(Replicate, BackupsArriveWholeAndSharedBlocksAreNotSentAgain) {
  Appliance a;
  // The incremental takes over most of its full's content.
  auto chain = a.mkbackup({"--chain", "full,incr", "--size", "600k", "--file-size", "20k", "--share", "0.8"});
  auto image = a.mkbackup({"--app", "baremetal", "--size", "300k"});
  ASSERT_EQ(chain.size(), 2u);
  ASSERT_EQ(image.size(), 1u);
  a.startDeviceMonitor();
  // The single-threaded sender for the image, the threaded one otherwise.
  std::vector<uint64_t> all = {chain[0], chain[1], image[0]};
  std::vector<long> newBlocks;
  for (uint64_t b : all) {
    long blocksBefore = a.vaultBlocks();
    SCOPED_TRACE("backup " + s(b));
    a.queue(b);
    a.set("ThreadedSendBlocks", b == image[0] ? "0" : "1");
    e2e::Run r = a.rpd({"util", "replicate", s(b), a.vault});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(a.queueState(b), "2");
    EXPECT_EQ(a.syncStatus(b), 2);
    EXPECT_EQ(a.statsOf(b), "Success: ");
    long n = a.vaultNumber(b);
    ASSERT_GT(n, 0) << a.logs();
    std::string local = a.archiveBytes(b);
    ASSERT_FALSE(local.empty());
    EXPECT_TRUE(a.exported(n) == local) << "the Vault's copy of " << b << " differs from the local archive";
    EXPECT_EQ(access((a.dev + "/hactar_" + s(b)).c_str(), F_OK), -1);
    newBlocks.push_back(a.vaultBlocks() - blocksBefore);
  }
  // The Vault held most blocks of the incremental already: only the
  // others reached it.
  e2e::Run count = a.rpd({"util", "count", s(chain[1])});
  long distinct = atol(count.out.c_str());
  EXPECT_GT(newBlocks[0], 0);
  EXPECT_GT(newBlocks[1], 0);
  EXPECT_LT(newBlocks[1] * 2, distinct) << count.out;
  EXPECT_GT(a.db.number("SELECT bytes_syncd FROM vx.sds_stats WHERE backup_no = " + s(chain[0])), 0);
  // The reservation was given back.
  EXPECT_EQ(a.appliance("devmonitor", {"--show"}).out.find("reservation"), std::string::npos);
  EXPECT_NE(a.logs().find("Estimated hactar size:"), std::string::npos);
  EXPECT_EQ(a.logs().find("unable to init smgr"), std::string::npos);
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.operation_progress"), 0);

  // Replicated again: the Vault already holds it, nothing is announced.
  long announced = a.requests("start-backup");
  long files = a.requests("file");
  a.db.exec("UPDATE vx.replication_queue SET status = 1 WHERE backup_no = " + s(chain[0]));
  a.db.exec("UPDATE vx.backups SET sync_status = 1 WHERE backup_no = " + s(chain[0]));
  EXPECT_EQ(a.rpd({"util", "replicate", s(chain[0]), a.vault}).status, 0);
  EXPECT_NE(a.logs().find("Backup already on system"), std::string::npos);
  EXPECT_EQ(a.requests("start-backup"), announced);
  EXPECT_EQ(a.requests("file"), files);
  EXPECT_EQ(a.queueState(chain[0]), "2");
  EXPECT_EQ(a.syncStatus(chain[0]), 2);
}

TEST(Daemon, DrainsTheQueueUnderRetention) {
  Appliance a;
  std::vector<uint64_t> all;
  // Incrementals are queued with their synthesis group, which only
  // synthesis-capable backups (properties 0x1000) have.
  for (auto args : std::vector<std::vector<std::string>>{
           {"--chain", "full,incr,incr", "--size", "200k", "--file-size", "20k"},
           {"--client", "client2", "--chain", "full,diff", "--size", "150k", "--seed", "7"},
           {"--app", "sql", "--chain", "full,incr", "--size", "100k", "--seed", "9"}}) {
    args.insert(args.end(), {"--properties", "4096"});
    auto made = a.mkbackup(args);
    all.insert(all.end(), made.begin(), made.end());
  }
  ASSERT_EQ(all.size(), 7u);
  a.startDeviceMonitor();
  a.set("QueueScheme", "1");
  pid_t daemon = a.startDaemon();
  bool drained = eventually([&] {
    return a.db.number("SELECT count(*) FROM vx.replication_queue WHERE status = 2") == (long long)all.size();
  }, 300);
  EXPECT_EQ(a.stopDaemon(daemon), 0);
  ASSERT_TRUE(drained) << a.db.rows("SELECT backup_no, status FROM vx.replication_queue").size() << "\n"
                       << a.logs();
  for (uint64_t b : all) {
    SCOPED_TRACE("backup " + s(b));
    EXPECT_EQ(a.syncStatus(b), 2);
    long n = a.vaultNumber(b);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(a.exported(n) == a.archiveBytes(b));
  }
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.sds_stats WHERE message = 'Success: '"), (long long)all.size());
}

}  // namespace
}  // namespace e2e
