// util_worker.cpp: utility-mode commands around the replication worker:
// replicate, start-backup and fix-paused-instance. Numbers on the command
// line are converted with atoll, so a non-numeric argument counts as 0.
#include "daemon/util_worker.h"

#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "daemon/settings.h"
#include "daemon/worker.h"
#include "lib/logger.h"
#include "queue/replicationQueue.h"

int utilReplicate(int argc, char **argv) {
  if (argc != 5) return 0;
  readReplicationSettings();
  // The worker may write the queue entry's vault into its buffer.
  char vault[VAULT_NAME_BUFFER];
  snprintf(vault, sizeof vault, "%s", argv[4]);
  int ret = runWorker(static_cast<uint64_t>(atoll(argv[3])), vault, 0);
  LOG(0, "Worker return:%d", ret);
  return 0;
}

int utilStartBackup(int argc, char **argv) {
  if (argc != 5) return 0;
  const char *vault = argv[3];
  uint64_t backupNo = static_cast<uint64_t>(atoll(argv[4]));
  LOG(0, "Starting replication on target");
  CURLcode curl = CURLE_OK;
  int ret = static_cast<int>(startBackupOnTarget(backupNo, vault, &curl, 0));
  LOG(0, "Target backup record created.  Target backup_no = %d", ret);
  printf("%d\n", ret);
  fflush(stdout);
  return 0;
}

int utilFixPausedInstance(int argc, char **argv) {
  if (argc != 5) return -1;
  const char *vault = argv[3];
  long backupNo = static_cast<long>(atoll(argv[4]));
  int state = queueStatusAnyVault(static_cast<uint64_t>(backupNo));
  if (state < 1) {
    LOG(0, "Failed to get replication status of Backup %ld.", backupNo);
    return -1;
  }
  if (state == REPLICATION_NEED_ASSIST) {
    LOG(0, "Unable to repair root cause for REPLICATION_NEED_ASSIST status for Backup %ld.", backupNo);
    return -1;
  }
  if (state != REPLICATION_OUT_OF_ORDER) {
    LOG(0, "Unexpected status %d for Backup %ld, no action taken.", state, backupNo);
    LOG(0, "This option repairs status REPLICATION_OUT_OF_ORDER (%d).", REPLICATION_OUT_OF_ORDER);
    return -1;
  }

  LOG(0, "Resolve out of order replicated backups for backup_no %ld.", backupNo);
  CURLcode curl = CURLE_OK;
  int ret = static_cast<int>(startBackupOnTarget(static_cast<uint64_t>(backupNo), vault, &curl, 1));
  if (ret > 0) {
    LOG(0, "Target backup record created.  Target backup_no = %d", ret);
    printf("Target backup record created.  Target backup_no = %d.\n", ret);
    fflush(stdout);
    return repairOutOfOrder(static_cast<uint64_t>(backupNo));
  }
  LOG(0, "Target FAILED to create backup record.  error = %d", ret);
  LOG(0, "Check vaultServer logs on the target for more information on failure.");
  printf("fix-paused-instance failed, error=%d\n", ret);
  fflush(stdout);
  return -1;
}
