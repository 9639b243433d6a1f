// pipeline.cpp: the Pipeline of the threaded sender: work buffers and their
// FIFOs, the block list, the locks and conditions with their logged waits
// and signals, the exit code and the deadlock test; addBlock and
// sendMultBlock.
#include "pipeline/pipeline.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <stdexcept>

#include "lib/logger.h"
#include "vault/rest.h"

static_assert(BLOCK_HEADER_BYTES == MULTI_BLOCK_HEADER_BYTES, "one multi-block header layout");

unsigned long senderThreadId() { return (unsigned long)syscall(SYS_gettid); }

void deadlineAfter(struct timespec *deadline, unsigned seconds) {
  clock_gettime(CLOCK_MONOTONIC, deadline);
  deadline->tv_sec += seconds;
}

namespace {

// Conditions wait on the monotonic clock, so a change of the wall clock
// neither shortens nor stretches the timed waits.
void initMutex(pthread_mutex_t *m) {
  if (pthread_mutex_init(m, nullptr) != 0) throw std::runtime_error("Failed to initialize mutex");
}

void initCond(pthread_cond_t *c) {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) throw std::runtime_error("Failed to initialize conditional");
  int rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (rc == 0) rc = pthread_cond_init(c, &attr);
  pthread_condattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("Failed to initialize conditional");
}

}  // namespace

// ---- Store reads ---------------------------------------------------------------

StoreBlockSource::~StoreBlockSource() { close(); }

void StoreBlockSource::close() {
  if (context_) closeHashedContents(&context_);
}

long StoreBlockSource::readBlock(HashListEntry *entry, uint8_t *buf, size_t len, uint64_t offset) {
  // A block's data moves from backup files into the single instance store,
  // never back. So a record that already places the block in the store is
  // read from there as it is, and every other read refreshes the record
  // from the index: a block that moved into the store after its batch was
  // fetched is then read from the store instead of being looked for in
  // backup files that no longer hold it.
  int refresh = (entry->value.flags & (SISoffset_in | SISoffset_out)) ? 0 : 1;
  return (long)readHashedContents(&context_, &entry->value, buf, (int64_t)len, (int64_t)offset, refresh);
}

// ---- Work buffers -----------------------------------------------------------------

WorkBuffer::WorkBuffer(uint64_t want) {
  // calloc: large sizes come straight from fresh zero pages, so a buffer
  // costs memory only where it is written.
  for (;;) {
    data = (uint8_t *)calloc(1, want);
    if (data || want <= 8) break;
    LOG(0, "[%lu]: Cannot get memory: %lu. Resizing", senderThreadId(), (unsigned long)want);
    want /= 2;
  }
  if (!data) throw std::runtime_error("Unable to allocate buffer");
  size = want;
}

WorkBuffer::~WorkBuffer() { free(data); }

void resetWorkBuffer(WorkBuffer *b) {
  // Every reset leaves the buffer as a new one: the next body never carries
  // a byte of the last one, whatever a later change to the fill does.
  // Zeroing stops at the high-water mark, so the cost is one pass over what
  // the body wrote and untouched pages stay unmapped.
  if (b->largeBlock) b->dirty = b->size;  // the pieces of a large block used it all
  if (b->dirty > b->size) b->dirty = b->size;
  memset(b->data, 0, b->dirty);
  b->dirty = 0;
  b->blockCount = 0;
  b->used = 0;
  b->largeBlock = nullptr;
}

