// refresh.cpp: the queue refresh schemes, the pruning of superseded
// entries, the sync bits and the local block elimination decisions.
//
// Statements are formatted with snprintf into the buffers their callers
// have always used and run as complete texts (pgExec). Vault names are
// pasted between single quotes as given: they come from the configuration
// or the command line and never contain quotes.
#include "queue/refresh.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "daemon/settings.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/validate.h"
#include "metadata/identity.h"
#include "queue/groups.h"
#include "queue/replicationQueue.h"
#include "vault/rest.h"

namespace {

// Backup status and property bits the refresh tests.
constexpr int STATUS_IN_PROGRESS = 512;
constexpr int PROPERTY_EXCLUSIVE = 2048;  // tested together with "in progress"
constexpr int PROPERTY_LBE_CANDIDATE = 1;
constexpr int TYPE_INCREMENTAL = 3;
constexpr int TYPE_BAREMETAL = 1024;
// What the Vault's identity check reports for a backup it can serve as an
// LBE reference: complete, and its blocks hashed.
constexpr uint64_t TARGET_STATUS_COMPLETE = 0x440;
constexpr uint64_t TARGET_PROPERTIES_HASHED = 0x600;

bool fits(int n, size_t size) { return n >= 0 && static_cast<size_t>(n) < size; }

// Runs a complete statement; the result, or null when it failed (the
// helper has logged the server's error).
pgResult *run(const char *text) {
  pgResult *r = pgExec(text);
  if (r != nullptr && pgStatus(r) != 0) {
    pgClear(r);
    return nullptr;
  }
  return r;
}

bool hasVault(const char *vault) { return vault != nullptr && vault[0] != '\0'; }

// Master (full) types: the reference of "last master" selection and the
// types that use LBE under candidate rule 2.
bool isMasterType(long type) {
  return type == 1 || type == 5 || type == 9 || type == 12 || type == 1031;
}

// Types that stand alone in the queue: masters, full application backups,
// bare-metal and system metadata backups. The first such member of a group
// is its master.
bool standsAlone(long type) {
  switch (type) {
    case 1: case 5: case 9: case 12: case 1024: case 1031: case 1034: case 1036:
    case 1038: case 1039: case 4098:
      return true;
    default:
      return false;
  }
}

// The type of a backup, or -1 when it cannot be read.
long backupType(uint64_t backupNo) {
  char query[128];
  int n = snprintf(query, sizeof query, "SELECT type FROM vx.backups WHERE backup_no = %lu",
                   (unsigned long)backupNo);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr r(run(query));
  if (!r || pgTuples(r.get()) < 1) return -1;
  long type = pgLVal(r.get(), 0, "type");
  return pgResultError(r.get()) ? -1 : type;
}

// Updates one sync bit: the shared body of clearSyncNeeded and setSyncDone.
// `format` takes the bit and the backup number.
void updateSyncBit(const char *format, int bit, uint64_t backupNo) {
  char query[256];
  // The number is formatted as a 32-bit decimal, as the catalogue's
  // callers have always passed it.
  int n = snprintf(query, sizeof query, format, bit, (int)backupNo);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return;
  }
  PgResultPtr r(run(query));
  if (!r || pgAffectedRows(r.get()) < 1) {
    LOG(0, "Failed to clear sync\n");
    return;
  }
  LOG(6, "SUCCESS!\n");
}

// Retention step for one unqueued backup: enqueue it unless a newer backup
// of its instance is already queued for the vault, in which case it is
// superseded and loses its sync-needed bit.
void retainBackup(uint64_t backupNo, const char *vault) {
  char query[4096];
  int n = snprintf(query, sizeof query,
                   "SELECT q.backup_no FROM vx.replication_queue q JOIN vx.backups b ON "
                   "(q.backup_no=b.backup_no) WHERE q.backup_no>%ld AND q.vault = '%s' AND "
                   "b.instance_id=(SELECT instance_id FROM vx.backups WHERE backup_no=%ld)",
                   (long)backupNo, vault, (long)backupNo);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return;
  }
  PgResultPtr r(run(query));
  // A failed question counts as "superseded": clearing the bit of a backup
  // that a newer one replaces loses nothing, queueing a stale one would.
  if (!r || pgTuples(r.get()) > 0) {
    clearSyncNeeded(backupNo);
    return;
  }
  LOG(1, "Enqueue:%ld", (long)backupNo);
  enqueueGroup(backupNo, vault);
}

