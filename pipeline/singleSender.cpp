// singleSender.cpp: the single-threaded block sender.
#include "pipeline/singleSender.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "daemon/settings.h"
#include "dedup/hashValues.h"
#include "lib/logger.h"
#include "pipeline/pipeline.h"
#include "queue/progress.h"
#include "queue/refresh.h"
#include "vault/rest.h"

namespace {

// Room kept free in every fill: it covers the multi-block header of the
// next entry with margin.
constexpr uint64_t FILL_RESERVE = 512;

// Everything the sender owns; released on every path by the destructor.
struct SingleSend {
  uint8_t *buffer = nullptr;
  uint64_t bufferSize = 0;
  HashListEntry *metaBuffer = nullptr;
  SendTableSlot *sendTable = nullptr;
  long metaSize = 0;
  hashListHandle *list = nullptr;
  uint64_t *exclusions = nullptr;
  char *reply = nullptr;
  StoreBlockSource store;

  ~SingleSend() {
    if (list) destroyHashList(&list);
    free(reply);
    free(buffer);
    free(metaBuffer);
    free(sendTable);
    free(exclusions);
  }
};

void addProgress(ProgressRecord *progress, uint64_t bytes) {
  if (progress) progress->currentSize += bytes;
}

void storeProgress(ProgressRecord *progress) {
  if (progress) updateProgress(*progress);
}

int allocateBuffers(SingleSend *s) {
  uint64_t size = g_settings.MaxBlocks;
  for (;;) {
    if (size < 8) {
      LOG(0, "Error: unable to get memory for block buffer");
      return -1;
    }
    s->buffer = (uint8_t *)malloc(size);
    if (s->buffer) break;
    LOG(0, "Cannot get memory: %lu. Resizing", (unsigned long)size);
    size /= 2;
  }
  s->bufferSize = size;
  long entries = g_settings.MetaSize;
  for (;;) {
    if (entries < 1) {
      LOG(0, "Error: unable to get memory for meta buffer");
      return -1;
    }
    s->metaBuffer = (HashListEntry *)calloc((size_t)entries, sizeof(HashListEntry));
    s->sendTable = (SendTableSlot *)calloc((size_t)entries, sizeof(SendTableSlot));
    if (s->metaBuffer && s->sendTable) break;
    LOG(0, "Resizing buffers");
    free(s->metaBuffer);
    free(s->sendTable);
    s->metaBuffer = nullptr;
    s->sendTable = nullptr;
    entries = entries / 2 - 1;
  }
  s->metaSize = entries;
  return 0;
}

int openList(SingleSend *s, uint64_t backupNo, const char *target) {
  int rc;
  if (useBlockElim(backupNo)) {
    LOG(2, "Using local block elimination");
    int n = getLBEBackupList(backupNo, g_settings.BlockEliminationType, &s->exclusions, target);
    if (n < 0) {
      LOG(0, "Failed to get exclusion list:%ld", (long)n);
      return -1;
    }
    rc = createHashList(&s->list, backupNo, s->exclusions, n, 0);
  } else {
    LOG(2, "Not using local block elimination");
    rc = createHashList(&s->list, backupNo, nullptr, 0, 0);
  }
  if (rc != 0) {
    LOG(0, "failed to create virtual block list");
    return -1;
  }
  return 0;
}

// postBlockCount up to RetryCount tries (a pause of i seconds before try
// i > 1). Returns its last result; *earlier the result of a failed try.
int askBlockCount(const char *target, uint64_t targetBackupNo, uint64_t *count, int *earlier) {
  int limit = g_settings.RetryCount > 0 ? g_settings.RetryCount : 1;
  int rc = -1;
  *earlier = 0;
  for (int i = 1; i <= limit; i++) {
    if (i > 1) sleep((unsigned)i);
    CURLcode curl = CURLE_OK;
    rc = postBlockCount(target, targetBackupNo, count, &curl);
    if (rc == 0) break;
    *earlier = rc;
    LOG(0, "[%lu]: postBlockCount failed, retry.", senderThreadId());
  }
  return rc;
}

void logBatch(const SingleSend *s, long count, int level, const char *what) {
  for (long i = 0; i < count; i++) {
    const HashValue &v = s->metaBuffer[i].value;
    if (strcmp(what, "failed") == 0)
      LOG(level, "Checkpoint metaBuffer location:%d hashID:%lu hashedLength:%lu SISoffset:%lu", (int)i,
          (unsigned long)v.hashID, (unsigned long)v.hashedLength, (unsigned long)v.SISoffset);
    else if (strcmp(what, "recovered") == 0)
      LOG(level, "Checkpoint recovered metaBuffer location:%d hashID:%lu hashedLength:%lu SISoffset:%lu", (int)i,
          (unsigned long)v.hashID, (unsigned long)v.hashedLength, (unsigned long)v.SISoffset);
    else
      LOG(level, "metaBuffer location:%d hashID:%lu hashedLength:%lu SISoffset:%lu", (int)i,
          (unsigned long)v.hashID, (unsigned long)v.hashedLength, (unsigned long)v.SISoffset);
  }
}

}  // namespace