long addBlock(WorkBuffer *b, HashListEntry *entry, std::mutex *storeLock) {
  unsigned long tid = senderThreadId();
  HashValue &rec = entry->value;
  uint64_t need = rec.hashedLength + BLOCK_HEADER_BYTES;
  if (b->largeBlock) {
    LOG(6, "[%lu]: Large block already added. Return full", tid);
    return 0;
  }
  // A block goes in beside others only while size > used + need, so a
  // block whose need is the whole size would fit nowhere: it, too, goes
  // alone as a large block.
  if (b->used == 0 && b->size <= need) {
    b->largeCopy = *entry;
    b->largeBlock = &b->largeCopy;
    b->blockCount = 1;
    LOG(6, "[%lu]: Large block values set", tid);
    return 1;
  }
  LOG(6, "[%lu]: Non-large block add", tid);
  if (b->size <= b->used + need) {
    LOG(5, "[%lu]: Unabled to add block(%lu) and block-header (%d) to buffer of size:%lu. Buffer already contains:%lu",
        tid, (unsigned long)rec.hashedLength, (int)BLOCK_HEADER_BYTES, (unsigned long)b->size,
        (unsigned long)b->used);
    return 0;
  }
  uint8_t *header = b->data + b->used;
  encodeMultiBlockHeader(entry, header);
  b->dirty = b->used + need;
  long got;
  {
    std::unique_lock<std::mutex> guard;
    if (storeLock) guard = std::unique_lock<std::mutex>(*storeLock);
    // What an earlier lookup filled in counts as given for this read.
    rec.flags |= (uint8_t)((rec.flags & 0xF0) >> 4);
    got = b->store.readBlock(entry, header + BLOCK_HEADER_BYTES, rec.hashedLength, 0);
  }
  if (got < 1) {
    dumpHashValue(0, &rec);
    LOG(0, "[%lu]: Failed to read hashed contents. readHashedContents return value:%ld", tid, got);
    return -1;
  }
  if ((uint64_t)got != rec.hashedLength) {
    LOG(0, "[%lu]: Failed to read hashed contents. Short read:%lu", tid, (unsigned long)got);
    return -1;
  }
  b->used += need;
  b->blockCount++;
  return 1;
}

int sendMultBlock(WorkBuffer *b, const char *target, uint64_t backupNo, CURLcode *curlResult,
                  std::mutex *storeLock) {
  unsigned long tid = senderThreadId();
  LOG(4, "[%lu]: sendMultBlock", tid);
  if (curlResult) *curlResult = CURLE_OK;
  if (b->blockCount == 0) return 0;
  if (b->largeBlock) {
    LOG(5, "[%lu]: large block send", tid);
    return putLargeBlock(target, b->largeBlock, b->data, b->size, (long)backupNo, storeLock, &b->store,
                         curlResult);
  }
  LOG(5, "[%lu]: multi block send", tid);
  return putMultiBlocks(target, b->data, b->used, (long)b->blockCount, (long)backupNo, curlResult);
}

// ---- Block list ------------------------------------------------------------------------

BlockList::BlockList(uint64_t want) {
  unsigned long tid = senderThreadId();
  for (;;) {
    if (want > 0) {
      metaBuffer = (HashListEntry *)calloc(want, sizeof(HashListEntry));
      sendTable = (SendTableSlot *)calloc(want, sizeof(SendTableSlot));
    }
    if (metaBuffer && sendTable) break;
    free(metaBuffer);
    free(sendTable);
    metaBuffer = nullptr;
    sendTable = nullptr;
    if (want == 0) {
      LOG(0, "[%lu]: Unable to get buffer", tid);
      throw std::runtime_error("Unable to allocate buffer");
    }
    want = want / 2 > 0 ? want / 2 - 1 : 0;
    LOG(0, "[%lu]: Resizing buffers", tid);
  }
  capacity = want;
  int made = 0;
  try {
    initMutex(&lock);
    made = 1;
    initCond(&fullCond);
    made = 2;
    initCond(&emptyCond);
  } catch (...) {
    if (made >= 2) pthread_cond_destroy(&fullCond);
    if (made >= 1) pthread_mutex_destroy(&lock);
    free(metaBuffer);
    free(sendTable);
    throw;
  }
}

BlockList::~BlockList() {
  pthread_cond_destroy(&emptyCond);
  pthread_cond_destroy(&fullCond);
  pthread_mutex_destroy(&lock);
  if (cursorState) freeHashValuesPrivate(cursorState);
  free(metaBuffer);
  free(sendTable);
}

void BlockList::reset() {
  memset(metaBuffer, 0, capacity * sizeof(HashListEntry));
  memset(sendTable, 0, capacity * sizeof(SendTableSlot));
  next = 0;
  count = 0;
  batchBytes = 0;
}

uint64_t BlockList::sumHashedLengths() const {
  uint64_t sum = 0;
  for (uint64_t i = 0; i < count; i++) sum += metaBuffer[i].value.hashedLength;
  return sum;
}

void BlockList::lockAccess() {
  LOG(6, "[%lu]: block list lock access", senderThreadId());
  pthread_mutex_lock(&lock);
}

void BlockList::unlockAccess() {
  LOG(6, "[%lu]: block list unlock access", senderThreadId());
  pthread_mutex_unlock(&lock);
}

void BlockList::waitFull() {
  LOG(6, "[%lu]: Wait on full block list", senderThreadId());
  // Atomic although under the lock: the deadlock test reads it without.
  __atomic_add_fetch(&waiting, 1, __ATOMIC_RELAXED);
  pthread_cond_wait(&fullCond, &lock);
  __atomic_sub_fetch(&waiting, 1, __ATOMIC_RELAXED);
}

