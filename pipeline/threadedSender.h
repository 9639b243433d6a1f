// threadedSender.h: the threaded send phase of a replication worker.
//
// The calling thread becomes the meta thread: it walks the backup's blocks
// in batches from the hash list, asks the Vault which blocks of each batch
// it already holds, and (with Checkpoint on) verifies after each batch that
// the Vault holds every block sent so far, sending the batch again when it
// does not. One read thread copies the missing blocks from the store into
// work buffers; SendThreadCount send threads send full buffers as
// multi-block bodies, or stream a block too large for a buffer. Settings
// come from g_settings (MaxBlocks, MetaSize, Checkpoint, RetryCount, local
// block elimination) and, at each start, from section Replication of
// master.ini (ReadThreadCount, SendThreadCount, ThreadBufferCount,
// MetaThreadTimeoutSeconds).
#pragma once

#include <cstdint>

struct ProgressRecord;

// What the worker lends the sender besides the backup numbers.
struct SendContext {
  // The worker's "replicate" progress record, advanced and stored as
  // blocks are done; may be null. Only the calling thread touches it.
  ProgressRecord *progress = nullptr;
  // Segment id of the shared bandwidth table that send threads attach
  // while they send; -1: they use the process's built-in table.
  int bandwidthTableId = -1;
};

// Sends the blocks of local backup backupNo that the Vault lacks to target
// under the Vault's backup number targetBackupNo. Returns 0 when every
// block is on the Vault, otherwise -1 (logged).
int threadedSendBlocks(uint64_t backupNo, const char *target, uint64_t targetBackupNo,
                       const SendContext *context = nullptr);