int sendBufferBlocks(uint64_t backupNo, const char *target, uint64_t targetBackupNo, ProgressRecord *progress) {
  LOG(0, "Starting send Buffer Blocks");
  LOG(2, "blockEliminationType:%d", g_settings.BlockEliminationType);
  LOG(2, "blockEliminationCandidate:%d", g_settings.BlockEliminationCandidate);
  LOG(2, "localBlockElimination:%d", (int)g_settings.LocalBlockElimination);
  // Cluster chooses between the two request forms; any other value would
  // read every missing block and send none of them.
  const int cluster = g_settings.Cluster;
  if (cluster != 0 && cluster != 1) {
    LOG(0, "Cluster set to unexpected value:%d, must be 0 or 1. Not sending backup %lu", cluster,
        (unsigned long)backupNo);
    return -1;
  }
  SingleSend s;
  if (allocateBuffers(&s) != 0) return -1;
  if (openList(&s, backupNo, target) != 0) return -1;

  const int checkpoint = g_settings.Checkpoint;
  long batchCount = 0;  // entries in the current batch
  long metaLeft = 0;    // entries of the batch not yet filled
  long index = 0;       // next entry to fill
  uint64_t batchDataSize = 0;
  long localCount = 0;  // entries processed in all batches
  long clusterAmt = 0;
  int duplicates = 0, nonDuplicates = 0;
  uint64_t totalDuplicates = 0, totalNonDuplicates = 0;
  int retries = 0;
  int ret = 0;
  uint64_t used = 0;

  for (;;) {
    if (metaLeft > 0) {
      LOG(6, "metaLeft: %d", (int)metaLeft);
    } else {
      LOG(5, "Build meta data");
      duplicates = 0;
      nonDuplicates = 0;
      // a. Checkpoint: the Vault must hold every block processed so far.
      if (checkpoint) {
        if (retries > g_settings.RetryCount) {
          LOG(0, "Checkpoint retry failed, too many tries attempted.");
          logBatch(&s, batchCount, 0, "failed");
          return -1;
        }
        LOG(6, "Check target unique block count");
        uint64_t reported = 0;
        int earlier = 0;
        int rc = askBlockCount(target, targetBackupNo, &reported, &earlier);
        if (rc == -1) {
          LOG(0, "postBlockCount failed, curl failure.");
          return rc;
        }
        if (rc != 0) {
          LOG(0, "postBlockCount failed, target returned error.");
          return rc;
        }
        LOG(4, "Count/offset: %lu/%d", (unsigned long)reported, (int)localCount);
        if ((uint64_t)localCount <= reported) {
          if (retries > 0) {
            LOG(0, "Checkpoint retries recovery after %d retries.", retries);
            logBatch(&s, batchCount, 3, "recovered");
          }
          retries = 0;
          if (ret != 0) {
            LOG(0, "Recovered from curl error. setting ret=0 (previous ret:%d)", ret);
            ret = 0;
          }
        } else {
          LOG(0, "Checkpoint found mismatch, retry meta batch");
          LOG(0, "Count/offset: %lu/%d", (unsigned long)reported, (int)localCount);
          LOG(0, "Total checkpoint data size: %lu", (unsigned long)batchDataSize);
          logBatch(&s, batchCount, 6, "entry");
          if (progress)
            progress->currentSize =
                progress->currentSize > batchDataSize ? progress->currentSize - batchDataSize : 0;
          localCount = localCount > batchCount ? localCount - batchCount : 0;
          retries++;
        }
      }
      // b. The next batch, after a mismatch too: the hash list's cursor
      // only moves forward and no copy of the batch is kept. Blocks the
      // Vault lost stay missing there, and the Vault's build of the backup
      // cannot complete without them; the retry limit ends a send to a
      // Vault that keeps losing blocks.
      memset(s.sendTable, 0, (size_t)s.metaSize * sizeof(SendTableSlot));
      memset(s.metaBuffer, 0, (size_t)s.metaSize * sizeof(HashListEntry));
      batchDataSize = 0;
      index = 0;
      long n = getHashesFromList(&s.list, s.metaBuffer, s.metaSize);
      if (n == 0) break;
      if (n < 0) return -1;
      batchCount = n;
      metaLeft = batchCount;
      // c. Which blocks does the Vault lack?
      LOG(5, "Post Check");
      CURLcode curl = CURLE_OK;
      postCheckOffset(target, s.metaBuffer, (int)batchCount, &s.reply, (long)targetBackupNo, &curl);
      if (!s.reply) {
        LOG(0, "Failed to check with POST\n");
        if (curl != CURLE_OK) {
          LOG(0, "Curl status: %s", curl_easy_strerror(curl));
          return (int)curl;
        }
        return -1;
      }
      // d. Held blocks are done; large missing ones go now.
      for (long i = 0; i < batchCount; i++) {
        HashListEntry *e = &s.metaBuffer[i];
        uint64_t len = e->value.hashedLength;
        batchDataSize += len;
        if (s.reply[i] == '1') {
          s.sendTable[i] = SendTableSlot{nullptr, 0};
          addProgress(progress, len);
          duplicates++;
          continue;
        }
        nonDuplicates++;
        if (len + FILL_RESERVE <= s.bufferSize) {
          s.sendTable[i].length = len;
          continue;
        }
        s.sendTable[i] = SendTableSlot{nullptr, 0};
        CURLcode lc = CURLE_OK;
        if (putLargeBlock(target, e, s.buffer, s.bufferSize, (long)targetBackupNo, nullptr, &s.store, &lc) != 0) {
          LOG(0, "Failed to put large block");
          if (lc != CURLE_OK) {
            LOG(0, "Curl status: %s", curl_easy_strerror(lc));
            return (int)lc;
          }
          return -1;
        }
        g_totalBytesSent += len;
        addProgress(progress, len);
        storeProgress(progress);
      }
      // e. Batch accounted.
      free(s.reply);
      s.reply = nullptr;
      localCount += batchCount;
      LOG(1, "metaLeft: %d, duplicates=%d, nonDuplicates=%d", (int)metaLeft, duplicates, nonDuplicates);
      totalDuplicates += (uint64_t)duplicates;
      totalNonDuplicates += (uint64_t)nonDuplicates;
    }

    // 3. Fill the buffer.
    used = 0;
    long fillStart = index;
    while (used < s.bufferSize && metaLeft > 0) {
      HashListEntry *e = &s.metaBuffer[index];
      SendTableSlot *slot = &s.sendTable[index];
      if (slot->length == 0) {
        index++;
        metaLeft--;
        continue;
      }
      uint64_t len = e->value.hashedLength;
      if (len + used + FILL_RESERVE > s.bufferSize) break;
      if (cluster == 1) {
        encodeMultiBlockHeader(e, s.buffer + used);
        used += BLOCK_HEADER_BYTES;
        clusterAmt++;
      }
      long got = s.store.readBlock(e, s.buffer + used, len, 0);
      if (got < 1) {
        LOG(0, "readHashedContents failed");
        LOG(0, "hashID %lu", (unsigned long)e->value.hashID);
        LOG(0, "SISoffset: %lu", (unsigned long)e->value.SISoffset);
        return -1;
      }
      if ((uint64_t)got != slot->length) {
        LOG(0, "readHashedContents unexpected behavior");
        return -1;
      }
      slot->data = s.buffer + used;
      used += len;
      g_totalBytesSent += len;
      addProgress(progress, len);
      index++;
      metaLeft--;
    }

    // 4. Send what the fill gathered.
    LOG(4, "Sending Blocks");
    LOG(4, "clusterAmt:%ld", clusterAmt);
    if (cluster == 1 && clusterAmt > 0) {
      CURLcode curl = CURLE_OK;
      int rc = putMultiBlocks(target, s.buffer, used, clusterAmt, (long)targetBackupNo, &curl);
      if (rc != 0) {
        if (curl != CURLE_OK) LOG(0, "Curl status: %s", curl_easy_strerror(curl));
        LOG(0, "backupNo:%d putMultiBlocks failed: retrying...", (int)backupNo);
        rc = putMultiBlocks(target, s.buffer, used, clusterAmt, (long)targetBackupNo, &curl);
      }
      if (rc != 0) {
        ret = curl != CURLE_OK ? (int)curl : rc;
        if (clusterAmt == 1) LOG(0, "hashID:%lu", (unsigned long)s.metaBuffer[fillStart].value.hashID);
        if (!checkpoint) {
          LOG(0, "backupNo:%d putMultiBlocks failed retry, abort replication job", (int)backupNo);
          return -1;
        }
      }
      clusterAmt = 0;
    } else if (cluster == 0 && index > fillStart) {
      LOG(0, "Put blocks");
      CURLcode curl = CURLE_OK;
      int count = (int)(index - fillStart);
      int done = putBlocks(target, &s.sendTable[fillStart], &s.metaBuffer[fillStart], count, 0,
                           (long)targetBackupNo, &curl);
      if (done != count) {
        LOG(0, "putBlocks failed");
        if (curl != CURLE_OK) {
          LOG(0, "Curl status: %s", curl_easy_strerror(curl));
          return (int)curl;
        }
        return -1;
      }
    }
    // 5. Progress.
    LOG(5, "Update progress");
    storeProgress(progress);
    used = 0;
  }

  LOG(0, "Total unique blocks sent %lu, blocks not sent (already found on target) %lu.",
      (unsigned long)totalNonDuplicates, (unsigned long)totalDuplicates);
  return ret;
}
