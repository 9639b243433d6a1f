// refresh_test.cpp: the queue refresh schemes, pruning, sync bits, the LBE
// decisions without a Vault and the HaCTAR's build and removal, against
// the real catalogue.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "daemon/terminate.h"
#include "daemon/util_refresh.h"
#include "dedup/hashValues.h"
#include "queue/refresh.h"
#include "refresh_support.h"

namespace rpd::test {
namespace {

using Refresh = RefreshCatalogue;

const char *kVault = "vaultA";

std::string s(long v) { return std::to_string(v); }

// The list of a selection, sorted, freed.
std::vector<uint64_t> take(uint64_t *list, int count) {
  std::vector<uint64_t> out;
  if (count > 0) out.assign(list, list + count);
  free(list);
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(Refresh, RetentionQueuesWhatNeedsSyncAndRetiresSupersededBackups) {
  long a1 = addBackup({.syncStatus = 1});
  long a2 = addBackup({.syncStatus = 3});  // both bits: never a candidate
  long a3 = addBackup({.syncStatus = 0});

  long instB = addInstance(node_, 1, "b");
  long b1 = addBackup({.instanceId = instB, .syncStatus = 1});
  long b2 = addBackup({.instanceId = instB, .syncStatus = 1});
  addEntry(b2, kVault, 1);

  // An instance with an in-progress backup carrying property 2048 is left
  // alone entirely.
  long instC = addInstance(node_, 1, "c");
  long c1 = addBackup({.instanceId = instC, .syncStatus = 1});
  addBackup({.status = 0x200, .properties = 2048, .instanceId = instC});

  // A newer backup queued for another vault does not supersede.
  long instD = addInstance(node_, 1, "d");
  long d1 = addBackup({.instanceId = instD, .syncStatus = 1});
  long d2 = addBackup({.instanceId = instD, .syncStatus = 1});
  addEntry(d2, "vaultB", 1);

  // Candidates: a1, b1, d1 (b2 and d2 have entries, c1's instance is busy).
  EXPECT_EQ(refreshRetention(kVault), 3);
  EXPECT_EQ(queueOf(kVault), s(b2) + ":1 " + s(a1) + ":1 " + s(d1) + ":1");
  EXPECT_EQ(syncOf(b1), 0) << "superseded by the queued newer backup";
  EXPECT_EQ(syncOf(a1), 1);
  EXPECT_EQ(syncOf(a2), 3);
  EXPECT_EQ(syncOf(a3), 0);
  EXPECT_EQ(syncOf(c1), 1);
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue WHERE backup_no = " + s(c1)), 0);
  EXPECT_EQ(syncOf(d1), 1);

  // A second pass finds nothing new and changes nothing.
  EXPECT_EQ(refreshRetention(kVault), 0);
  EXPECT_EQ(queueOf(kVault), s(b2) + ":1 " + s(a1) + ":1 " + s(d1) + ":1");

  // Without a vault nothing runs.
  long a4 = addBackup({.syncStatus = 1});
  EXPECT_EQ(refreshRetention(""), 0);
  EXPECT_EQ(refreshRetention(nullptr), 0);
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue WHERE backup_no = " + s(a4)), 0);
}

TEST_F(Refresh, RetentionQueuesAnIncrementalsWholeGroup) {
  long m = addBackup({.type = 1, .syncStatus = 2});
  long d = addBackup({.type = 2, .syncStatus = 1});
  EXPECT_EQ(refreshRetention(kVault), 1);
  // The master comes first and needs sync again.
  EXPECT_EQ(queueOf(kVault), s(m) + ":1 " + s(d) + ":1");
  EXPECT_EQ(syncOf(m), 1);
}

TEST_F(Refresh, RefreshFollowsTheSchemeSetting) {
  long b = addBackup({.syncStatus = 1});
  snprintf(g_settings.SyncTo, sizeof g_settings.SyncTo, "%s", kVault);

  g_settings.QueueScheme = QUEUE_SCHEME_NONE;
  EXPECT_EQ(refreshQueue(), 0);
  EXPECT_EQ(queueOf(kVault), "");

  g_settings.QueueScheme = QUEUE_SCHEME_RETENTION;
  g_settings.SyncTo[0] = '\0';
  EXPECT_EQ(refreshQueue(), 0);
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue"), 0);

  snprintf(g_settings.SyncTo, sizeof g_settings.SyncTo, "%s", kVault);
  EXPECT_EQ(refreshQueue(), 1);
  EXPECT_EQ(queueOf(kVault), s(b) + ":1");

  // Recency runs after Retention: a newer backup is queued by both, once.
  long b2 = addBackup({.syncStatus = 1});
  g_settings.QueueScheme = QUEUE_SCHEME_RECENCY;
  EXPECT_EQ(refreshQueue(), 1);
  // b needs no sync after pruning for b2 (a newer master) and leaves.
  EXPECT_EQ(queueOf(kVault), s(b2) + ":1");
  EXPECT_EQ(syncOf(b), 0);
}

TEST_F(Refresh, RecencyQueuesTheNewestCompletedBackupPerInstanceAndPrunes) {
  // Instance X: stand-alone masters and bare-metal backups.
  long x0 = addBackup({.type = 1024, .syncStatus = 1});  // unqueued bare metal, older
  long x1 = addBackup({.type = 1, .syncStatus = 1});
  addEntry(x1, kVault, 1);
  long xb = addBackup({.type = 1024, .syncStatus = 1});  // queued bare metal
  addEntry(xb, kVault, 1);
  long x2 = addBackup({.type = 1, .syncStatus = 1});     // unqueued master, older
  long x3 = addBackup({.type = 1, .syncStatus = 1});     // newest: the candidate
  exec("UPDATE vx.application_instances SET priority = 5 WHERE instance_id = " + s(instance_));

  // Instance Y (highest priority): its newest backup has both bits.
  long instY = addInstance(node_, 1, "y");
  exec("UPDATE vx.application_instances SET priority = 9 WHERE instance_id = " + s(instY));
  long y1 = addBackup({.instanceId = instY, .syncStatus = 1});
  addBackup({.instanceId = instY, .syncStatus = 3});

  // Instance Z: a differential below a running backup; its group master
  // z1 decides what is older.
  long instZ = addInstance(node_, 1, "z");
  exec("UPDATE vx.application_instances SET priority = 7 WHERE instance_id = " + s(instZ));
  long z0 = addBackup({.type = 1, .instanceId = instZ, .syncStatus = 1});
  addEntry(z0, kVault, 1);
  long z1 = addBackup({.type = 1, .instanceId = instZ, .syncStatus = 2});
  long z2 = addBackup({.type = 2, .instanceId = instZ, .syncStatus = 1});
  long z3 = addBackup({.type = 2, .status = 0x200, .instanceId = instZ, .syncStatus = 1});

  // Instance W: an older in-progress backup with property 2048 that still
  // needs sync holds the candidate back.
  long instW = addInstance(node_, 1, "w");
  exec("UPDATE vx.application_instances SET priority = 1 WHERE instance_id = " + s(instW));
  long w1 = addBackup({.status = 0x200, .properties = 2048, .instanceId = instW, .syncStatus = 1});
  long w2 = addBackup({.instanceId = instW, .syncStatus = 1});
  addBackup({.status = 0x200, .instanceId = instW});

  ASSERT_EQ(refreshRecency(kVault), 0);

  // Z (priority 7) is handled before X (5): its group, then x3.
  EXPECT_EQ(queueOf(kVault), s(xb) + ":1 " + s(z1) + ":1 " + s(z2) + ":1 " + s(x3) + ":1");
  // X: the older queued master lost its bit and its entry; the older
  // unqueued bare-metal backup lost its bit; the queued bare-metal backup
  // and the unqueued master are left alone.
  EXPECT_EQ(syncOf(x1), 0);
  EXPECT_EQ(syncOf(x0), 0);
  EXPECT_EQ(syncOf(xb), 1);
  EXPECT_EQ(syncOf(x2), 1);
  // Y: nothing chosen, nothing queued.
  EXPECT_EQ(syncOf(y1), 1);
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue WHERE backup_no = " + s(y1)), 0);
  // Z: the master before the group's master was pruned; the group master
  // needs sync again; the running backup is not queued.
  EXPECT_EQ(syncOf(z0), 0);
  EXPECT_EQ(syncOf(z1), 1);
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue WHERE backup_no = " + s(z3)), 0);
  // W: held back.
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue WHERE backup_no IN (" + s(w1) +
                   "," + s(w2) + ")"),
            0);
  EXPECT_EQ(syncOf(w2), 1);

  // Nothing changes on a second pass.
  ASSERT_EQ(refreshRecency(kVault), 0);
  EXPECT_EQ(queueOf(kVault), s(xb) + ":1 " + s(z1) + ":1 " + s(z2) + ":1 " + s(x3) + ":1");

  EXPECT_EQ(refreshRecency(""), 0);
}

TEST_F(Refresh, PruningKeepsOtherVaultsAndActiveEntries) {
  long old1 = addBackup({.type = 1, .syncStatus = 1});
  addEntry(old1, kVault, 16);  // active: not waiting, kept
  long old2 = addBackup({.type = 1, .syncStatus = 1});
  addEntry(old2, "vaultB", 1);  // other vault, kept
  long m = addBackup({.type = 1, .syncStatus = 1});
  EXPECT_EQ(pruneOlderEntries(m, kVault), 0);
  EXPECT_EQ(queueOf(kVault), s(old1) + ":16");
  EXPECT_EQ(queueOf("vaultB"), s(old2) + ":1");
  EXPECT_EQ(syncOf(old1), 1);
  EXPECT_EQ(syncOf(old2), 1);

  // A group that cannot be determined fails.
  EXPECT_EQ(pruneOlderEntries(987654, kVault), -1);
}

TEST_F(Refresh, SyncBitsChangeOnlyTheirBitOfOneBackup) {
  LogCapture log;
  long both = addBackup({.syncStatus = 3});
  long needed = addBackup({.syncStatus = 1});
  long other = addBackup({.syncStatus = 1});

  clearSyncNeeded(both);
  EXPECT_EQ(syncOf(both), 2);
  setSyncDone(needed);
  EXPECT_EQ(syncOf(needed), 3);
  clearSyncNeeded(needed);
  EXPECT_EQ(syncOf(needed), 2);
  EXPECT_EQ(syncOf(other), 1);
  EXPECT_TRUE(log.contains("SUCCESS!"));
  EXPECT_FALSE(log.contains("Failed to clear sync"));

  // No such backup: the statement changes no row.
  setSyncDone(999999);
  EXPECT_TRUE(log.contains("Failed to clear sync"));
}

TEST_F(Refresh, UseBlockElimFollowsTheCandidateSetting) {
  long master = addBackup({.type = 1, .properties = 0});
  long diff = addBackup({.type = 2, .properties = 1});
  g_settings.LocalBlockElimination = 1;

  g_settings.BlockEliminationCandidate = 0;
  EXPECT_EQ(useBlockElim(master), 0);
  g_settings.BlockEliminationCandidate = 1;
  EXPECT_EQ(useBlockElim(master), 0);
  EXPECT_EQ(useBlockElim(diff), 1);
  g_settings.BlockEliminationCandidate = 2;
  EXPECT_EQ(useBlockElim(master), 1);
  EXPECT_EQ(useBlockElim(diff), 0);
  g_settings.BlockEliminationCandidate = 3;
  EXPECT_EQ(useBlockElim(master), 1);
  EXPECT_EQ(useBlockElim(diff), 1);
  g_settings.BlockEliminationCandidate = 4;
  EXPECT_EQ(useBlockElim(master), 0);

  g_settings.BlockEliminationCandidate = 3;
  g_settings.LocalBlockElimination = 0;
  EXPECT_EQ(useBlockElim(master), 0);
}

TEST_F(Refresh, LbeReferencesPerModeWithoutVault) {
  long m1 = addBackup({.type = 1, .syncStatus = 2});
  long i1 = addBackup({.type = 2, .syncStatus = 2});
  long m2 = addBackup({.type = 1, .syncStatus = 2});
  long i2 = addBackup({.type = 2, .syncStatus = 2});
  addBackup({.type = 2, .syncStatus = 3});  // not exactly "done": never a reference
  long b = addBackup({.type = 2, .syncStatus = 1});
  long later = addBackup({.type = 2, .syncStatus = 2});
  long instO = addInstance(node_, 1, "o");
  long o1 = addBackup({.type = 1, .instanceId = instO, .syncStatus = 1});
  long o2 = addBackup({.type = 2, .instanceId = instO, .syncStatus = 2});

  uint64_t *list = reinterpret_cast<uint64_t *>(1);
  EXPECT_EQ(getLBEBackupList(b, 0, &list, nullptr), 0);
  EXPECT_EQ(list, nullptr);

  int n = getLBEBackupList(b, 1, &list, nullptr);
  EXPECT_EQ(take(list, n), std::vector<uint64_t>({(uint64_t)m2}));
  n = getLBEBackupList(b, 2, &list, nullptr);
  EXPECT_EQ(take(list, n), std::vector<uint64_t>({(uint64_t)m2, (uint64_t)i2}));
  n = getLBEBackupList(b, 3, &list, nullptr);
  EXPECT_EQ(take(list, n), std::vector<uint64_t>({(uint64_t)m1, (uint64_t)i1, (uint64_t)m2,
                                                  (uint64_t)i2, (uint64_t)later}));
  n = getLBEBackupList(b, 4, &list, nullptr);
  EXPECT_EQ(take(list, n), std::vector<uint64_t>({(uint64_t)m1, (uint64_t)i1, (uint64_t)m2,
                                                  (uint64_t)i2, (uint64_t)later, (uint64_t)o2}));

  // The first master of an instance has no replicated master before it.
  LogCapture log;
  EXPECT_EQ(getLBEBackupList(o1, 2, &list, nullptr), 0);
  EXPECT_EQ(list, nullptr);
  EXPECT_TRUE(log.contains("No previous master has replicated"));
  // Mode 1 finds none either.
  EXPECT_EQ(getLBEBackupList(o1, 1, &list, nullptr), 0);
  EXPECT_TRUE(log.contains("No backups to list"));

  EXPECT_EQ(getLBEBackupList(b, 5, &list, nullptr), -1);
  EXPECT_TRUE(log.contains("Unrecognized mode value:5"));
  EXPECT_EQ(list, nullptr);
}

TEST_F(Refresh, CreateHactarRunsRecipeAndJudgesItsEnd) {
  long b = addBackupOnDevice({});
  LogCapture log;

  // The recipe gets "-b <backup>" and leaves the file at the device path.
  writeRecipe("echo \"$1 $2\" > \"$DEVICE/hactar_$2\"");
  ASSERT_EQ(createHactar(b), 0);
  EXPECT_EQ(sandbox_.read("dev/dedup0/hactar_" + s(b)), "-b " + s(b) + "\n");
  EXPECT_TRUE(log.contains("completed successfully"));

  writeRecipe("exit 2");
  EXPECT_EQ(createHactar(b), -1);
  EXPECT_TRUE(log.contains("failed, exited with status=2."));

  // Killed by a signal: whether the shell reports the signal itself or as
  // an exit status above 128, the build fails.
  writeRecipe("kill -KILL $$");
  EXPECT_EQ(createHactar(b), -1);
  EXPECT_TRUE(log.contains("failed due to signal Killed.") || log.contains("status=137."))
      << log.text();

  unlink((bindir_ + "/recipe").c_str());
  EXPECT_EQ(createHactar(b), -1);
  EXPECT_TRUE(log.contains("status=127."));
}

TEST_F(Refresh, RemoveHactarDeletesTheFileOrFindsNone) {
  long b = addBackupOnDevice({});
  std::string path = hactarFile(b);
  char found[1024];
  ASSERT_EQ(hactarPath(b, found, sizeof found), 0);
  EXPECT_EQ(std::string(found), path);

  sandbox_.write("dev/dedup0/hactar_" + s(b), "archive");
  EXPECT_EQ(removeHactar(b), 0);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  // Already gone (or never made): still success.
  EXPECT_EQ(removeHactar(b), 0);

  // A backup without a device cannot name its HaCTAR.
  long loose = addBackup({});
  EXPECT_EQ(removeHactar(loose), -1);

  // A device path too long for the buffer is refused.
  exec("UPDATE vx.devices SET dev_rw_name = '" + std::string(1030, 'd') + "'");
  EXPECT_EQ(hactarPath(b, found, sizeof found), -1);
}

TEST_F(Refresh, EncryptionFlagIsPropertyBit256) {
  long plain = addBackup({.properties = 0x1000});
  long enc = addBackup({.properties = 0x1100});
  EXPECT_EQ(vx_is_backup_encrypted(plain), 0);
  EXPECT_EQ(vx_is_backup_encrypted(enc), 1);
  EXPECT_EQ(vx_is_backup_encrypted(999999), 0);
}

// Runs a utility handler with its standard output caught in a file.
std::string runCapturingStdout(int (*handler)(int, char **), std::vector<std::string> args,
                               const std::string &file, int *result) {
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  fflush(stdout);
  int saved = dup(1);
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, 1);
  close(fd);
  *result = handler((int)argv.size(), argv.data());
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  FILE *f = fopen(file.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while (f && (n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  if (f) fclose(f);
  return out;
}

TEST_F(Refresh, LbeCommandListsTheBlocksNoReferenceHolds) {
  // Hashes in the catalogue tables (no platform capability file in the
  // sandbox: the catalogue generation of the index).
  forgetMetadataGeneration();
  ASSERT_EQ(getMetadataGeneration(), 0);
  std::string names[4];
  long ids[4];
  for (int seed = 1; seed <= 3; seed++) {
    std::string hex;
    char b[3];
    for (int i = 0; i < 64; i++) {
      snprintf(b, sizeof b, "%02X", (seed * 7 + i) & 0xff);
      hex += b;
    }
    names[seed] = "b-sha512-4096-" + hex;
    ids[seed] = number("INSERT INTO vx.hash_values (hash_type, hashed_length, hash_value) VALUES "
                       "('sha512', 4096, '\\x" + hex + "') RETURNING hash_id");
  }
  auto block = [&](long backup, long offset, int seed) {
    exec("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id) VALUES (" +
         s(backup) + ", " + s(offset) + ", " + s(ids[seed]) + ")");
  };
  long m = addBackup({.type = 1, .syncStatus = 2});
  block(m, 0, 1);
  block(m, 4096, 2);
  long b = addBackup({.type = 2, .syncStatus = 1});
  block(b, 0, 3);
  block(b, 4096, 1);
  block(b, 8192, 3);
  block(b, 12288, 2);

  std::string file = sandbox_.path("out.txt");
  int rc = -9;
  // Against the last master only the new block is left, once.
  EXPECT_EQ(runCapturingStdout(utilLbe, {"rpd", "util", "lbe", s(b), "1"}, file, &rc),
            names[3] + "\n");
  EXPECT_EQ(rc, 0);
  // Without references every distinct block once (the catalogue's
  // distinct list comes in hash order, so the lines are compared sorted).
  std::string all = runCapturingStdout(utilLbe, {"rpd", "util", "lbe", s(b), "0"}, file, &rc);
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(all.substr(at, nl - at));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, std::vector<std::string>({names[1], names[2], names[3]}));
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(runCapturingStdout(utilLbe, {"rpd", "util", "lbe", s(b), "9"}, file, &rc), "");
  EXPECT_EQ(rc, -1);
}

}  // namespace
}  // namespace rpd::test
