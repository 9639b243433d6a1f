// replication.cpp: export of a backup's catalogue metadata as the
// replication metadata document (see replication.h for its layout).
//
// The export reads the backup, its client, its application instance and
// the application-specific records and builds the document element by
// element with libxml2. The only catalogue writes are the identities of a
// client's file-level instance and of the backed-up instance when they are
// still NULL: those are given here, on first replication, and kept even if
// the export fails afterwards so the next attempt reuses them.
#include "metadata/replication.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/logger.h"
#include "lib/pghelper.h"
#include "metadata/identity.h"
#include "metadata/replication_xml.h"

namespace {

const char kExport[] = "exportReplicationMetadata";
// Every message of the export names the function after file and line.
#define XLOG(level, fmt, ...) LOG(level, "%s: " fmt, kExport __VA_OPT__(, ) __VA_ARGS__)

constexpr unsigned long PROPERTY_REPLICATED = 0x4000;  // received by replication
constexpr unsigned long PROPERTY_SQL = 0x80;           // SQL backup with a sql_backups row
// A logically deleted backup sits on the pseudo tape -1; the BIGINT column
// may hold it as -1 or as its 32-bit image, so both are excluded.
constexpr unsigned int TAPE_DELETED = 4294967295U;

// What the first query tells about the backup.
struct BackupSource {
  long nodeNo = 0;
  long instanceId = 0;
  unsigned long properties = 0;
  long systemId = 0;       // source system of a received backup
  bool rereplication = false;
  std::string appType;     // application type name, decides VMware / NDMP
};

xmlNode *addText(xmlNode *parent, const char *name, const char *text) {
  return xmlNewTextChild(parent, nullptr, xmlName(name), xmlName(text ? text : ""));
}

// Adds a decimal element. Numbers go through a 32-character buffer; one
// that does not fit is an internal error and fails the export.
int addUnsigned(xmlNode *parent, const char *name, unsigned long value) {
  char buf[32];
  int n = snprintf(buf, sizeof buf, "%lu", value);
  if (n < 0 || (size_t)n >= sizeof buf) {
    XLOG(0, "Internal error: buffer too short for unsigned long value");
    return -1;
  }
  return addText(parent, name, buf) ? 0 : -1;
}

int addSigned(xmlNode *parent, const char *name, int value) {
  char buf[32];
  int n = snprintf(buf, sizeof buf, "%d", value);
  if (n < 0 || (size_t)n >= sizeof buf) {
    XLOG(0, "Internal error: buffer too short for integer value");
    return -1;
  }
  return addText(parent, name, buf) ? 0 : -1;
}

// Adds an empty group element under the root.
xmlNode *addGroup(xmlNode *root, const char *name) {
  xmlNode *n = xmlNewChild(root, nullptr, xmlName(name), nullptr);
  if (!n) XLOG(0, "ERROR: Failed to add %s tag.\n", name);
  return n;
}

// Messages of one identity fill-in (the client's file-level instance or
// the backed-up instance). Each is a complete format taking the key (%ld)
// and, for `result`, the identity (%s); the others ignore what they do not
// name.
struct IdentityTexts {
  const char *genFailed;
  const char *updateFailed;
  const char *race;
  const char *requeryFailed;
  const char *stillNull;
  const char *result;
};

void logIdentity(int level, const char *format, long key, const char *identity = "") {
  char message[256];
  snprintf(message, sizeof message, format, key, identity);
  LOG(level, "%s: %s", kExport, message);
}

// Gives the instance selected by `key` an identity when it has none:
// stores a fresh one only where the column is still NULL and, when another
// process got there first (no row changed), reads back the stored one.
// updateFormat takes the identity and the key, selectFormat the key.
int fillIdentity(std::string &identity, const char *updateFormat, const char *selectFormat,
                 long key, const IdentityTexts &t) {
  char uuid[UUID_TEXT_LEN + 1];
  if (genUUID(uuid, sizeof uuid) != 0) {
    logIdentity(0, t.genFailed, key);
    return -1;
  }
  PgResultPtr u(pgVExec(updateFormat, uuid, key));
  if (!u) {
    logIdentity(0, t.updateFailed, key);
    return -1;
  }
  if (pgAffectedRows(u.get()) > 0) {
    identity = uuid;
  } else {
    logIdentity(0, t.race, key);
    PgResultPtr r(pgQuery(selectFormat, key));
    if (!r || pgTuples(r.get()) < 1) {
      logIdentity(0, t.requeryFailed, key);
      return -1;
    }
    if (pgIsNull(r.get(), 0, "identity")) {
      logIdentity(0, t.stillNull, key);
      return -1;
    }
    identity = pgSVal(r.get(), 0, "identity");
  }
  logIdentity(3, t.result, key, identity.c_str());
  return 0;
}

// Step 1: the backup, its client and instance; the re-replication case.
int readBackupSource(long backupNo, BackupSource &src) {
  PgResultPtr r(pgQuery("SELECT node_no, instance_id, b.properties, system_id FROM backups b "
                        "JOIN nodes USING(node_no) WHERE backup_no = %ld AND tape_no != %u "
                        "AND tape_no != -1",
                        backupNo, TAPE_DELETED));
  if (!r || pgTuples(r.get()) < 1) {
    XLOG(0, "ERROR: Backup %ld was not found or is logically deleted (or the query failed.)\n", backupNo);
    return -1;
  }
  src.nodeNo = pgLVal(r.get(), 0, "node_no");
  src.instanceId = pgIsNull(r.get(), 0, "instance_id") ? 0 : pgLVal(r.get(), 0, "instance_id");
  src.properties = pgULVal(r.get(), 0, "properties");
  if (src.instanceId == 0) {
    XLOG(0, "ERROR: Backup %ld doesn't have an instance_id.\n", backupNo);
    return -1;
  }
  if (src.properties & PROPERTY_REPLICATED) {
    if (pgIsNull(r.get(), 0, "system_id")) {
      XLOG(0, "ERROR: Could not identify source system_id for replicated backup %ld.\n", backupNo);
      return -1;
    }
    src.systemId = pgLVal(r.get(), 0, "system_id");
    src.rereplication = true;
  }
  return 0;
}

// Step 3: <systems>: the producing system and, for a backup this appliance
// received itself, this appliance under <re-replicated-from>.
int addSystems(xmlNode *root, const BackupSource &src) {
  PgResultPtr r(src.rereplication
                    ? pgQuery("SELECT name, identity AS appl_uuid FROM systems WHERE system_id = %ld",
                              src.systemId)
                    : pgQuery("SELECT name, install_id AS appl_uuid FROM systems, state "
                              "WHERE is_local_system = true"));
  if (!r || pgTuples(r.get()) < 1) {
    XLOG(0, "ERROR: Query for system information failed.\n");
    return -1;
  }
  if (pgIsNull(r.get(), 0, "appl_uuid")) {
    XLOG(0, "ERROR: Appliance uuid is NULL.\n");
    return -1;
  }
  xmlNode *systems = addGroup(root, "systems");
  if (!systems) return -1;
  if (!addText(systems, "name", pgSVal(r.get(), 0, "name")) ||
      !addText(systems, "UUID", pgSVal(r.get(), 0, "appl_uuid"))) {
    XLOG(0, "ERROR: Failed to add elements to %s tag.\n", "systems");
    return -1;
  }
  if (src.rereplication) {
    PgResultPtr l(pgQuery("SELECT name, install_id FROM systems, state WHERE is_local_system = true"));
    if (!l || pgTuples(l.get()) < 1) {
      XLOG(0, "ERROR: Query to get local system information for re-replication failed.\n");
      return -1;
    }
    xmlNode *from = xmlNewChild(systems, nullptr, xmlName("re-replicated-from"), nullptr);
    if (!from || !addText(from, "name", pgSVal(l.get(), 0, "name")) ||
        !addText(from, "UUID", pgSVal(l.get(), 0, "install_id"))) {
      XLOG(0, "ERROR: Failed to add elements to %s tag.\n", "re-replicated-from");
      return -1;
    }
  }
  XLOG(3, "Added elements for systems tag.\n");
  return 0;
}

// Step 4: <nodes>: the client, with the identity of its file-level instance.
int addNodes(xmlNode *root, const BackupSource &src) {
  PgResultPtr r(pgQuery("SELECT node_name, gcname, type, os, options, properties, identity, "
                        "generic_property FROM nodes JOIN application_instances USING(node_no) "
                        "WHERE app_id = 1 AND node_no = %ld",
                        src.nodeNo));
  if (!r || pgTuples(r.get()) < 1) {
    XLOG(0, "ERROR: Query to get client info for node_no %ld failed.\n", src.nodeNo);
    return -1;
  }
  std::string name = pgSVal(r.get(), 0, "node_name");
  std::string identity;
  if (src.rereplication) {
    // A received backup names the real client, recorded as grandclient name.
    if (pgIsNull(r.get(), 0, "gcname")) {
      XLOG(0, "ERROR: real client name for grandclient %ld is NULL.\n", src.nodeNo);
      return -1;
    }
    if (pgIsNull(r.get(), 0, "identity")) {
      XLOG(0, "ERROR: file-level identity for grandclient %ld is NULL.\n", src.nodeNo);
      return -1;
    }
    name = pgSVal(r.get(), 0, "gcname");
    identity = pgSVal(r.get(), 0, "identity");
  } else if (pgIsNull(r.get(), 0, "identity")) {
    static const IdentityTexts texts = {
        "ERROR: Failed to generate file-level uuid for node %ld\n",
        "ERROR: Failed to update file-level uuid for node %ld\n",
        "Possible race on creating file-level uuid for node %ld, re-querying to get it.\n",
        "ERROR: Failed to re-query for file-level uuid\n",
        "ERROR: Failed to get non-null file-level uuid\n",
        "file-level uuid for node %ld is: %s\n"};
    if (fillIdentity(identity,
                     "UPDATE application_instances SET identity = '%s' WHERE node_no = %ld AND app_id = 1 "
                     "AND identity IS NULL",
                     "SELECT identity FROM application_instances WHERE node_no = %ld AND app_id = 1",
                     src.nodeNo, texts) != 0)
      return -1;
  } else {
    identity = pgSVal(r.get(), 0, "identity");
    XLOG(3, "file-level uuid for node %ld is: %s\n", src.nodeNo, identity.c_str());
  }

  xmlNode *nodes = addGroup(root, "nodes");
  if (!nodes) return -1;
  if (!addText(nodes, "node_name", name.c_str())) {
    XLOG(0, "ERROR: Failed to add node_name element to %s tag.\n", "nodes");
    return -1;
  }
  if (!addText(nodes, "file-level-uuid", identity.c_str()) ||
      addUnsigned(nodes, "type", pgULVal(r.get(), 0, "type")) != 0 ||
      addUnsigned(nodes, "os", pgULVal(r.get(), 0, "os")) != 0 ||
      addUnsigned(nodes, "properties", pgULVal(r.get(), 0, "properties") & METADATA_NODE_PROPERTY_MASK) != 0 ||
      addUnsigned(nodes, "generic_property", pgULVal(r.get(), 0, "generic_property")) != 0 ||
      addUnsigned(nodes, "options", pgULVal(r.get(), 0, "options")) != 0) {
    XLOG(0, "ERROR: Failed to add elements to %s tag.\n", "nodes");
    return -1;
  }
  XLOG(3, "Added elements for %s tag.\n", "nodes");
  return 0;
}

// Step 5: <application_instances>: the backed-up instance; also learns the
// application type that decides the VMware and NDMP groups.
int addInstance(xmlNode *root, BackupSource &src) {
  PgResultPtr r(pgQuery("SELECT app_id, key1, key2, key3, key4, type, identity FROM application_instances "
                        "JOIN application_lookup USING(app_id) WHERE instance_id = %ld",
                        src.instanceId));
  if (!r || pgTuples(r.get()) < 1) {
    XLOG(0, "ERROR: Query to get application info for instance_id %ld failed.\n", src.instanceId);
    return -1;
  }
  std::string identity;
  if (!pgIsNull(r.get(), 0, "identity")) {
    identity = pgSVal(r.get(), 0, "identity");
    XLOG(3, "uuid for instance_id %ld is: %s\n", src.instanceId, identity.c_str());
  } else if (src.rereplication) {
    XLOG(0, "ERROR: Failed to get identity for grandclient instance_id %ld.\n", src.instanceId);
    return -1;
  } else {
    static const IdentityTexts texts = {
        "ERROR: Failed to generate uuid for instance_id %ld.\n",
        "ERROR: Failed to update uuid for instance_id %ld\n",
        "Possible race on creating uuid for instance_id %ld, re-querying to get it.\n",
        "ERROR: Failed to re-query for instance uuid.\n",
        "ERROR: Failed to get non-null instance uuid.\n",
        "uuid for instance_id %ld is: %s\n"};
    if (fillIdentity(identity,
                     "UPDATE application_instances SET identity = '%s' WHERE instance_id = %ld "
                     "AND identity IS NULL",
                     "SELECT identity FROM application_instances WHERE instance_id = %ld", src.instanceId,
                     texts) != 0)
      return -1;
  }
  src.appType = pgSVal(r.get(), 0, "type");

  xmlNode *inst = addGroup(root, "application_instances");
  if (!inst) return -1;
  if (!addText(inst, "instance-uuid", identity.c_str()) ||
      addUnsigned(inst, "app_id", pgULVal(r.get(), 0, "app_id")) != 0 ||
      !addText(inst, "app_type", src.appType.c_str())) {
    XLOG(0, "ERROR: Failed to add elements to %s tag.\n", "application_instances");
    return -1;
  }
  static const char *const keys[] = {"key1", "key2", "key3", "key4"};
  for (const char *key : keys) {
    if (pgIsNull(r.get(), 0, key)) continue;
    if (!addText(inst, key, pgSVal(r.get(), 0, key))) {
      XLOG(0, "ERROR: Failed to add %s to %s tag.\n", key, "application_instances");
      return -1;
    }
  }
  XLOG(3, "Added elements for %s tag.\n", "application_instances");
  return 0;
}

// Step 6: [<application_properties>] with one kv_pair per property.
int addApplicationProperties(xmlNode *root, const BackupSource &src) {
  PgResultPtr r(pgQuery("SELECT * FROM application_properties WHERE instance_id=%ld", src.instanceId));
  if (!r) {
    XLOG(0, "ERROR: Query to get application_properties failed.\n");
    return -1;
  }
  long rows = pgTuples(r.get());
  if (rows < 1) {
    XLOG(3, "No application_properties found for instance_id %ld.\n", src.instanceId);
    return 0;
  }
  xmlNode *props = addGroup(root, "application_properties");
  if (!props) return -1;
  for (long i = 0; i < rows; i++) {
    xmlNode *pair = xmlNewChild(props, nullptr, xmlName("kv_pair"), nullptr);
    if (!pair || !addText(pair, "prop_key", pgSVal(r.get(), (int)i, "prop_key")) ||
        !addText(pair, "prop_value", pgSVal(r.get(), (int)i, "prop_value"))) {
      XLOG(0, "ERROR: Failed to add elements to %s tag.\n", "application_properties");
      return -1;
    }
  }
  XLOG(3, "Added elements for %s tag.\n", "application_properties");
  return 0;
}

// Step 7: <backups> and [<backup_snapshots>].
int addBackup(xmlNode *root, long backupNo) {
  PgResultPtr r(pgQuery("SELECT properties, type, start_time, total_megs, verify_after, is_verified::int, "
                        "x_command_short, snapshot_time FROM backups LEFT OUTER JOIN backup_snapshots "
                        "USING(backup_no) WHERE backup_no = %ld",
                        backupNo));
  if (!r || pgTuples(r.get()) < 1) {
    XLOG(0, "ERROR: Query to get backup info for backup_no %ld failed.\n", backupNo);
    return -1;
  }
  xmlNode *b = addGroup(root, "backups");
  if (!b) return -1;
  if (addUnsigned(b, "properties", pgULVal(r.get(), 0, "properties") & METADATA_BACKUP_PROPERTY_MASK) != 0 ||
      addUnsigned(b, "type", pgULVal(r.get(), 0, "type")) != 0 ||
      addUnsigned(b, "start_time", pgULVal(r.get(), 0, "start_time")) != 0 ||
      addUnsigned(b, "total_megs", pgULVal(r.get(), 0, "total_megs")) != 0 ||
      addUnsigned(b, "verify_after", pgULVal(r.get(), 0, "verify_after")) != 0 ||
      addSigned(b, "is_verified", (int)pgLVal(r.get(), 0, "is_verified")) != 0) {
    XLOG(0, "ERROR: Failed to add elements to %s tag.\n", "backups");
    return -1;
  }
  if (!pgIsNull(r.get(), 0, "x_command_short") &&
      !addText(b, "x_command_short", pgSVal(r.get(), 0, "x_command_short"))) {
    XLOG(0, "ERROR: Failed to add x_command_short to %s tag.\n", "backups");
    return -1;
  }
  XLOG(3, "Added elements for %s tag.\n", "backups");
  if (!pgIsNull(r.get(), 0, "snapshot_time")) {
    xmlNode *s = addGroup(root, "backup_snapshots");
    if (!s || addUnsigned(s, "snapshot_time", pgULVal(r.get(), 0, "snapshot_time")) != 0) {
      XLOG(0, "ERROR: Failed to add elements to %s tag.\n", "backup_snapshots");
      return -1;
    }
    XLOG(3, "Added elements for %s tag.\n", "backup_snapshots");
  }
  return 0;
}

// Adds <group><leaf>first row's column</leaf></group> when the query has a
// row; nothing otherwise.
int addFirstRow(xmlNode *root, pgResult *r, const char *group, const char *leaf, const char *column) {
  if (pgTuples(r) < 1) return 0;
  xmlNode *g = addGroup(root, group);
  if (!g || !addText(g, leaf, pgSVal(r, 0, column))) {
    XLOG(0, "ERROR: Failed to add elements to %s tag.\n", group);
    return -1;
  }
  XLOG(3, "Added elements for %s tag.\n", group);
  return 0;
}

// Step 8: [<vmware_snapshots>] and [<vmware_hardware_hashes>].
int addVmware(xmlNode *root, long backupNo) {
  PgResultPtr s(pgQuery("SELECT change_id FROM vmware_snapshots WHERE backup_no = %ld", backupNo));
  if (!s) {
    XLOG(0, "ERROR: Query on vmware_snapshots for backup_no %ld failed.\n", backupNo);
    return -1;
  }
  if (addFirstRow(root, s.get(), "vmware_snapshots", "change_id", "change_id") != 0) return -1;
  PgResultPtr h(pgQuery("SELECT hardware_hash FROM vmware_hardware_hashes WHERE backup_no = %ld", backupNo));
  if (!h) {
    XLOG(0, "ERROR: Query vmware_hardware_hashes, backup_no %ld failed.\n", backupNo);
    return -1;
  }
  return addFirstRow(root, h.get(), "vmware_hardware_hashes", "hardware_hash", "hardware_hash");
}

// Step 9: [<NDMP_backups>] from the client's NDMP record.
int addNdmp(xmlNode *root, long backupNo, const BackupSource &src) {
  PgResultPtr r(pgQuery("SELECT vendor FROM ndmp_nas WHERE node_no = %d ", (int)src.nodeNo));
  if (!r) {
    XLOG(0, "ERROR: Query on vendor id for backup_no %ld failed.\n", backupNo);
    return -1;
  }
  return addFirstRow(root, r.get(), "NDMP_backups", "vendor", "vendor");
}

// Step 10: [<sql_backups>] for an SQL backup with its row.
int addSql(xmlNode *root, long backupNo) {
  PgResultPtr r(pgQuery("SELECT server_instance_name, database_name, sql_type, group_file_order, "
                        "file_order_no FROM sql_backups WHERE sql_ref = %ld",
                        backupNo));
  if (!r) {
    XLOG(0, "ERROR: Query on sql_backups for backup_no %ld failed.\n", backupNo);
    return -1;
  }
  if (pgTuples(r.get()) < 1) return 0;
  xmlNode *s = addGroup(root, "sql_backups");
  if (!s || !addText(s, "server_instance_name", pgSVal(r.get(), 0, "server_instance_name")) ||
      !addText(s, "database_name", pgSVal(r.get(), 0, "database_name")) ||
      addSigned(s, "sql_type", (int)pgLVal(r.get(), 0, "sql_type")) != 0 ||
      addSigned(s, "group_file_order", (int)pgLVal(r.get(), 0, "group_file_order")) != 0 ||
      addSigned(s, "file_order_no", (int)pgLVal(r.get(), 0, "file_order_no")) != 0) {
    XLOG(0, "ERROR: Failed to add elements to %s tag.\n", "sql_backups");
    return -1;
  }
  XLOG(3, "Added elements for %s tag.\n", "sql_backups");
  return 0;
}

}  // namespace

