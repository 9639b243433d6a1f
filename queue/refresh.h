// refresh.h: the queue refresh that fills vx.replication_queue from the
// catalogue on every pass of the daemon's main loop, the sync bits of local
// backups, and the two local block elimination (LBE) decisions that the
// block senders ask for.
//
// Two refresh schemes exist (setting QueueScheme):
//   1 "Retention": every backup whose sync_status is exactly 1 (sync
//     needed) and that is in no queue entry is queued with its group,
//     oldest first, unless a newer backup of its instance is already
//     queued for the vault (the older one is then superseded).
//   2 "Recency": Retention, then for each application instance (highest
//     priority first) its newest completed backup is queued and the
//     instance's older waiting entries are pruned.
//
// LBE lets a backup's blocks be checked against earlier local backups that
// the Vault already holds: a block that one of those reference backups
// contains need not be asked about. The reference set is chosen by mode:
//   0 none, 1 the last synced master of the instance, 2 the last synced
//   master and the synced backups after it, 3 every synced backup of the
//   instance, 4 every synced backup.
//
// Every statement is formatted into a fixed-size buffer; one that does not
// fit is not run ("Query too long for buffer"). Everything here runs on
// the calling process's one catalogue connection (lib/pghelper.h).
#pragma once

#include <cstdint>

// Bits of sync_status in vx.backups.
constexpr int SYNC_NEEDED = 1;
constexpr int SYNC_DONE = 2;

// Queue refresh under g_settings.QueueScheme with g_settings.SyncTo as the
// vault: scheme 1 runs Retention, scheme 2 Retention then Recency, any
// other scheme nothing. Returns Retention's count of candidate backups
// (0 when nothing ran or only Recency counts), or -1 when a scheme run
// failed (logged). The daemon ignores the result and retries next pass.
int refreshQueue();

// Retention for `vault` (null or empty: no vault, returns 0). Returns the
// number of candidate backups examined, or -1 when the candidate statement
// fails or does not fit, or the vault name breaks the vault name rule
// (lib/validate.h; refused before any statement, as in refreshRecency and
// pruneOlderEntries).
int refreshRetention(const char *vault);

// Recency for `vault` (null or empty: returns 0). 0, or -1 when the
// instance list or a candidate statement fails.
int refreshRecency(const char *vault);

// Prunes the entries of `vault` older than backupNo's group master: the
// sync-needed bit is cleared on waiting (state 1) entries of the instance
// that are older than the master (bare-metal backups excepted) and on
// unqueued bare-metal backups older than the master, then the waiting
// entries that no longer need sync are deleted. 0 (also when the group has
// no master or is empty), -1 when the group or a statement fails or the
// vault name is refused.
int pruneOlderEntries(uint64_t backupNo, const char *vault);

// Clears the sync-needed bit of a backup. Failures are logged only.
void clearSyncNeeded(uint64_t backupNo);
// Sets the sync-done bit of a backup. Failures are logged only.
void setSyncDone(uint64_t backupNo);

// Whether the backup is to use local block elimination under the settings
// LocalBlockElimination and BlockEliminationCandidate: 1 or 0.
int useBlockElim(uint64_t backupNo);

// LBE reference selection: the earlier synced backups (sync_status exactly
// 2) that may serve as references for backupNo under `mode` (0..4). With a
// vault each candidate is checked on the Vault and kept only when the
// Vault holds it complete and hashed; with a null vault the Vault is not
// consulted. On a positive result *list is a malloc'ed array of that many
// backup numbers that the caller frees; otherwise *list is null. Returns
// the count, 0 when there are none, -1 on failure or an unknown mode.
int getLBEBackupList(uint64_t backupNo, int mode, uint64_t **list, const char *vault);
