// util_queue.cpp: utility-mode commands that manage the replication queue.
// Numbers on the command line are converted with atoll/atoi, so a
// non-numeric argument counts as 0.
#include "daemon/util_queue.h"

#include <cstdio>
#include <cstdlib>

#include "lib/logger.h"
#include "lib/pghelper.h"
#include "queue/replicationQueue.h"

int utilCreateQueue(int argc, char **) {
  if (argc < 3) return 0;
  LOG(0, "Creating vx.replication_queue");
  int ret = createReplicationQueue();
  LOG(5, "create_replication_queue ret = %d", ret);
  LOG(0, "Done\n");
  return ret;
}

int utilCreateTypes(int argc, char **) {
  if (argc < 3) return 0;
  LOG(0, "adding types to vx.operation_names");
  static const struct { int id; const char *name; } types[] = {
      {6, "prepare"}, {7, "replicate"}, {8, "wait"}, {9, "rebuild"}};
  char query[512];
  size_t used = 0;
  int ret = 0;
  for (const auto &t : types) {
    int n = snprintf(query + used, sizeof query - used, "INSERT INTO vx.operation_names VALUES (%d,'%s');",
                     t.id, t.name);
    if (n < 0 || (size_t)n >= sizeof query - used) {
      LOG(0, "Query too long for buffer");
      ret = -1;
      break;
    }
    used += (size_t)n;
  }
  if (ret == 0) {
    PgResultPtr r(pgExec(query));
    if (r && pgStatus(r.get()) == 0)
      LOG(6, "SUCCESS!\n");
    else
      LOG(0, "Failed");
  }
  LOG(5, "add_operation_names ret = %d", ret);
  LOG(0, "Done\n");
  return ret;
}

int utilEnqueue(int argc, char **argv) {
  if (argc != 5) return 0;
  LOG(0, "Enqueue backup: %s to: %s\n", argv[3], argv[4]);
  int ret = enqueueGroup((uint64_t)atoll(argv[3]), argv[4]);
  LOG(0, "Done\n");
  return ret;
}

int utilComplete(int argc, char **argv) {
  if (argc != 5) return 0;
  LOG(0, "Mark %s:%s complete in queue", argv[3], argv[4]);
  int ret = markComplete((uint64_t)atoll(argv[3]), argv[4]);
  LOG(0, "Done\n");
  return ret;
}

int utilRemove(int argc, char **argv) {
  if (argc != 5) return 0;
  LOG(0, "Remove %s:%s from queue", argv[3], argv[4]);
  int ret = removeEntry((uint64_t)atoll(argv[3]), argv[4]);
  LOG(0, "Done\n");
  return ret;
}

int utilPeek(int argc, char **argv) {
  if (argc != 4) return 0;
  LOG(0, "Peek at offset %s", argv[3]);
  int backupNo = (int)peekQueue(atoi(argv[3]));
  LOG(0, "backup_no:%d", backupNo);
  printf("%d", backupNo);
  fflush(stdout);
  LOG(0, "Done\n");
  return backupNo;
}

int utilSwap(int argc, char **argv) {
  if (argc != 7) return 0;
  LOG(0, "Swap %s %s with %s %s", argv[3], argv[4], argv[5], argv[6]);
  int ret = swapEntries((uint64_t)atoll(argv[3]), argv[4], (uint64_t)atoll(argv[5]), argv[6]);
  LOG(5, "swap_rq ret = %d", ret);
  LOG(0, "Done\n");
  return ret;
}

int utilCleanup(int argc, char **argv) {
  if (argc != 5) return 0;
  LOG(0, "Cleanup %s:%s from queue", argv[3], argv[4]);
  int ret = markCleanup((uint64_t)atoll(argv[3]), argv[4]);
  LOG(0, "Done\n");
  return ret;
}
