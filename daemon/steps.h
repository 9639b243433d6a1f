// steps.h: the per-pass and start-up steps that the daemon's main loop and
// the settings re-read call into other subsystems.
//
// Each step is one function with a fixed contract, so the daemon core
// (daemon/rpd.cpp, daemon/settings.cpp) calls the same names whatever
// implements them; steps.cpp holds the one call into each subsystem.
#pragma once

#include <cstddef>
#include <cstdint>

// Queue refresh under the configured QueueScheme. Returns the number of
// candidates handled, 0, or -1 on failure (already logged). A failure does
// not stop the daemon.
int stepRefreshQueue();

// Handles queue rows an administrator marked for termination: stops their
// workers, notifies the Vault and sets the rows cancelled. Returns the
// number of rows handled or -1.
int stepHandleTerminated();

// Worker function: takes the next eligible queue row (backupNo 0) or the
// given backup, and with forkFlag 1 forks a worker for it. `vault` is a
// writable buffer of VAULT_NAME_BUFFER bytes holding the configured vault
// name; the queue may overwrite it with the row's vault. Returns 1 when
// nothing was started, 0 in the daemon after a successful fork, -5 in the
// child (or in the caller when not forking) once the replication has been
// handled.
int stepStartWorker(uint64_t backupNo, char *vault, int forkFlag);

// Creates (or finds) the shared bandwidth table and attaches it read-write
// for this process. 0 or -1.
int stepCreateBandwidthTable();
// The segment id of this process's bandwidth table, kept for the workers;
// -1 when there is none.
int stepGetBandwidthTableId();
// Attaches the bandwidth table with the given segment id read-only. 0/-1.
int stepAttachBandwidthTable(int segmentId);
// Detaches from the bandwidth table and returns to the built-in default.
void stepDetachBandwidthTable();

// Sets every queue row left active (16) by an earlier run back to queued
// (1). 0 or -1; a failure does not stop the daemon.
int stepResetActive();

// Lets the transfer engine re-read its socket settings from `iniPath`.
void stepReadSocketSettings(const char *iniPath);

// Hands the BlockOutPeriods text to the bandwidth table. 0, or a negative
// value when the text is invalid.
int stepParseBlockOutPeriods(const char *text);

// Clears the process's per-replication state before a pass can fork: the
// five progress-record slots and the statistics-inserted flag.
void stepClearWorkerProcessState();

// Unregisters the storage reservation this process holds, if any.
void stepReleaseReservation();
