// threadedSender.cpp: the meta, read and send threads of the threaded send
// phase around one Pipeline.
#include "pipeline/threadedSender.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "daemon/settings.h"
#include "dedup/hashValues.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "pipeline/pipeline.h"
#include "queue/progress.h"
#include "queue/refresh.h"
#include "vault/blockOut.h"
#include "vault/rest.h"

namespace {

struct SendThreadArgs {
  Pipeline *pipeline;
  int bandwidthTableId;
};

// What the meta thread needs besides the pipeline.
struct MetaState {
  Pipeline *pipeline;
  int checkpoint;
  int retryCount;
  ProgressRecord *progress;
};

void addProgress(ProgressRecord *progress, uint64_t bytes) {
  if (progress) progress->currentSize += bytes;
}

// Asks the Vault which entries of the batch it holds and fills the send
// table: length 0 for a held block, the hashed length for one to send.
// Block list lock held. 0, the transfer's error code, or -1.
int batchCheck(Pipeline *p) {
  BlockList *bl = p->blockList;
  unsigned long tid = senderThreadId();
  bl->onTarget = 0;
  bl->toSend = 0;
  bl->batchBytes = 0;
  char *reply = nullptr;
  CURLcode curl = CURLE_OK;
  postCheckOffset(p->target.c_str(), bl->metaBuffer, (int)bl->count, &reply, (long)p->backupNo, &curl);
  if (!reply) {
    LOG(0, "[%lu]: postCheckOffset failed, unable to check blocks on target", tid);
    if (curl != CURLE_OK) {
      LOG(0, "[%lu]: Curl status: %s", tid, curl_easy_strerror(curl));
      return (int)curl;
    }
    return -1;
  }
  LOG(1, "[%lu]: Check %lu blocks are on the target.", tid, (unsigned long)bl->count);
  for (uint64_t i = 0; i < bl->count; i++) {
    uint64_t len = bl->metaBuffer[i].value.hashedLength;
    bl->batchBytes += len;
    if (reply[i] == '1') {
      bl->sendTable[i].length = 0;
      bl->bytesOnTarget += len;
      bl->onTarget++;
    } else {
      bl->sendTable[i].length = len;
      bl->toSend++;
    }
  }
  LOG(1, "[%lu]: %d blocks need to be sent (%d blocks are already on the target).", tid, (int)bl->toSend,
      (int)bl->onTarget);
  free(reply);
  return 0;
}

// Replaces the batch with the next one from the hash list and checks it.
// Block list lock held. The number of entries (0: no more blocks) or -1.
long batchFill(Pipeline *p) {
  BlockList *bl = p->blockList;
  unsigned long tid = senderThreadId();
  bl->reset();
  long n = getHashesFromList(&p->blockSource, bl->metaBuffer, (long)bl->capacity);
  if (n < 0) {
    LOG(0, "[%lu]: Error getting hash data from list", tid);
    return -1;
  }
  bl->count = (uint64_t)n;
  if (n == 0) return 0;  // nothing to ask the Vault about
  int rc = batchCheck(p);
  if (rc != 0) {
    LOG(0, "[%lu]: Failed target block check offset:%d", tid, rc);
    return -1;
  }
  return n;
}

// After a checkpoint mismatch: refreshes every entry of the batch from the
// index by its hash id and checks the batch again, so the read thread
// hands out just the blocks the Vault still lacks. Block list lock held.
// 0 or -1.
int batchRecheck(Pipeline *p) {
  BlockList *bl = p->blockList;
  unsigned long tid = senderThreadId();
  bl->next = 0;
  for (uint64_t i = 0; i < bl->count; i++) {
    HashValue &v = bl->metaBuffer[i].value;
    v.flags = (uint8_t)((v.flags | hashID_in) & ~(SISoffset_in | locationID_in | hashValue_in));
    if (getHashValues(&bl->cursorState, &v, 1) != 0) {
      LOG(0, "[%lu]: Failed to refresh hashID:%lu", tid, (unsigned long)v.hashID);
      return -1;
    }
  }
  int rc = batchCheck(p);
  if (rc != 0) {
    LOG(0, "[%lu]: Failed target block check offset:%d", tid, rc);
    return -1;
  }
  return 0;
}

// Waits until the send threads have sent every block found missing so
// far. Called with the block list lock released. 0 or -1.
int waitForAllSent(Pipeline *p) {
  unsigned long tid = senderThreadId();
  int rc = 0;
  p->totalSentLock();
  for (;;) {
    if (p->getExitCode() < 0) {
      LOG(0, "[%lu]: MetaThread: caught error, exiting", tid);
      rc = -1;
      break;
    }
    if (p->blocksSent >= p->blocksToSend) break;
    LOG(5, "[%lu]: MetaThread: Wait on total sent", tid);
    if (p->waitForSent() < 0) {
      LOG(0, "Deadlock. Fail checkpoint.");
      rc = -1;
      break;
    }
  }
  if (rc == 0) LOG(5, "[%lu]: MetaThread: Initiating checkpoint", tid);
  p->totalSentUnlock();
  return rc;
}

// Asks the Vault for its block count, up to retryCount tries with a pause
// of i seconds before try i > 1. Returns postBlockCount's last result;
// *tries receives the number of tries made.
int askBlockCount(Pipeline *p, int retryCount, uint64_t *reported, int *tries, int *earlierFailure) {
  unsigned long tid = senderThreadId();
  int limit = retryCount > 0 ? retryCount : 1;
  int rc = -1;
  *earlierFailure = 0;
  for (int i = 1; i <= limit; i++) {
    if (i > 1) sleep((unsigned)i);
    CURLcode curl = CURLE_OK;
    rc = postBlockCount(p->target.c_str(), p->backupNo, reported, &curl);
    *tries = i;
    if (rc == 0) break;
    *earlierFailure = rc;
    LOG(0, "[%lu]: MetaThread: postBlockCount failed, retry.", tid);
  }
  return rc;
}

// The meta thread's loop (on the calling thread). 0 when every batch was
// handed out (and, with checkpoints, verified), -1 on failure. Sets the
// exit code accordingly and wakes every thread.
int metaThread(MetaState *m) {
  Pipeline *p = m->pipeline;
  BlockList *bl = p->blockList;
  unsigned long tid = senderThreadId();
  LOG(3, "[%lu]: Starting meta thread", tid);
  bl->lockAccess();
  uint64_t expected = 0, lastReported = 0;
  int tries = 0;
  long fillResult = (long)bl->capacity;
  int firstRun = 1;
  bool ok = false;
  for (;;) {
    // 1. Someone failed.
    if (p->getExitCode() < 0) {
      LOG(0, "[%lu]: MetaThread: caught error, exiting", tid);
      bl->dump(0);
      break;
    }
    // 2. Wait until the read thread has used up the batch.
    if (firstRun) {
      LOG(6, "[%lu]: MetaThread: First run; starting", tid);
    } else if (bl->remaining() > 0) {
      LOG(6, "[%lu]: MetaThread: Second loop; wait on blockListEmpty", tid);
      if (bl->waitEmpty(p->timeout) < 0) {
        LOG(2, "Timeout in metaThread, check for deadlocks");
        if (p->countWaitingThreads() == (int)p->totalThreads) {
          LOG(0, "Deadlock detected");
          bl->dump(0);
          break;
        }
      }
      // Woken before the batch is used up (a wake-all, a stray signal or
      // a timeout without deadlock): look at the exit code and wait again,
      // so a batch is never counted or checked twice.
      if (bl->remaining() > 0) continue;
    }
    // 3. The batch is done as far as this process can tell.
    addProgress(m->progress, bl->sumHashedLengths());
    // 4. Checkpoint: does the Vault hold every block so far?
    if (m->checkpoint && !firstRun) {
      bl->unlockAccess();
      int synced = waitForAllSent(p);
      bl->lockAccess();
      if (synced < 0) {
        LOG(0, "[%lu]: MetaThread: Checkpoint failed synchronizing threads", tid);
        bl->dump(0);
        break;
      }
      expected += bl->count;
      LOG(3, "[%lu]: Tries:%d RetryCount:%d", tid, tries, m->retryCount);
      if (tries > m->retryCount) {
        LOG(0, "[%lu]: MetaThread: Checkpoint retry failed, too many retries attempted.", tid);
        bl->dump(0);
        break;
      }
      LOG(6, "[%lu]: MetaThread: Check target unique block count", tid);
      uint64_t reported = 0;
      int attempts = 0, earlier = 0;
      int rc = askBlockCount(p, m->retryCount, &reported, &attempts, &earlier);
      if (rc == -1) {
        LOG(0, "[%lu]: MetaThread: postBlockCount failed, curl failure.", tid);
        break;
      }
      if (rc != 0) {
        LOG(0, "[%lu]: MetaThread: postBlockCount failed, target returned error.", tid);
        break;
      }
      if (attempts > 1) LOG(0, "[%lu]: MetaThread: postBlockCount retry successful.", tid);
      LOG(3, "[%lu]: MetaThread: %lu blocks reported on target, %lu blocks expected.", tid,
          (unsigned long)reported, (unsigned long)expected);
      if (expected > reported) {
        uint64_t size = bl->sumHashedLengths();
        LOG(0,
            "[%lu]: MetaThread: Checkpoint found mismatch, retry last batch of blocks. Total checkpoint data "
            "size: %lu. %lu blocks reported on target, %lu blocks expected.",
            tid, (unsigned long)size, (unsigned long)reported, (unsigned long)expected);
        bl->dump(6);
        if (m->progress) m->progress->currentSize = m->progress->currentSize > size ? m->progress->currentSize - size : 0;
        expected -= bl->count;
        LOG(5, "[%lu]: totalCheckpointBlocks:%lu", tid, (unsigned long)expected);
        // A re-check that fails leaves nothing to wait for: end the send.
        if (batchRecheck(p) != 0) break;
        fillResult = 0;
        // The blocks handed out again count as blocks to send, so the next
        // checkpoint waits for them too.
        p->totalSentLock();
        p->blocksToSend += bl->toSend;
        p->totalSentUnlock();
        if (lastReported < reported) {
          LOG(0, "[%lu]: MetaThread: Checkpoint retry making some progress, last checkpoint was %lu bytes, clear retry count.",
              tid, (unsigned long)lastReported);
          tries = 0;
          lastReported = reported;
        } else {
          tries++;
        }
        bl->signalFull();
      } else {
        if (tries > 0) {
          LOG(0, "[%lu]: MetaThread: Checkpoint retries recovery after %d retries.", tid, tries);
          bl->dump(3);
        }
        lastReported = reported;
        fillResult = (long)bl->capacity;
        tries = 0;
        if (earlier != 0) LOG(0, "[%lu]: MetaThread: Recovered from curl error. (clear old error:%d)", tid, earlier);
      }
    }
    // 5. Next batch.
    if (bl->remaining() == 0 && fillResult > 0) {
      fillResult = batchFill(p);
      if (fillResult > 0) {
        p->totalSentLock();
        p->blocksToSend += bl->toSend;
        p->totalSentUnlock();
      }
      if (fillResult == 0) {
        LOG(2, "[%lu]: MetaThread:no more blocks to send", tid);
        ok = true;
        break;
      }
      if (fillResult < 0) {
        LOG(0, "[%lu]: MetaThread:Failed to populate block list", tid);
        break;
      }
      LOG(0, "[%lu]: MetaThread: populated block list with %lu blocks to send", tid, (unsigned long)bl->toSend);
      bl->signalFull();
      LOG(5, "[%lu]: MetaThread: Update progress", tid);
      if (m->progress) updateProgress(*m->progress);
    }
    firstRun = 0;
  }
  if (ok) {
    LOG(6, "[%lu]: MetaThread: Set exit code 1", tid);
    p->changeExitCode(0, 1);
  } else {
    LOG(0, "[%lu]: MetaThread: Set exit code -1", tid);
    p->setExitCode(-1);
  }
  bl->unlockAccess();
  p->wakeAll();
  return ok ? 0 : -1;
}

void *readThread(void *arg) {
  Pipeline *p = (Pipeline *)arg;
  BlockList *bl = p->blockList;
  unsigned long tid = senderThreadId();
  LOG(3, "[%lu]: Starting read thread", tid);
  bool error = false, stop = false;
  while (!stop) {
    // 1. A free buffer.
    p->emptyLock();
    if (p->emptySize() > 0) {
      LOG(2, "[%lu]: ReadThread:Empty list size:%d. Able to obtain a work buffer.", tid, (int)p->emptySize());
    } else {
      LOG(2, "[%lu]: ReadThread:Empty list size:%d. Unable to obtain a work buffer, waiting for work buffer", tid,
          (int)p->emptySize());
      p->emptyWait();
    }
    // 2. Still wanted?
    int ec = p->getExitCode();
    LOG(5, "[%lu]: getExitCode:%d", tid, ec);
    if (ec < 0) {
      LOG(0, "[%lu]: ReadThread: caught error, exiting", tid);
      p->emptyUnlock();
      break;
    }
    if (p->emptySize() == 0) {
      p->emptyUnlock();
      if (ec == 1) {
        LOG(2, "[%lu]: ReadThread: No work to do, no work to come, exit", tid);
        break;
      }
      LOG(2, "[%lu]: ReadThread: Spurious Wake Condition", tid);
      continue;
    }
    // 3. Fill it from the block list.
    LOG(3, "[%lu]: ReadThread:Get read buffer", tid);
    WorkBuffer *b = p->emptyPop();
    p->emptyUnlock();
    bl->lockAccess();
    for (;;) {
      if (bl->remaining() == 0) {
        LOG(3, "[%lu]: ReadThread:empty block list, signal block list empty", tid);
        bl->signalEmpty();
        ec = p->getExitCode();
        LOG(3, "[%lu]: exit code:%d", tid, ec);
        if (ec < 0) {
          LOG(0, "[%lu]: ReadThread: caught error(%d), exiting", tid, ec);
          stop = true;
          break;
        }
        if (ec == 1) {
          LOG(2, "[%lu]: ReadThread: finished, no work to come", tid);
          stop = true;
          break;
        }
        if (b->blockCount > 0) {
          LOG(2, "[%lu]: ReadThread: read buffer not full but flush is needed for a checkpoint. Sending %lu blocks.",
              tid, (unsigned long)b->blockCount);
          break;
        }
        bl->waitFull();
        if (bl->remaining() == 0) {
          ec = p->getExitCode();
          if (ec < 0) {
            LOG(0, "[%lu]: ReadThread: Block List is empty, exit code:%d, exiting", tid, ec);
            stop = true;
            break;
          }
          if (ec == 1)
            LOG(2, "[%lu]: ReadThread: Block List is empty, exit code:%d, No more data to read.", tid, ec);
          else
            LOG(2, "[%lu]: ReadThread: Block List is empty, exit code:%d, Spurious Wake Condition.", tid, ec);
        }
        continue;
      }
      LOG(4, "[%lu]: ReadThread:Block list size:%d", tid, (int)bl->remaining());
      if (bl->currentSlot()->length == 0) {
        LOG(5, "[%lu]: ReadThread: Block already on target, skipping", tid);
        bl->advance();
        continue;
      }
      LOG(4, "[%lu]: ReadThread: Block needs to be sent", tid);
      long r = addBlock(b, bl->current(), &p->storeLock);
      if (r == 1) {
        LOG(6, "[%lu]: ReadThread: Block added to work buffer:%ld", tid, r);
        bl->advance();
        continue;
      }
      if (r == 0 && b->blockCount == 0) {
        // Not even an empty buffer takes the block: taking the buffer back
        // and trying again would spin for ever, unseen by the deadlock
        // test. Wait as an idle thread instead, so the meta thread reports
        // the deadlock and ends the send.
        LOG(0, "[%lu]: ReadThread: Block of %lu bytes does not fit an empty work buffer of %lu bytes", tid,
            (unsigned long)bl->current()->value.hashedLength, (unsigned long)b->size);
        bl->waitFull();
        ec = p->getExitCode();
        if (ec < 0) {
          LOG(0, "[%lu]: ReadThread: caught error(%d), exiting", tid, ec);
          stop = true;
          break;
        }
        continue;
      }
      if (r == 0) {
        LOG(6, "[%lu]: ReadThread: Block not added, buffer is full:%ld", tid, r);
        break;
      }
      if (r == -1)
        LOG(0, "[%lu]: ReadThread: failed to add block to work buffer:%ld", tid, r);
      else
        LOG(0, "[%lu]: ReadThread: Unexpected return value from addBlock:%ld", tid, r);
      error = true;
      stop = true;
      break;
    }
    // 4. Hand the buffer on (never one half-filled by a failed read).
    bl->unlockAccess();
    if (!error && b->blockCount > 0) {
      LOG(2, "[%lu]: ReadThread:work buffer full, add to full list", tid);
      p->fullPush(b);
      p->fullSignal();
    } else {
      resetWorkBuffer(b);
      p->emptyPush(b);
    }
  }
  if (error) {
    LOG(0, "[%lu]: ReadThread: Set exit code -1", tid);
    p->setExitCode(-1);
  }
  LOG(2, "[%lu]: ReadThread:Finished", tid);
  if (p->changeExitCode(1, 2)) LOG(3, "[%lu]: Read Thead exited safely, notify send threads", tid);
  // Wake everyone after the last change, so idle send threads see the
  // final exit code now rather than at their next timeout.
  p->wakeAll();
  return nullptr;
}

void *sendThread(void *arg) {
  SendThreadArgs *a = (SendThreadArgs *)arg;
  Pipeline *p = a->pipeline;
  unsigned long tid = senderThreadId();
  LOG(3, "[%lu]: Starting send thread", tid);
  bool attached = a->bandwidthTableId >= 0 && attachBandwidthTable(a->bandwidthTableId) == 0;
  bool error = false;
  p->fullLock();
  for (;;) {
    LOG(3, "[%lu]: SendThread:Main Loop", tid);
    if (p->fullSize() == 0) {
      LOG(5, "[%lu]: SendThread:Wait on Full list", tid);
      if (p->getExitCode() == 2) {
        LOG(2, "[%lu]: SendThread: No work to do, no work to come, exit", tid);
        break;
      }
      // Idle senders leave the bandwidth table, so the allowance is
      // shared only among senders that send.
      if (attached) detachBandwidthTable();
      p->fullWait();
      if (attached) attached = attachBandwidthTable(a->bandwidthTableId) == 0;
    } else {
      LOG(2, "[%lu]: SendThread:Full list size: %d", tid, (int)p->fullSize());
    }
    int ec = p->getExitCode();
    if (ec < 0) {
      LOG(0, "[%lu]: SendThread: caught error, exiting", tid);
      break;
    }
    LOG(3, "[%lu]: SendThread:Get send buffer", tid);
    WorkBuffer *b = p->fullPop();
    if (!b) {
      LOG(3, "[%lu]: SendThread: exit code:%d", tid, ec);
      if (ec == 2) {
        LOG(2, "[%lu]: SendThread: No work to do, no work to come, exit", tid);
        break;
      }
      LOG(3, "[%lu]: SendThread: Spurious Wake Condition", tid);
      continue;
    }
    p->fullUnlock();
    LOG(3, "[%lu]: SendThread:Send data", tid);
    CURLcode curl = CURLE_OK;
    int rc = sendMultBlock(b, p->target.c_str(), p->backupNo, &curl, &p->storeLock);
    if (rc != 0) {
      if (curl != CURLE_OK)
        LOG(0, "[%lu]: SendThread: sendMultiBlock failed (Curl status:%s), retrying.", tid, curl_easy_strerror(curl));
      rc = sendMultBlock(b, p->target.c_str(), p->backupNo, &curl, &p->storeLock);
      if (rc != 0) {
        LOG(0, "[%lu]: SendThread: sendMultiBlock failed retry (Curl status:%s)", tid, curl_easy_strerror(curl));
        error = true;
        // The buffer goes back unsent; the send is over anyway.
        resetWorkBuffer(b);
        p->emptyPush(b);
        p->fullLock();
        break;
      }
    }
    uint64_t bytes = b->largeBlock ? b->largeBlock->value.hashedLength : b->used;
    p->totalSentLock();
    p->blocksSent += b->blockCount;
    g_totalBytesSent += bytes;
    p->totalSentSignal();
    p->totalSentUnlock();
    LOG(3, "[%lu]: SendThread:Clear work buffer", tid);
    resetWorkBuffer(b);
    p->emptyPush(b);
    p->emptySignal();
    p->fullLock();
  }
  p->fullUnlock();
  if (attached) detachBandwidthTable();
  if (error) {
    LOG(0, "[%lu]: SendThread: Set exit code -1", tid);
    p->setExitCode(-1);
  }
  p->wakeAll();
  return nullptr;
}

// Reads the thread and buffer settings and corrects them.
void threadSettings(int *readCount, int *sendCount, int *bufferCount, unsigned *timeout) {
  int r = (int)iniGetInt("Replication", "ReadThreadCount", 1, g_master_ini);
  LOG(6, "master.ini ReadThreadCount:%d", r);
  int s = (int)iniGetInt("Replication", "SendThreadCount", 2, g_master_ini);
  LOG(6, "master.ini SendThreadCount:%d", s);
  int b = (int)iniGetInt("Replication", "ThreadBufferCount", -1, g_master_ini);
  LOG(6, "master.ini ThreadBufferCount:%d", b);
  long t = iniGetInt("Replication", "MetaThreadTimeoutSeconds", 60, g_master_ini);
  if (r != 1) {
    LOG(0, "ReadThreadCount set to unexpected value:%d, only 1 is supported at this time. Setting internal ReadThreadCount=1", r);
    r = 1;
  }
  if (s < 1) {
    LOG(0, "SendThreadCount set to unexpected value:%d, must be >=1. Setting internal SendThreadCount=1", s);
    s = 1;
  }
  if (b == -1) {
    b = r + s + 1;
    LOG(3, "Using default ThreadBufferCount=%d", b);
  } else if (b < r + s) {
    LOG(0, "Unadvised buffer count:%d setting to: %d", b, r + s);
    b = r + s;
  }
  LOG(5, "ReadThreadCount:%d SendThreadCount:%d ThreadBufferCount:%d", r, s, b);
  *readCount = r;
  *sendCount = s;
  *bufferCount = b;
  // A timeout of 0 would turn every wait into a busy loop.
  *timeout = t > 0 ? (unsigned)t : 1;
}

// Creates the pipeline's hash list, with the local block elimination
// exclusions when they apply. 0 or -1.
int openBlockList(Pipeline *p, uint64_t backupNo, const char *target) {
  int rc;
  if (useBlockElim(backupNo)) {
    LOG(2, "Using local block elimination");
    uint64_t *list = nullptr;
    int n = getLBEBackupList(backupNo, g_settings.BlockEliminationType, &list, target);
    if (n < 0) {
      LOG(0, "Failed to get exclusion list:%ld", (long)n);
      return -1;
    }
    rc = createHashList(&p->blockSource, backupNo, list, n, 0);
    free(list);
  } else {
    LOG(2, "Not using local block elimination");
    rc = createHashList(&p->blockSource, backupNo, nullptr, 0, 0);
  }
  if (rc != 0) {
    LOG(0, "failed to create virtual block list");
    return -1;
  }
  return 0;
}

}  // namespace

