// backupTypes.cpp: backup type categories, sub-file limits and the
// per-file deduplication class of backup types.
#include "dedup/backupTypes.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/platform_capabilites.h"

const char *backupTypeCategory(uint32_t t) {
  if (t >= 5 && t <= 7) return "Exchange";
  if (t >= 9 && t <= 11) return "SQL Server";
  if (t >= 12 && t <= 14) return "VMware";
  if (t == BACKUP_TYPE_ARCHIVE) return "Archive";
  if (t >= 1031 && t <= 1033) return "Hyper-V";
  if (t == 1034 || t == 1035) return "Oracle";
  if (t == 1036 || t == 1037) return "SharePoint";
  if (t == BACKUP_TYPE_RAE_FULL || t == BACKUP_TYPE_RAE_DIFF || t == BACKUP_TYPE_RAE_INCR)
    return "RAE";
  return "file-level";
}

int parseSubfileBytes(const char *text, uint64_t minimum, uint64_t *out) {
  // strtoull would accept a leading sign or blanks and wrap negative
  // numbers; a limit is a plain unsigned number or nothing.
  if (text == nullptr || !isdigit(static_cast<unsigned char>(text[0]))) return -1;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return -1;
  if (v < minimum) return -1;
  *out = v;
  return 0;
}

// Reads one key of [fileDedup]; 0 with the accepted value, -1 when the key
// is missing or its value is not acceptable.
static int readSubfileKey(const char *key, uint64_t minimum, uint64_t *out) {
  char value[128];
  if (iniGetString("fileDedup", key, "", value, sizeof value, g_master_ini) != 0) return -1;
  return parseSubfileBytes(value, minimum, out);
}

uint64_t maxSubfileBytes(uint32_t backupType, uint64_t properties) {
  long page = sysconf(_SC_PAGESIZE);
  uint64_t minimum = 2 * static_cast<uint64_t>(page > 0 ? page : 4096);
  uint64_t value = 0;

  char key[80];
  int n;
  if (backupType == BACKUP_TYPE_SELECTIVE && (properties & BACKUP_PROP_LEGACY_SQL)) {
    n = snprintf(key, sizeof key, "maxSubfileBytes_LEGACY_MSSQL");
  } else {
    const char *category = backupTypeCategory(backupType);
    n = snprintf(key, sizeof key, "maxSubfileBytes_%s", category);
    if (n >= static_cast<int>(sizeof key)) {
      vxLog(0, "ERROR:  internal error, backup type \"%s\" too long, using default setting.",
            category);
    }
    for (char *p = key; *p; p++)
      if (*p == ' ') *p = '_';
  }
  if (n > 0 && n < static_cast<int>(sizeof key) && readSubfileKey(key, minimum, &value) == 0)
    return value;
  if (readSubfileKey("maxSubfileBytes", minimum, &value) == 0) return value;

  // Replication-capable platforms keep sub-files small so that a changed
  // region costs at most one small block on the wire.
  if (platformSupportsDedup() == 2 || platformSupportsReplication() == 1)
    return SUBFILE_BYTES_SMALL;
  return SUBFILE_BYTES_LARGE;
}

int classifyBackupType(uint32_t t, uint64_t properties) {
  if (t == BACKUP_TYPE_SELECTIVE) return (properties & BACKUP_PROP_LEGACY_SQL) ? 0 : 1;
  if (t == BACKUP_TYPE_BARE_METAL) return 0;
  if ((t >= 1 && t <= 3) || (t >= 5 && t <= 7) || (t >= 9 && t <= 14) ||
      (t >= 1031 && t <= 1039) || (t >= 4096 && t <= 4100))
    return 1;
  return -1;
}
