// groups.cpp: restore groups (through the catalogue's stored function
// vx.vxGetRestoreGroupOptimized) and synthesis groups (one statement over
// the view successful_backups).
//
// Error texts are logged at level 0 as "<function>: Error: <text>" and
// kept as the last error text of the calling thread.
#include "queue/groups.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/logger.h"
#include "lib/pghelper.h"

static thread_local char t_lastError[512];

const char *vxGetLastError() { return t_lastError; }

static void setLastError(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void setLastError(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(t_lastError, sizeof t_lastError, format, ap);
  va_end(ap);
}

// Records the error text and logs it under the calling function's name.
#define GROUP_ERROR(...)                                  \
  do {                                                    \
    setLastError(__VA_ARGS__);                            \
    LOG(0, "%s: Error: %s", __func__, t_lastError);       \
  } while (0)

// Keeps the function's name on the log name stack for its duration.
struct LogNameScope {
  explicit LogNameScope(const char *name) { push_name(name); }
  ~LogNameScope() { pop_name(); }
  LogNameScope(const LogNameScope &) = delete;
  LogNameScope &operator=(const LogNameScope &) = delete;
};

// Backup status bits.
constexpr unsigned long STATUS_FAILED_BITS = 0x9018;
constexpr unsigned long STATUS_FINISHED = 0x40;
constexpr unsigned long STATUS_SUCCEEDED = 0x800;
// Backup property bits.
constexpr unsigned long PROP_SDS = 0x1;
constexpr unsigned long PROP_SHARED = 0x20;  // every member shares it with the requested backup
constexpr unsigned long PROP_LEGACY_SQL = 0x80;
constexpr unsigned long PROP_SYNTHETIC = 0x800;
constexpr unsigned long PROP_SYNTHESIS_CAPABLE = 0x1000;
// tape_no of a purged backup.
constexpr long TAPE_PURGED = -1;

// Whether backups has the application column instance_id: 1 / 0, or -1
// when the catalogue cannot tell. The answer is kept in the helper's
// column-existence cache for the life of the connection.
static int backupsHaveApplicationColumns(const char *fn) {
  int exists = pgCECget("backups", "instance_id");
  if (exists < 0) {
    PgResultPtr r(pgQuery("SELECT count(*) AS n FROM information_schema.columns WHERE "
                          "table_schema = 'vx' AND table_name = %s AND column_name = %s",
                          "backups", "instance_id"));
    if (!r || pgTuples(r.get()) != 1) return -1;
    exists = pgLVal(r.get(), 0, "n") > 0 ? 1 : 0;
    if (pgResultError(r.get()) != 0) return -1;
    pgCECset("backups", "instance_id", exists);
  }
  LOG(4, "%s: Cached: %s table %s the %s column.\n", fn, "backups",
      exists ? "has" : "does not have", "instance_id");
  return exists;
}

// The display name of an application instance: the node name, followed by
// "/" and the instance's first key when it has one. 0 / -1.
static int instanceDisplayName(unsigned long instanceId, char *out, size_t size) {
  PgResultPtr r(pgQuery("SELECT n.node_name, COALESCE(ai.key1::text, '') AS key1 FROM "
                        "application_instances ai JOIN nodes n USING (node_no) WHERE "
                        "ai.instance_id = %lu",
                        instanceId));
  if (!r || pgTuples(r.get()) != 1) return -1;
  const char *node = pgSVal(r.get(), 0, "node_name");
  const char *key = pgSVal(r.get(), 0, "key1");
  if (node == nullptr || key == nullptr) return -1;
  if (key[0] != '\0')
    snprintf(out, size, "%s/%s", node, key);
  else
    snprintf(out, size, "%s", node);
  return 0;
}

// The first, second and third types of the application ranges that the
// stored function handles with a three-type array.
static bool threeTypeRange(unsigned long type, unsigned long *first, const char **kind) {
  struct Range { unsigned long first; const char *kind; };
  static const Range ranges[] = {
      {5, "Exchange"}, {9, nullptr}, {12, "VMware ESX"}, {1031, "Hyper-V"}, {4098, "Ndmp"}};
  for (const Range &r : ranges) {
    if (type >= r.first && type <= r.first + 2) {
      *first = r.first;
      *kind = r.kind;
      return true;
    }
  }
  return false;
}

// The RAE type name of a backup of type 1039, 4096 or 4097, looked up from
// its application type; empty when there is none or the type is not one
// that has a restore group.
static std::string raeTypeName(unsigned long backupNo, unsigned long type) {
  PgResultPtr r(pgQuery("SELECT  al.type FROM vx.backups b INNER JOIN vx.application_instances ai "
                        "USING (instance_id) INNER JOIN vx.application_lookup al USING (app_id) "
                        "WHERE b.backup_no = %u",
                        (unsigned)backupNo));
  if (!r) {
    LOG(0, "Failed to find job type code for backup type %u and backup_no %u", (unsigned)type,
        (unsigned)backupNo);
    return "";
  }
  if (pgTuples(r.get()) < 1) {
    LOG(0, "Failed to find any application instance record for the backup_no %u",
        (unsigned)backupNo);
    return "";
  }
  const char *appType = pgSVal(r.get(), 0, "type");
  if (appType == nullptr) appType = "";
  if (type == 1039) {
    if (strcmp(appType, "UCS Service Profile") == 0) return "UCS Service Profile Full";
    LOG(0, "RAE FULL: Unexpected application type '%s' for backup_no %u", appType,
        (unsigned)backupNo);
  } else if (type == 4096) {
    LOG(0, "RAE DIFF: Unexpected application type '%s' for RAE backup_no %u", appType,
        (unsigned)backupNo);
  } else {
    LOG(0, "RAE INCR: Unexpected application type '%s' for RAE backup_no %u", appType,
        (unsigned)backupNo);
  }
  return "";
}

int vxGetRestoreGroupOptimized(uint64_t backupNo, RestoreGroupRecord **records, uint32_t *count) {
  LogNameScope scope(__func__);
  const char *fn = __func__;
  const unsigned long b = (unsigned long)backupNo;

  if (records == nullptr || count == nullptr) {
    GROUP_ERROR("List and count parameters cannot be null.");
    return -1;
  }
  *records = nullptr;
  *count = 0;
  LOG(3, "%s: Retrieving restore group for backup #%lu\n", fn, b);

  unsigned long status, type, props, nodeNo;
  long tapeNo;
  {
    PgResultPtr r(pgQuery("SELECT status, type, properties, start_time, node_no, tape_no FROM "
                          "backups WHERE backup_no = %lu",
                          b));
    if (!r) {
      GROUP_ERROR("Failed running query to determine backup type.");
      return -1;
    }
    if (pgTuples(r.get()) < 1) {
      GROUP_ERROR("Backup #%lu not found in database.", b);
      return -1;
    }
    status = (unsigned long)pgLLVal(r.get(), 0, "status");
    type = (unsigned long)pgLLVal(r.get(), 0, "type");
    props = (unsigned long)pgLLVal(r.get(), 0, "properties");
    nodeNo = (unsigned long)pgLLVal(r.get(), 0, "node_no");
    tapeNo = pgLVal(r.get(), 0, "tape_no");
  }
  LOG(4, "%s:\n type=%lu prop=%lu node_no=%lu bstatus=%lu tape_no=%lu\n", fn, type, props, nodeNo,
      status, (unsigned long)tapeNo);

  if (props & PROP_SDS) {
    GROUP_ERROR("SDS backups cannot be restored");
    return -1;
  }
  if (tapeNo == TAPE_PURGED) {
    GROUP_ERROR("Purged backups cannot be restored");
    return -1;
  }
  if ((status & STATUS_FINISHED) == 0) {
    GROUP_ERROR("Active backups cannot be restored");
    return -1;
  }
  if (type != 1 && type != 2 && type != 4 && (status & STATUS_FAILED_BITS) != 0) {
    GROUP_ERROR("Failed backups of this type cannot be restored");
    return -1;
  }

  int hasAppColumns = backupsHaveApplicationColumns(fn);
  if (hasAppColumns < 0) {
    GROUP_ERROR("Failed to determine if backups table has application info.");
    return -1;
  }

  // The base filter keeps members that share bit 0x20 with the requested
  // backup, are not SDS backups, are not purged and are finished; the
  // strict filter also drops failed members.
  char baseFilter[256], strictFilter[256], fields[256];
  int n = snprintf(baseFilter, sizeof baseFilter,
                   " (properties & %u) = %lu AND (properties & %u) = 0 AND tape_no != %u AND "
                   "(status & %u) > 0",
                   32u, props & PROP_SHARED, 1u, 4294967295u, 64u);
  int m = n < 0 || n >= (int)sizeof baseFilter
              ? -1
              : snprintf(strictFilter, sizeof strictFilter, "%s AND (status & %u) = 0", baseFilter,
                         36888u);
  if (m < 0 || m >= (int)sizeof strictFilter) {
    GROUP_ERROR("Failed to build filter string");
    return -1;
  }
  n = snprintf(fields, sizeof fields,
               "b.backup_no as t_backup_no, b.status as t_status, b.exit_code as t_exit_code, "
               "b.type as t_type, b.start_time as t_start_time");
  if (n < 0 || n >= (int)sizeof fields) {
    GROUP_ERROR("Failed to build field string");
    return -1;
  }

  PgResultPtr group;
  unsigned long first = 0;
  const char *kind = nullptr;
  if (type == 4 && (props & PROP_LEGACY_SQL)) {
    LOG(3, "%s: Backup #%lu is SQL\n", fn, b);
    // The chain of an SQL database: every full backup of its file group,
    // and everything from the last full or differential up to the
    // requested backup's file order.
    group.reset(pgVExec(
        "SELECT %s, s.sql_type FROM sql_backups r JOIN sql_backups s ON (s.node_no = r.node_no "
        "AND LOWER(s.database_name) = LOWER(r.database_name) AND LOWER(s.server_instance_name) = "
        "LOWER(r.server_instance_name) AND s.group_file_order = r.group_file_order) JOIN backups "
        "b ON (b.backup_no = s.sql_ref) WHERE r.sql_ref = %lu AND s.file_order_no <= "
        "r.file_order_no AND (s.sql_type = 1 OR s.file_order_no >= COALESCE((SELECT "
        "MAX(l.file_order_no) FROM sql_backups l WHERE l.node_no = r.node_no AND "
        "LOWER(l.database_name) = LOWER(r.database_name) AND LOWER(l.server_instance_name) = "
        "LOWER(r.server_instance_name) AND l.group_file_order = r.group_file_order AND "
        "l.sql_type IN (1,2) AND l.file_order_no <= r.file_order_no), 0)) AND %s ORDER BY "
        "b.backup_no",
        fields, b, strictFilter));
  } else if (threeTypeRange(type, &first, &kind)) {
    if (kind != nullptr) LOG(3, "%s: Backup #%lu is %s\n", fn, b, kind);
    group.reset(pgVExec("SELECT * FROM vx.vxGetRestoreGroupOptimized(%lu, '{%d,%d,%d}','%s')", b,
                        (int)first, (int)first + 1, (int)first + 2, strictFilter));
  } else if (type >= 1034 && type <= 1037) {
    first = type <= 1035 ? 1034 : 1036;
    LOG(3, "%s: Backup #%lu is %s\n", fn, b, type <= 1035 ? "Oracle" : "SharePoint");
    group.reset(pgVExec("SELECT * FROM vx.vxGetRestoreGroupOptimized(%lu, '{%d,%d}','%s')", b,
                        (int)first, (int)first + 1, strictFilter));
  } else if (type == 1039 || type == 4096 || type == 4097) {
    std::string name = raeTypeName(b, type);
    if (name != "UCS Service Profile Full") {
      GROUP_ERROR("Backup %lu has an unknown or unsupported backup type (%lu).", b, type);
      return -1;
    }
    LOG(3, "%s: Backup #%lu is a %s\n", fn, b, name.c_str());
    group.reset(pgVExec("SELECT * FROM vx.vxGetRestoreGroupOptimized(%lu, '{%d,%d,%d}','%s')", b,
                        1039, 4096, 4097, baseFilter));
  } else if (type == 1 || type == 4 || type == 1024 || type == 1038) {
    const char *name = type == 1 ? "Master" : type == 4 ? "Selective" : type == 1024 ? "Bare Metal"
                                                                                     : "System Metadata";
    LOG(3, "%s: Backup #%lu is a %s\n", fn, b, name);
    group.reset(pgVExec("SELECT * FROM vx.vxGetRestoreGroupOptimized(%lu, '{%lu}','%s')", b, type,
                        baseFilter));
  } else if (type == 2) {
    LOG(3, "%s: Backup #%lu is an Differential\n", fn, b);
    group.reset(pgVExec("SELECT * FROM vx.vxGetRestoreGroupOptimized(%lu, '{%lu}','%s')", b, type,
                        baseFilter));
  } else {
    GROUP_ERROR("Backup %lu has an unknown or unsupported backup type (%lu).", b, type);
    LOG(0, "%s: backup #%lu type was %lu", fn, b, type);
    return -1;
  }

  if (!group || pgStatus(group.get()) != 0) {
    GROUP_ERROR("Failed querying for dependent backups.");
    return -1;
  }
  size_t rows = (size_t)pgTuples(group.get());
  if (rows == 0) {
    GROUP_ERROR("Backup %lu not returned from query", b);
    return -1;
  }
  LOG(3, "%s: %zu dependent backups found for backup_id %lu.\n", fn, rows, b);

  unsigned long appId = 0, instanceId = 0;
  char appName[48] = "";
  char instanceName[128] = "";
  if (hasAppColumns) {
    {
      PgResultPtr app(pgQuery("SELECT b.instance_id, ai.app_id, al.name FROM backups b INNER JOIN "
                              "application_instances ai USING (instance_id) INNER JOIN "
                              "application_lookup al ON ai.app_id = al.app_id WHERE b.backup_no = "
                              "%lu",
                              b));
      if (!app || pgTuples(app.get()) < 1) {
        GROUP_ERROR("Failed to retrieve application information for backup %lu", b);
        return -1;
      }
      instanceId = (unsigned long)pgLLVal(app.get(), 0, "instance_id");
      appId = (unsigned long)pgLLVal(app.get(), 0, "app_id");
      const char *name = pgSVal(app.get(), 0, "name");
      if (name == nullptr) {
        GROUP_ERROR("Out of memory storing app name for backup %lu", b);
        return -1;
      }
      snprintf(appName, sizeof appName, "%s", name);
    }
    if (instanceDisplayName(instanceId, instanceName, sizeof instanceName) != 0) {
      GROUP_ERROR("Failed to get instance name for backup %lu", b);
      LOG(0, "Instance id was %lu\n", instanceId);
      return -1;
    }
    LOG(4, "backup %lu: application id %lu (%s), instance id %lu (%s)\n", b, appId, appName,
        instanceId, instanceName);
  }

  RestoreGroupRecord *out = static_cast<RestoreGroupRecord *>(calloc(rows, sizeof *out));
  if (out == nullptr) {
    GROUP_ERROR("Memory allocation failed.");
    return -1;
  }
  bool hasSqlType = pgColumnNumber(group.get(), "sql_type") >= 0;
  for (size_t i = 0; i < rows; i++) {
    pgResult *g = group.get();
    int row = (int)i;
    RestoreGroupRecord &rec = out[i];
    unsigned long mStatus = (unsigned long)pgLLVal(g, row, "t_status");
    long exitCode = pgLVal(g, row, "t_exit_code");
    rec.backupNo = (uint32_t)pgLLVal(g, row, "t_backup_no");
    rec.nodeNo = (uint32_t)nodeNo;
    if ((mStatus & STATUS_FAILED_BITS) != 0 || (mStatus & STATUS_SUCCEEDED) == 0)
      rec.statusCode = 2;
    else if (exitCode == 50)
      rec.statusCode = 1;
    else
      rec.statusCode = (uint32_t)((mStatus >> 14) & 1);
    rec.typeCode = (uint32_t)pgLLVal(g, row, "t_type");
    if (hasSqlType) rec.typeCode |= ((uint32_t)pgLLVal(g, row, "sql_type") & 0xff) << 16;
    rec.startTime = (uint64_t)pgLLVal(g, row, "t_start_time");
    rec.appId = (uint32_t)appId;
    snprintf(rec.appName, sizeof rec.appName, "%s", appName);
    rec.instanceId = (uint32_t)instanceId;
    snprintf(rec.instanceName, sizeof rec.instanceName, "%s", instanceName);
    LOG(4, "%s: %zd: backup_id=%d status=%d type=%d start_time=%lu\n", fn, (ssize_t)(i + 1),
        (int)rec.backupNo, (int)rec.statusCode, (int)rec.typeCode, (unsigned long)rec.startTime);
    if (hasAppColumns)
      LOG(4, "%s: %zd: app_id=%d (%s) instance_id=%d (%s)\n", fn, (ssize_t)(i + 1), (int)rec.appId,
          rec.appName, (int)rec.instanceId, rec.instanceName);
  }
  *records = out;
  *count = (uint32_t)rows;
  return 0;
}

int vxGetSynthesisGroup(uint64_t backupNo, int ignoreDiffs, int ignoreMasters, uint32_t **numbers,
                        uint32_t *count, char **groupText) {
  LogNameScope scope(__func__);
  const char *fn = __func__;
  const unsigned long b = (unsigned long)backupNo;

  if (numbers) *numbers = nullptr;
  if (count) *count = 0;
  if (groupText) *groupText = nullptr;

  unsigned long nodeNo, instanceId, status, props, type;
  long tapeNo;
  {
    PgResultPtr r(pgQuery("SELECT node_no, instance_id, status, tape_no, properties, type FROM "
                          "backups WHERE backup_no = %lu",
                          b));
    if (!r) {
      GROUP_ERROR("Failed running query to verify backup attributes.");
      return -1;
    }
    if (pgTuples(r.get()) != 1) {
      GROUP_ERROR("Invalid backup id: %lu.", b);
      return -1;
    }
    nodeNo = (unsigned long)pgLLVal(r.get(), 0, "node_no");
    instanceId = (unsigned long)pgLLVal(r.get(), 0, "instance_id");
    status = (unsigned long)pgLLVal(r.get(), 0, "status");
    tapeNo = pgLVal(r.get(), 0, "tape_no");
    props = (unsigned long)pgLLVal(r.get(), 0, "properties");
    type = (unsigned long)pgLLVal(r.get(), 0, "type");
  }

  unsigned master;
  if (type >= 1 && type <= 3)
    master = 1;
  else if (type >= 12 && type <= 14)
    master = 12;
  else if (type >= 1031 && type <= 1033)
    master = 1031;
  else if (type >= 4098 && type <= 4100)
    master = 4098;
  else {
    GROUP_ERROR("Input backup must be a supported type.");
    return -1;
  }
  const unsigned diff = master + 1;
  char typeSet[64];
  int n = snprintf(typeSet, sizeof typeSet, "%u,%u,%u", master, master + 1, master + 2);
  if (n < 0 || n >= (int)sizeof typeSet) {
    GROUP_ERROR("Failure storing backup type set.  Attempted to write %d bytes to %zu-byte buffer.",
                n, sizeof typeSet);
    return -1;
  }

  if (status & STATUS_FAILED_BITS) {
    GROUP_ERROR("Input backup was not successful.");
    return -1;
  }
  if ((status & STATUS_FINISHED) == 0) {
    GROUP_ERROR("Input backup is not complete.");
    return -1;
  }
  if (tapeNo == TAPE_PURGED) {
    GROUP_ERROR("Input backup has been logically deleted.");
    return -1;
  }
  if ((props & PROP_SYNTHESIS_CAPABLE) == 0) {
    GROUP_ERROR("Input backup is not synthesis-capable.");
    return -1;
  }
  if (props & PROP_SDS) {
    GROUP_ERROR("Cannot restore SDS backups.");
    return -1;
  }
  if (ignoreDiffs) LOG(4, "Ignoring synthetic differential backups\n");
  if (ignoreMasters) LOG(4, "Ignoring synthetic master backups\n");

  const int fd = ignoreDiffs ? 1 : 0, fm = ignoreMasters ? 1 : 0;
  const unsigned long syn = PROP_SYNTHETIC;
  PgResultPtr r(pgVExec(
      "SELECT backup_no FROM successful_backups WHERE type IN(%s) AND node_no=%lu AND "
      "instance_id=%lu AND backup_no <= %lu AND (CASE WHEN %d=1 THEN type != %d OR (properties & "
      "%lu) = 0 ELSE 1=1 END) AND (CASE WHEN %d=1 THEN type != %d OR (properties & %lu) = 0 ELSE "
      "1=1 END) AND ((backup_no >= COALESCE((SELECT backup_no FROM successful_backups WHERE type "
      "IN(%d,%d) AND node_no=%lu AND instance_id=%lu AND backup_no <= %lu AND (CASE WHEN %d=1 "
      "THEN type != %d OR (properties & %lu) = 0 ELSE 1=1 END) AND (CASE WHEN %d=1 THEN type != "
      "%d OR (properties & %lu) = 0 ELSE 1=1 END) ORDER BY backup_no DESC LIMIT 1), 0)) OR "
      "(backup_no = (SELECT backup_no FROM successful_backups WHERE type=%d AND node_no=%lu AND "
      "instance_id=%lu AND backup_no <= %lu ORDER BY backup_no DESC LIMIT 1))) ORDER BY backup_no",
      typeSet, nodeNo, instanceId, b, fd, (int)diff, syn, fm, (int)master, syn, (int)master,
      (int)diff, nodeNo, instanceId, b, fd, (int)diff, syn, fm, (int)master, syn, (int)master,
      nodeNo, instanceId, b));
  if (!r || pgStatus(r.get()) != 0) {
    GROUP_ERROR("Query to retrieve synthesis group failed.");
    return -1;
  }
  int rows = (int)pgTuples(r.get());
  if (rows == 0 && !ignoreMasters) {
    GROUP_ERROR("No backups found for synthesis group.");
    return -1;
  }
  LOG(3, "%s: %d backups in synthesis group.\n", fn, rows);

  uint32_t *array = nullptr;
  if (numbers != nullptr && count != nullptr) {
    array = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * (rows > 0 ? rows : 1)));
    if (array == nullptr) {
      GROUP_ERROR("Could not allocate memory for request");
      return -1;
    }
  }
  std::string text;
  for (int i = 0; i < rows; i++) {
    unsigned long member = (unsigned long)pgLLVal(r.get(), i, "backup_no");
    char piece[32];
    snprintf(piece, sizeof piece, "%s%lu", i == 0 ? "" : ",", member);
    text += piece;
    if (array) array[i] = (uint32_t)member;
  }
  if (pgResultError(r.get()) != 0) {
    free(array);
    GROUP_ERROR("Error generating group identifier string.");
    return -1;
  }
  if (groupText != nullptr) {
    *groupText = strdup(text.c_str());
    if (*groupText == nullptr) {
      free(array);
      GROUP_ERROR("Could not allocate memory for request");
      return -1;
    }
    LOG(3, "%s: group= %s\n", fn, text.c_str());
  }
  if (array) {
    *numbers = array;
    *count = (uint32_t)rows;
  }
  return 0;
}
