// blockOut.h: the shared weekly bandwidth table and blackout periods.
//
// Replication traffic is limited by a table of byte rates, one per weekday
// (0 = Sunday) and hour. The daemon builds it from the BlockOutPeriods
// setting in a System V shared memory segment; every sending thread of
// every worker attaches to it read-only and asks once per second how many
// bytes it may send (the configured rate shared among attached senders).
//
// Each thread has its own handle (thread-local). A thread that is not
// attached uses the process's built-in table, unlimited unless the
// process itself parsed periods into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr int BANDWIDTH_DAYS = 7;
constexpr int BANDWIDTH_HOURS = 24;
constexpr int BANDWIDTH_ENTRIES = BANDWIDTH_DAYS * BANDWIDTH_HOURS;
// The segment holds exactly the 168 u64 entries, host byte order.
constexpr size_t BANDWIDTH_TABLE_BYTES = BANDWIDTH_ENTRIES * sizeof(uint64_t);
static_assert(BANDWIDTH_TABLE_BYTES == 1344, "bandwidth table is shared with other processes");
// All bits set: no limit.
constexpr uint64_t BANDWIDTH_UNLIMITED = UINT64_MAX;
// Every parsed rate and every computed allowance is at least this.
constexpr uint64_t BANDWIDTH_MIN_RATE = 4096;
// Longest BlockOutPeriods value accepted.
constexpr size_t BLOCKOUT_TEXT_MAX = 4095;

// Creates (or finds) the segment keyed by ftok(sysPath("/etc/default/vx.ini"),
// 's'), attaches it read-write as the calling thread's table and marks it
// for removal so it goes away with the last detach. A newly created segment
// starts as a copy of the thread's current table (so periods parsed before
// creation are kept). 0, or -1 after two failed attempts (handle reset).
int createBandwidthTable();
// Segment id of the calling thread's handle, or -1.
int getBandwidthTableId();
// Attaches the segment read-only as the calling thread's table. 0, or -1
// (logged; the thread stays on the built-in table).
int attachBandwidthTable(int shmid);
// Detaches and returns the thread to the built-in table.
void detachBandwidthTable();
// Parses a BlockOutPeriods value into the calling thread's table (the
// shared segment when attached read-write). 0, or -1 on bad syntax, in
// which case the table is made entirely unlimited. "attach:<id>" attaches
// read-only instead. A thread attached read-only returns -1 and writes
// nothing.
int parseBlockOutPeriods(const char *text);
// Bytes per second the calling thread may send at time t:
// BANDWIDTH_UNLIMITED, or the table's rate divided by the number of
// senders attached (all attachments but the daemon's), at least 4096.
uint64_t getBandwidthAllowance(time_t t);
// Copies the calling thread's current table (row-major, weekday x hour).
void copyBandwidthTable(uint64_t out[BANDWIDTH_ENTRIES]);
