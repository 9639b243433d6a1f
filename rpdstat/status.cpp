// status.cpp: gathering what rpdstat reports. See status.h.
#include "rpdstat/status.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "daemon/settings.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "queue/replicationQueue.h"

namespace rpdstat {

namespace {

// Statistics rows asked for at most; the statement's buffer is sized for it.
constexpr size_t STATS_QUERY = 512;

// The client is named as the statistics rows name it: a node with property
// 32 goes by its gcname.
const char QUEUE_QUERY[] =
    "SELECT q.position, q.backup_no, COALESCE(q.vault, '') AS vault, COALESCE(q.status, 0) AS status, "
    "COALESCE(q.rep_start, 0) AS rep_start, "
    "COALESCE(CASE WHEN (n.properties & 32) = 0 THEN n.node_name ELSE n.gcname END, '') AS client "
    "FROM vx.replication_queue q LEFT JOIN vx.backups b ON b.backup_no = q.backup_no "
    "LEFT JOIN vx.nodes n ON n.node_no = b.node_no ORDER BY q.position";

// The phases a replication worker publishes. "processing" and "no_activity"
// are not in vx.operation_names on every appliance, and their rows then
// carry no name_id; such rows belong to replication workers too.
const char WORKER_QUERY[] =
    "SELECT p.pid_to_kill, COALESCE(p.backup_no, 0) AS backup_no, COALESCE(o.name_value, '') AS phase, "
    "COALESCE(p.on_behalf_of, '') AS client, COALESCE(p.destination, '') AS destination, "
    "COALESCE(p.backup_type, '') AS backup_type, p.start_time, p.snapshot_time, p.final_size, p.current_size "
    "FROM vx.operation_progress p LEFT JOIN vx.operation_names o ON o.name_id = p.name_id "
    "WHERE p.name_id IS NULL OR o.name_value IN ('prepare', 'replicate', 'processing', 'wait', 'no_activity') "
    "ORDER BY p.start_time, p.backup_no";

const char STATS_FORMAT[] =
    "SELECT stat_id, COALESCE(backup_no, 0) AS backup_no, COALESCE(client_name, '') AS client, "
    "COALESCE(destination, '') AS destination, COALESCE(message, '') AS message, presync_seconds, "
    "sync_seconds, postsync_seconds, done_epoch, bytes_syncd, bytes_on_qru "
    "FROM vx.sds_stats ORDER BY stat_id DESC LIMIT %d";

std::string text(pgResult *r, int row, const char *column) {
  const char *v = pgSVal(r, row, column);
  return v ? v : "";
}

bool processExists(int pid) {
  if (pid <= 0) return false;  // kill(0, ...) would address our own group
  return kill(pid, 0) == 0 || errno == EPERM;
}

// Runs one statement; null (logged by the helper) when it fails.
pgResult *query(const char *sql) {
  pgResult *r = pgExec(sql);
  if (r != nullptr && pgStatus(r) != 0) {
    pgClear(r);
    return nullptr;
  }
  return r;
}

}  // namespace

const char *queueStateName(int status) {
  switch (status) {
    case REPLICATION_NEEDED: return "needed";
    case REPLICATION_COMPLETE: return "complete";
    case REPLICATION_SKIPPED: return "skipped";
    case REPLICATION_CANCELLED: return "cancelled";
    case REPLICATION_ACTIVE: return "active";
    case REPLICATION_CLEANUP: return "cleanup";
    case REPLICATION_NEED_ASSIST: return "need_assist";
    case REPLICATION_OUT_OF_ORDER: return "out_of_order";
    default: return "unknown";
  }
}

void locateMasterIni() {
  const char *env = getenv("VXDIR");
  if (env != nullptr && env[0] != '\0') {
    snprintf(g_appdir, sizeof g_appdir, "%s", env);
    snprintf(g_master_ini, sizeof g_master_ini, "%s/vxinit/master.ini", env);
    return;
  }
  initGlobalsLight("rpdstat", "vx.ini", "/usr/vx");
}

void readSchedule(ScheduleStatus &schedule, time_t now) {
  readReplicationSettings();
  schedule.masterIni = g_master_ini;
  schedule.target = g_settings.SyncTo;
  schedule.maxConcurrent = g_settings.MaxConcurrent;
  schedule.queueScheme = g_settings.QueueScheme;

  // While replication is off the daemon does not read the schedule, and
  // nothing is sent either way.
  if (g_settings.MaxConcurrent != 0) {
    schedule.text = g_settings.BlockOutPeriods;
    schedule.valid = parseBlockOutPeriods(g_settings.BlockOutPeriods) == 0;
  } else {
    schedule.text.clear();
    schedule.valid = parseBlockOutPeriods("") == 0;
  }
  copyBandwidthTable(schedule.table);

  struct tm local;
  if (localtime_r(&now, &local) == nullptr) {
    schedule.weekday = schedule.hour = 0;
    schedule.rateNow = BANDWIDTH_UNLIMITED;
    schedule.changes = false;
    return;
  }
  schedule.weekday = local.tm_wday;
  schedule.hour = local.tm_hour;
  int here = schedule.weekday * BANDWIDTH_HOURS + schedule.hour;
  schedule.rateNow = schedule.table[here];
  schedule.changes = false;
  for (int k = 1; k < BANDWIDTH_ENTRIES; k++) {
    int at = (here + k) % BANDWIDTH_ENTRIES;
    if (schedule.table[at] != schedule.rateNow) {
      schedule.changes = true;
      schedule.changeWeekday = at / BANDWIDTH_HOURS;
      schedule.changeHour = at % BANDWIDTH_HOURS;
      schedule.changeRate = schedule.table[at];
      break;
    }
  }
}

int readCatalogue(Status &status, int statsLimit) {
  status.queue.clear();
  status.workers.clear();
  status.stats.clear();
  status.catalogueRead = false;

  char statsQuery[STATS_QUERY];
  snprintf(statsQuery, sizeof statsQuery, STATS_FORMAT, statsLimit);
  PgResultPtr q(query(QUEUE_QUERY));
  PgResultPtr w(q ? query(WORKER_QUERY) : nullptr);
  PgResultPtr s(w ? query(statsQuery) : nullptr);
  if (!s) return -1;

  for (int i = 0; i < pgTuples(q.get()); i++) {
    QueueRow row;
    row.position = pgLLVal(q.get(), i, "position");
    row.backupNo = static_cast<uint64_t>(pgLLVal(q.get(), i, "backup_no"));
    row.vault = text(q.get(), i, "vault");
    row.status = static_cast<int>(pgLVal(q.get(), i, "status"));
    row.repStart = pgLLVal(q.get(), i, "rep_start");
    row.client = text(q.get(), i, "client");
    status.queue.push_back(std::move(row));
  }
  for (int i = 0; i < pgTuples(w.get()); i++) {
    WorkerRow row;
    row.pid = static_cast<int>(pgLVal(w.get(), i, "pid_to_kill"));
    row.alive = processExists(row.pid);
    row.backupNo = static_cast<uint64_t>(pgLLVal(w.get(), i, "backup_no"));
    row.phase = text(w.get(), i, "phase");
    row.client = text(w.get(), i, "client");
    row.destination = text(w.get(), i, "destination");
    row.backupType = text(w.get(), i, "backup_type");
    row.startTime = pgLLVal(w.get(), i, "start_time");
    row.snapshotTime = pgLLVal(w.get(), i, "snapshot_time");
    row.finalMiB = pgLLVal(w.get(), i, "final_size");
    row.currentMiB = pgLLVal(w.get(), i, "current_size");
    status.workers.push_back(std::move(row));
  }
  for (int i = 0; i < pgTuples(s.get()); i++) {
    StatsRow row;
    row.statId = pgLLVal(s.get(), i, "stat_id");
    row.backupNo = static_cast<uint64_t>(pgLLVal(s.get(), i, "backup_no"));
    row.client = text(s.get(), i, "client");
    row.destination = text(s.get(), i, "destination");
    row.message = text(s.get(), i, "message");
    row.presyncSeconds = pgLLVal(s.get(), i, "presync_seconds");
    row.syncSeconds = pgLLVal(s.get(), i, "sync_seconds");
    row.postsyncSeconds = pgLLVal(s.get(), i, "postsync_seconds");
    row.doneEpoch = pgLLVal(s.get(), i, "done_epoch");
    row.bytesSent = pgLLVal(s.get(), i, "bytes_syncd");
    row.backupBytes = pgLLVal(s.get(), i, "bytes_on_qru");
    status.stats.push_back(std::move(row));
  }
  status.catalogueRead = true;
  return 0;
}

}  // namespace rpdstat
