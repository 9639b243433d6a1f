// worker.cpp: the replication worker. runWorker() forks one process per
// backup; the child walks one replication from the local checks to the
// Vault's build and records the outcome. See worker.h for the contracts.
#include "daemon/worker.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "daemon/rpd.h"
#include "daemon/settings.h"
#include "daemon/terminate.h"
#include "lib/config.h"
#include "lib/handles.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "metadata/identity.h"
#include "metadata/replication.h"
#include "pipeline/common.h"
#include "pipeline/singleSender.h"
#include "pipeline/threadedSender.h"
#include "queue/progress.h"
#include "queue/refresh.h"
#include "queue/replicationQueue.h"
#include "store/smgr.h"
#include "vault/blockOut.h"
#include "vault/rest.h"

namespace {

// The five phases a worker publishes as progress rows.
enum Slot { SLOT_PREPARE, SLOT_REPLICATE, SLOT_PROCESSING, SLOT_WAIT, SLOT_NO_ACTIVITY, SLOT_COUNT };
const char *const kSlotNames[SLOT_COUNT] = {"prepare", "replicate", "processing", "wait", "no_activity"};

struct ProgressSlot {
  ProgressRecord record;
  bool set = false;  // a record was started in this slot and not deleted yet
};

// Process-wide worker state; main thread and termination handler only.
ProgressSlot g_slots[SLOT_COUNT];
uint32_t g_reservationKey = 0;  // 0 = no reservation held
bool g_statsInserted = false;

constexpr size_t HOST_NAME_BUFFER = 4096;
constexpr size_t TYPE_TEXT_BUFFER = 64;
constexpr size_t SMALL_QUERY = 256;
constexpr size_t COMMAND_BUFFER = 512;
constexpr size_t STATS_QUERY = 4096;
// Tape number of a deleted backup: -1, which a BIGINT column may also hold
// as its unsigned 32-bit reading.
constexpr long DELETED_TAPE = -1;
constexpr long DELETED_TAPE_U32 = 4294967295L;
// The kind of sync operation a worker records in vx.sds_stats.
constexpr char SYNC_TYPE_REPLICATION[] = "replication";

bool fits(int n, size_t size) { return n >= 0 && static_cast<size_t>(n) < size; }

// Reads an integer of section Replication of master.ini; the worker reads
// these keys when it needs them, so an edit reaches a running worker.
long replicationSetting(const char *key, long def) {
  return iniGetInt("Replication", key, def, g_master_ini);
}

// Sleeps the whole number of seconds even when a signal interrupts it
// (an ending command's SIGCHLD must not cut a wait short).
void sleepSeconds(long seconds) {
  if (seconds <= 0) return;
  struct timespec left = {static_cast<time_t>(seconds), 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint64_t now() { return static_cast<uint64_t>(time(nullptr)); }

// status of vx.backups for the backup; 0 when the row is missing or the
// statement fails.
unsigned long localBackupStatus(uint64_t backupNo) {
  char q[SMALL_QUERY];
  if (!fits(snprintf(q, sizeof q, "SELECT status FROM vx.backups WHERE backup_no=%ld", (long)backupNo),
            sizeof q)) {
    LOG(0, "Query too long for buffer");
    return 0;
  }
  PgResultPtr r(pgExec(q));
  if (!r || pgStatus(r.get()) != 0) {
    LOG(0, "Failed query:%s", q);
    return 0;
  }
  if (pgTuples(r.get()) < 1) return 0;
  unsigned long status = static_cast<unsigned long>(pgLLVal(r.get(), 0, "status"));
  return pgResultError(r.get()) ? 0 : status;
}

// True when the backup's tape number marks it deleted.
bool backupDeleted(uint64_t backupNo) {
  char q[SMALL_QUERY];
  if (!fits(snprintf(q, sizeof q, "SELECT tape_no FROM vx.backups WHERE backup_no=%ld", (long)backupNo),
            sizeof q)) {
    LOG(0, "Query too long for buffer");
    return false;
  }
  PgResultPtr r(pgExec(q));
  if (!r || pgStatus(r.get()) != 0 || pgTuples(r.get()) < 1) {
    LOG(0, "Failed query:%s", q);
    return false;
  }
  if (pgIsNull(r.get(), 0, "tape_no")) return false;
  long tape = pgLVal(r.get(), 0, "tape_no");
  return tape == DELETED_TAPE || tape == DELETED_TAPE_U32;
}

// Deletes the progress row of a slot and frees the slot.
void deleteSlot(Slot slot) {
  if (!g_slots[slot].set) return;
  deleteProgress(g_slots[slot].record);
  g_slots[slot].set = false;
}

void deleteAllSlots() {
  for (int s = 0; s < SLOT_COUNT; ++s) deleteSlot(static_cast<Slot>(s));
}

// Unregisters the reservation key, if one is held.
void releaseReservation() {
  if (g_reservationKey == 0) return;
  smgr_unregister(g_reservationKey);
  g_reservationKey = 0;
}

void onWorkerTerminate(int) {
  // The process ends here: release what outlives it (the bandwidth
  // attachment, the device reservation, the progress rows). _exit, not
  // exit: sender threads may still run, and static destructors must not
  // run under them. The queue entry stays active until the daemon restarts
  // or the termination handling cancels it.
  detachBandwidthTable();
  curl_global_cleanup();
  releaseReservation();
  for (int s = 0; s < SLOT_COUNT; ++s)
    if (g_slots[s].set) deleteProgress(g_slots[s].record);
  fflush(nullptr);
  _exit(1);
}

// One replication's context (the child's locals).
struct WorkerContext {
  uint64_t backupNo = 0;
  const char *vault = "";
  std::string identity;        // the backup's UBI, or empty
  long target = 0;             // the Vault's backup number / last check result
  uint64_t targetStatus = 0;   // status bits of the last check
  uint64_t targetProps = 0;    // property bits of the last check
  CURLcode curl = CURLE_OK;    // libcurl result of the last request
  int result = WORKER_RESULT_DONE;
  char message[WORKER_MESSAGE_SIZE] = {};
  uint64_t presync = 0, sync = 0, postsync = 0;
  char typeText[TYPE_TEXT_BUFFER] = "";
  char host[HOST_NAME_BUFFER] = "";
};

void startSlot(WorkerContext &c, Slot slot) {
  if (startProgress(c.vault, c.host, &g_slots[slot].record, kSlotNames[slot], c.typeText, c.backupNo) == 0)
    g_slots[slot].set = true;
}

// Asks the Vault for the backup under the context's identity; with a
// target number the Vault answers for that backup.
long checkOnTarget(WorkerContext &c, long targetNo) {
  c.curl = CURLE_OK;
  return postBackupCheck(c.vault, c.identity.c_str(), c.identity.size() + 1, static_cast<uint64_t>(targetNo),
                         &c.targetStatus, &c.targetProps, &c.curl);
}

// Looks the identity up again; true when the backup has one now.
bool fetchIdentity(WorkerContext &c) {
  char *text = nullptr;
  if (getUniversalBackupIdentity(c.backupNo, &text) != 0) return false;
  MallocPtr<char> owner(text);
  c.identity = text ? text : "";
  return text != nullptr;
}

// Identity lookup and the first check on the Vault (child steps 2 and 3).
void checkIdentity(WorkerContext &c) {
  char *text = nullptr;
  int rc = getUniversalBackupIdentity(c.backupNo, &text);
  MallocPtr<char> owner(text);
  bool check = true;
  if (rc != 0) {
    LOG(0, "Warning: Unable to get Universal Backup Identity. Using 'tempUUID'\nReporting may be inaccurate");
    c.identity.clear();
  } else if (text == nullptr) {
    LOG(0, "First time instance replication.");
    c.identity.clear();
    c.target = 0;
    check = false;
  } else {
    c.identity = text;
  }
  if (check) {
    // A check that never ran counts as failed.
    c.target = -1;
    for (int attempt = 0; attempt < g_settings.RetryCount; ++attempt) {
      LOG(0, "Try: %d", attempt);
      c.target = checkOnTarget(c, 0);
      if (c.curl == CURLE_OK) break;
      LOG(0, "Curl status: %s", curl_easy_strerror(c.curl));
    }
  }
  LOG(0, "identityString:%s", c.identity.c_str());
  LOG(0, "Backup Status:%lu", (unsigned long)c.targetStatus);
  LOG(0, "Backup Properties:%lu", (unsigned long)c.targetProps);
  LOG(0, "uuidCheck:%ld", c.target);
}

// Registers the backup's reservation key with its device and reserves the
// estimated HaCTAR size. Without a reservation the worker goes on.
void reserveStorage(WorkerContext &c) {
  uint64_t estimate = estimateHactarSize(c.backupNo, 0);
  LOG(3, "Estimated hactar size:%lu", (unsigned long)estimate);
  uint32_t key = static_cast<uint32_t>(c.backupNo) ^ WORKER_RESERVATION_XOR;
  long device = getBackupDevice(c.backupNo);
  bool ok = false;
  if (device >= 0) {
    long reg = smgr_register(key, static_cast<int>(device));
    if (reg >= 0 || reg == SMGR_EXIST) {
      g_reservationKey = key;
      ok = smgr_reserve(key, estimate) == 0;
    }
  }
  if (!ok) {
    LOG(0, "Warning: unable to init smgr, proceed without reservation");
    // A key registered without its reservation is given back.
    releaseReservation();
  }
}

// Waits until the backup is hashed. 0, or -1 after the hashing failed
// (the failure is then recorded and the entry queued again).
int hashBackup(WorkerContext &c) {
  for (;;) {
    uint64_t start = now();
    int rc = ensureHashed(c.backupNo);
    c.presync += now() - start;
    if (rc == 0) {
      LOG(0, "Backup is hashed, continue");
      return 0;
    }
    if (rc != 3) break;
    long interval = replicationSetting("CheckInterval", 10);
    LOG(0, "Backup is locked, waiting:%d", static_cast<int>(interval));
    sleepSeconds(interval);
  }
  LOG(0, "Failed to hash backup");
  setMessage(c.message, sizeof c.message, "Failed: %s", "Failed to hash backup");
  insertSyncStats(c.backupNo, c.presync, c.sync, c.postsync, now(), c.message, c.vault);
  setQueueStatus(c.backupNo, c.vault, REPLICATION_NEEDED);
  return -1;
}

// Runs the send phase with the sender the settings choose. 0 or the
// sender's non-zero result.
int sendPhase(WorkerContext &c) {
  long threaded = replicationSetting("ThreadedSendBlocks", 1);
  ProgressRecord *progress = g_slots[SLOT_REPLICATE].set ? &g_slots[SLOT_REPLICATE].record : nullptr;
  int rc;
  if (threaded == 1) {
    LOG(2, "Using threads for send phase; Pipeline feature enabled");
    SendContext context;
    context.progress = progress;
    context.bandwidthTableId = g_bandwidthTableId;
    rc = threadedSendBlocks(c.backupNo, c.vault, static_cast<uint64_t>(c.target), &context);
  } else {
    LOG(2, "Using single threaded send phase; Pipeline feature disabled");
    if (g_bandwidthTableId >= 0) attachBandwidthTable(g_bandwidthTableId);
    rc = sendBufferBlocks(c.backupNo, c.vault, static_cast<uint64_t>(c.target), progress);
    detachBandwidthTable();
  }
  deleteSlot(SLOT_REPLICATE);
  startSlot(c, SLOT_PROCESSING);
  return rc;
}

// Polls the local backup until it has finished. 0 when it finished
// successfully, -1 when it failed or its status cannot be read.
int waitForLocalBackup(WorkerContext &c) {
  LOG(0, "Send blocks complete, check if local backup is complete (updatedb has finished).");
  for (;;) {
    unsigned long status = localBackupStatus(c.backupNo);
    if (status == 0) {
      LOG(0, "Unable to get backup status. Is database up?");
      return -1;
    }
    if (status & LOCAL_STATUS_FAILED) {
      LOG(0, "Backup is failed");
      return -1;
    }
    if (status & LOCAL_STATUS_FINISHED) break;
    long interval = replicationSetting("CheckInterval", 5);
    LOG(0, "Backup status is neither JOB_SUCCESS nor JOB_FAILED, check again in %d seconds.",
        static_cast<int>(interval));
    sleepSeconds(interval);
  }
  LOG(0, "Local backup is complete and successful, build HaCTAR");
  return 0;
}

// Waits while the Vault builds the backup and judges its last answer.
void waitForTarget(WorkerContext &c) {
  long targetNo = c.target;
  uint64_t waitStart = now();
  long misses = 0;
  long limit = replicationSetting("invalidUUIDcheckRetryCount", 5);
  bool noActivity = false;
  long check = -1;
  while (misses < limit) {
    LOG(5, "uuidCheckLoop");
    check = checkOnTarget(c, targetNo);
    if (g_slots[SLOT_WAIT].set) updateProgress(g_slots[SLOT_WAIT].record);
    if (c.curl != CURLE_OK) LOG(0, "Curl status: %s", curl_easy_strerror(c.curl));
    if (check != targetNo) {
      LOG(0, "Could not determine if target is building backup, uuidCheck:%ld, Status:%ld, Properties:%ld retry",
          check, (long)c.targetStatus, (long)c.targetProps);
      ++misses;
    } else if (!(c.targetStatus & TARGET_STATUS_BUILDING)) {
      LOG(0, "Target is not building backup, uuidCheck:%ld, Status:%ld, Properties:%ld", check,
          (long)c.targetStatus, (long)c.targetProps);
      break;
    } else {
      LOG(0, "Target is building backup, uuidCheck:%ld, Status:%ld, Properties:%ld", check,
          (long)c.targetStatus, (long)c.targetProps);
      misses = 0;
    }
    long interval = replicationSetting("CheckInterval", 5);
    long timeout = replicationSetting("CheckTimeout", 10000);
    if (!noActivity && now() - waitStart > static_cast<uint64_t>(timeout)) {
      deleteSlot(SLOT_WAIT);
      deleteSlot(SLOT_PROCESSING);
      startSlot(c, SLOT_NO_ACTIVITY);
      noActivity = true;
    }
    sleepSeconds(interval);
  }

  deleteSlot(SLOT_WAIT);
  deleteSlot(SLOT_PROCESSING);
  deleteSlot(SLOT_NO_ACTIVITY);
  const char *network = curl_easy_strerror(c.curl);
  if (check == -1) {
    LOG(0, "Status of backup on target unknown.");
    setMessage(c.message, sizeof c.message, "Failed: %s. Network: %s",
               "backup status check failed. This replication will now retry", network);
    c.result = WORKER_RESULT_RETRY;
  } else if (c.targetStatus & TARGET_STATUS_CANCELLED) {
    LOG(0, "Backup CANCELLED on the target");
    LOG(0, "Backup status on target:%ld", (long)c.targetStatus);
    setMessage(c.message, sizeof c.message, "CANCELLED: %s. Network: %s", "Backup cancelled on the target",
               network);
    setQueueStatus(c.backupNo, c.vault, REPLICATION_CANCELLED);
    // The entry keeps its cancelled state: the failure path must not queue
    // it again, as it does for a plain failure.
    c.result = WORKER_RESULT_PAUSED;
  } else if (c.targetStatus & TARGET_STATUS_FAILED) {
    LOG(0, "Backup failed on the target");
    LOG(0, "Backup status on target:%ld", (long)c.targetStatus);
    setMessage(c.message, sizeof c.message, "Failed: %s. Network: %s",
               "Failed building on the target. This replication will now retry", network);
    c.result = WORKER_RESULT_RETRY;
  } else if (c.targetStatus & TARGET_STATUS_COMPLETE) {
    c.postsync = now() - waitStart;
    clearSyncNeeded(c.backupNo);
    setSyncDone(c.backupNo);
    setMessage(c.message, sizeof c.message, "Success: ");
    if (insertSyncStats(c.backupNo, c.presync, c.sync, c.postsync, now(), c.message, c.vault) != 0)
      LOG(0, "Failed to update sds_stats table");
    markComplete(c.backupNo, c.vault);
    LOG(0, "Finished: backup %ld is %ld on target", (long)c.backupNo, targetNo);
    c.result = WORKER_RESULT_DONE;
  } else {
    LOG(0, "Backup is not in progress or complete on the target");
    LOG(0, "Backup status on target:%ld", (long)c.targetStatus);
    setMessage(c.message, sizeof c.message, "Failed: %s. Network: %s",
               "Backup is not in progress or complete on the target. This replication will now retry", network);
    c.result = WORKER_RESULT_RETRY;
  }
}

// Failure path: tells the Vault, removes the HaCTAR, records the attempt
// and, for a retryable failure, queues the entry again.
void failReplication(WorkerContext &c) {
  LOG(0, "Failed, cleaning up");
  LOG(0, "Notify target");
  // The Vault is sent the first seven characters of the message ("Failed:"
  // or "CANCELL"), which is all it keeps of the reason.
  CURLcode curl = CURLE_OK;
  if (postEndBackup(c.vault, c.identity.c_str(), c.message, 7, &curl) != 0) {
    LOG(0, "Failed to notify target");
    if (curl != CURLE_OK) LOG(0, "Curl status: %s", curl_easy_strerror(curl));
  }
  LOG(0, "Remove hactar");
  if (removeHactar(c.backupNo) != 0) LOG(0, "failed to remove hactar");
  LOG(0, "Update sds_stats");
  insertSyncStats(c.backupNo, c.presync, c.sync, c.postsync, now(), c.message, c.vault);
  if (c.result == WORKER_RESULT_RETRY) setQueueStatus(c.backupNo, c.vault, REPLICATION_NEEDED);
  c.result = WORKER_RESULT_DONE;
}

// Announces the backup (unless the Vault already builds it), sends the
// blocks and the HaCTAR and waits for the Vault. Leaves the outcome in
// c.result and c.message; a result other than -5 goes through the failure
// path afterwards.
void replicate(WorkerContext &c) {
  deleteSlot(SLOT_PREPARE);
  startSlot(c, SLOT_REPLICATE);
  LOG(0, "Replicating backup: %ld to target: %s", (long)c.backupNo, c.vault);

  uint64_t start = now();
  if (!(c.targetStatus & TARGET_STATUS_BUILDING) || c.target == 0)
    c.target = startBackupOnTarget(c.backupNo, c.vault, &c.curl, 0);
  c.presync += now() - start;

  if (c.target < 1) {
    if (c.target == -5) {
      LOG(0, "Failed to process meta info on target, out of order backup sequence detected.");
      setMessage(c.message, sizeof c.message,
                 "Failed: Unable to process initial meta info on target, out of order backup sequence detected.  "
                 "This instance is \"paused\" and may require manual intervention to resume.");
      LOG(0, "set REPLICATION_OUT_OF_ORDER for %ld.", (long)c.backupNo);
      setQueueStatus(c.backupNo, c.vault, REPLICATION_OUT_OF_ORDER);
      c.result = WORKER_RESULT_PAUSED;
    } else if (c.target == -6) {
      LOG(0, "Failed to process meta info on target.");
      setMessage(c.message, sizeof c.message,
                 "Failed: Unable to process initial meta info on target.  This instance is \"paused\" and may "
                 "require manual intervention to resume.");
      LOG(0, "set REPLICATION_NEED_ASSIST for %ld.", (long)c.backupNo);
      setQueueStatus(c.backupNo, c.vault, REPLICATION_NEED_ASSIST);
      c.result = WORKER_RESULT_PAUSED;
    } else {
      LOG(0, "Failed to send initial meta info, error=%ld", c.target);
      setMessage(c.message, sizeof c.message, "Failed: %s. Network: %s",
                 "Unable to send initial meta info. This replication will now retry", curl_easy_strerror(c.curl));
      c.result = WORKER_RESULT_RETRY;
    }
    return;
  }

  LOG(0, "Local backup %ld will be %ld on target", (long)c.backupNo, c.target);
  if (c.identity.empty()) {
    // The announcement gave the instance its identity.
    LOG(0, "First time this instance has replicated");
    fetchIdentity(c);
  }

  start = now();
  int rc = sendPhase(c);
  if (rc != 0) {
    LOG(0, "sendBlocks failed\n");
    if (rc > 0) c.curl = static_cast<CURLcode>(rc);
    setMessage(c.message, sizeof c.message, "Failed: %s. Network: %s",
               "Unable to send blocks. This replication will now retry", curl_easy_strerror(c.curl));
    c.result = WORKER_RESULT_RETRY;
    return;
  }
  c.sync += now() - start;

  start = now();
  if (waitForLocalBackup(c) != 0 || createHactar(c.backupNo) != 0) {
    LOG(0, "createHactar failed\n");
    setMessage(c.message, sizeof c.message, "Failed: %s.",
               "Unable to create final metadata. This replication will now retry");
    c.result = WORKER_RESULT_RETRY;
    return;
  }
  c.presync += now() - start;

  start = now();
  if (g_bandwidthTableId >= 0) attachBandwidthTable(g_bandwidthTableId);
  rc = sendHactar(c.backupNo, c.vault, c.target, c.presync + c.sync);
  detachBandwidthTable();
  if (rc != 0) {
    LOG(0, "sendHactar failed\n");
    setMessage(c.message, sizeof c.message, "Failed: %s. Network: %s",
               "Unable to send final metadata. This replication will now retry", curl_easy_strerror(c.curl));
    c.result = WORKER_RESULT_RETRY;
    return;
  }
  c.sync += now() - start;

  deleteSlot(SLOT_PROCESSING);
  LOG(0, "backup %ld is being built as %ld on target", (long)c.backupNo, c.target);
  startSlot(c, SLOT_WAIT);
  waitForTarget(c);

  if (replicationSetting("SaveHactar", 0) == 0 && removeHactar(c.backupNo) != 0) {
    LOG(0, "failed to remove hactar");
    setMessage(c.message, sizeof c.message, "Failed: %s",
               "Unable to clear local metadata. This replication will now retry.");
    c.result = WORKER_RESULT_RETRY;
  }
}

// The child's work for one backup. Always WORKER_DONE.
int workerChild(uint64_t backupNo, const char *vault) {
  g_isWorker = 1;
  closeInheritedPidFile();
  {
    SigchldBlock block;
    workerList.clear();
  }
  installWorkerTerminationHandler();
  detachBandwidthTable();
  if (!g_attachedMode) openProgramLog("rpd-worker", 1);

  unsigned long status = localBackupStatus(backupNo);
  LOG(4, "Local backup status:%lu", status);
  bool refuse = true;
  if (status == 0)
    LOG(0, "Local backup: %ld not found. Will not try to replicate", (long)backupNo);
  else if (status & LOCAL_STATUS_FAILED)
    LOG(0, "Local backup: %ld is failed. Will not replicate", (long)backupNo);
  else if (backupDeleted(backupNo))
    LOG(0, "Local backup: %ld has been deleted. Will not replicate", (long)backupNo);
  else
    refuse = false;
  if (refuse) {
    setQueueStatus(backupNo, vault, REPLICATION_SKIPPED);
    clearSyncNeeded(backupNo);
    return WORKER_DONE;
  }

  WorkerContext c;
  c.backupNo = backupNo;
  c.vault = vault;
  if (getBackupTypeName(backupNo, c.typeText, sizeof c.typeText) != 0) c.typeText[0] = '\0';
  if (gethostname(c.host, sizeof c.host) != 0) c.host[0] = '\0';
  c.host[sizeof c.host - 1] = '\0';
  startSlot(c, SLOT_PREPARE);

  checkIdentity(c);
  bool proceed = false;
  if (c.target < 0 || (c.targetStatus & TARGET_STATUS_COMPLETE)) {
    if (c.targetStatus & TARGET_STATUS_ON_SYSTEM) {
      LOG(0, "Backup already on system");
      clearSyncNeeded(backupNo);
      setSyncDone(backupNo);
      markComplete(backupNo, vault);
      LOG(0, "Finished: backup %ld is %ld on target", (long)backupNo, c.target);
    } else {
      LOG(0, "Failed uuid check, aborting; trying again later");
      setQueueStatus(backupNo, vault, REPLICATION_NEEDED);
      sleepSeconds(replicationSetting("TimeDelay", 5));
    }
  } else {
    reserveStorage(c);
    proceed = hashBackup(c) == 0;
  }

  if (proceed) {
    replicate(c);
    if (c.result != WORKER_RESULT_DONE) failReplication(c);
  }

  LOG(3, "cleanup operation_progress");
  deleteAllSlots();
  releaseReservation();
  return WORKER_DONE;
}

}  // namespace

int setMessage(char *message, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(message, size, format, args);
  va_end(args);
  if (fits(n, size)) return 0;
  LOG(0, "Warning: Message too long for buffer");
  snprintf(message, size, "%s", "Failed: invalid message");
  return -1;
}

int ensureHashed(uint64_t backupNo) {
  char q[SMALL_QUERY];
  if (!fits(snprintf(q, sizeof q, "SELECT backup_no FROM vx.backups WHERE ((properties & %d)!=0) AND backup_no=%ld",
                     static_cast<int>(BACKUP_PROPERTY_HASHED), (long)backupNo),
            sizeof q)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  LOG(5, "Query:%s", q);
  {
    PgResultPtr r(pgExec(q));
    if (!r || pgStatus(r.get()) != 0) {
      LOG(0, "Failed query");
      return -1;
    }
    if (pgTuples(r.get()) == 1) {
      LOG(3, "Backup:%ld is hashed", (long)backupNo);
      return 0;
    }
  }
  LOG(0, "Hashing:%ld", (long)backupNo);
  char command[COMMAND_BUFFER];
  if (!fits(snprintf(command, sizeof command, "%s/fileDedup -H%ld", g_bindir, (long)backupNo), sizeof command)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  LOG(3, "Executing command:%s", command);
  fflush(nullptr);
  int status = system(command);
  if (status == -1) {
    LOG(0, "system command:\"%s\" failed\n", command);
    LOG(0, "errno:%s", strerror(errno));
    return -1;
  }
  // A command ended by a signal has no exit status; it counts as failed.
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code != 0) {
    LOG(0, "system command:\"%s\" exited with status=%d\n", command, code);
    return code;
  }
  return 0;
}

long startBackupOnTarget(uint64_t backupNo, const char *vault, CURLcode *curlResult, int force) {
  *curlResult = CURLE_OK;
  uint64_t reserve = estimateHactarSize(backupNo, 0) + estimateHactarSize(backupNo, 1);
  char *document = nullptr;
  size_t length = 0;
  if (exportReplicationMetadata(static_cast<long>(backupNo), &document, &length) != 0) {
    LOG(0, "ERROR: exportReplicationMetadata failed.");
    return -1;
  }
  MallocPtr<char> owner(document);
  LOG(5, "Post start backup");
  long result = postStartBackup(vault, document, length, reserve, curlResult, force);
  if (*curlResult != CURLE_OK) LOG(0, "Curl status: %s", curl_easy_strerror(*curlResult));
  return result;
}

int insertSyncStats(uint64_t backupNo, uint64_t presync, uint64_t sync, uint64_t postsync, uint64_t doneEpoch,
                    const char *message, const char *vault) {
  LOG(0, "Insert into sds_stats");
  if (g_statsInserted) LOG(0, "Double insert into sds_stats attempted.");
  g_statsInserted = true;
  unsigned long sent = static_cast<unsigned long>(g_totalBytesSent.load());

  char q[STATS_QUERY];
  if (!fits(snprintf(q, sizeof q, "SELECT total_megs FROM vx.backups WHERE backup_no=%ld", (long)backupNo),
            sizeof q)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr megs(pgExec(q));
  if (megs && pgStatus(megs.get()) == 0 && pgTuples(megs.get()) == 1) {
    unsigned long long readSize =
        static_cast<unsigned long long>(pgLLVal(megs.get(), 0, "total_megs")) * 1048576ull;
    LOG(4, "Updating summary_charts table:\n read_size=%llu\n write_size=%lu\n read_time=%lu\n write_time=%lu\n",
        readSize, sent, (unsigned long)presync, (unsigned long)sync);
    int n = snprintf(q, sizeof q, "SELECT update_summary_charts('replication', %llu, %lu, %lu, %lu)", readSize,
                     sent, (unsigned long)presync, (unsigned long)sync);
    PgResultPtr charts(fits(n, sizeof q) ? pgExec(q) : nullptr);
    if (charts && pgStatus(charts.get()) == 0)
      LOG(4, "Replication successfully updated summary_charts table.\n");
    else
      LOG(0, "Replication failed to update summary_charts table!\n");
  }
  megs.reset();

  long b = static_cast<long>(backupNo);
  int n = snprintf(q, sizeof q,
                   "INSERT INTO vx.sds_stats (client_name,  backup_no,  sync_type, presync_seconds, sync_seconds, "
                   "postsync_seconds, done_epoch, bytes_on_qru, bytes_syncd, bytes_on_qrv, message, destination)  "
                   "VALUES ((SELECT CASE WHEN (properties & %d)=0 THEN node_name ELSE gcname END AS client_name "
                   "FROM vx.nodes where node_no=(SELECT node_no FROM vx.backups WHERE  backup_no=%ld)), %ld, "
                   "(SELECT type_id FROM vx.sync_type WHERE type_name='%s'), %lu, %lu, %lu, %lu, (SELECT "
                   "total_megs FROM vx.backups WHERE backup_no=%ld)*1048576, %lu, (SELECT total_megs FROM "
                   "vx.backups WHERE backup_no=%ld)*1048576, $$%s$$, '%s')",
                   32, b, b, SYNC_TYPE_REPLICATION, (unsigned long)presync, (unsigned long)sync,
                   (unsigned long)postsync, (unsigned long)doneEpoch, b, sent, b, message ? message : "",
                   vault ? vault : "");
  if (!fits(n, sizeof q)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr r(pgExec(q));
  if (!r || pgStatus(r.get()) != 0) {
    LOG(0, "Failed insert into sds_stats; Query:%s", q);
    return -1;
  }
  LOG(6, "SUCCESS!\n");
  return 0;
}

void clearWorkerProcessState() {
  for (ProgressSlot &s : g_slots) s = ProgressSlot{};
  g_statsInserted = false;
}

void releaseWorkerReservation() { releaseReservation(); }

uint32_t workerReservationKey() { return g_reservationKey; }

void installWorkerTerminationHandler() {
  struct sigaction action {};
  action.sa_handler = onWorkerTerminate;
  sigemptyset(&action.sa_mask);
  // One termination at a time: a second signal waits for the first exit.
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGQUIT);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGQUIT, &action, nullptr);
}

int runWorker(uint64_t backupNo, char *vault, int forkFlag) {
  if (!forkFlag) g_settings.MaxConcurrent = 1;
  LOG(6, "vault:%s fork:%d", vault, forkFlag);
  if (workerCount() >= g_settings.MaxConcurrent) return 1;

  long b = backupNo != 0 ? static_cast<long>(backupNo) : takeNext(vault, VAULT_NAME_BUFFER);
  LOG(5, "Got Backup %ld", b);
  if (b < 1) return 1;

  LOG(4, "Forking Child\n");
  fflush(stderr);
  fflush(stdout);
  // The child opens connections of its own; none may be shared.
  pgCloseAll();
  closeProgressConnection();

  if (!forkFlag) {
    LOG(1, "Skiping worker fork, traverseing child path");
    return workerChild(static_cast<uint64_t>(b), vault);
  }
  LOG(1, "Forking worker");
  pid_t pid = fork();
  if (pid == 0) return workerChild(static_cast<uint64_t>(b), vault);
  if (pid < 0) {
    // takeNext marked the entry active; with no worker for it, it goes
    // back to the queue for a later pass.
    LOG(0, "fork failed: %s", strerror(errno));
    setQueueStatus(static_cast<uint64_t>(b), vault, REPLICATION_NEEDED);
    return 1;
  }
  addWorker(pid, static_cast<uint64_t>(b), vault);
  return 0;
}
