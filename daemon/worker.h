// worker.h: the replication worker, one process per backup.
//
// The daemon's main loop calls runWorker() once per free worker slot. It
// takes the next eligible queue entry, forks, and the child replicates the
// backup: it checks the local backup, asks the Vault whether it already
// holds it, reserves device space, makes sure the backup is hashed,
// announces it with its metadata, sends the blocks the Vault lacks, waits
// for the local backup to finish, sends the HaCTAR, waits for the Vault to
// build the backup and records the outcome in the queue entry, the sync
// bits and vx.sds_stats. Utility mode ("rpd util replicate") runs the same
// path without forking.
//
// Process-wide state of a worker (the five progress-record slots, the
// storage reservation key and the statistics-inserted flag) is touched
// only by the worker's main thread and by its termination handler, which
// runs on the way out of the process; it carries no lock.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>

// Result codes of the replication inside a worker.
constexpr int WORKER_RESULT_DONE = -5;    // nothing left to do (success or handled)
constexpr int WORKER_RESULT_RETRY = -1;   // failed; the entry is queued again
constexpr int WORKER_RESULT_PAUSED = -2;  // failed; the entry keeps a paused state

// Size of the outcome message sent to the Vault and stored in vx.sds_stats.
constexpr size_t WORKER_MESSAGE_SIZE = 2048;

// Storage reservations of a worker use the key backup XOR this.
constexpr uint32_t WORKER_RESERVATION_XOR = 0x62000000u;

// Local backup status bits (status of vx.backups).
constexpr unsigned long LOCAL_STATUS_FAILED = 0x9018;
constexpr unsigned long LOCAL_STATUS_FINISHED = 0xC40;
// Status bits the Vault reports for a backup.
constexpr unsigned long TARGET_STATUS_BUILDING = 0x200;
constexpr unsigned long TARGET_STATUS_ON_SYSTEM = 0x400;
constexpr unsigned long TARGET_STATUS_COMPLETE = 0x440;
constexpr unsigned long TARGET_STATUS_FAILED = 0x1000;
constexpr unsigned long TARGET_STATUS_CANCELLED = 0x8000;
// properties bits of vx.backups: the backup is hashed.
constexpr unsigned long BACKUP_PROPERTY_HASHED = 1536;

// The worker function. backupNo 0 takes the next eligible queue entry
// (takeNext, which copies the entry's vault into `vault`); otherwise the
// given backup is replicated to `vault`. `vault` is a writable buffer of
// VAULT_NAME_BUFFER bytes.
//
// forkFlag 1: forks; the daemon side records the child in workerList and
// returns 0, the child replicates and returns -5 (WORKER_DONE) when its
// work is done, and the caller must then leave the process.
// forkFlag 0: sets MaxConcurrent to 1 for the process and replicates in
// the calling process, returning -5 once the backup has been handled.
//
// Returns 1 when nothing was started: every slot is busy, no entry is
// eligible, the queue could not be read, or the fork failed (the entry
// taken is then queued again).
int runWorker(uint64_t backupNo, char *vault, int forkFlag);

// Makes sure the backup is hashed, running "<g_bindir>/fileDedup -H<B>"
// when its properties lack the hashed bits. 0 when it is hashed, 3 when the
// backup's data is locked (try again later), another positive value (the
// command's exit status) or -1 on failure.
int ensureHashed(uint64_t backupNo);

// Announces the backup to the Vault with its replication metadata,
// reserving the estimated size of its HaCTAR and data there. *curlResult
// receives the transfer's libcurl result (CURLE_OK when nothing was sent).
// force 1 asks the Vault to take a backup that is out of order. Returns the
// Vault's backup number (> 0), -5 (out of sequence), -6 (metadata refused)
// or another value <= 0 on failure.
long startBackupOnTarget(uint64_t backupNo, const char *vault, CURLcode *curlResult, int force);

// Records one replication attempt: adds it to today's summary charts and
// inserts a row into vx.sds_stats with the durations (seconds), the
// completion time, the bytes sent by this process, the message and the
// vault. A second call in one process is logged and still inserts.
// 0 / -1.
int insertSyncStats(uint64_t backupNo, uint64_t presync, uint64_t sync, uint64_t postsync,
                    uint64_t doneEpoch, const char *message, const char *vault);

// Formats the outcome message into `message` (`size` bytes). When it does
// not fit, logs "Warning: Message too long for buffer" and the message
// becomes "Failed: invalid message". 0, or -1 when it did not fit.
int setMessage(char *message, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Clears the process's per-replication state (the five progress-record
// slots and the statistics-inserted flag). The settings re-read runs it
// before every pass that may fork.
void clearWorkerProcessState();

// Unregisters the storage reservation this process holds, if any.
void releaseWorkerReservation();

// The reservation key this process holds, 0 when none (tests).
uint32_t workerReservationKey();

// The worker's termination handler for SIGTERM, SIGINT and SIGQUIT:
// detaches the bandwidth table, releases libcurl and the reservation,
// deletes the progress rows of the set slots and ends the process with
// status 1. The queue entry stays active (16).
void installWorkerTerminationHandler();
