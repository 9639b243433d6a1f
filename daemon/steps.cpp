// steps.cpp: the bodies of the daemon's steps into other subsystems (see
// steps.h). Each body below is the single place where its subsystem is
// called; until a subsystem is wired in, its step does nothing and reports
// success, so the daemon loops, re-reads its settings and starts no
// workers.
#include "daemon/steps.h"

#include "daemon/terminate.h"
#include "queue/refresh.h"
#include "queue/replicationQueue.h"
#include "vault/blockOut.h"
#include "vault/transfer.h"

int stepRefreshQueue() { return refreshQueue(); }

int stepHandleTerminated() { return handleTerminated(); }

int stepStartWorker(uint64_t backupNo, char *vault, int forkFlag) {
  // Pending: the worker function. Nothing is started meanwhile.
  (void)backupNo;
  (void)vault;
  (void)forkFlag;
  return 1;
}

int stepCreateBandwidthTable() { return createBandwidthTable(); }

int stepGetBandwidthTableId() { return getBandwidthTableId(); }

int stepAttachBandwidthTable(int segmentId) { return attachBandwidthTable(segmentId); }

void stepDetachBandwidthTable() { detachBandwidthTable(); }

int stepResetActive() { return resetActive(); }

void stepReadSocketSettings(const char *iniPath) { loadSocketSettings(iniPath); }

int stepParseBlockOutPeriods(const char *text) { return parseBlockOutPeriods(text); }

void stepClearWorkerProcessState() {
  // Pending: clearing the progress-record slots and the
  // statistics-inserted flag of the worker.
}

void stepReleaseReservation() {
  // Pending: smgr_unregister() of the key held by this process.
}
