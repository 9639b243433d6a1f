// replicationQueue.h: the persistent replication queue (vx.replication_queue).
//
// One row per (local backup, target vault) with a position that orders the
// queue and a state. The daemon, its workers and administrators (utility
// mode) all change it. Every statement is formatted into a fixed-size
// buffer; a statement that does not fit is not run ("Query too long for
// buffer") and the operation fails. Statements run through the catalogue
// helper as plain text, and every result is released before returning.
// Vault names are pasted into the statements, so every operation that
// takes one first refuses (log line, failure result, nothing run) a name
// outside the vault name rule of lib/validate.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Entry states, tested as bits.
enum : int {
  REPLICATION_NEEDED = 1,
  REPLICATION_COMPLETE = 2,
  REPLICATION_SKIPPED = 4,
  REPLICATION_CANCELLED = 8,
  REPLICATION_ACTIVE = 16,
  REPLICATION_CLEANUP = 32,
  REPLICATION_NEED_ASSIST = 64,
  REPLICATION_OUT_OF_ORDER = 128,
};
// An instance with an entry in one of these states is busy or paused: no
// other backup of that instance is taken from the queue.
constexpr int REPLICATION_BUSY_OR_PAUSED =
    REPLICATION_ACTIVE | REPLICATION_NEED_ASSIST | REPLICATION_OUT_OF_ORDER;  // 208

// A vault name is at most 63 characters.
constexpr size_t VAULT_NAME_SIZE = 64;

// The table the operations name; "vx.replication_queue". Written only at
// start-up, so it carries no lock.
extern char g_replicationQueueTable[64];

// Creates the queue table (utility mode's createqueue). 0 / -1.
int createReplicationQueue();

// Adds one entry (backup, vault, state 1) and sets the backup's sync_status
// to exactly 1 (sync needed, which also clears "sync done"). The result is
// -1 when either statement failed, else 0; a failed sync-status update
// does not stop the insert.
int enqueueBackup(uint64_t backupNo, const char *vault);

// Adds a backup and everything it depends on, in restore order: a
// stand-alone backup alone, an incremental with its synthesis group, every
// other type with its restore group. Members without an entry are added;
// members in states 4, 8 and 32 go back to 1; members complete (2),
// active (16) or paused (64, 128) keep their entries. 0, or -1 when the
// backup's type or its group cannot be determined.
int enqueueGroup(uint64_t backupNo, const char *vault);

// The state of the entry (backup, vault): 0 when there is none, -1 when
// the statement fails.
int queueStatus(uint64_t backupNo, const char *vault);

// The state of the backup's only entry for any vault; 0 when there is no
// entry, more than one, or the statement fails.
int queueStatusAnyVault(uint64_t backupNo);

// Sets the state of the entry (backup, vault). 0 / -1.
int setQueueStatus(uint64_t backupNo, const char *vault, unsigned status);

// Sets the entry to REPLICATION_COMPLETE / REPLICATION_CLEANUP. 0 / -1.
int markComplete(uint64_t backupNo, const char *vault);
int markCleanup(uint64_t backupNo, const char *vault);

// Deletes the entry (backup, vault). 0 / -1.
int removeEntry(uint64_t backupNo, const char *vault);

// Turns every active entry (16) back into a queued one (1); run when the
// daemon starts, since no worker of an earlier run survives. 0 / -1.
int resetActive();

// Exchanges the positions of the entries (A, vault A) and (B, vault B) in
// one statement. 0 / -1.
int swapEntries(uint64_t backupA, const char *vaultA, uint64_t backupB, const char *vaultB);

// The backup number of the queued entry (state 1) at `offset` in position
// order; 0 when there is none, -1 when the statement fails.
long peekQueue(int offset);

// Lists up to `maximum` entries in state REPLICATION_CLEANUP in position
// order into backups[] and vaults[]; a row whose vault name breaks the
// rule is logged and handed back with an empty name (which every
// operation refuses).
// Returns the number of rows, -1 when the statement fails.
int listCleanup(uint64_t *backups, char (*vaults)[VAULT_NAME_SIZE], unsigned maximum);

// Takes the next entry for a worker: the first queued entry in position
// order whose backup still has its data and whose instance has no active
// or paused entry; marks it active and records rep_start. Copies its vault
// into `vault` (vaultSize bytes). Returns the backup number, 0 when nothing
// is eligible, -1 on failure, also when the row's vault name breaks the
// rule (the row is then left as it is).
long takeNext(char *vault, size_t vaultSize);

// Repairs an instance paused by an out-of-order backup: when newer backups
// of the same instance have already replicated, deletes every newer entry
// of the instance (all vaults), then sets the backup's entries to 1.
// 0 / -1.
int repairOutOfOrder(uint64_t backupNo);
