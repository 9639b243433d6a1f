// backupTypes.h: backup type numbers, their categories and the two rules
// that rest on them: the largest unit of data hashed as one block (the
// sub-file limit) and whether a backup type is deduplicated per file.
//
// The type numbers are the `type` column of vx.backups. Within each
// application range the first number is the full backup, the second the
// differential and the third the incremental.
#pragma once

#include <cstdint>

enum : uint32_t {
  BACKUP_TYPE_MASTER = 1,
  BACKUP_TYPE_DIFFERENTIAL = 2,
  BACKUP_TYPE_INCREMENTAL = 3,
  BACKUP_TYPE_SELECTIVE = 4,           // with property 0x80: legacy SQL backup
  BACKUP_TYPE_EXCHANGE_FULL = 5,       // 5..7 Exchange
  BACKUP_TYPE_EXCHANGE_INCR = 7,
  BACKUP_TYPE_SQLSERVER_FULL = 9,      // 9..11 SQL Server
  BACKUP_TYPE_SQLSERVER_INCR = 11,
  BACKUP_TYPE_VMWARE_FULL = 12,        // 12..14 VMware
  BACKUP_TYPE_VMWARE_INCR = 14,
  BACKUP_TYPE_BARE_METAL = 1024,
  BACKUP_TYPE_ARCHIVE = 1025,
  BACKUP_TYPE_HYPERV_FULL = 1031,      // 1031..1033 Hyper-V
  BACKUP_TYPE_HYPERV_INCR = 1033,
  BACKUP_TYPE_ORACLE_FULL = 1034,      // 1034, 1035 Oracle
  BACKUP_TYPE_ORACLE_INCR = 1035,
  BACKUP_TYPE_SHAREPOINT_FULL = 1036,  // 1036, 1037 SharePoint
  BACKUP_TYPE_SHAREPOINT_INCR = 1037,
  BACKUP_TYPE_SYSTEM_METADATA = 1038,
  BACKUP_TYPE_RAE_FULL = 1039,         // RAE: 1039 full, 4096 diff, 4097 incr
  BACKUP_TYPE_RAE_DIFF = 4096,
  BACKUP_TYPE_RAE_INCR = 4097,
  BACKUP_TYPE_NDMP_FULL = 4098,        // 4098..4100 NDMP
  BACKUP_TYPE_NDMP_INCR = 4100,
};

// Property bit of a type 4 backup: an SQL Server backup of the older kind.
constexpr uint64_t BACKUP_PROP_LEGACY_SQL = 0x80;

// Fallback sub-file limits when master.ini configures none.
constexpr uint64_t SUBFILE_BYTES_SMALL = 0x100000;    // 1 MiB
constexpr uint64_t SUBFILE_BYTES_LARGE = 0x40000000;  // 1 GiB

// The category name of a backup type ("Exchange", "SQL Server", "VMware",
// "Archive", "Hyper-V", "Oracle", "SharePoint", "RAE" or "file-level").
// Returns a static string.
const char *backupTypeCategory(uint32_t backupType);

// The sub-file limit in bytes for a backup of this type and these
// properties: master.ini [fileDedup] "maxSubfileBytes_<category>" (or
// "maxSubfileBytes_LEGACY_MSSQL"), else "maxSubfileBytes", else 1 MiB on
// replication-capable platforms and 1 GiB elsewhere. A configured value
// counts only when it is a complete unsigned number of at least two
// memory pages.
uint64_t maxSubfileBytes(uint32_t backupType, uint64_t properties);

// 1 for types whose data is deduplicated per file (the chain types of
// masters and the applications, type 4 without the legacy SQL bit), 0 for
// type 4 with that bit and for bare metal (1024), -1 for every other type.
int classifyBackupType(uint32_t backupType, uint64_t properties);

// Parses a configured sub-file limit: 0 and the value in *out when `text`
// is a complete unsigned number (decimal, 0x hexadecimal or 0 octal) of
// at least `minimum`; -1 otherwise.
int parseSubfileBytes(const char *text, uint64_t minimum, uint64_t *out);