int exportReplicationMetadata(long backupNo, char **text, size_t *length) {
  if (backupNo < 1 || !text || !length) {
    XLOG(0, "ERROR: Invalid inputs.\n");
    return -1;
  }
  *text = nullptr;
  *length = 0;
  XLOG(3, "input backup_no = %ld\n", backupNo);

  BackupSource src;
  if (readBackupSource(backupNo, src) != 0) return -1;

  XmlDocPtr doc(xmlNewDoc(xmlName("1.0")));
  if (!doc) {
    XLOG(0, "ERROR: Failed to create XML doc.\n");
    return -1;
  }
  xmlNode *root = xmlNewNode(nullptr, xmlName("backup_metadata"));
  if (!root) {
    XLOG(0, "ERROR: Failed to create XML element.\n");
    return -1;
  }
  xmlDocSetRootElement(doc.get(), root);
  if (!addText(root, "metadata_version", "1")) {
    XLOG(0, "ERROR: Failed to add metadata version.\n");
    return -1;
  }
  XLOG(3, "Created root element and metadata_version tag.\n");

  if (addSystems(root, src) != 0 || addNodes(root, src) != 0 || addInstance(root, src) != 0 ||
      addApplicationProperties(root, src) != 0 || addBackup(root, backupNo) != 0)
    return -1;
  if (src.appType == "VMware" && addVmware(root, backupNo) != 0) return -1;
  if (src.appType == "NDMP Device" && addNdmp(root, backupNo, src) != 0) return -1;
  if ((src.properties & PROPERTY_SQL) && addSql(root, backupNo) != 0) return -1;

  xmlChar *mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemory(doc.get(), &mem, &size, 1);
  XmlCharPtr dumped(mem);
  if (!dumped || size <= 0) {
    XLOG(0, "ERROR: Out of memory.\n");
    return -1;
  }
  char *copy = static_cast<char *>(malloc((size_t)size + 1));
  if (!copy) {
    XLOG(0, "ERROR: Out of memory.\n");
    return -1;
  }
  memcpy(copy, mem, (size_t)size);
  copy[size] = '\0';
  *text = copy;
  *length = (size_t)size;
  XLOG(4, "Size of blob: %zu\n_______________________Blob XML_______________________\n%s\n", *length, copy);
  return 0;
}
