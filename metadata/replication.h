// replication.h: the replication metadata document, out and in.
//
// Before a backup's blocks go to the Vault, the Vault has to learn what the
// backup is: the appliance it comes from, the protected client, the
// application instance, the backup's catalogue record and a few
// application-specific records. exportReplicationMetadata reads these from
// the catalogue and writes them as one XML document (root
// "backup_metadata", metadata_version 1); importReplicationMetadata is the
// receiving side and turns such a document back into catalogue rows.
//
// The document, in element order (brackets: only under a condition):
//   metadata_version                 "1"
//   systems         name, UUID, [re-replicated-from: name, UUID]
//   nodes           node_name, file-level-uuid, type, os, properties,
//                   generic_property, options
//   application_instances  instance-uuid, app_id, app_type, [key1..key4]
//   [application_properties]  kv_pair*: prop_key, prop_value
//   backups         properties, type, start_time, total_megs, verify_after,
//                   is_verified, [x_command_short]
//   [backup_snapshots]        snapshot_time
//   [vmware_snapshots]        change_id        (application type "VMware")
//   [vmware_hardware_hashes]  hardware_hash    (application type "VMware")
//   [NDMP_backups]            vendor           (application type "NDMP Device")
//   [sql_backups]   server_instance_name, database_name, sql_type,
//                   group_file_order, file_order_no  (backup property 0x80)
//
// Both functions run on the calling thread with the process's catalogue
// helper connection (lib/pghelper.h); the statements rely on the session
// search path "vx,public". Messages go to the log with the function's name
// after the file and line.
#pragma once

#include <cstddef>

// Backup properties carried by the document: 0x80 SQL, 0x800, 0x1000,
// 0x2000, 0x4000 received by replication, 0x8000, 0x10000, 0x20000000.
constexpr unsigned long METADATA_BACKUP_PROPERTY_MASK = 0x2001F880UL;
// Client properties carried by the document: 0x4 encrypted, 0x10.
constexpr unsigned long METADATA_NODE_PROPERTY_MASK = 0x14UL;

// Writes the replication metadata document of backupNo. Returns 0 with
// *text a malloc'ed, NUL-terminated document (free() it) and *length its
// size in bytes without the NUL; -1 on failure (nothing to free). A backup
// number below 1 or a null output pointer fails at once.
//
// Side effect, kept even when the export fails later: a client whose
// file-level instance, or an instance, has no identity yet gets a new one
// stored in application_instances. Two exports racing for the same
// instance end with the same stored identity (the update only fills a
// NULL; the loser re-reads).
int exportReplicationMetadata(long backupNo, char **text, size_t *length);

// Imports one replication metadata document (NUL-terminated text) as a new
// backup on this appliance. device is the storage device that will hold the
// data (a 'Replication Source' row's own device_no overrides it); markFlag
// is handed to enforceGroupOrdering: 0 refuses a backup when the instance
// already holds later backups, 1 marks those later backups failed instead.
//
// Returns 0 with *backupNo the new backup number, or -1. When the import is
// refused because later backups of the instance exist, *backupNo is set to
// -1 (callers tell "out of order" from "refused" by it); other failures
// leave it 0. All catalogue changes happen in one transaction (a savepoint
// when the caller already has one open) and are rolled back on failure.
// Refused as well: an identity (systems, client or instance UUID) that is
// not a UUID, and an SQL backup (property 0x80) without all five children
// of sql_backups. Names and other texts are stored as the document has
// them, whatever characters they hold.
//
// This is also the entry point of the Vault stand-in's catalogue import
// (vaultd --catalogue); its signature matches VaultImportFunction.
int importReplicationMetadata(const char *document, long device, long *backupNo, int markFlag);
