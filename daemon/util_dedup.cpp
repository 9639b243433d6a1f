// util_dedup.cpp: the count and list utility commands.
#include "daemon/util_dedup.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "dedup/hashValues.h"
#include "lib/logger.h"
#include "pipeline/common.h"

int utilCount(int argc, char **argv) {
  if (argc != 4) return 0;
  uint64_t backupNo = (uint64_t)atoll(argv[3]);
  LOG(0, "Getting hash references from backup:%s", argv[3]);
  LOG(0, "Total Distinct Starting");
  long distinct = countHashesInBackup(backupNo, 1);
  if (distinct < 0) {
    LOG(0, "Failed getting distinct hash count");
    return -1;
  }
  LOG(0, "Total Distinct Gathered");
  LOG(0, "Non Distinct Starting");
  long total = countHashesInBackup(backupNo, 0);
  if (total < 0) {
    LOG(0, "Failed getting non-distinct hash count");
    return -1;
  }
  LOG(0, "Non Distinct Gathered");
  LOG(0, "Backup %s has %ld distinct and %ld non-distinct hash values", argv[3], distinct, total);
  printf("%ld %ld\n", distinct, total);
  fflush(stdout);
  return 0;
}

int utilList(int argc, char **argv) {
  if (argc != 5) return 0;
  uint64_t backupNo = (uint64_t)atoll(argv[3]);
  int distinct = atoi(argv[4]);
  const long batch = 25;
  std::vector<HashListEntry> records;
  try {
    records.resize(batch);
  } catch (...) {
    LOG(0, "Failed to get memory for hash reference buffer");
    return -1;
  }
  hashListHandle *list = nullptr;
  if (createHashList(&list, backupNo, nullptr, 0, distinct) != 0) {
    LOG(0, "Failed to create hash list");
    return -1;
  }
  long n;
  while ((n = getHashesFromList(&list, records.data(), batch)) > 0) {
    for (long i = 0; i < n; i++) {
      char name[256];
      if (blockName(&records[i].value, name, sizeof name) != 0) continue;
      printf("%s %lu\n", name, (unsigned long)records[i].location.fileOffset);
    }
  }
  fflush(stdout);
  destroyHashList(&list);
  return 0;
}
