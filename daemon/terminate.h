// terminate.h: terminated operations, sync bits and the HaCTAR.
//
// An administrator terminates a replication by marking its queue entry
// REPLICATION_CLEANUP (32, "rpd util cleanup"). On each pass the daemon
// stops the entry's worker, tells the Vault the backup operation ended,
// removes the backup's HaCTAR and sets the entry cancelled (8).
//
// The HaCTAR is the hash-aware archive that carries a backup's final
// metadata to the Vault: the appliance's "recipe" command builds it at
// "<dev_rw_name>/hactar_<backup>" on the device that holds the backup; the
// worker sends it whole and removes it afterwards.
//
// The sync bits (clearSyncNeeded, setSyncDone) are shared with the queue
// refresh and live with it in queue/refresh.h, included here.
//
// Reaping ended workers is reapWorkers() in daemon/rpd.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "queue/refresh.h"

// Handles up to MaxConcurrent + 1 entries in state 32, in queue order: for
// each, stops its worker (SIGINT, record removed), sends the Vault the end
// notice "backup operation terminated" under the backup's identity (or
// "tempUUID" when it has none), removes the HaCTAR and sets the entry to
// 8. A failed notice or removal is logged and does not stop the rest. An
// entry whose vault name breaks the vault name rule is skipped untouched.
// Returns the number of entries listed, or -1 when the entries cannot be
// listed or room for them cannot be had.
int handleTerminated();

// Builds the backup's HaCTAR by running "<g_bindir>/recipe -b <backup>"
// through the shell. 0 when the command exited with status 0; -1 when it
// could not run, ended by a signal or exited non-zero (all logged).
int createHactar(uint64_t backupNo);

// Sends the backup's HaCTAR to `vault` for the Vault's backup
// targetBackupNo, decrypting it first when the backup is encrypted
// (properties bit 256). `elapsed` is handed to the transfer for its
// statistics. Adds the file's size to the bytes sent. 0 / -1.
int sendHactar(uint64_t backupNo, const char *vault, long targetBackupNo, uint64_t elapsed);

// Removes the backup's HaCTAR. 0 when it is gone or was never there, -1
// when its path cannot be found or the file cannot be deleted.
int removeHactar(uint64_t backupNo);

// Writes the HaCTAR path of a backup into path (size bytes). 0 / -1
// (logged: failed lookup, or the path does not fit).
int hactarPath(uint64_t backupNo, char *path, size_t size);

// Whether the backup's data is encrypted (properties bit 256). A failed
// lookup counts as not encrypted: 0.
int vx_is_backup_encrypted(uint64_t backupNo);
