// steps.cpp: the bodies of the daemon's steps into other subsystems (see
// steps.h). Each body below is the single place where its subsystem is
// called; until a subsystem is wired in, its step does nothing and reports
// success, so the daemon loops, re-reads its settings and starts no
// workers.
#include "daemon/steps.h"

int stepRefreshQueue() {
  // Pending: the queue refresh of the queue subsystem.
  return 0;
}

int stepHandleTerminated() {
  // Pending: handleTerminated() (terminated operations).
  return 0;
}

int stepStartWorker(uint64_t backupNo, char *vault, int forkFlag) {
  // Pending: the worker function. Nothing is started meanwhile.
  (void)backupNo;
  (void)vault;
  (void)forkFlag;
  return 1;
}

int stepCreateBandwidthTable() {
  // Pending: createBandwidthTable().
  return 0;
}

int stepGetBandwidthTableId() {
  // Pending: getBandwidthTableId().
  return -1;
}

int stepAttachBandwidthTable(int segmentId) {
  // Pending: attachBandwidthTable(segmentId).
  (void)segmentId;
  return 0;
}

void stepDetachBandwidthTable() {
  // Pending: detachBandwidthTable().
}

int stepResetActive() {
  // Pending: resetActive() of the queue table.
  return 0;
}

void stepReadSocketSettings(const char *iniPath) {
  // Pending: the transfer engine's socket-settings loader.
  (void)iniPath;
}

int stepParseBlockOutPeriods(const char *text) {
  // Pending: parseBlockOutPeriods(text).
  (void)text;
  return 0;
}

void stepClearWorkerProcessState() {
  // Pending: clearing the progress-record slots and the
  // statistics-inserted flag of the worker.
}

void stepReleaseReservation() {
  // Pending: smgr_unregister() of the key held by this process.
}