int BlockList::waitEmpty(unsigned seconds) {
  LOG(6, "[%lu]: Wait on empty block list", senderThreadId());
  struct timespec deadline;
  deadlineAfter(&deadline, seconds);
  int rc = pthread_cond_timedwait(&emptyCond, &lock, &deadline);
  LOG(3, "Conditional Wait return value:%d", rc);
  return rc == ETIMEDOUT ? -1 : 0;
}

void BlockList::signalFull() {
  LOG(6, "[%lu]: signal block list full", senderThreadId());
  pthread_cond_signal(&fullCond);
}

void BlockList::signalEmpty() {
  LOG(6, "[%lu]: signal block list empty", senderThreadId());
  pthread_cond_signal(&emptyCond);
}

void BlockList::wakeAll() {
  LOG(6, "[%lu]: blocklist wake all", senderThreadId());
  pthread_cond_broadcast(&fullCond);
  pthread_cond_broadcast(&emptyCond);
}

void BlockList::dump(int level) const {
  for (uint64_t i = 0; i < count; i++) {
    const HashValue &v = metaBuffer[i].value;
    vxLog(level, "metaBuffer location:%lu hashID:%lu hashedLength:%lu SISoffset:%lu", (unsigned long)i,
          (unsigned long)v.hashID, (unsigned long)v.hashedLength, (unsigned long)v.SISoffset);
  }
}

// ---- Pipeline ------------------------------------------------------------------------------

Pipeline::Pipeline(uint64_t count, uint64_t bufferSize, uint64_t batchCapacity, const char *tgt,
                   uint64_t backup)
    : target(tgt ? tgt : ""), backupNo(backup) {
  try {
    initMutex(&exitLock_);
    initialised_ = 1;
    initMutex(&emptyLock_);
    initialised_ = 2;
    initCond(&emptyCond_);
    initialised_ = 3;
    initMutex(&fullLock_);
    initialised_ = 4;
    initCond(&fullCond_);
    initialised_ = 5;
    initMutex(&totalSentLock_);
    initialised_ = 6;
    initCond(&totalSentCond_);
    initialised_ = 7;
    for (uint64_t i = 0; i < count; i++) {
      WorkBuffer *b = new WorkBuffer(bufferSize);
      buffers_.push_back(b);
      empty_.push_back(b);
    }
    bufferCount = count;
    blockList = new BlockList(batchCapacity);
  } catch (...) {
    for (WorkBuffer *b : buffers_) delete b;
    buffers_.clear();
    destroyPrimitives();
    throw;
  }
}

Pipeline::~Pipeline() {
  delete blockList;
  for (WorkBuffer *b : buffers_) delete b;
  if (blockSource) destroyHashList(&blockSource);
  destroyPrimitives();
}

void Pipeline::destroyPrimitives() {
  if (initialised_ >= 7) pthread_cond_destroy(&totalSentCond_);
  if (initialised_ >= 6) pthread_mutex_destroy(&totalSentLock_);
  if (initialised_ >= 5) pthread_cond_destroy(&fullCond_);
  if (initialised_ >= 4) pthread_mutex_destroy(&fullLock_);
  if (initialised_ >= 3) pthread_cond_destroy(&emptyCond_);
  if (initialised_ >= 2) pthread_mutex_destroy(&emptyLock_);
  if (initialised_ >= 1) pthread_mutex_destroy(&exitLock_);
  initialised_ = 0;
}

void Pipeline::setExitCode(int code) {
  pthread_mutex_lock(&exitLock_);
  exitCode_ = code;
  pthread_mutex_unlock(&exitLock_);
}

int Pipeline::getExitCode() {
  pthread_mutex_lock(&exitLock_);
  int code = exitCode_;
  pthread_mutex_unlock(&exitLock_);
  return code;
}

int Pipeline::changeExitCode(int from, int to) {
  pthread_mutex_lock(&exitLock_);
  int changed = exitCode_ == from;
  if (changed) exitCode_ = to;
  pthread_mutex_unlock(&exitLock_);
  return changed;
}