// Whether an older-or-equal backup of the candidate's instance is still in
// progress with the exclusive property and sync needed; a failed statement
// counts as such a backup, so nothing is queued on doubt.
bool exclusiveInProgress(uint64_t candidate) {
  char query[1024];
  int n = snprintf(query, sizeof query,
                   "SELECT backup_no FROM vx.backups WHERE instance_id=(SELECT instance_id FROM "
                   "vx.backups WHERE backup_no=%ld) AND (properties & %d)=%d AND (status & %d )=%d "
                   "AND (sync_status & %d)=%d AND start_time<=(SELECT start_time FROM vx.backups "
                   "WHERE backup_no=%ld) ",
                   (long)candidate, PROPERTY_EXCLUSIVE, PROPERTY_EXCLUSIVE, STATUS_IN_PROGRESS,
                   STATUS_IN_PROGRESS, SYNC_NEEDED, SYNC_NEEDED, (long)candidate);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return true;
  }
  PgResultPtr r(run(query));
  return !r || pgTuples(r.get()) > 0;
}

// The members of backupNo's group with their types, in group order. 0, or
// -1 when the group cannot be determined (logged).
int groupWithTypes(uint64_t backupNo, long type, std::vector<std::pair<uint64_t, long>> *members) {
  if (standsAlone(type)) {
    members->emplace_back(backupNo, type);
    return 0;
  }
  std::vector<uint64_t> numbers;
  if (type == TYPE_INCREMENTAL) {
    LOG(0, "vxGetSynthesisGroup");
    uint32_t *list = nullptr;
    uint32_t count = 0;
    if (vxGetSynthesisGroup(backupNo, 0, 0, &list, &count, nullptr) != 0) {
      LOG(0, "Could not determine synthesis group");
      return -1;
    }
    std::unique_ptr<uint32_t, decltype(&free)> owner(list, &free);
    numbers.assign(list, list + count);
  } else {
    RestoreGroupRecord *records = nullptr;
    uint32_t count = 0;
    if (vxGetRestoreGroupOptimized(backupNo, &records, &count) != 0) {
      LOG(0, "Could not determine restore group; Must be master.");
      return -1;
    }
    std::unique_ptr<RestoreGroupRecord, decltype(&free)> owner(records, &free);
    for (uint32_t i = 0; i < count; i++) numbers.push_back(records[i].backupNo);
  }
  // The restore group's records carry a job-type code rather than the
  // catalogue type, so every member's type is read from the catalogue.
  for (uint64_t m : numbers) members->emplace_back(m, backupType(m));
  return 0;
}

// Runs a pruning statement. 0 / -1 (logged with the statement).
int runPruneStatement(const char *query) {
  LOG(0, "Query:%s", query);
  PgResultPtr r(run(query));
  if (!r) {
    LOG(0, "Error: failed database Query\n");
    LOG(0, "Query:%s", query);
    return -1;
  }
  return 0;
}

// Recency for one instance. 0, or -1 when the candidate statement fails.
int recencyForInstance(unsigned long instance, const char *vault) {
  LOG(3, "Instance: %lu", instance);
  char query[1024];
  int n = snprintf(
      query, sizeof query,
      "SELECT backup_no,sync_status FROM vx.backups WHERE CASE WHEN (SELECT start_time FROM "
      "vx.backups WHERE instance_id=%lu AND (status & %d )=%d ORDER BY start_time DESC LIMIT 1) IS "
      "NOT NULL THEN start_time<(SELECT start_time FROM vx.backups WHERE instance_id=%lu AND "
      "(status & %d )=%d ORDER BY start_time DESC LIMIT 1) ELSE TRUE END AND(status & %d )=0 AND "
      "instance_id=%lu  ORDER BY start_time DESC LIMIT 1",
      instance, STATUS_IN_PROGRESS, STATUS_IN_PROGRESS, instance, STATUS_IN_PROGRESS,
      STATUS_IN_PROGRESS, STATUS_IN_PROGRESS, instance);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  LOG(0, "%s", query);
  PgResultPtr r(run(query));
  if (!r) {
    LOG(0, "Failed to get backups");
    return -1;
  }
  long count = pgTuples(r.get());
  LOG(3, "count: %ld", count);
  if (count < 1) return 0;
  long sync = pgLVal(r.get(), 0, "sync_status");
  LOG(0, "Sync:%ld", sync);
  // Only a backup that needs sync and is not yet synced is a candidate.
  if (sync != SYNC_NEEDED) return 0;
  uint64_t candidate = (uint64_t)pgULVal(r.get(), 0, "backup_no");
  LOG(3, "Backup:%ld", (long)candidate);

  if (queueStatus(candidate, vault) == 0 && !exclusiveInProgress(candidate))
    enqueueGroup(candidate, vault);
  // Pruning failures are logged there; they do not end the pass.
  pruneOlderEntries(candidate, vault);
  return 0;
}

}  // namespace

