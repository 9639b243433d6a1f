// status.h: what rpdstat reports about replication, gathered from the
// catalogue (queue, progress and statistics rows) and from master.ini (the
// daemon's settings and the bandwidth schedule).
//
// Gathering only reads: no row is changed, no log file is opened and no
// shared bandwidth table is touched. The settings are read with the
// daemon's own settings loader and the schedule is parsed by the bandwidth
// table code, so rpdstat shows what the daemon makes of the same file.
// Catalogue text (client names, vaults, messages) is kept as the catalogue
// gives it; the renderers make it safe for a terminal or a JSON document.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "vault/blockOut.h"

namespace rpdstat {

// One entry of vx.replication_queue, in queue order.
struct QueueRow {
  long long position = 0;
  uint64_t backupNo = 0;
  std::string vault;
  int status = 0;           // queue state (REPLICATION_* value)
  std::string client;       // the backup's client, "" when unknown
  long long repStart = 0;   // when a worker took the entry; 0 = never
};

// One progress row of a replication worker (vx.operation_progress). Sizes
// are kept in the catalogue's MiB.
struct WorkerRow {
  int pid = 0;
  bool alive = false;       // a process with that id exists on this host
  uint64_t backupNo = 0;
  std::string phase;        // operation name; "" when the name is unknown
  std::string client;
  std::string destination;  // the vault
  std::string backupType;
  long long startTime = 0;
  long long snapshotTime = 0;
  long long finalMiB = 0;
  long long currentMiB = 0;
};

// One row of vx.sds_stats (a finished or failed replication attempt).
struct StatsRow {
  long long statId = 0;
  uint64_t backupNo = 0;
  std::string client;
  std::string destination;
  std::string message;
  long long presyncSeconds = 0;
  long long syncSeconds = 0;
  long long postsyncSeconds = 0;
  long long doneEpoch = 0;
  long long bytesSent = 0;   // bytes_syncd
  long long backupBytes = 0; // bytes_on_qru
};

// The replication settings as the daemon reads them, and the bandwidth
// schedule in force.
struct ScheduleStatus {
  std::string masterIni;     // the file read
  std::string target;        // SyncTo
  long maxConcurrent = 0;    // 0 = replication off (Enabled / AutoSyncEnabled)
  int queueScheme = 0;
  std::string text;          // BlockOutPeriods as the daemon keeps it
  bool valid = true;         // false: the daemon ignores it (no limits)
  uint64_t table[BANDWIDTH_ENTRIES] = {};
  int weekday = 0;           // local weekday (0 = Sunday) and hour of `now`
  int hour = 0;
  uint64_t rateNow = BANDWIDTH_UNLIMITED;
  bool changes = false;      // the rate changes within the coming week
  int changeWeekday = 0;     // first hour at which it does, and the new rate
  int changeHour = 0;
  uint64_t changeRate = BANDWIDTH_UNLIMITED;
};

struct Status {
  time_t now = 0;
  ScheduleStatus schedule;
  bool catalogueRead = false;  // false: the three lists below are empty
  std::string catalogueError;  // what went wrong, when not read
  std::vector<QueueRow> queue;
  std::vector<WorkerRow> workers;
  std::vector<StatsRow> stats;
};

// The word for a queue state: "needed", "complete", "skipped",
// "cancelled", "active", "cleanup", "need_assist", "out_of_order", or
// "unknown" for any other value.
const char *queueStateName(int status);

// Finds master.ini the way the appliance's programs do: $VXDIR/vxinit/
// master.ini when VXDIR is set, else from "/etc/default/vx.ini" (key VXDIR
// of section "Location Information", default /usr/vx). Fills the path
// globals of lib/config.h.
void locateMasterIni();

// Reads the replication settings from master.ini with the daemon's loader
// (again only when the file changed since the last call) and works out the
// bandwidth schedule at `now`. Logging goes to the stream the caller has
// attached.
void readSchedule(ScheduleStatus &schedule, time_t now);

// Reads the queue, the replication workers' progress rows and the last
// `statsLimit` statistics rows. 0, or -1 when the catalogue cannot be read
// (the lists are then empty and the reason is logged).
int readCatalogue(Status &status, int statsLimit);

}  // namespace rpdstat
