// steps.cpp: the bodies of the daemon's steps into other subsystems (see
// steps.h). Each body below is the single place where the daemon core
// calls its subsystem.
#include "daemon/steps.h"

#include "daemon/terminate.h"
#include "daemon/worker.h"
#include "queue/refresh.h"
#include "queue/replicationQueue.h"
#include "vault/blockOut.h"
#include "vault/transfer.h"

int stepRefreshQueue() { return refreshQueue(); }

int stepHandleTerminated() { return handleTerminated(); }

int stepStartWorker(uint64_t backupNo, char *vault, int forkFlag) {
  return runWorker(backupNo, vault, forkFlag);
}

int stepCreateBandwidthTable() { return createBandwidthTable(); }

int stepGetBandwidthTableId() { return getBandwidthTableId(); }

int stepAttachBandwidthTable(int segmentId) { return attachBandwidthTable(segmentId); }

void stepDetachBandwidthTable() { detachBandwidthTable(); }

int stepResetActive() { return resetActive(); }

void stepReadSocketSettings(const char *iniPath) { loadSocketSettings(iniPath); }

int stepParseBlockOutPeriods(const char *text) { return parseBlockOutPeriods(text); }

void stepClearWorkerProcessState() { clearWorkerProcessState(); }

void stepReleaseReservation() { releaseWorkerReservation(); }
