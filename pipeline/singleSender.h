// singleSender.h: the single-threaded send phase of a replication worker.
//
// It does the threaded sender's job on the worker's own thread: it walks
// the backup's blocks in batches of MetaSize entries, asks the Vault which
// blocks of each batch it lacks, and sends those from one block buffer of
// MaxBlocks bytes, several per request (Cluster 1, putMultiBlocks) or one
// per request (Cluster 0, putBlocks); a block too large for the buffer is
// streamed with putLargeBlock. With Checkpoint on it asks the Vault for its
// block count before each batch and, when the Vault holds fewer blocks
// than were processed, rolls its counters back, counts a retry and goes on
// with the next batch. Cluster values other than 0 and 1 are refused. The
// worker attaches the bandwidth table around the call.
#pragma once

#include <cstdint>

struct ProgressRecord;

// Sends the blocks of local backup backupNo that the Vault lacks to target
// under the Vault's backup number targetBackupNo, advancing and storing
// `progress` (the worker's "replicate" record; may be null). Returns 0 on
// success, a libcurl result code (positive) when a transfer failed, the
// postBlockCount result when a checkpoint could not be taken, or -1 (also
// for a Cluster setting other than 0 or 1, logged).
int sendBufferBlocks(uint64_t backupNo, const char *target, uint64_t targetBackupNo,
                     ProgressRecord *progress = nullptr);
