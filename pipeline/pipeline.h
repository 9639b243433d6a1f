// pipeline.h: the shared state of the threaded block sender.
//
// The threaded sender moves a backup's blocks to the Vault with three kinds
// of thread: the meta thread fetches batches of hash list entries and asks
// the Vault which it lacks, the read thread copies the missing blocks into
// work buffers, and send threads send full buffers. They meet in one
// Pipeline: two FIFOs of work buffers (empty and full), the block list that
// holds the current batch, five mutexes, three conditions (plus the block
// list's two), the pipeline's exit code and the counters of waiting
// threads by which a deadlock is recognised.
//
// Exit code: 0 while work goes on; 1 once the meta thread has handed out
// the last batch; 2 once the read thread has ended after 1 (send threads
// stop when the full list is empty); -1 on any error (every thread stops).
//
// Lock order: a thread holds at most one of the full list lock, the empty
// list lock and the total sent lock at a time. The read thread holds the
// block list lock while it takes the store lock inside addBlock. The meta
// thread holds the block list lock for most of its loop and releases it
// while it waits. The exit code lock is only ever taken alone.
//
// Creation errors are thrown as std::runtime_error ("Failed to initialize
// mutex", "Failed to initialize conditional", "Unable to allocate buffer");
// this is the one exception allowed to leave a function, and the threaded
// sender catches it. Everything later signals failure through the exit
// code.
#pragma once

#include <curl/curl.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "dedup/hashRead.h"
#include "dedup/hashValues.h"
#include "pipeline/common.h"
#include "vault/transfer.h"

// Bytes of the multi-block header in front of each block of a body: hash
// type 8, hashed length 4, hash value 64, file offset 8.
constexpr uint64_t BLOCK_HEADER_BYTES = 84;

// Kernel id of the calling thread, for the "[%lu]: " of sender log lines.
unsigned long senderThreadId();

// The store's block reader as a BlockSource: readHashedContents on a read
// context of its own (opened on the first read, closed on destruction),
// refreshing from the index every record not yet known to be in the
// single instance store.
// Used by one thread at a time; callers that share the store take the
// store lock around each read.
class StoreBlockSource : public BlockSource {
 public:
  StoreBlockSource() = default;
  ~StoreBlockSource() override;
  StoreBlockSource(const StoreBlockSource &) = delete;
  StoreBlockSource &operator=(const StoreBlockSource &) = delete;
  long readBlock(HashListEntry *entry, uint8_t *buf, size_t len, uint64_t offset) override;
  // Closes the read context now (the next read opens a new one).
  void close();

 private:
  hashedContentsPrivate *context_ = nullptr;
};

// One work buffer: a multi-block body being built, or one large block
// that is streamed from the store when the buffer is sent. Owned by one
// thread at a time (whoever took it off a list).
struct WorkBuffer {
  uint8_t *data = nullptr;  // the body being built
  uint64_t size = 0;        // allocated bytes
  uint64_t blockCount = 0;  // blocks in the buffer (a large block counts 1)
  uint64_t used = 0;        // bytes used
  StoreBlockSource store;   // the buffer's store read context
  // Set when the buffer carries one block too large for it. It points at
  // largeCopy, the buffer's own copy of the entry: the batch it came from
  // may be replaced while the buffer waits on the full list.
  HashListEntry *largeBlock = nullptr;
  HashListEntry largeCopy{};
  // High-water mark of the bytes written since the last reset; reset
  // zeroes only these, so pages never touched stay untouched.
  uint64_t dirty = 0;

  // Allocates size bytes, halving while that fails and the size is above 8
  // ("[%lu]: Cannot get memory: %lu. Resizing"); throws
  // std::runtime_error("Unable to allocate buffer") when nothing fits.
  explicit WorkBuffer(uint64_t size);
  ~WorkBuffer();
  WorkBuffer(const WorkBuffer &) = delete;
  WorkBuffer &operator=(const WorkBuffer &) = delete;
};

// Zeroes what was written and clears block count, used and large block.
void resetWorkBuffer(WorkBuffer *buffer);

// Adds the entry's block to the buffer. Returns 1 when added, 0 when the
// buffer is full (a large block is already in it, or block and header do
// not fit), -1 when the store read failed or was short (logged). A block
// whose data and header take the whole size of an empty buffer or more
// becomes the buffer's large block without being read, so an empty buffer
// always takes the block. The data is read with storeLock (may be null)
// held.
long addBlock(WorkBuffer *buffer, HashListEntry *entry, std::mutex *storeLock);

// Sends the buffer to target for the Vault's backupNo: a large block with
// putLargeBlock (the buffer as piece buffer, storeLock around each store
// read), otherwise the body with putMultiBlocks. Returns 0 for an empty
// buffer or a successful send, else the Vault's error code or -1;
// *curlResult receives the transfer's code.
int sendMultBlock(WorkBuffer *buffer, const char *target, uint64_t backupNo, CURLcode *curlResult,
                  std::mutex *storeLock);

// The current batch of hash list entries with its send table. Every field
// below the lock is guarded by `lock`.
struct BlockList {
  pthread_mutex_t lock;
  pthread_cond_t fullCond;   // a new batch is ready
  pthread_cond_t emptyCond;  // the batch is used up
  uint32_t waiting = 0;      // threads waiting on fullCond
  uint64_t next = 0;         // index of the next entry to hand out
  uint64_t count = 0;        // entries in the batch
  uint64_t capacity = 0;     // entries the arrays hold
  uint64_t batchBytes = 0;   // sum of hashed lengths (kept by the check)
  uint32_t onTarget = 0;     // entries the Vault holds
  uint32_t toSend = 0;       // entries the Vault lacks
  uint64_t bytesOnTarget = 0;  // hashed lengths held by the Vault, all batches
  HashListEntry *metaBuffer = nullptr;   // the batch, capacity entries
  SendTableSlot *sendTable = nullptr;    // length 0: held by the Vault
  hashValuesPrivate *cursorState = nullptr;  // index lookups of a re-check

