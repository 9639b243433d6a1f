// progress.cpp: rate-limited progress rows in vx.operation_progress over a
// connection of the process's own (not the catalogue helper's), so that
// progress writes never disturb the helper's transactions or statement
// cache.
#include "queue/progress.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "lib/config.h"
#include "lib/logger.h"
#include "lib/syspath.h"

// The progress connection of this process and the process that opened it.
// Only the process's own threads use it, one record at a time (see the
// header); it carries no lock.
static PGconn *s_conn = nullptr;
static pid_t s_connPid = 0;

constexpr uint64_t MIB = 1048576;
// Rows not updated for this long belong to dead processes.
constexpr int64_t STALE_SECONDS = 3600;
constexpr int64_t UPDATE_INTERVAL_SECONDS = 5;

// Forgets a connection inherited through fork without telling the server
// goodbye on the parent's socket: the descriptor is pointed at /dev/null
// first, so PQfinish's farewell and close go nowhere.
static void dropInheritedConnection() {
  int sock = PQsocket(s_conn);
  int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (sock >= 0 && devnull >= 0) dup2(devnull, sock);
  if (devnull >= 0) close(devnull);
  PQfinish(s_conn);
  s_conn = nullptr;
}

void closeProgressConnection() {
  if (s_conn == nullptr) return;
  if (s_connPid != getpid()) {
    dropInheritedConnection();
    return;
  }
  PQfinish(s_conn);
  s_conn = nullptr;
}

// Opens the progress connection when the process has none. 0 / -1.
static int ensureConnection() {
  if (s_conn != nullptr && s_connPid != getpid()) dropInheritedConnection();
  if (s_conn != nullptr) return 0;

  char conninfo[4096];
  int n = snprintf(conninfo, sizeof conninfo,
                   "service=localhost dbname=%s options='-c search_path=vx,public -c "
                   "client_encoding=LATIN1'",
                   catalogueDbName());
  if (n < 0 || n >= (int)sizeof conninfo) {
    LOG(0, "%s[%s,%d]: connection string too long\n%s: Won't be providing progress information\n",
        ghAppName, __FILE_NAME__, __LINE__, ghAppName);
    return -1;
  }
  PGconn *conn = PQconnectdb(conninfo);
  if (conn == nullptr) {
    LOG(0, "%s: can't connect to database\n%s: Won't be providing progress information\n",
        ghAppName, ghAppName);
    return -1;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    LOG(0, "%s: can't connect to database: %s\n%s: Won't be providing progress information\n",
        ghAppName, PQerrorMessage(conn), ghAppName);
    PQfinish(conn);
    return -1;
  }
  // The daemon forks workers and runs shell commands; the session's socket
  // must not leak into them.
  int sock = PQsocket(conn);
  if (sock >= 0) fcntl(sock, F_SETFD, fcntl(sock, F_GETFD) | FD_CLOEXEC);
  s_conn = conn;
  s_connPid = getpid();
  return 0;
}

// The text of `s` escaped for a single-quoted literal.
static std::string escaped(const char *s) {
  size_t len = strlen(s);
  std::string out(2 * len + 1, '\0');
  size_t n = PQescapeStringConn(s_conn, out.data(), s, len, nullptr);
  out.resize(n);
  return out;
}

// Whether the progress connection is unusable after a failed statement;
// such a connection is dropped so the next call reconnects.
static bool connectionLost(PGresult *res) {
  if (res != nullptr && PQstatus(s_conn) == CONNECTION_OK) return false;
  return true;
}

