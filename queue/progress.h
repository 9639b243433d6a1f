// progress.h: operation progress records (vx.operation_progress).
//
// While a worker replicates a backup it publishes each phase ("prepare",
// "replicate", "processing", "wait", "no_activity") as a row that the
// appliance's user interface reads. Writes are rate-limited: at most one
// every 5 seconds, and in between only when the size grew by about one
// percent of the total. The operations use a catalogue connection of
// their own, opened at the first update in each process and kept.
//
// A record belongs to one worker process; it is filled by startProgress
// (with the block records) and then only updated here. The operations take
// no lock: callers update a given record from one thread at a time.
#pragma once

#include <cstdint>

struct ProgressRecord {
  char name[32] = "";              // operation name, a name_value of vx.operation_names
  int64_t startTime = 0;           // seconds; when the record was started
  int64_t snapshotTime = 0;        // seconds; time of the last write
  uint64_t finalSize = 0;          // bytes expected in all (total_megs * 1048576)
  uint64_t currentSize = 0;        // bytes done so far
  int32_t pid = 0;                 // pid_to_kill: the worker's process id
  char onBehalfOf[256] = "";       // client name of the backup
  char source[256] = "";           // local host name
  char destination[64] = "";       // vault name
  uint64_t backupNo = 0;           // the local backup
  char backupType[64] = "";        // type name of the backup
  int64_t nextUpdateTime = 0;      // seconds; no write before this time
  uint64_t nextSizeThreshold = 1024;  // bytes; reaching it allows an earlier write
};

// Writes the record's row, updating it or, when no row matches, inserting
// it; or skips the write when the rate limits say so. On a write it sets
// the snapshot time and the next update time and size threshold.
// 0 when written or skipped, -1 on failure (logged; callers ignore it).
int updateProgress(ProgressRecord &record);

// Deletes the record's row and every row of any process whose snapshot
// time is more than an hour old. The record itself is left as it is.
// 0 / -1.
int deleteProgress(ProgressRecord &record);

// Closes this process's progress connection, if any (tests, and the exit
// of a process that wants a clean goodbye). The next update reopens it.
void closeProgressConnection();
