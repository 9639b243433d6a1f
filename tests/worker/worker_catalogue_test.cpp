// worker_catalogue_test.cpp: the worker against the real catalogue, without
// a Vault: refusals of unusable local backups, taking and forking, the
// hashing step, the statistics row and the announcement's failure when the
// Vault cannot be reached.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "daemon/rpd.h"
#include "daemon/worker.h"
#include "worker_support.h"

namespace rpd::test {
namespace {

std::string s(long v) { return std::to_string(v); }

// Nothing listens on port 1 of the loopback address.
const char *kDeadVault = "http://127.0.0.1:1";

using WorkerRefusal = WorkerCatalogue;

TEST_F(WorkerRefusal, UnusableLocalBackupsAreSkippedWithoutTouchingTheVault) {
  // A status of 0 reads as a backup that is not there.
  long missing = addQueuedBackup(kDeadVault, {.status = 0});
  long failed = addQueuedBackup(kDeadVault, {.status = 0x50});
  long deleted = addQueuedBackup(kDeadVault, {.tapeNo = -1});
  long deletedU32 = addQueuedBackup(kDeadVault, {.tapeNo = 4294967295L});
  // sync done stays; only sync needed goes.
  exec("UPDATE vx.backups SET sync_status = 3 WHERE backup_no = " + s(failed));

  WorkerLog log;
  for (long b : {missing, failed, deleted, deletedU32}) EXPECT_EQ(replicateHere(b, kDeadVault), WORKER_DONE);

  for (long b : {missing, failed, deleted, deletedU32}) EXPECT_EQ(stateOf(b, kDeadVault), "4") << b;
  EXPECT_EQ(syncOf(failed), 2);
  EXPECT_EQ(syncOf(deleted), 0);
  EXPECT_EQ(syncOf(deletedU32), 0);
  EXPECT_TRUE(log.has("Local backup: " + s(missing) + " not found. Will not try to replicate"));
  EXPECT_TRUE(log.has("Local backup: " + s(failed) + " is failed. Will not replicate"));
  EXPECT_TRUE(log.has("Local backup: " + s(deleted) + " has been deleted. Will not replicate"));
  EXPECT_TRUE(log.has("Local backup: " + s(deletedU32) + " has been deleted. Will not replicate"));
  // A refusal neither checks identities nor records statistics.
  EXPECT_FALSE(log.has("uuidCheck:"));
  EXPECT_EQ(number("SELECT count(*) FROM vx.sds_stats"), 0);
}

using WorkerStart = WorkerCatalogue;

TEST_F(WorkerStart, StartsNothingWithoutAFreeSlotOrAnEligibleEntry) {
  char vault[VAULT_NAME_BUFFER] = "v1";
  // Empty queue.
  EXPECT_EQ(runWorker(0, vault, 1), 1);

  long b = addBackup({});
  addEntry(b, "v1", 1);
  g_settings.MaxConcurrent = 1;
  addWorker(424242, 5, "v1");
  EXPECT_EQ(runWorker(0, vault, 1), 1);
  removeWorker(424242);
  // The slot check left the entry queued.
  EXPECT_EQ(stateOf(b, "v1"), "1");
}

TEST_F(WorkerStart, ForkRecordsTheChildWhichHandlesTheTakenEntry) {
  // A failed local backup: the child refuses it, which shows that the
  // child, not the daemon side, worked on the entry that takeNext took.
  long b = addBackup({.status = 0x50, .syncStatus = 1});
  addEntry(b, "vault-a", 1);
  char vault[VAULT_NAME_BUFFER] = "configured";
  g_settings.MaxConcurrent = 2;
  {
    SigchldBlock block;
    workerList.clear();
  }

  int rc = runWorker(0, vault, 1);
  if (rc == WORKER_DONE) _exit(0);  // the child's work is over
  ASSERT_EQ(rc, 0);
  EXPECT_STREQ(vault, "vault-a");  // the entry's vault, from the queue
  pid_t child;
  {
    SigchldBlock block;
    ASSERT_EQ(workerList.size(), 1u);
    EXPECT_EQ(workerList.front().backupNo, (uint32_t)b);
    EXPECT_STREQ(workerList.front().vault, "vault-a");
    child = workerList.front().pid;
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  removeWorker(child);
  EXPECT_EQ(stateOf(b, "vault-a"), "4");
  EXPECT_EQ(syncOf(b), 0);
}

using EnsureHashed = WorkerCatalogue;

TEST_F(EnsureHashed, RunsTheHashingCommandOnlyForUnhashedBackupsAndReportsItsStatus) {
  std::string marker = sandbox_.path("ran");
  writeCommand("fileDedup", "echo \"$1\" >> '" + marker + "'\nexit 0");
  long hashed = addBackup({.properties = 0x400});
  long plain = addBackup({});

  EXPECT_EQ(ensureHashed(hashed), 0);
  EXPECT_EQ(sandbox_.read("ran"), "");
  EXPECT_EQ(ensureHashed(plain), 0);
  EXPECT_EQ(sandbox_.read("ran"), "-H" + s(plain) + "\n");

  writeCommand("fileDedup", "exit 3");
  EXPECT_EQ(ensureHashed(plain), 3);
  writeCommand("fileDedup", "exit 2");
  WorkerLog log;
  EXPECT_EQ(ensureHashed(plain), 2);
  EXPECT_TRUE(log.has("fileDedup -H" + s(plain) + "\" exited with status=2"));
  unlink((bindir_ + "/fileDedup").c_str());
  EXPECT_EQ(ensureHashed(plain), 127);  // the shell's "not found"
}

TEST_F(EnsureHashed, LockedBackupIsWaitedForAndFailedHashingIsRecorded) {
  setIni("CheckInterval", "0");
  // Locked twice, then hashed.
  std::string count = sandbox_.path("count");
  writeCommand("fileDedup", "n=$(cat '" + count + "' 2>/dev/null || echo 0)\nn=$((n+1))\necho $n > '" + count +
                                "'\n[ $n -ge 3 ] && exit 0\nexit 3");
  long b = addQueuedBackup(kDeadVault);
  WorkerLog log;
  EXPECT_EQ(replicateHere(b, kDeadVault), WORKER_DONE);
  EXPECT_EQ(log.count("Backup is locked, waiting:0"), 2u);
  EXPECT_TRUE(log.has("Backup is hashed, continue"));
  // It went on to announce, which fails against a dead Vault.
  EXPECT_TRUE(log.has("Failed to send initial meta info"));
  EXPECT_EQ(stateOf(b, kDeadVault), "1");

  // Hashing that fails: queued again, a statistics row, no announcement.
  // (The announcement gave the instance an identity; without one the
  // worker goes straight on without asking the Vault.)
  exec("UPDATE vx.application_instances SET identity = NULL");
  writeCommand("fileDedup", "exit 2");
  long c = addQueuedBackup(kDeadVault);
  WorkerLog log2;
  EXPECT_EQ(replicateHere(c, kDeadVault), WORKER_DONE);
  EXPECT_TRUE(log2.has("Failed to hash backup"));
  EXPECT_FALSE(log2.has("Post start backup"));
  EXPECT_FALSE(log2.has("Notify target"));
  EXPECT_EQ(stateOf(c, kDeadVault), "1");
  EXPECT_EQ(value("SELECT message FROM vx.sds_stats WHERE backup_no = " + s(c)), "Failed: Failed to hash backup");
  // Progress rows of the attempt are gone.
  EXPECT_EQ(number("SELECT count(*) FROM vx.operation_progress WHERE backup_no = " + s(c)), 0);
}

using SyncStats = WorkerCatalogue;

TEST_F(SyncStats, RowCarriesClientDurationsBytesMessageAndCharts) {
  long b = addBackup({});
  exec("UPDATE vx.backups SET total_megs = 7 WHERE backup_no = " + s(b));
  long gcNode = addNode("gc17");
  exec("UPDATE vx.nodes SET properties = 32, gcname = 'real-client' WHERE node_no = " + s(gcNode));
  long gcInstance = addInstance(gcNode);
  long g = addBackup({.instanceId = gcInstance});

  uint64_t savedSent = g_totalBytesSent;
  g_totalBytesSent = 123456;
  clearWorkerProcessState();
  WorkerLog log;
  EXPECT_EQ(insertSyncStats(b, 11, 22, 33, 1700000000, "Success: ", "vault-x"), 0);
  EXPECT_FALSE(log.has("Double insert"));
  EXPECT_EQ(insertSyncStats(g, 1, 2, 3, 4, "it's $ quoted", "vault-y"), 0);
  EXPECT_TRUE(log.has("Double insert into sds_stats attempted."));
  g_totalBytesSent = savedSent;

  auto r = rows("SELECT client_name, sync_type, presync_seconds, sync_seconds, postsync_seconds, done_epoch, "
                "bytes_on_qru, bytes_syncd, bytes_on_qrv, message, destination FROM vx.sds_stats "
                "WHERE backup_no = " + s(b));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], (std::vector<std::string>{"client1", "1", "11", "22", "33", "1700000000", "7340032", "123456",
                                            "7340032", "Success: ", "vault-x"}));
  EXPECT_EQ(value("SELECT client_name || '|' || message FROM vx.sds_stats WHERE backup_no = " + s(g)),
            "real-client|it's $ quoted");
  // Both attempts count in today's replication chart.
  EXPECT_EQ(value("SELECT operations || ' ' || read_size || ' ' || write_size || ' ' || read_time || ' ' || "
                  "write_time FROM vx.summary_charts WHERE operation = 'replication'"),
            "2 7340032 246912 12 24");
}

TEST(SetMessage, OverlongTextBecomesInvalidMessage) {
  char m[WORKER_MESSAGE_SIZE];
  EXPECT_EQ(setMessage(m, sizeof m, "Failed: %s. Network: %s", "x", "y"), 0);
  EXPECT_STREQ(m, "Failed: x. Network: y");
  std::string big(WORKER_MESSAGE_SIZE, 'a');
  EXPECT_EQ(setMessage(m, sizeof m, "Failed: %s", big.c_str()), -1);
  EXPECT_STREQ(m, "Failed: invalid message");
  // Exactly filling the buffer (2047 characters and the NUL) fits.
  std::string edge(WORKER_MESSAGE_SIZE - 1 - strlen("Failed: "), 'b');
  EXPECT_EQ(setMessage(m, sizeof m, "Failed: %s", edge.c_str()), 0);
  EXPECT_EQ(strlen(m), WORKER_MESSAGE_SIZE - 1);
}

using Announce = WorkerCatalogue;

TEST_F(Announce, UnreachableVaultFailsTheAnnouncementAndQueuesTheEntryAgain) {
  long b = addQueuedBackup(kDeadVault);
  WorkerLog log;
  EXPECT_EQ(replicateHere(b, kDeadVault), WORKER_DONE);
  // First replication of the instance: no identity check, straight to the
  // announcement, whose failure goes through the failure path.
  EXPECT_TRUE(log.has("First time instance replication."));
  EXPECT_TRUE(log.has("Failed, cleaning up"));
  EXPECT_TRUE(log.has("Failed to notify target"));
  EXPECT_EQ(stateOf(b, kDeadVault), "1");
  EXPECT_EQ(syncOf(b), 1);
  EXPECT_EQ(value("SELECT message FROM vx.sds_stats WHERE backup_no = " + s(b)),
            std::string("Failed: Unable to send initial meta info. This replication will now retry. Network: ") +
                curl_easy_strerror(CURLE_COULDNT_CONNECT));
  EXPECT_EQ(number("SELECT count(*) FROM vx.operation_progress"), 0);

  CURLcode curl = CURLE_OK;
  EXPECT_LT(startBackupOnTarget(b, kDeadVault, &curl, 0), 1);
  EXPECT_EQ(curl, CURLE_COULDNT_CONNECT);
}

TEST_F(Announce, BackupOfAnInstanceWithAnIdentityIsCheckedFirstAndRetriedLater) {
  exec("UPDATE vx.application_instances SET identity = '0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d'");
  g_settings.RetryCount = 2;
  long b = addQueuedBackup(kDeadVault);
  WorkerLog log;
  EXPECT_EQ(replicateHere(b, kDeadVault), WORKER_DONE);
  // Both attempts failed at the transport; the check result is negative.
  EXPECT_TRUE(log.has("Try: 0"));
  EXPECT_TRUE(log.has("Try: 1"));
  EXPECT_FALSE(log.has("Try: 2"));
  EXPECT_TRUE(log.has("Failed uuid check, aborting; trying again later"));
  EXPECT_FALSE(log.has("Post start backup"));
  EXPECT_EQ(stateOf(b, kDeadVault), "1");
  EXPECT_EQ(number("SELECT count(*) FROM vx.sds_stats"), 0);
}

}  // namespace
}  // namespace rpd::test
