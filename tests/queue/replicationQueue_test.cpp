// The replication queue table against a real catalogue: entries, states,
// group enqueue, the worker's dequeue, swaps, resets and the out-of-order
// repair.
#include <cstdio>
#include <string>

#include "lib/logger.h"
#include "queue/replicationQueue.h"
#include "support/fixture.h"
#include "support/log_capture.h"

namespace rpd::test {
namespace {

using QueueTable = QueueCatalogue;

TEST_F(QueueTable, CreateMakesTheTableOnceWithItsColumns) {
  exec("DROP TABLE vx.replication_queue CASCADE");
  ASSERT_EQ(createReplicationQueue(), 0);
  EXPECT_EQ(value("SELECT string_agg(column_name || ':' || data_type, ',' ORDER BY ordinal_position) "
                  "FROM information_schema.columns WHERE table_schema = 'vx' AND table_name = "
                  "'replication_queue'"),
            "backup_no:bigint,vault:text,position:integer,status:integer");
  EXPECT_EQ(createReplicationQueue(), -1);  // already there

  // The reference cascades: deleting the backup deletes its entries.
  long b = addBackup({});
  addEntry(b, "v1", 1);
  exec("DELETE FROM vx.backups WHERE backup_no = " + std::to_string(b));
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue"), 0);
}

TEST_F(QueueTable, EnqueueBackupSetsSyncNeededAndQueuesOnce) {
  long b = addBackup({.syncStatus = 3});
  EXPECT_EQ(enqueueBackup(b, "vault1"), 0);
  EXPECT_EQ(number("SELECT sync_status FROM vx.backups WHERE backup_no = " + std::to_string(b)), 1);
  EXPECT_EQ(queueOf("vault1"), std::to_string(b) + ":1");
  EXPECT_EQ(queueStatus(b, "vault1"), 1);
  EXPECT_EQ(queueStatus(b, "vault2"), 0);

  // A backup that does not exist cannot be queued (the reference refuses it).
  EXPECT_EQ(enqueueBackup(999999, "vault1"), -1);
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue"), 1);
}

TEST_F(QueueTable, StatusOperationsAndQueryBufferLimit) {
  long a = addBackup({}), b = addBackup({});
  addEntry(a, "v1", 1);
  addEntry(a, "v2", 1);
  addEntry(b, "v1", 1);

  EXPECT_EQ(setQueueStatus(a, "v1", 64), 0);
  EXPECT_EQ(queueStatus(a, "v1"), 64);
  EXPECT_EQ(queueStatus(a, "v2"), 1);
  EXPECT_EQ(markComplete(a, "v2"), 0);
  EXPECT_EQ(queueStatus(a, "v2"), 2);
  EXPECT_EQ(markCleanup(b, "v1"), 0);
  EXPECT_EQ(queueStatus(b, "v1"), 32);

  // Exactly one entry: its state; two entries or none: 0.
  EXPECT_EQ(queueStatusAnyVault(b), 32);
  EXPECT_EQ(queueStatusAnyVault(a), 0);
  EXPECT_EQ(queueStatusAnyVault(424242), 0);

  EXPECT_EQ(removeEntry(a, "v1"), 0);
  EXPECT_EQ(queueStatus(a, "v1"), 0);
  EXPECT_EQ(queueStatusAnyVault(a), 2);

  // The status statement has 128 bytes: the longest vault name (63
  // characters) does not fit and nothing is changed.
  LogCapture log;
  std::string longVault(63, 'x');
  addEntry(b, longVault, 1);
  EXPECT_EQ(setQueueStatus(b, longVault.c_str(), 2), -1);
  EXPECT_NE(log.text().find("Query too long for buffer"), std::string::npos);
  EXPECT_EQ(value("SELECT status FROM vx.replication_queue WHERE vault = '" + longVault + "'"), "1");
  // The 512-byte statements take it.
  EXPECT_EQ(markComplete(b, longVault.c_str()), 0);
  EXPECT_EQ(value("SELECT status FROM vx.replication_queue WHERE vault = '" + longVault + "'"), "2");
}

TEST_F(QueueTable, PeekAndListCleanupFollowPositions) {
  long a = addBackup({}), b = addBackup({}), c = addBackup({});
  EXPECT_EQ(peekQueue(0), 0);  // empty queue
  addEntry(c, "v1", 1);
  addEntry(a, "v1", 32);
  addEntry(b, "v1", 1);
  addEntry(c, "v2", 32);
  EXPECT_EQ(peekQueue(0), c);
  EXPECT_EQ(peekQueue(1), b);
  EXPECT_EQ(peekQueue(2), 0);

  uint64_t backups[4] = {};
  char vaults[4][VAULT_NAME_SIZE] = {};
  ASSERT_EQ(listCleanup(backups, vaults, 4), 2);
  EXPECT_EQ(backups[0], (uint64_t)a);
  EXPECT_STREQ(vaults[0], "v1");
  EXPECT_EQ(backups[1], (uint64_t)c);
  EXPECT_STREQ(vaults[1], "v2");
  ASSERT_EQ(listCleanup(backups, vaults, 1), 1);
  EXPECT_EQ(backups[0], (uint64_t)a);
}

TEST_F(QueueTable, SwapExchangesPositionsAndResetActiveRequeues) {
  long a = addBackup({}), b = addBackup({}), c = addBackup({});
  addEntry(a, "v1", 1);
  addEntry(b, "v1", 16);
  addEntry(c, "v1", 1);
  addEntry(a, "v2", 16);
  std::string before = value("SELECT string_agg(position::text, ',' ORDER BY backup_no, vault) "
                             "FROM vx.replication_queue");
  const std::string aV2 = "SELECT position FROM vx.replication_queue WHERE backup_no = " +
                          std::to_string(a) + " AND vault = 'v2'";
  std::string aV2Position = value(aV2);

  EXPECT_EQ(swapEntries(a, "v1", c, "v1"), 0);
  EXPECT_EQ(queueOf("v1"), std::to_string(c) + ":1 " + std::to_string(b) + ":16 " +
                               std::to_string(a) + ":1");
  // a's entry for the other vault keeps its position.
  EXPECT_EQ(value(aV2), aV2Position);
  EXPECT_EQ(swapEntries(a, "v1", c, "v1"), 0);
  EXPECT_EQ(value("SELECT string_agg(position::text, ',' ORDER BY backup_no, vault) "
                  "FROM vx.replication_queue"),
            before);

  EXPECT_EQ(resetActive(), 0);
  EXPECT_EQ(queueOf("v1"), std::to_string(a) + ":1 " + std::to_string(b) + ":1 " +
                               std::to_string(c) + ":1");
  EXPECT_EQ(queueOf("v2"), std::to_string(a) + ":1");
}

TEST_F(QueueTable, TakeNextHonoursPositionsBusyAndPausedInstancesAndPurgedBackups) {
  long instB = addInstance(node_, 1, "b"), instC = addInstance(node_, 1, "c");
  long a1 = addBackup({}), a2 = addBackup({});
  long b1 = addBackup({.instanceId = instB});
  long c1 = addBackup({.instanceId = instC}), c2 = addBackup({.instanceId = instC});
  long gone = addBackup({.tapeNo = -1, .instanceId = addInstance(node_, 1, "d")});
  addEntry(gone, "v1", 1);
  addEntry(a2, "v1", 1);
  addEntry(a1, "v2", 1);
  addEntry(c2, "v1", 1);
  addEntry(c1, "v1", 128);  // paused instance
  addEntry(b1, "v1", 1);

  char vault[VAULT_NAME_SIZE] = "";
  long before = time(nullptr);
  EXPECT_EQ(takeNext(vault, sizeof vault), a2);  // lowest eligible position
  EXPECT_STREQ(vault, "v1");
  EXPECT_EQ(queueStatus(a2, "v1"), 16);
  long repStart = number("SELECT rep_start FROM vx.replication_queue WHERE backup_no = " +
                         std::to_string(a2));
  EXPECT_GE(repStart, before);
  EXPECT_LE(repStart, time(nullptr));

  // a1 is queued too, but its instance is busy now.
  EXPECT_EQ(takeNext(vault, sizeof vault), b1);
  EXPECT_EQ(takeNext(vault, sizeof vault), 0);
  EXPECT_EQ(queueStatus(a1, "v2"), 1);
  EXPECT_EQ(queueStatus(c2, "v1"), 1);
  EXPECT_EQ(queueStatus(gone, "v1"), 1);

  // Once the active entry is complete the instance's next backup goes.
  EXPECT_EQ(markComplete(a2, "v1"), 0);
  EXPECT_EQ(takeNext(vault, sizeof vault), a1);
  EXPECT_STREQ(vault, "v2");
  // Pausing with 64 blocks an instance just like 128.
  EXPECT_EQ(setQueueStatus(c1, "v1", 64), 0);
  EXPECT_EQ(markComplete(b1, "v1"), 0);
  EXPECT_EQ(takeNext(vault, sizeof vault), 0);
  EXPECT_EQ(setQueueStatus(c1, "v1", 2), 0);
  EXPECT_EQ(takeNext(vault, sizeof vault), c2);
}

TEST_F(QueueTable, TakeNextFollowsSwappedPositions) {
  long inst2 = addInstance(node_, 1, "two");
  long a = addBackup({}), b = addBackup({.instanceId = inst2});
  addEntry(a, "v1", 1);
  addEntry(b, "v1", 1);
  ASSERT_EQ(swapEntries(a, "v1", b, "v1"), 0);
  char vault[VAULT_NAME_SIZE];
  EXPECT_EQ(takeNext(vault, sizeof vault), b);
  EXPECT_EQ(takeNext(vault, sizeof vault), a);
}

TEST_F(QueueTable, EnqueueGroupOfIncrementalChainQueuesMasterFirst) {
  long m = addBackup({.type = 1}), i1 = addBackup({.type = 3}), i2 = addBackup({.type = 3});
  // Another client's chain must not leak into the group.
  long otherInst = addInstance(addNode("client2"));
  addBackup({.type = 1, .instanceId = otherInst});
  long other = addBackup({.type = 3, .instanceId = otherInst});

  ASSERT_EQ(enqueueGroup(i2, "v1"), 0);
  auto s = [](long n) { return std::to_string(n); };
  EXPECT_EQ(queueOf("v1"), s(m) + ":1 " + s(i1) + ":1 " + s(i2) + ":1");
  EXPECT_EQ(number("SELECT count(*) FROM vx.backups WHERE sync_status = 1"), 3);

  // Again: nothing is duplicated; the other chain goes to its own place.
  ASSERT_EQ(enqueueGroup(i2, "v1"), 0);
  ASSERT_EQ(enqueueGroup(other, "v1"), 0);
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue"), 5);
}

TEST_F(QueueTable, EnqueueGroupKeepsCompleteActiveAndPausedMembers) {
  auto s = [](long n) { return std::to_string(n); };
  long m = addBackup({.type = 1});
  long i[6];
  for (long &x : i) x = addBackup({.type = 3});
  addEntry(i[4], "v1", 1);  // already queued, later position
  addEntry(m, "v1", 2);     // complete
  addEntry(i[0], "v1", 16);
  addEntry(i[1], "v1", 128);
  addEntry(i[2], "v1", 4);  // skipped earlier: queued again
  addEntry(i[3], "v1", 8);  // cancelled earlier: queued again
  addEntry(m, "v2", 64);    // another vault is not touched

  ASSERT_EQ(enqueueGroup(i[5], "v1"), 0);
  EXPECT_EQ(queueOf("v1"), s(i[4]) + ":1 " + s(m) + ":2 " + s(i[0]) + ":16 " + s(i[1]) + ":128 " +
                               s(i[2]) + ":1 " + s(i[3]) + ":1 " + s(i[5]) + ":1");
  EXPECT_EQ(queueOf("v2"), s(m) + ":64");
  // Only the new entry changed its backup's sync status.
  EXPECT_EQ(number("SELECT count(*) FROM vx.backups WHERE sync_status = 1"), 1);
}

TEST_F(QueueTable, EnqueueGroupStandAloneAndRestoreGroupTypes) {
  auto s = [](long n) { return std::to_string(n); };
  long m = addBackup({.type = 1});
  long d = addBackup({.type = 2});
  long sysmeta = addBackup({.type = 1038});

  ASSERT_EQ(enqueueGroup(sysmeta, "v1"), 0);
  ASSERT_EQ(enqueueGroup(sysmeta, "v1"), 0);
  EXPECT_EQ(queueOf("v1"), s(sysmeta) + ":1");

  // A stand-alone backup already complete is left alone.
  addEntry(m, "v2", 2);
  ASSERT_EQ(enqueueGroup(m, "v2"), 0);
  EXPECT_EQ(queueOf("v2"), s(m) + ":2");

  // A differential goes with its restore group: master, then itself.
  ASSERT_EQ(enqueueGroup(d, "v3"), 0);
  EXPECT_EQ(queueOf("v3"), s(m) + ":1 " + s(d) + ":1");

  // A group that cannot be determined queues nothing.
  long running = addBackup({.type = 3, .status = kStatusRunning});
  EXPECT_EQ(enqueueGroup(running, "v4"), -1);
  EXPECT_EQ(enqueueGroup(777777, "v4"), -1);
  EXPECT_EQ(queueOf("v4"), "");
}

TEST_F(QueueTable, RepairOutOfOrderDropsNewerEntriesOfTheInstance) {
  auto s = [](long n) { return std::to_string(n); };
  long otherInst = addInstance(node_, 1, "other");
  long b1 = addBackup({.startTime = 100}), b2 = addBackup({.startTime = 200}),
       b3 = addBackup({.startTime = 300});
  long older = addBackup({.startTime = 50});
  long foreign = addBackup({.startTime = 400, .instanceId = otherInst});
  addEntry(older, "v1", 2);
  addEntry(b1, "v1", 128);
  addEntry(b2, "v1", 2);  // replicated before b1: out of order
  addEntry(b3, "v1", 1);
  addEntry(b3, "v2", 1);
  addEntry(foreign, "v1", 2);

  ASSERT_EQ(repairOutOfOrder(b1), 0);
  EXPECT_EQ(queueOf("v1"), s(older) + ":2 " + s(b1) + ":1 " + s(foreign) + ":2");
  EXPECT_EQ(queueOf("v2"), "");

  // Nothing newer has replicated: only the state changes.
  ASSERT_EQ(setQueueStatus(b1, "v1", 128), 0);
  addEntry(b3, "v1", 1);
  ASSERT_EQ(repairOutOfOrder(b1), 0);
  EXPECT_EQ(queueOf("v1"), s(older) + ":2 " + s(b1) + ":1 " + s(foreign) + ":2 " + s(b3) + ":1");

  // No entry to update, no backup at all.
  EXPECT_EQ(repairOutOfOrder(b2), -1);
  EXPECT_EQ(repairOutOfOrder(888888), -1);
}

}  // namespace
}  // namespace rpd::test