  // Allocates both arrays for capacity entries, retrying at half the
  // capacity minus one while that fails ("[%lu]: Resizing buffers"); at
  // capacity 0 logs "[%lu]: Unable to get buffer" and throws
  // std::runtime_error("Unable to allocate buffer"). Throws "Failed to
  // initialize mutex" / "Failed to initialize conditional" as well.
  explicit BlockList(uint64_t capacity);
  ~BlockList();
  BlockList(const BlockList &) = delete;
  BlockList &operator=(const BlockList &) = delete;

  // The operations below expect the caller to hold `lock` (except the
  // lock functions themselves).
  void reset();
  uint64_t remaining() const { return count - next; }
  HashListEntry *current() { return &metaBuffer[next]; }
  SendTableSlot *currentSlot() { return &sendTable[next]; }
  void advance() { next++; }
  uint64_t sumHashedLengths() const;
  void lockAccess();
  void unlockAccess();
  // Untimed, counted in `waiting`.
  void waitFull();
  // Timed (now + seconds). -1 on timeout, 0 otherwise.
  int waitEmpty(unsigned seconds);
  void signalFull();
  void signalEmpty();
  void wakeAll();
  // Logs each entry as "metaBuffer location:%lu hashID:%lu hashedLength:%lu
  // SISoffset:%lu" (no file and line prefix) at `level`.
  void dump(int level) const;
};

// The shared state of one threaded send. Created by the threaded sender,
// never copied. Field comments name the lock that guards each.
class Pipeline {
 public:
  // Creates bufferCount work buffers of bufferSize bytes (on the empty
  // list) and a block list of batchCapacity entries. Throws
  // std::runtime_error on a failed initialisation (see the file comment).
  Pipeline(uint64_t bufferCount, uint64_t bufferSize, uint64_t batchCapacity, const char *target,
           uint64_t backupNo);
  ~Pipeline();
  Pipeline(const Pipeline &) = delete;
  Pipeline &operator=(const Pipeline &) = delete;

  // Written before the threads start; read-only afterwards.
  std::string target;
  int running = 1;
  uint64_t backupNo = 0;                 // the Vault's backup number
  hashListHandle *blockSource = nullptr;  // the virtual block list (meta thread only)
  StoreBlockSource storeContext;         // store context of batch re-checks (meta thread)
  BlockList *blockList = nullptr;
  std::mutex storeLock;                  // serialises every store read
  uint64_t bufferCount = 0;
  uint32_t totalThreads = 0;             // read and send threads started
  unsigned timeout = 60;                 // seconds (MetaThreadTimeoutSeconds)

  // Guarded by totalSentLock.
  uint64_t blocksSent = 0;    // blocks carried by all successful sends
  uint64_t blocksToSend = 0;  // blocks found missing in all batches

  // ---- exit code (exitLock) ----
  void setExitCode(int code);
  int getExitCode();
  // Sets the exit code to `to` only when it is `from`, so a later error
  // (-1) is never overwritten by a state change. 1 when changed.
  int changeExitCode(int from, int to);
  // Broadcasts both list conditions and both block list conditions.
  void wakeAll();

  // ---- empty list (emptyLock) ----
  void emptyLock();
  void emptyUnlock();
  // Caller holds the empty list lock. Null when the list is empty.
  WorkBuffer *emptyPop();
  size_t emptySize();  // caller holds the lock
  // Takes the lock itself.
  void emptyPush(WorkBuffer *buffer);
  // Untimed; caller holds the lock; counted in emptyWaiting.
  void emptyWait();
  void emptySignal();

  // ---- full list (fullLock) ----
  void fullLock();
  void fullUnlock();
  WorkBuffer *fullPop();  // caller holds the lock; null when empty
  size_t fullSize();      // caller holds the lock
  void fullPush(WorkBuffer *buffer);  // takes the lock itself
  // Timed (now + timeout + 1 s); caller holds the lock; counted.
  void fullWait();
  void fullSignal();

  // ---- total sent (totalSentLock) ----
  void totalSentLock();
  void totalSentUnlock();
  void totalSentSignal();
  // Caller holds the total sent lock. Waits up to `timeout` seconds for a
  // signal; after a timeout with every started thread waiting, logs
  // "Deadlock detected. %d waiting threads, %d total threads" and returns
  // -1; otherwise 0. Callers repeat while blocksSent < blocksToSend.
  int waitForSent();

  // Threads waiting on the full list, the empty list and the block list.
  int countWaitingThreads();

 private:
  pthread_mutex_t exitLock_;
  int exitCode_ = 0;  // exitLock_

  pthread_mutex_t emptyLock_;
  pthread_cond_t emptyCond_;
  std::deque<WorkBuffer *> empty_;  // emptyLock_
  uint32_t emptyWaiting_ = 0;       // emptyLock_

  pthread_mutex_t fullLock_;
  pthread_cond_t fullCond_;
  std::deque<WorkBuffer *> full_;  // fullLock_
  uint32_t fullWaiting_ = 0;       // fullLock_

  pthread_mutex_t totalSentLock_;
  pthread_cond_t totalSentCond_;

  std::vector<WorkBuffer *> buffers_;  // every buffer, for destruction
  int initialised_ = 0;                // how many of the primitives exist
  void destroyPrimitives();
};

// Sets *deadline to now (monotonic clock) plus seconds, for the timed
// waits of the pipeline's conditions.
void deadlineAfter(struct timespec *deadline, unsigned seconds);
