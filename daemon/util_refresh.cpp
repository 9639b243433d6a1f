// util_refresh.cpp: the lbe and send-hactar utility commands.
#include "daemon/util_refresh.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "daemon/terminate.h"
#include "dedup/hashValues.h"
#include "lib/logger.h"
#include "pipeline/common.h"
#include "queue/refresh.h"

int utilLbe(int argc, char **argv) {
  if (argc != 5) return 0;
  uint64_t backupNo = (uint64_t)atoll(argv[3]);
  int mode = atoi(argv[4]);
  LOG(0, "Using util mode, local block elimination");

  uint64_t *references = nullptr;
  int count = getLBEBackupList(backupNo, mode, &references, nullptr);
  if (count < 0) {
    LOG(0, "Failed to get exclusion list:%d", count);
    return -1;
  }
  std::unique_ptr<uint64_t, decltype(&free)> owner(references, &free);

  hashListHandle *list = nullptr;
  if (createHashList(&list, backupNo, references, count, 1) != 0) {
    LOG(0, "Failed to create hash list");
    return -1;
  }
  const long batch = 25;
  std::vector<HashListEntry> records(batch);
  long n;
  while ((n = getHashesFromList(&list, records.data(), batch)) > 0) {
    for (long i = 0; i < n; i++) {
      char name[256];
      if (blockName(&records[i].value, name, sizeof name) != 0) continue;
      printf("%s\n", name);
    }
  }
  fflush(stdout);
  destroyHashList(&list);
  LOG(0, "Done");
  return 0;
}

int utilSendHactar(int argc, char **argv) {
  if (argc < 6) return 0;
  const char *vault = argv[3];
  uint64_t backupNo = (uint64_t)atoll(argv[4]);
  long target = atol(argv[5]);
  int rc = createHactar(backupNo);
  if (rc != 0) {
    LOG(0, "Failed to create hactar");
    return rc;
  }
  return sendHactar(backupNo, vault, target, 0);
}