void clearSyncNeeded(uint64_t backupNo) {
  LOG(6, "Clearing sync needed bit");
  // The statement keeps a blank before WHERE: a numeric literal followed
  // directly by a keyword is refused by the catalogue server.
  updateSyncBit("UPDATE vx.backups SET sync_status = sync_status & ~%d WHERE (backup_no = %d)",
                SYNC_NEEDED, backupNo);
}

void setSyncDone(uint64_t backupNo) {
  LOG(6, "Setting sync done bit");
  updateSyncBit("UPDATE vx.backups SET sync_status = sync_status | %d WHERE (backup_no = %d)",
                SYNC_DONE, backupNo);
}

int refreshQueue() {
  LOG(5, "Updating queue");
  const char *vault = g_settings.SyncTo;
  if (g_settings.QueueScheme == QUEUE_SCHEME_RETENTION) {
    LOG(2, "Retention");
    return refreshRetention(vault);
  }
  if (g_settings.QueueScheme == QUEUE_SCHEME_RECENCY) {
    LOG(2, "Recency");
    // Recency runs even when Retention failed: the two look at different
    // backups, and each failure is retried on the next pass anyway.
    int retained = refreshRetention(vault);
    int recent = refreshRecency(vault);
    if (retained < 0 || recent < 0) return -1;
    return retained;
  }
  return 0;
}

int refreshRetention(const char *vault) {
  if (!hasVault(vault)) return 0;
  if (checkVaultName(vault, __func__) != 0) return -1;
  char query[512];
  int n = snprintf(query, sizeof query,
                   "SELECT b.backup_no FROM vx.backups b left join vx.replication_queue q ON "
                   "(b.backup_no=q.backup_no) WHERE q.position IS NULL AND sync_status=%d AND "
                   "instance_id NOT IN (SELECT DISTINCT instance_id FROM vx.backups WHERE "
                   "(properties&%d)=%d AND (status&%d)=%d) ORDER BY backup_no ASC",
                   SYNC_NEEDED, PROPERTY_EXCLUSIVE, PROPERTY_EXCLUSIVE, STATUS_IN_PROGRESS,
                   STATUS_IN_PROGRESS);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    LOG(0, "P:%d sizeof:%d", n, (int)sizeof query);
    return -1;
  }
  LOG(3, "Query:%s", query);
  PgResultPtr r(run(query));
  if (!r) {
    LOG(0, "Error: failed database Query, backup not hashed?\n");
    return -1;
  }
  long rows = pgTuples(r.get());
  // Read every number first: enqueueing runs statements of its own.
  std::vector<uint64_t> backups;
  for (long i = 0; i < rows; i++) backups.push_back(pgULVal(r.get(), (int)i, "backup_no"));
  r.reset();

  for (uint64_t b : backups) {
    LOG(2, "Attempting to queue backup:%ld", (long)b);
    int status = queueStatus(b, vault);
    if (status == 0) {
      LOG(2, "Backup:%ld not in queue", (long)b);
      retainBackup(b, vault);
    } else if (status == REPLICATION_COMPLETE) {
      // Replicated, but its bits were never updated (or were reset).
      clearSyncNeeded(b);
      setSyncDone(b);
    }
  }
  return (int)rows;
}

int refreshRecency(const char *vault) {
  if (!hasVault(vault)) return 0;
  if (checkVaultName(vault, __func__) != 0) return -1;
  const char *query = "SELECT instance_id FROM vx.application_instances ORDER BY priority DESC";
  LOG(3, "Query:%s", query);
  std::vector<unsigned long> instances;
  {
    PgResultPtr r(run(query));
    if (!r) {
      LOG(0, "Error: failed database Query\n");
      LOG(0, "Query:%s", query);
      LOG(0, "Failed to get instance list");
      return -1;
    }
    for (long i = 0; i < pgTuples(r.get()); i++)
      instances.push_back(pgULVal(r.get(), (int)i, "instance_id"));
  }
  for (unsigned long instance : instances)
    if (recencyForInstance(instance, vault) < 0) return -1;
  return 0;
}

