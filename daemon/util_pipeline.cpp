// util_pipeline.cpp: the put-block, post-check-offset, post-check, block
// and tuple-hash utility commands.
#include "daemon/util_pipeline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "daemon/util.h"
#include "dedup/hashRead.h"
#include "lib/logger.h"
#include "pipeline/common.h"
#include "pipeline/pipeline.h"
#include "vault/rest.h"

namespace {

// Parses the pairs "<3tuple> <offset>" of argv[first..argc) into entries.
// A tuple without its offset is ignored. 0, or -1 for a bad tuple.
int parsePairs(int argc, char **argv, int first, std::vector<HashListEntry> *entries, bool logOffsets) {
  for (int i = first; i + 1 < argc; i += 2) {
    HashListEntry e;
    memset(&e, 0, sizeof e);
    if (parseBlockName(argv[i], &e.value) != 0) {
      LOG(0, "Failed to convert to 3tuple");
      return -1;
    }
    e.location.fileOffset = (uint64_t)atoll(argv[i + 1]);
    if (logOffsets) {
      LOG(0, "File Offset:%lu", (unsigned long)e.location.fileOffset);
    } else {
      dumpHashValue(5, &e.value);
      LOG(0, "Offset: %lu", (unsigned long)e.location.fileOffset);
    }
    entries->push_back(e);
  }
  return 0;
}

}  // namespace

int utilPutBlock(int argc, char **argv) {
  // No fixed count of its own; without the three leading arguments there
  // is nothing to do, so it answers like a command given a wrong count.
  if (argc < 6) {
    printUtilUsage(stdout);
    return 0;
  }
  const char *vault = argv[3];
  long targetBackup = atol(argv[4]);
  size_t bufferSize = (size_t)atoll(argv[5]);
  int tuples = (argc - 6) / 2;
  LOG(0, "Target:%s", vault);
  LOG(0, "Target backup_no: %ld", targetBackup);
  LOG(0, "Buffer size:%zd", (ssize_t)bufferSize);
  LOG(0, "Tuple count: %d", tuples);
  std::unique_ptr<WorkBuffer> buffer;
  try {
    buffer.reset(new WorkBuffer(bufferSize));
  } catch (const std::exception &) {
    LOG(0, "Failed to allocate memory for DataBuffer");
    return -1;
  }
  std::vector<HashListEntry> entries;
  if (parsePairs(argc, argv, 6, &entries, true) != 0) return -1;
  size_t next = 0;
  while (next < entries.size()) {
    resetWorkBuffer(buffer.get());
    while (next < entries.size()) {
      long r = addBlock(buffer.get(), &entries[next], nullptr);
      if (r == 0) break;
      // A block that cannot be read is left out (addBlock has logged
      // why); the others still go.
      if (r < 0) LOG(0, "Skipping unreadable block %zu", next);
      next++;
    }
    CURLcode curl = CURLE_OK;
    int rc = sendMultBlock(buffer.get(), vault, (uint64_t)targetBackup, &curl, nullptr);
    if (rc != 0) LOG(0, "sendMultBlock failed:%d (Curl status:%s)", rc, curl_easy_strerror(curl));
  }
  return 0;
}

int utilPostCheckOffset(int argc, char **argv) {
  if (argc < 6) {
    printUtilUsage(stdout);
    return 0;
  }
  const char *vault = argv[3];
  long targetBackup = atol(argv[4]);
  LOG(0, "Target: %s", vault);
  LOG(0, "tgt backup number:%ld", targetBackup);
  std::vector<HashListEntry> entries;
  if (parsePairs(argc, argv, 5, &entries, false) != 0) return -1;
  char *answer = nullptr;
  CURLcode curl = CURLE_OK;
  postCheckOffset(vault, entries.data(), (int)entries.size(), &answer, targetBackup, &curl);
  if (!answer) {
    LOG(0, "Failed to check with POST\n");
    if (curl != CURLE_OK) LOG(0, "Curl status: %s", curl_easy_strerror(curl));
    return -1;
  }
  for (size_t i = 0; i < entries.size(); i++) {
    LOG(0, "%c", answer[i]);
    putchar(answer[i]);
  }
  putchar('\n');
  fflush(stdout);
  free(answer);
  return 0;
}

int utilPostCheck(int argc, char **argv) {
  if (argc < 5) {
    printUtilUsage(stdout);
    return 0;
  }
  LOG(0, "Target:%s", argv[3]);
  std::vector<HashValue> records;
  for (int i = 4; i < argc; i++) {
    LOG(0, "ThreeTuple:%s", argv[i]);
    HashValue v;
    if (parseBlockName(argv[i], &v) != 0) {
      LOG(0, "Failed to convert to 3tuple");
      return -1;
    }
    records.push_back(v);
  }
  LOG(0, "j:%d", (int)records.size());
  dumpHashValue(5, &records[0]);
  LOG(0, "Failed to check with POST\n");
  putchar('\n');
  fflush(stdout);
  return 0;
}

int utilBlock(int argc, char **argv) {
  if (argc != 4) {
    printUtilUsage(stdout);
    return 0;
  }
  HashValue record;
  if (parseBlockName(argv[3], &record) != 0) {
    LOG(0, "Failed to convert to 3tuple");
    return -1;
  }
  uint8_t *data = (uint8_t *)malloc(record.hashedLength ? record.hashedLength : 1);
  if (!data) {
    LOG(0, "Failed to alloc memory for read buffer of size:%lu", (unsigned long)record.hashedLength);
    return -1;
  }
  hashedContentsPrivate *context = nullptr;
  ssize_t got = readHashedContents(&context, &record, data, (int64_t)record.hashedLength, 0, 0);
  if (context) closeHashedContents(&context);
  if (got < 1) {
    LOG(0, "readHashedContents failed\n");
    free(data);
    return -1;
  }
  fwrite(data, 1, (size_t)got, stdout);
  fflush(stdout);
  free(data);
  return 0;
}

int utilTupleHash(int argc, char **argv) {
  if (argc != 6) {
    printUtilUsage(stdout);
    return 0;
  }
  size_t length = (size_t)atoll(argv[5]);
  uint8_t *out = (uint8_t *)calloc(length ? length : 1, 1);
  if (!out) {
    LOG(0, "Failed to allocate enough memory for output value");
    return 0;
  }
  HashValue record;
  if (parseBlockName(argv[3], &record) != 0) {
    LOG(0, "Failed to convert to 3tuple");
    free(out);
    return 0;
  }
  BlockLocation location{0, (uint64_t)atoll(argv[4])};
  tupleHash(&record, &location, out, length);
  char *hex = toHex(out, length);
  free(out);
  if (!hex) {
    LOG(0, "Failed to get hex value from binary hash value");
    return 0;
  }
  LOG(0, "Hash:%s", hex);
  printf("%s\n", hex);
  fflush(stdout);
  free(hex);
  return 0;
}