int threadedSendBlocks(uint64_t backupNo, const char *target, uint64_t targetBackupNo, const SendContext *context) {
  LOG(4, "Starting threaded send Buffer Blocks");
  int readCount, sendCount, bufferCount;
  unsigned timeout;
  threadSettings(&readCount, &sendCount, &bufferCount, &timeout);
  LOG(3, "%s", g_settings.Checkpoint ? "Using checkpoint system" : "Not using checkpoint system");

  LOG(4, "Create threadbuffer");
  std::unique_ptr<Pipeline> pipeline;
  try {
    pipeline.reset(new Pipeline((uint64_t)bufferCount, g_settings.MaxBlocks, (uint64_t)g_settings.MetaSize, target,
                                targetBackupNo));
  } catch (const std::exception &e) {
    LOG(0, "Caught initialization exception:%s", e.what());
    return -1;
  }
  Pipeline *p = pipeline.get();
  p->timeout = timeout;
  if (openBlockList(p, backupNo, target) != 0) return -1;

  LOG(4, "Cursor set, start threads");
  std::vector<pthread_t> readers, senders;
  SendThreadArgs sendArgs{p, context ? context->bandwidthTableId : -1};
  for (int i = 0; i < readCount; i++) {
    pthread_t t;
    if (pthread_create(&t, nullptr, readThread, p) != 0)
      LOG(0, "Failed to create read thread:%d", i);
    else
      readers.push_back(t);
  }
  for (int i = 0; i < sendCount; i++) {
    pthread_t t;
    if (pthread_create(&t, nullptr, sendThread, &sendArgs) != 0)
      LOG(0, "Failed to create send thread:%d", i);
    else
      senders.push_back(t);
  }
  int result;
  if (readers.empty() || senders.empty()) {
    LOG(0, "Failed to create at least 1 read and 1 send thread");
    LOG(0, "Warning: unexpected number of threads created. Read:%d, Send:%d", (int)readers.size(),
        (int)senders.size());
    p->setExitCode(-1);
    p->wakeAll();
    result = -1;
  } else {
    LOG(3, "Threads created. Read:%d, Send:%d", (int)readers.size(), (int)senders.size());
    if ((int)readers.size() != readCount || (int)senders.size() != sendCount)
      LOG(0, "Warning: unexpected number of threads created. Read:%d, Send:%d", (int)readers.size(),
          (int)senders.size());
    // Read by the meta thread only (the deadlock test).
    p->totalThreads = (uint32_t)(readers.size() + senders.size());
    MetaState meta{p, g_settings.Checkpoint ? 1 : 0, g_settings.RetryCount, context ? context->progress : nullptr};
    result = metaThread(&meta);
  }
  if (p->getExitCode() < 0) {
    result = -1;
    p->wakeAll();
  }
  for (pthread_t t : readers) pthread_join(t, nullptr);
  for (pthread_t t : senders) pthread_join(t, nullptr);
  // Without checkpoints the last buffers are sent after the meta thread
  // has finished; a failure there still fails the send.
  if (p->getExitCode() < 0) result = -1;
  destroyHashList(&p->blockSource);
  p->storeContext.close();
  LOG(2, "Threaded send finished: %lu blocks sent, result %d", (unsigned long)p->blocksSent, result);
  return result;
}