int pruneOlderEntries(uint64_t backupNo, const char *vault) {
  if (checkVaultName(vault, __func__) != 0) return -1;
  LOG(3, "vxGetRestoreGroupOptimized");
  long type = backupType(backupNo);
  LOG(4, "type:%d", (int)type);
  LOG(4, "backup_no:%lu", (unsigned long)backupNo);
  if (type < 0) {
    LOG(0, "Could not determine restore group; Must be master.");
    return -1;
  }
  std::vector<std::pair<uint64_t, long>> members;
  if (groupWithTypes(backupNo, type, &members) != 0) return -1;
  LOG(0, "count: %d", (int)members.size());
  if (members.empty()) return 0;

  uint64_t master = 0;
  for (size_t i = 0; i < members.size(); i++) {
    LOG(3, "array[%d] = %d", (int)i, (int)members[i].first);
    if (standsAlone(members[i].second)) {
      master = members[i].first;
      break;
    }
  }
  if (master == 0) return 0;

  char query[4096];
  int n = snprintf(
      query, sizeof query,
      "UPDATE vx.backups SET sync_status=(sync_status & ~%d) WHERE backup_no IN ( SELECT "
      "q.backup_no FROM vx.replication_queue q JOIN vx.backups b ON (q.backup_no = b.backup_no) "
      "WHERE b.instance_id=(SELECT instance_id FROM vx.backups WHERE backup_no=%lu) AND "
      "b.start_time<(SELECT start_time FROM vx.backups WHERE backup_no=%lu) AND q.status=%d AND "
      "q.vault='%s' AND b.type != %d) OR backup_no IN ( SELECT backup_no FROM vx.backups b WHERE "
      "backup_no NOT IN (SELECT backup_no FROM vx.replication_queue) AND b.instance_id=(SELECT "
      "instance_id FROM vx.backups WHERE backup_no=%lu) AND b.start_time<(SELECT start_time FROM "
      "vx.backups WHERE backup_no=%lu) AND b.type = %d ) ",
      SYNC_NEEDED, (unsigned long)master, (unsigned long)master, REPLICATION_NEEDED, vault,
      TYPE_BAREMETAL, (unsigned long)master, (unsigned long)master, TYPE_BAREMETAL);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  if (runPruneStatement(query) != 0) return -1;

  n = snprintf(query, sizeof query,
               "DELETE FROM vx.replication_queue WHERE backup_no IN ( SELECT q.backup_no FROM "
               "vx.replication_queue q JOIN vx.backups b ON (q.backup_no = b.backup_no) WHERE "
               "b.instance_id=(SELECT instance_id FROM vx.backups WHERE backup_no=%lu) AND "
               "b.start_time<(SELECT start_time FROM vx.backups WHERE backup_no=%lu) AND "
               "q.status=%d AND q.vault='%s' AND b.sync_status!=%d)",
               (unsigned long)master, (unsigned long)master, REPLICATION_NEEDED, vault,
               SYNC_NEEDED);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  return runPruneStatement(query);
}

int useBlockElim(uint64_t backupNo) {
  LOG(4, "useBlockElim, Decide when to use local block elemination");
  LOG(5, "blockEliminationType:%d blockEliminationCandidate:%d localBlockElimination:%d",
      g_settings.BlockEliminationType, g_settings.BlockEliminationCandidate,
      (int)g_settings.LocalBlockElimination);
  if (!g_settings.LocalBlockElimination) return 0;
  switch (g_settings.BlockEliminationCandidate) {
    case 1: {
      char query[128];
      int n = snprintf(query, sizeof query, "SELECT properties FROM vx.backups WHERE backup_no=%ld",
                       (long)backupNo);
      if (!fits(n, sizeof query)) {
        LOG(0, "Query too long for buffer");
        return 0;
      }
      PgResultPtr r(run(query));
      if (!r || pgTuples(r.get()) < 1) return 0;
      return (pgLVal(r.get(), 0, "properties") & PROPERTY_LBE_CANDIDATE) ? 1 : 0;
    }
    case 2: {
      long type = backupType(backupNo);
      return isMasterType(type) ? 1 : 0;
    }
    case 3:
      return 1;
    default:
      return 0;
  }
}