int updateProgress(ProgressRecord &rec) {
  if (ensureConnection() != 0) return -1;

  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return -1;
  const int64_t now = tv.tv_sec;

  if (now < rec.nextUpdateTime) {
    LOG(4, "not enough time since last update, returning");
    return 0;
  }
  if (rec.currentSize > 0 && rec.currentSize < rec.nextSizeThreshold &&
      rec.nextSizeThreshold - rec.currentSize < MIB) {
    LOG(3, "Size not 1 percent or more since last update");
    return 0;
  }

  rec.snapshotTime = now;
  const std::string type = escaped(rec.backupType), client = escaped(rec.onBehalfOf),
                    source = escaped(rec.source), dest = escaped(rec.destination),
                    name = escaped(rec.name);
  char query[4096];
  int n = snprintf(query, sizeof query,
                   "UPDATE vx.operation_progress SET current_size = %ld, snapshot_time = %ld WHERE "
                   "( start_time = %ld AND final_size = %lu AND backup_no = %ld AND backup_type = "
                   "'%s' AND on_behalf_of = '%s' AND source = '%s' AND destination = '%s' AND "
                   "name_id = (SELECT name_id FROM vx.operation_names  WHERE name_value = '%s') )",
                   (long)(rec.currentSize / MIB), (long)rec.snapshotTime, (long)rec.startTime,
                   (unsigned long)(rec.finalSize / MIB), (long)rec.backupNo, type.c_str(),
                   client.c_str(), source.c_str(), dest.c_str(), name.c_str());
  if (n < 0 || n >= (int)sizeof query) {
    LOG(0, "%s[%s,%d]: SQL statement too long to UPDATE progress record\n%s: Won't be providing "
        "progress information\n",
        ghAppName, __FILE_NAME__, __LINE__, ghAppName);
    return -1;
  }
  PGresult *res = PQexec(s_conn, query);
  if (connectionLost(res)) {
    LOG(0, "%s: can't UPDATE progress record: %s\n%s: Won't be providing progress information\n",
        ghAppName, PQerrorMessage(s_conn), ghAppName);
    PQclear(res);
    closeProgressConnection();
    return -1;
  }
  bool updated = PQresultStatus(res) == PGRES_COMMAND_OK && atol(PQcmdTuples(res)) > 0;
  PQclear(res);

  if (!updated) {
    // No row yet (first write, or someone removed it): create it.
    LOG(5, "UPDATE table did not work, try INSERT");
    n = snprintf(query, sizeof query,
                 "INSERT INTO vx.operation_progress ( name_id, start_time, snapshot_time, "
                 "final_size, current_size, pid_to_kill, on_behalf_of, source, destination, "
                 "backup_no, backup_type ) VALUES ( (SELECT name_id FROM vx.operation_names  WHERE "
                 "name_value = '%s'), %ld, %ld, %ld, %ld, %d, '%s', '%s', '%s', %ld, '%s' )",
                 name.c_str(), (long)rec.startTime, (long)rec.snapshotTime,
                 (long)(rec.finalSize / MIB), (long)(rec.currentSize / MIB), (int)rec.pid,
                 client.c_str(), source.c_str(), dest.c_str(), (long)rec.backupNo, type.c_str());
    if (n < 0 || n >= (int)sizeof query) {
      LOG(0, "%s[%s,%d]: SQL statement too long to INSERT progress record\n%s: Won't be providing "
          "progress information\n",
          ghAppName, __FILE_NAME__, __LINE__, ghAppName);
      return -1;
    }
    res = PQexec(s_conn, query);
    bool inserted = res != nullptr && PQresultStatus(res) == PGRES_COMMAND_OK &&
                    atol(PQcmdTuples(res)) > 0;
    if (!inserted) {
      LOG(0, "%s: can't INSERT progress record: %s\n%s: Won't be providing progress information\n",
          ghAppName, PQerrorMessage(s_conn), ghAppName);
      bool lost = connectionLost(res);
      PQclear(res);
      if (lost) closeProgressConnection();
      return -1;
    }
    PQclear(res);
  }

  rec.nextUpdateTime = now + UPDATE_INTERVAL_SECONDS;
  if (rec.finalSize > 100)
    rec.nextSizeThreshold = rec.currentSize + rec.finalSize / 100;
  else if (rec.currentSize > 100)
    rec.nextSizeThreshold = rec.currentSize + rec.currentSize / 100;
  return 0;
}

int deleteProgress(ProgressRecord &rec) {
  if (ensureConnection() != 0) {
    LOG(0, "can't DELETE progress record: %s\n", "no database connection");
    return -1;
  }
  const std::string type = escaped(rec.backupType), client = escaped(rec.onBehalfOf),
                    source = escaped(rec.source), dest = escaped(rec.destination),
                    name = escaped(rec.name);
  char query[4096];
  int n = snprintf(query, sizeof query,
                   "DELETE FROM vx.operation_progress WHERE (( backup_no = %ld AND backup_type = "
                   "'%s' AND on_behalf_of = '%s' AND source = '%s' AND destination = '%s' AND "
                   "name_id = (SELECT name_id FROM vx.operation_names WHERE name_value = '%s') ) OR "
                   "( snapshot_time < %ld ))",
                   (long)rec.backupNo, type.c_str(), client.c_str(), source.c_str(), dest.c_str(),
                   name.c_str(), (long)(time(nullptr) - STALE_SECONDS));
  if (n < 0 || n >= (int)sizeof query) {
    LOG(0, "%s[%s,%d]: SQL statement too long to DELETE progress record\n", ghAppName,
        __FILE_NAME__, __LINE__);
    return -1;
  }
  PGresult *res = PQexec(s_conn, query);
  if (res == nullptr || PQresultStatus(res) != PGRES_COMMAND_OK) {
    LOG(0, "can't DELETE progress record: %s\n", PQerrorMessage(s_conn));
    bool lost = connectionLost(res);
    PQclear(res);
    if (lost) closeProgressConnection();
    return -1;
  }
  PQclear(res);
  return 0;
}
