// groups.h: restore groups and synthesis groups of backups.
//
// A backup that depends on others (an incremental on its master, an
// application backup on the earlier backups of its chain) is replicated
// with its group, in order, so the Vault always receives a master before
// what depends on it. The restore group comes from the catalogue's stored
// function vx.vxGetRestoreGroupOptimized; the synthesis group of an
// incremental chain from one statement over the view successful_backups.
//
// Error messages are logged at level 0 as "<function>: Error: <text>" and
// the text is kept as the library's last error (vxGetLastError).
#pragma once

#include <cstdint>

// One member of a restore group.
struct RestoreGroupRecord {
  uint32_t backupNo;       // the member (t_backup_no); the daemon reads only this
  uint32_t nodeNo;         // node_no of the requested backup
  uint32_t statusCode;     // 2 failed/unsuccessful, 1 exit code 50 or warnings, 0 success
  uint32_t typeCode;       // job-type code: t_type, with the SQL type in bits 16..23
  uint64_t startTime;      // t_start_time
  uint32_t appId;          // app_id of the requested backup's instance; 0 without
  char appName[48];        // the application's name; empty without application columns
  uint32_t instanceId;     // instance_id of the requested backup
  char instanceName[128];  // display name of the instance; empty without
};

// Computes the restore group of `backupNo`: the members in the order the
// stored function returns them. On success *records is a calloc'ed array
// of *count records owned by the caller (release with free()) and the
// result is 0. On failure -1, *records is null and *count 0. Refuses SDS,
// purged and active backups, failed backups of types other than 1, 2 and 4,
// and unknown types.
int vxGetRestoreGroupOptimized(uint64_t backupNo, RestoreGroupRecord **records, uint32_t *count);

// Computes the synthesis group of `backupNo` (types 1..3, 12..14,
// 1031..1033, 4098..4100): every successful backup of the chain's types
// for the same node and instance up to the backup, from the latest master
// or differential at or before it (and the latest master), in backup-number
// order. Synthetic differentials (masters) are left out when the ignore
// flags are set. Each output may be null; present ones are cleared on
// entry. On success *numbers is a malloc'ed array of *count numbers and
// *groupText a malloc'ed text of the numbers joined by ",", both owned by
// the caller (free()). 0 / -1; nothing is handed over on failure.
int vxGetSynthesisGroup(uint64_t backupNo, int ignoreSyntheticDiffs, int ignoreSyntheticMasters,
                        uint32_t **numbers, uint32_t *count, char **groupText);

// The text of the last error of the group functions (empty when none).
// Kept per thread.
const char *vxGetLastError();