namespace {

// Whether the Vault can serve backup `candidate` as an LBE reference:
// it holds the backup complete and has hashed its blocks.
bool referenceOnTarget(uint64_t candidate, const char *vault) {
  char *identity = nullptr;
  if (getUniversalBackupIdentity(candidate, &identity) != 0 || identity == nullptr) return false;
  std::unique_ptr<char, decltype(&free)> owner(identity, &free);

  uint64_t status = 0, properties = 0;
  CURLcode curl = CURLE_OK;
  long result = postBackupCheck(vault, identity, strlen(identity) + 1, 0, &status, &properties,
                                &curl);
  if (curl != CURLE_OK || result < 1) {
    LOG(0, "Curl status: %s, postBackupCheck returned %ld.\n", curl_easy_strerror(curl), result);
    LOG(0, "Unable to perform target check for backup_no:%lu, skipping backup for Local Block "
        "Elimination", (unsigned long)candidate);
    return false;
  }
  if ((status & TARGET_STATUS_COMPLETE) == 0) {
    LOG(0, "Backup:%lu  not on target, skipping backup for Local Block Elimination",
        (unsigned long)candidate);
    return false;
  }
  if ((properties & TARGET_PROPERTIES_HASHED) == 0) {
    LOG(0, "Backup:%lu is on the target but has not been hashed, skipping backup for Local Block "
        "Elimination", (unsigned long)candidate);
    return false;
  }
  LOG(0, "Backup:%lu on target is %ld.\n", (unsigned long)candidate, result);
  return true;
}

// Formats the mode 1 statement: the newest earlier synced master.
int lastMasterQuery(char *query, size_t size, uint64_t backupNo) {
  return snprintf(query, size,
                  "SELECT backup_no FROM vx.backups WHERE sync_status=%u AND instance_id=(SELECT "
                  "instance_id FROM vx.backups WHERE backup_no=%lu) AND type IN (%d,%d,%d,%d,%d) AND "
                  "backup_no<%lu ORDER BY backup_no DESC LIMIT 1 ",
                  (unsigned)SYNC_DONE, (unsigned long)backupNo, 1, 5, 9, 12, 1031,
                  (unsigned long)backupNo);
}

}  // namespace

int getLBEBackupList(uint64_t backupNo, int mode, uint64_t **list, const char *vault) {
  *list = nullptr;
  LOG(0, "Getting list of LBE backups");
  if (mode == 0) return 0;

  char query[512];
  int n;
  switch (mode) {
    case 1:
      LOG(2, "Only vs. last master");
      n = lastMasterQuery(query, sizeof query, backupNo);
      break;
    case 2: {
      LOG(2, "Only vs. last group");
      n = lastMasterQuery(query, sizeof query, backupNo);
      if (!fits(n, sizeof query)) {
        LOG(0, "Query too long for buffer");
        return -1;
      }
      unsigned long master;
      {
        PgResultPtr r(run(query));
        if (!r) {
          LOG(0, "Error: failed database Query: %s\n", query);
          return -1;
        }
        if (pgTuples(r.get()) < 1) {
          LOG(1, "No previous master has replicated");
          return 0;
        }
        master = pgULVal(r.get(), 0, "backup_no");
      }
      n = snprintf(query, sizeof query,
                   "SELECT backup_no FROM vx.backups WHERE sync_status=%d AND instance_id=(SELECT "
                   "instance_id FROM vx.backups WHERE backup_no=%lu) AND backup_no>=%lu AND "
                   "backup_no<%lu ",
                   SYNC_DONE, (unsigned long)backupNo, master, (unsigned long)backupNo);
      break;
    }
    case 3:
      LOG(2, "Only vs. this instance");
      n = snprintf(query, sizeof query,
                   "SELECT backup_no FROM vx.backups WHERE sync_status=%d AND instance_id=(SELECT "
                   "instance_id FROM vx.backups WHERE backup_no=%lu) ",
                   SYNC_DONE, (unsigned long)backupNo);
      break;
    case 4:
      LOG(2, "For all sync done");
      n = snprintf(query, sizeof query, "SELECT backup_no FROM vx.backups WHERE sync_status=%d ",
                   SYNC_DONE);
      break;
    default:
      LOG(0, "Unrecognized mode value:%d", mode);
      return -1;
  }
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }

  LOG(3, "Query:%s", query);
  std::vector<uint64_t> candidates;
  {
    PgResultPtr r(run(query));
    if (!r) {
      LOG(0, "Error: failed database Query: %s\n", query);
      return -1;
    }
    long rows = pgTuples(r.get());
    if (rows < 1) {
      LOG(0, "No backups to list");
      return 0;
    }
    LOG(0, "Backups returned from query:%d", (int)rows);
    for (long i = 0; i < rows; i++) candidates.push_back(pgULVal(r.get(), (int)i, "backup_no"));
  }

  auto *out = static_cast<uint64_t *>(malloc(candidates.size() * sizeof(uint64_t)));
  if (out == nullptr) {
    LOG(0, "Failed to alloc memory for list of backups");
    return -1;
  }
  int count = 0;
  for (uint64_t candidate : candidates) {
    LOG(4, "Backup found for LBE:%lu", (unsigned long)candidate);
    if (vault == nullptr || referenceOnTarget(candidate, vault)) out[count++] = candidate;
  }
  if (count == 0) {
    free(out);
    return 0;
  }
  *list = out;
  return count;
}