void Pipeline::wakeAll() {
  // Each broadcast under its own lock, one lock at a time, so a thread
  // between its predicate check and its wait cannot miss the wake.
  pthread_mutex_lock(&fullLock_);
  pthread_cond_broadcast(&fullCond_);
  pthread_mutex_unlock(&fullLock_);
  pthread_mutex_lock(&emptyLock_);
  pthread_cond_broadcast(&emptyCond_);
  pthread_mutex_unlock(&emptyLock_);
  // Callers never hold the block list lock here.
  pthread_mutex_lock(&blockList->lock);
  blockList->wakeAll();
  pthread_mutex_unlock(&blockList->lock);
}

void Pipeline::emptyLock() {
  LOG(6, "[%lu]: lock empty list", senderThreadId());
  pthread_mutex_lock(&emptyLock_);
}

void Pipeline::emptyUnlock() {
  LOG(6, "[%lu]: unlock empty list", senderThreadId());
  pthread_mutex_unlock(&emptyLock_);
}

WorkBuffer *Pipeline::emptyPop() {
  if (empty_.empty()) return nullptr;
  WorkBuffer *b = empty_.front();
  empty_.pop_front();
  return b;
}

size_t Pipeline::emptySize() { return empty_.size(); }

void Pipeline::emptyPush(WorkBuffer *buffer) {
  emptyLock();
  empty_.push_back(buffer);
  emptyUnlock();
}

void Pipeline::emptyWait() {
  LOG(6, "[%lu]: Wait on empty list", senderThreadId());
  emptyWaiting_++;
  pthread_cond_wait(&emptyCond_, &emptyLock_);
  emptyWaiting_--;
}

void Pipeline::emptySignal() {
  LOG(6, "[%lu]: Signal empty list", senderThreadId());
  pthread_cond_signal(&emptyCond_);
}

void Pipeline::fullLock() {
  LOG(6, "[%lu]: lock full list", senderThreadId());
  pthread_mutex_lock(&fullLock_);
}

void Pipeline::fullUnlock() {
  LOG(6, "[%lu]: unlock full list", senderThreadId());
  pthread_mutex_unlock(&fullLock_);
}

WorkBuffer *Pipeline::fullPop() {
  if (full_.empty()) return nullptr;
  WorkBuffer *b = full_.front();
  full_.pop_front();
  return b;
}

size_t Pipeline::fullSize() { return full_.size(); }

void Pipeline::fullPush(WorkBuffer *buffer) {
  fullLock();
  full_.push_back(buffer);
  fullUnlock();
}

void Pipeline::fullWait() {
  LOG(6, "[%lu]: Wait on full list", senderThreadId());
  struct timespec deadline;
  deadlineAfter(&deadline, timeout + 1);
  fullWaiting_++;
  pthread_cond_timedwait(&fullCond_, &fullLock_, &deadline);
  fullWaiting_--;
}

void Pipeline::fullSignal() {
  LOG(6, "[%lu]: Signal full list", senderThreadId());
  pthread_cond_signal(&fullCond_);
}

void Pipeline::totalSentLock() {
  LOG(6, "[%lu]: lock total sent", senderThreadId());
  pthread_mutex_lock(&totalSentLock_);
}

void Pipeline::totalSentUnlock() {
  LOG(6, "[%lu]: unlock total sent", senderThreadId());
  pthread_mutex_unlock(&totalSentLock_);
}

void Pipeline::totalSentSignal() {
  LOG(6, "[%lu]: signal total sent", senderThreadId());
  pthread_cond_signal(&totalSentCond_);
}

int Pipeline::waitForSent() {
  LOG(6, "[%lu]: signal total sent", senderThreadId());
  struct timespec deadline;
  deadlineAfter(&deadline, timeout);
  int rc = pthread_cond_timedwait(&totalSentCond_, &totalSentLock_, &deadline);
  LOG(3, "Conditional Wait return value:%d", rc);
  if (rc == ETIMEDOUT) {
    int waiting = countWaitingThreads();
    if (waiting == (int)totalThreads) {
      LOG(0, "Deadlock detected. %d waiting threads, %d total threads", waiting, (int)totalThreads);
      return -1;
    }
  }
  return 0;
}

int Pipeline::countWaitingThreads() {
  pthread_mutex_lock(&fullLock_);
  int n = (int)fullWaiting_;
  pthread_mutex_unlock(&fullLock_);
  pthread_mutex_lock(&emptyLock_);
  n += (int)emptyWaiting_;
  pthread_mutex_unlock(&emptyLock_);
  // Read without the block list lock: the meta thread may hold it. The
  // counter is only a hint for the deadlock test.
  n += (int)__atomic_load_n(&blockList->waiting, __ATOMIC_RELAXED);
  LOG(6, "count of waiting threads:%d", n);
  return n;
}
