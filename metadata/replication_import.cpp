// replication_import.cpp: the receiving side of the replication metadata
// document (see replication.h for its layout).
//
// An import first decides, outside any transaction, who sent the document:
//   mode 1  a permitted replication source (a systems row with role
//           'Replication Source'): its client becomes a grandclient here,
//           created or updated, and later backups of the instance are
//           refused or marked failed (group ordering);
//   mode 2  this appliance itself, receiving its own backup back: client
//           and instance must already exist;
//   mode 3  an appliance being rebuilt by disaster recovery: a system
//           metadata backup (type 1038) while a DR start operation is
//           pending; the appliance's own client and instance are used.
// It then creates the rows of the client, instance, properties, backup,
// fileset, messages and the application-specific records in one
// transaction (a savepoint inside a caller's transaction) and rolls all of
// them back on any failure.
//
// The document comes from the network. Its identities (system, client
// and instance UUIDs) must be UUIDs and are refused otherwise; names, keys
// and other texts are taken as they are and stored verbatim: pasted into
// the "'%s'" statements run with pgVExec only after the catalogue helper
// escaped them for the connection, every other text value travels as a
// statement parameter. An SQL backup (property 0x80) needs its complete
// sql_backups element.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/validate.h"
#include "metadata/identity.h"
#include "metadata/replication.h"
#include "metadata/replication_xml.h"

namespace {

const char kImport[] = "importReplicationMetadata";
// Every message of the import names the function after file and line.
#define ILOG(level, fmt, ...) LOG(level, "%s: " fmt, kImport __VA_OPT__(, ) __VA_ARGS__)

constexpr long NODE_GRANDCLIENT = 0x20;       // node stands for a client of another appliance
constexpr long NODE_ENCRYPTED = 0x4;          // client's backups are encrypted
constexpr long PROPERTY_REPLICATED = 0x4000;  // backup received by replication
constexpr long PROPERTY_IMPORTED = 0x4020;    // returned to its source: imported as well
constexpr long PROPERTY_SQL = 0x80;           // SQL backup with a sql_backups record
constexpr long TYPE_SYSTEM_METADATA = 1038;   // appliance state backup (BT_APPLN_META)
constexpr int BACKUP_STATUS_IN_PROGRESS = 512;
constexpr int BACKUP_EXIT_CODE_REPLICATING = 15;

enum ImportMode { MODE_NONE = 0, MODE_TARGET = 1, MODE_SOURCE = 2, MODE_DR_START = 3 };

// Everything the import learns from the document and the catalogue.
struct Import {
  int mode = MODE_NONE;
  long device = 0;
  long sourceSystemId = 0;  // mode 1
  long operationId = 0;     // mode 3: the pending DR start operation
  std::string sourceName, sourceUuid;
  bool rereplicated = false;  // the document names a re-replicating system
  std::string viaName, viaUuid;

  std::string clientName, fileLevelUuid;
  long nodeNo = 0;

  std::string instanceUuid, appType;
  long appId = 0;
  long instanceId = 0;

  long properties = 0, type = 0, startTime = 0, totalMegs = 0, verifyAfter = 0, isVerified = 0;
  std::string command;
  long backupNo = 0;
  bool outOfOrder = false;  // refused for later backups of the instance
};

bool ok(const PgResultPtr &r) { return r && pgStatus(r.get()) == 0; }

// Escapes text for pasting between single quotes of a pgVExec statement
// (the catalogue helper logs a refusal). false when it cannot be escaped.
bool escaped(const std::string &text, std::string *out) { return pgEscapeLiteral(out, text.c_str()) == 0; }

// Identities name instances and systems across appliances and become part
// of UBIs, which travel in Vault headers: one that is not a UUID is
// refused where the document is read.
bool identityValid(const char *element, const std::string &text) {
  if (isUUIDString(text.c_str())) return true;
  ILOG(0, "ERROR: %s %s is not a valid UUID.\n", element, quotedForLog(text.c_str()).c_str());
  return false;
}

// Reads the text of the element `name` under `parent` into out and logs it.
// false when there is no such element.
bool elementText(xmlNode *parent, const char *name, std::string &out) {
  xmlNode *e = xmlChildElement(parent, name);
  if (!e) return false;
  XmlCharPtr content(xmlNodeGetContent(e));
  if (!content) return false;
  out = xmlText(content.get());
  ILOG(3, "Found tag: %s, element: %s, content: %s\n", xmlText(parent->name), name, out.c_str());
  return true;
}

// Parses the decimal text of an element (blanks around it allowed).
bool parseNumber(const std::string &text, long *out) {
  const char *p = text.c_str();
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
  if (*p == '\0') return false;
  char *end = nullptr;
  errno = 0;
  long v = strtol(p, &end, 10);
  if (errno != 0 || end == p) return false;
  while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') end++;
  if (*end != '\0') return false;
  *out = v;
  return true;
}

// Reads a numeric element that is known to be present as `e`.
bool elementNumber(xmlNode *parent, xmlNode *e, long *out) {
  XmlCharPtr content(xmlNodeGetContent(e));
  const char *text = content ? xmlText(content.get()) : "";
  ILOG(3, "Found tag: %s, element: %s, content: %s\n", xmlText(parent->name), xmlText(e->name), text);
  if (!parseNumber(text, out)) {
    ILOG(0, "ERROR: Invalid number \"%s\" in element %s of tag %s.\n", text, xmlText(e->name),
         xmlText(parent->name));
    return false;
  }
  return true;
}

bool isNamed(const xmlNode *n, const char *name) { return strcmp(xmlText(n->name), name) == 0; }

// Non-element children (indentation, comments) are skipped with a note.
bool skipNonElement(const xmlNode *c, const xmlNode *parent) {
  if (c->type == XML_ELEMENT_NODE) return false;
  ILOG(5, "\tSkipping %s, type %d in tag %s.\n", xmlText(c->name), (int)c->type, xmlText(parent->name));
  return true;
}

// First value of column in a one-row statement (nextval and the like);
// -1 when the statement failed or gave no row.
long singleValue(pgResult *r, const char *column) {
  if (!r || pgTuples(r) < 1 || pgIsNull(r, 0, column)) return -1;
  long v = pgLVal(r, 0, column);
  return pgResultError(r) ? -1 : v;
}

// ---------------------------------------------------------------------------
// Before the transaction: the source, the mode and the device.

int readSource(xmlNode *root, Import &im) {
  std::string version;
  if (!elementText(root, "metadata_version", version)) {
    ILOG(0, "ERROR: Failed to get content for %s tag.\n", "metadata_version");
    return -1;
  }
  // The version is recorded only: every document so far is version 1.
  ILOG(3, "XML metadata_version is %s.\n", version.c_str());
  xmlNode *systems = xmlChildElement(root, "systems");
  if (!systems) {
    ILOG(0, "ERROR: Failed to get %s XML element.\n", "systems");
    return -1;
  }
  if (!elementText(systems, "name", im.sourceName)) {
    ILOG(0, "ERROR: Failed to get system name.\n");
    return -1;
  }
  if (!elementText(systems, "UUID", im.sourceUuid)) {
    ILOG(0, "ERROR: Failed to get %s XML element.\n", "UUID");
    return -1;
  }
  if (!identityValid("UUID", im.sourceUuid)) return -1;
  xmlNode *via = xmlChildElement(systems, "re-replicated-from");
  if (via && elementText(via, "name", im.viaName) && elementText(via, "UUID", im.viaUuid)) {
    if (!identityValid("re-replicated-from UUID", im.viaUuid)) return -1;
    im.rereplicated = true;
  }
  ILOG(1, "Backup metadata replicated from appliance %s %s.\n", im.sourceName.c_str(), im.sourceUuid.c_str());
  return 0;
}

int decideMode(xmlNode *root, Import &im) {
  std::string uuid;
  if (!escaped(im.sourceUuid, &uuid)) return -1;
  PgResultPtr r(pgVExec("SELECT system_id FROM systems WHERE role = 'Replication Source' AND "
                        "LOWER(identity) = LOWER('%s')",
                        uuid.c_str()));
  if (!ok(r)) {
    ILOG(0, "ERROR: Query to identify source_id  failed.\n");
    return -1;
  }
  if (pgTuples(r.get()) > 0) {
    im.mode = MODE_TARGET;
    im.sourceSystemId = pgLVal(r.get(), 0, "system_id");
    ILOG(1, "Creating or updating grandclient metadata.\n");
    return 0;
  }
  ILOG(1, "No matching permitted source found in systems table.\n");
  PgResultPtr s(pgQuery("SELECT install_id FROM state"));
  if (!ok(s) || pgTuples(s.get()) < 1) {
    ILOG(0, "ERROR: Query to retrieve local install_id failed.\n");
    return -1;
  }
  if (strcasecmp(pgSVal(s.get(), 0, "install_id"), im.sourceUuid.c_str()) == 0) {
    im.mode = MODE_SOURCE;
    ILOG(1, "Re-replicating to original source.\n");
    return 0;
  }
  ILOG(1, "local install_id doesn't match source.\n");
  xmlNode *backups = xmlChildElement(root, "backups");
  if (!backups) {
    ILOG(0, "ERROR: Failed to get backups XML element.\n");
    return -1;
  }
  std::string typeText;
  long type = 0;
  if (!elementText(backups, "type", typeText) || !parseNumber(typeText, &type)) {
    ILOG(0, "ERROR: Failed to get backup type.\n");
    return -1;
  }
  if (type == TYPE_SYSTEM_METADATA) {
    PgResultPtr op(pgQuery("SELECT operation_id FROM operation_status WHERE subsystem = 'Disaster Recovery' "
                           "AND status = 'pending' AND description = 'Begin Disaster Recovery, initial "
                           "system metadata restore'"));
    if (!ok(op) || pgTuples(op.get()) < 1) {
      ILOG(0, "ERROR: BT_APPLN_META backup, but couldn't verify Disaster Recovery start operation.\n");
      return -1;
    }
    im.mode = MODE_DR_START;
    im.operationId = pgLVal(op.get(), 0, "operation_id");
    ILOG(1, "Re-replicating appliance state to start DR, operation_id = %ld.\n", im.operationId);
    return 0;
  }
  ILOG(0, "ERROR: Unauthorized attempt from source %s, %s.", im.sourceName.c_str(), im.sourceUuid.c_str());
  return -1;
}

// A permitted source may name the device its data goes to; otherwise the
// given device must be a disk device that is not being deleted.
int chooseDevice(Import &im) {
  std::string uuid;
  if (!escaped(im.sourceUuid, &uuid)) return -1;
  PgResultPtr r(pgVExec("SELECT device_no FROM systems WHERE role = 'Replication Source' AND "
                        "LOWER(identity) = LOWER('%s')",
                        uuid.c_str()));
  if (!ok(r)) {
    ILOG(0, "ERROR: Query to locate device_no failed for source identity %s.\n", im.sourceUuid.c_str());
    return -1;
  }
  if (pgTuples(r.get()) > 0 && !pgIsNull(r.get(), 0, "device_no")) {
    im.device = pgLVal(r.get(), 0, "device_no");
    ILOG(1, "Overriding device_no with systems db value %ld.\n", im.device);
    return 0;
  }
  ILOG(1, "No db device_no found, using supplied device_no, %ld.\n", im.device);
  ILOG(3, "checking input device_no = %ld\n", im.device);
  PgResultPtr d(pgQuery("SELECT is_scsi,is_deleted FROM devices WHERE device_no=%ld", im.device));
  if (!ok(d) || pgTuples(d.get()) < 1) {
    ILOG(0, "ERROR: device_no %ld was not found (or the query failed.)\n", im.device);
    return -1;
  }
  if (pgBVal(d.get(), 0, "is_scsi")) {
    ILOG(0, "ERROR: this device (device_no %ld) is not a D2D device.\n", im.device);
    return -1;
  }
  if (pgBVal(d.get(), 0, "is_deleted")) {
    ILOG(0, "ERROR: this device (device_no %ld) is being deleted.\n", im.device);
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Inside the transaction.

// The client fields a grandclient is created or updated from.
struct NodeFields {
  long type = 0, os = 0, properties = 0, options = 0, genericProperty = 0;
};

int readNodeFields(xmlNode *nodes, NodeFields &f) {
  bool seen[4] = {false, false, false, false};
  static const char *const required[4] = {"type", "os", "properties", "options"};
  long *values[4] = {&f.type, &f.os, &f.properties, &f.options};
  for (xmlNode *c = nodes->children; c; c = c->next) {
    if (skipNonElement(c, nodes)) continue;
    bool known = false;
    for (int i = 0; i < 4; i++) {
      if (!isNamed(c, required[i])) continue;
      if (!elementNumber(nodes, c, values[i])) return -1;
      seen[i] = known = true;
    }
    if (known) continue;
    if (isNamed(c, "generic_property")) {
      if (!elementNumber(nodes, c, &f.genericProperty)) return -1;
    } else if (!isNamed(c, "node_name") && !isNamed(c, "file-level-uuid")) {
      ILOG(1, "unexpected element %s in tag %s.\n", xmlText(c->name), "nodes");
    }
  }
  int present = 1;  // node_name and file-level-uuid, read already
  for (bool s : seen) present += s ? 1 : 0;
  if (present < 5) {
    ILOG(0, "ERROR: %d %s elements are present, %d were expected.\n", present, "nodes", 5);
    return -1;
  }
  return 0;
}

int createGrandclient(xmlNode *nodes, Import &im) {
  NodeFields f;
  if (readNodeFields(nodes, f) != 0) return -1;
  ILOG(1, "Create new grandclient %ld.\n", im.nodeNo);
  PgResultPtr g(pgQuery("SELECT nextval('vx.nodes_gclient_seq') AS gcn"));
  long long gcn = ok(g) && pgTuples(g.get()) > 0 ? pgLLVal(g.get(), 0, "gcn") : -1;
  if (gcn < 0) {
    ILOG(0, "ERROR: Failed to get grandclient serial number.\n");
    return -1;
  }
  // "gc" and the serial in 29 digits with leading zeros.
  char name[64];
  snprintf(name, sizeof name, "gc%-.029lld", gcn);
  ILOG(3, "New grandclient node_name: %s\n", name);
  PgResultPtr n(pgQuery(
      "INSERT INTO nodes (node_no, node_name, type, os, properties, priority, status, vendor, last_master, "
      "last_master_start_time, last_incremental, last_incremental_start_time, last_selective, "
      "last_selective_start_time, last_baremetal, last_baremetal_start_time, features, fstatus, "
      "bm_media_test_date, options, gcname, system_id, generic_property) VALUES (%ld, %s, %ld, %ld, %ld, 500, "
      "0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, %ld, %s, %ld, %ld)",
      im.nodeNo, name, f.type, f.os, f.properties | NODE_GRANDCLIENT, f.options, im.clientName.c_str(),
      im.sourceSystemId, f.genericProperty));
  if (!ok(n)) {
    ILOG(0, "ERROR: Query to insert nodes record failed.\n");
    return -1;
  }
  PgResultPtr a(pgQuery("INSERT INTO node_applications (node_no, app_id) VALUES (%ld, 1)", im.nodeNo));
  if (!ok(a)) {
    ILOG(0, "ERROR: insert of node_applications failed.\n");
    return -1;
  }
  std::string uuid;
  if (!escaped(im.fileLevelUuid, &uuid)) return -1;
  PgResultPtr i(pgVExec("INSERT INTO application_instances (node_no, app_id, identity) VALUES (%ld, 1, '%s')",
                        im.nodeNo, uuid.c_str()));
  if (!ok(i)) {
    ILOG(0, "ERROR: Query to %s nodes record failed.\n", "insert new");
    return -1;
  }
  ILOG(1, "Successfully %s grandclient %s, node_no %ld\n", "created", im.clientName.c_str(), im.nodeNo);
  return 0;
}

int updateGrandclient(xmlNode *nodes, Import &im) {
  NodeFields f;
  if (readNodeFields(nodes, f) != 0) return -1;
  ILOG(1, "Update of existing grandclient %ld.\n", im.nodeNo);
  PgResultPtr u(pgQuery("UPDATE nodes SET gcname = %s, properties = %ld WHERE node_no = %ld",
                        im.clientName.c_str(), f.properties | NODE_GRANDCLIENT, im.nodeNo));
  if (!ok(u)) {
    ILOG(0, "ERROR: Query to %s nodes record failed.\n", "update");
    return -1;
  }
  ILOG(1, "Successfully %s grandclient %s, node_no %ld\n", "updated", im.clientName.c_str(), im.nodeNo);
  return 0;
}

// Step 5: the client.
int importClient(xmlNode *root, Import &im) {
  xmlNode *nodes = xmlChildElement(root, "nodes");
  if (!nodes) {
    ILOG(0, "ERROR: Failed to get %s XML element.\n", "nodes");
    return -1;
  }
  if (!elementText(nodes, "node_name", im.clientName)) {
    ILOG(0, "ERROR: Failed to get node_name for %s.\n", "nodes");
    return -1;
  }
  if (!elementText(nodes, "file-level-uuid", im.fileLevelUuid)) {
    ILOG(0, "ERROR: Failed to get file-level-uuid for %s.\n", "nodes");
    return -1;
  }
  if (!identityValid("file-level-uuid", im.fileLevelUuid)) return -1;
  PgResultPtr r(im.mode == MODE_DR_START
                    ? pgQuery("SELECT node_no, node_name FROM nodes WHERE options=%d AND (properties & %d) = 0",
                              1, 32)
                    : pgQuery("SELECT gcname, node_name, node_no, properties FROM nodes JOIN "
                              "application_instances USING(node_no) WHERE app_id = 1 AND "
                              "LOWER(identity) = LOWER(%s)",
                              im.fileLevelUuid.c_str()));
  if (!ok(r)) {
    ILOG(0, "ERROR: Query to detect client failed.\n");
    return -1;
  }
  bool found = pgTuples(r.get()) > 0;
  if (im.mode != MODE_TARGET) {
    const char *kind = im.mode == MODE_SOURCE ? "direct-attached" : "QRU";
    if (!found) {
      ILOG(0, "ERROR: No matching %s client found for this backup.\n", kind);
      return -1;
    }
    im.nodeNo = pgLVal(r.get(), 0, "node_no");
    ILOG(1, "Found matching %s client %s, node_no %ld.\n", kind, pgSVal(r.get(), 0, "node_name"), im.nodeNo);
    return 0;
  }
  if (!found) {
    ILOG(1, "Grand-client %s doesn't exist, creating nodes record.\n", im.clientName.c_str());
    PgResultPtr n(pgQuery("SELECT nextval('vx.nodes_node_no_seq') AS node_no"));
    im.nodeNo = singleValue(n.get(), "node_no");
    if (im.nodeNo < 0) {
      ILOG(0, "ERROR: Query to obtain new node_no failed.\n");
      return -1;
    }
    return createGrandclient(nodes, im);
  }
  im.nodeNo = pgLVal(r.get(), 0, "node_no");
  ILOG(1, "grandclient %s already exists.\n", im.clientName.c_str());
  if (im.clientName != pgSVal(r.get(), 0, "gcname")) {
    ILOG(1, "New client name: %s.\n", im.clientName.c_str());
    return updateGrandclient(nodes, im);
  }
  ILOG(3, "Client name is unchanged.\n");
  std::string text;
  long docProperties = 0;
  if (!elementText(nodes, "properties", text) || !parseNumber(text, &docProperties)) {
    ILOG(0, "ERROR: Failed to get client properties.\n");
    return -1;
  }
  if ((docProperties & NODE_ENCRYPTED) != (pgLVal(r.get(), 0, "properties") & NODE_ENCRYPTED)) {
    ILOG(1, "Encryption property changed.\n");
    return updateGrandclient(nodes, im);
  }
  return 0;
}

// Step 6: the application instance.
int importInstance(xmlNode *root, Import &im) {
  xmlNode *inst = xmlChildElement(root, "application_instances");
  if (!inst) {
    ILOG(0, "ERROR: Failed to get %s XML element.\n", "application_instances");
    return -1;
  }
  std::string keys[4];
  bool hasKey[4] = {false, false, false, false};
  bool hasUuid = false, hasAppId = false, hasType = false;
  for (xmlNode *c = inst->children; c; c = c->next) {
    if (skipNonElement(c, inst)) continue;
    if (isNamed(c, "instance-uuid")) {
      hasUuid = elementText(inst, "instance-uuid", im.instanceUuid);
    } else if (isNamed(c, "app_id")) {
      if (!elementNumber(inst, c, &im.appId)) return -1;
      hasAppId = true;
    } else if (isNamed(c, "app_type")) {
      hasType = elementText(inst, "app_type", im.appType);
    } else if (strncmp(xmlText(c->name), "key", 3) == 0 && c->name[3] >= '1' && c->name[3] <= '4' &&
               c->name[4] == '\0') {
      int k = c->name[3] - '1';
      hasKey[k] = elementText(inst, xmlText(c->name), keys[k]);
    } else {
      ILOG(1, "unexpected element %s in tag %s.\n", xmlText(c->name), "application_instances");
    }
  }
  int present = (hasUuid ? 1 : 0) + (hasAppId ? 1 : 0) + (hasType ? 1 : 0);
  if (present < 3) {
    ILOG(0, "ERROR: %d %s elements are present, but %d were expected.\n", present, "application_instances", 3);
    return -1;
  }
  if (!identityValid("instance-uuid", im.instanceUuid)) return -1;
  if (im.mode == MODE_DR_START && im.appType != "System Metadata") {
    ILOG(0, "ERROR: application type is not System Metadata.\n");
    return -1;
  }

  std::string uuid;
  if (!escaped(im.instanceUuid, &uuid)) return -1;
  PgResultPtr r(im.mode == MODE_DR_START
                    ? pgQuery("SELECT instance_id, identity FROM application_instances WHERE node_no = %ld "
                              "AND app_id = %ld",
                              im.nodeNo, im.appId)
                    : pgVExec("SELECT instance_id FROM application_instances WHERE node_no = %ld AND "
                              "app_id = %ld AND LOWER(identity) = LOWER('%s')",
                              im.nodeNo, im.appId, uuid.c_str()));
  if (!ok(r)) {
    ILOG(0, "ERROR: Query to detect instance_id failed.\n");
    return -1;
  }
  if (pgTuples(r.get()) > 0) {
    im.instanceId = pgLVal(r.get(), 0, "instance_id");
    ILOG(1, "this instance already exists: %ld.\n", im.instanceId);
    if (im.mode != MODE_DR_START) return 0;
    if (pgIsNull(r.get(), 0, "identity")) {
      ILOG(1,
           "DR-start: updating identity of QRU-client's System Metadata application_instance (id %ld) to %s "
           "because it is null.\n",
           im.instanceId, im.instanceUuid.c_str());
      PgResultPtr u(pgVExec("UPDATE application_instances SET identity='%s' WHERE instance_id = %ld", uuid.c_str(),
                            im.instanceId));
      if (!ok(u)) {
        ILOG(0, "ERROR: Query to update identity failed.\n");
        return -1;
      }
      return 0;
    }
    const char *stored = pgSVal(r.get(), 0, "identity");
    ILOG(1, "DR-start: existing identity for QRU-client's System Metadata application_instance is %s, import "
            "UUID is %s.\n",
         stored, im.instanceUuid.c_str());
    if (strcasecmp(stored, im.instanceUuid.c_str()) != 0) {
      ILOG(0, "ERROR: import UUID for System Metadata backup doesn't match the current QRU-client identity.\n");
      return -1;
    }
    return 0;
  }
  if (im.mode == MODE_SOURCE) {
    ILOG(0, "ERROR: No existing instance matches this backup.\n");
    return -1;
  }
  ILOG(1, "this instance doesn't exist, creating new record(s).\n");
  PgResultPtr a(pgQuery("INSERT INTO node_applications (node_no, app_id) SELECT %ld, %ld WHERE NOT EXISTS "
                        "(SELECT node_no, app_id FROM node_applications WHERE node_no = %ld AND app_id = %ld)",
                        im.nodeNo, im.appId, im.nodeNo, im.appId));
  if (!ok(a)) {
    ILOG(0, "ERROR: insert of node_applications record failed.\n");
    return -1;
  }
  if (pgAffectedRows(a.get()) > 0)
    ILOG(3, "Added a new node_applications record for node_no %ld and app_id %ld.\n", im.nodeNo, im.appId);
  else
    ILOG(3, "app_id %ld already exists for node_no %ld.\n", im.appId, im.nodeNo);
  PgResultPtr n(pgQuery("SELECT nextval('vx.application_instances_instance_id_seq') AS instance_id"));
  im.instanceId = singleValue(n.get(), "instance_id");
  if (im.instanceId < 0) {
    ILOG(0, "ERROR: Query to obtain a new instance_id failed.\n");
    return -1;
  }
  PgResultPtr i(pgQuery(
      "INSERT INTO application_instances (instance_id, app_id, node_no, key1, key2, key3, key4, identity) VALUES "
      "(%ld, %ld, %ld, CASE WHEN %d THEN %s ELSE NULL END, CASE WHEN %d THEN %s ELSE NULL END, CASE WHEN %d THEN "
      "%s ELSE NULL END, CASE WHEN %d THEN %s ELSE NULL END, %s) ",
      im.instanceId, im.appId, im.nodeNo, hasKey[0] ? 1 : 0, hasKey[0] ? keys[0].c_str() : nullptr,
      hasKey[1] ? 1 : 0, hasKey[1] ? keys[1].c_str() : nullptr, hasKey[2] ? 1 : 0,
      hasKey[2] ? keys[2].c_str() : nullptr, hasKey[3] ? 1 : 0, hasKey[3] ? keys[3].c_str() : nullptr,
      im.instanceUuid.c_str()));
  if (!ok(i)) {
    ILOG(0, "ERROR: insert of application_instances record failed.\n");
    return -1;
  }
  ILOG(1, "Created new application instance with instance_id %ld\n", im.instanceId);
  return 0;
}

// Step 7: application properties, inserted or updated per key.
int importApplicationProperties(xmlNode *root, const Import &im) {
  const char *tag = "application_properties";
  xmlNode *props = xmlChildElement(root, tag);
  if (!props) {
    ILOG(3, "No %s are present.\n", tag);
    return 0;
  }
  int processed = 0;
  for (xmlNode *c = props->children; c; c = c->next) {
    if (skipNonElement(c, props)) continue;
    if (!isNamed(c, "kv_pair")) {
      ILOG(1, "unexpected element %s in tag %s.\n", xmlText(c->name), tag);
      continue;
    }
    std::string key, value;
    if (!xmlChildElement(c, "prop_key")) {
      ILOG(0, "ERROR: Failed to get prop_key for %s.\n", "kv_pair");
      return -1;
    }
    if (!xmlChildElement(c, "prop_value")) {
      ILOG(0, "ERROR: Failed to get prop_value for %s.\n", "kv_pair");
      return -1;
    }
    if (!elementText(c, "prop_key", key) || !elementText(c, "prop_value", value)) {
      ILOG(0, "ERROR: Failed to get prop_key or prop_value content.\n");
      return -1;
    }
    PgResultPtr ins(pgQuery("INSERT INTO application_properties (instance_id, prop_key, prop_value) SELECT "
                            "%ld, %s, %s WHERE NOT EXISTS (SELECT TRUE FROM application_properties WHERE "
                            "instance_id = %ld AND prop_key = %s)",
                            im.instanceId, key.c_str(), value.c_str(), im.instanceId, key.c_str()));
    if (!ok(ins)) {
      ILOG(0, "ERROR: Query to insert %s failed.\n", tag);
      return -1;
    }
    if (pgAffectedRows(ins.get()) == 0) {
      ILOG(3, "Updating existing application_properties pair prop_key=%s prop_value=%s for instance %ld.\n",
           key.c_str(), value.c_str(), im.instanceId);
      PgResultPtr up(pgQuery("UPDATE application_properties SET prop_value = %s WHERE prop_key = %s AND "
                             "instance_id = %ld",
                             value.c_str(), key.c_str(), im.instanceId));
      if (!ok(up)) {
        ILOG(0, "ERROR: Query to update %s failed.\n", tag);
        return -1;
      }
    }
    processed++;
  }
  ILOG(3, "Processed %d %s elements.\n", processed, tag);
  return 0;
}

// Step 8: the backup's own fields; group ordering for a replication target.
int readBackupFields(xmlNode *root, Import &im, int markFlag) {
  xmlNode *b = xmlChildElement(root, "backups");
  if (!b) {
    ILOG(0, "ERROR: Failed to get backups XML element.\n");
    return -1;
  }
  static const char *const numeric[6] = {"properties", "type", "start_time", "total_megs", "verify_after",
                                         "is_verified"};
  long *values[6] = {&im.properties, &im.type, &im.startTime, &im.totalMegs, &im.verifyAfter, &im.isVerified};
  bool seen[7] = {false, false, false, false, false, false, false};
  for (xmlNode *c = b->children; c; c = c->next) {
    if (skipNonElement(c, b)) continue;
    bool known = false;
    for (int i = 0; i < 6; i++) {
      if (!isNamed(c, numeric[i])) continue;
      if (!elementNumber(b, c, values[i])) return -1;
      seen[i] = known = true;
    }
    if (known) continue;
    if (isNamed(c, "x_command_short"))
      seen[6] = elementText(b, "x_command_short", im.command);
    else
      ILOG(1, "unexpected element %s in tag %s.\n", xmlText(c->name), "backups");
  }
  // x_command_short may be missing (the export leaves out a NULL command);
  // one other missing value then reads as 0.
  int present = 0;
  for (bool s : seen) present += s ? 1 : 0;
  if (present < 6) {
    ILOG(0, "ERROR: %d %s elements are present, but %d were expected.\n", present, "backups", 6);
    return -1;
  }
  im.isVerified = im.isVerified ? 1 : 0;
  ILOG(3, "bkup_properties = %ld,isLegacySQL = %d\n", im.properties, (im.properties & PROPERTY_SQL) ? 1 : 0);
  if (im.mode != MODE_TARGET) {
    ILOG(3, "Not replicating to target, skipped enforcing group ordering");
    return 0;
  }
  int later = enforceGroupOrdering(im.instanceId, im.startTime, markFlag);
  if (later != 0) {
    if (later > 0) im.outOfOrder = true;
    ILOG(0, "ERROR: group ordering refused backup of instance %ld started at %ld (result %d).\n", im.instanceId,
         im.startTime, later);
    return -1;
  }
  return 0;
}

// Steps 9 and 10: the backup, its fileset and its messages.
int insertBackup(Import &im) {
  // The host name in at most 32 bytes; "Replication" when it cannot be read.
  char server[33];
  if (gethostname(server, sizeof server) != 0 || server[0] == '\0') snprintf(server, sizeof server, "Replication");
  server[sizeof server - 1] = '\0';
  ILOG(3, "server_name for the backup: %s\n", server);
  if (im.command.empty()) im.command = "Replicated backup from " + im.sourceName;

  PgResultPtr d(pgQuery("INSERT INTO dirs (dname) SELECT '@@@:/' WHERE NOT EXISTS (SELECT TRUE FROM dirs WHERE "
                        "dname = '@@@:/')"));
  PgResultPtr dn(ok(d) ? pgQuery("SELECT dir_no FROM dirs WHERE dname = '@@@:/'") : nullptr);
  long dirNo = singleValue(dn.get(), "dir_no");
  if (dirNo < 0) {
    ILOG(0, "ERROR: Query to get the starting directory failed.\n");
    return -1;
  }
  ILOG(3, "Using starting directory %ld.\n", dirNo);
  PgResultPtr b(pgQuery("SELECT nextval('vx.backups_backup_no_seq') AS new_backup_no"));
  im.backupNo = singleValue(b.get(), "new_backup_no");
  PgResultPtr f(im.backupNo > 0 ? pgQuery("SELECT nextval('vx.filesets_fileset_no_seq') AS fileset_no") : nullptr);
  long filesetNo = singleValue(f.get(), "fileset_no");
  PgResultPtr j(filesetNo > 0 ? pgQuery("SELECT nextval('vx.jobs_job_no_seq') AS job_no") : nullptr);
  long jobNo = singleValue(j.get(), "job_no");
  if (im.backupNo < 0 || filesetNo < 0 || jobNo < 0) {
    ILOG(0, "ERROR: Query to obtain new backup, fileset or job number failed.\n");
    im.backupNo = 0;
    return -1;
  }

  long properties = im.properties | PROPERTY_REPLICATED;
  if (im.mode == MODE_SOURCE) {
    ILOG(1, "Setting P_IMPORTED property on backup.\n");
    properties |= PROPERTY_IMPORTED;
  }
  PgResultPtr ib(pgQuery(
      "INSERT INTO backups (backup_no, node_no, instance_id, properties, type, start_time, fileset_no, tape_no, "
      "server_name, operator_name, multivolume, start_dir_no, status, exit_code, total_megs, verify_after, "
      "is_verified, job_no, pid, x_command_short, sync_status, attempt_cnt, elapsed_time, total_netpaths, "
      "sync_resv, incomplete, notbacked, total_kilo, blocksize, lcs_no, data_bkno, all_filesets_present) VALUES "
      "(%ld, %ld, %ld, %ld, %ld, %ld, %ld,(SELECT tape_no FROM devices WHERE device_no = %ld), %s, %s, 1, %ld, %d, "
      "%d, %ld, %ld, %ld::bool, %ld, %ld, %s, 0,0,0,0,0, 0,0,0,0,0,0, 0::bool)",
      im.backupNo, im.nodeNo, im.instanceId, properties, im.type, im.startTime, filesetNo, im.device, server,
      "root", dirNo, BACKUP_STATUS_IN_PROGRESS, BACKUP_EXIT_CODE_REPLICATING, im.totalMegs, im.verifyAfter,
      im.isVerified, jobNo, (long)getpid(), im.command.c_str()));
  if (!ok(ib)) {
    ILOG(0, "ERROR: Query to insert backups record failed.\n");
    return -1;
  }
  ILOG(1, "Successfully created backup_no %ld\n", im.backupNo);

  PgResultPtr fs(pgQuery(
      "INSERT INTO filesets (fileset_no, tape_no, backup_no, vol_no, job_no, start_time, server_name, "
      "tape_drive_name, properties, data_format, no_label, ssn, elapsed_time, total_megs, fileset_megs, "
      "total_netpaths, status, physical_fsno, v_koffset, btotal, tape_dataset, is_multiplexed, is_encrypted, "
      "is_compressed, scsi_blksize, os,ssn_blocksize, mux_fileset_no, import_no, guid, device_properties) VALUES "
      "(%ld, (SELECT tape_no FROM devices WHERE device_no = %ld), %ld, 1, %ld, %lu, %s, (SELECT dev_name FROM "
      "devices WHERE device_no = %ld), 0,%s,1::bool,0,0,0,0,0, 0,0,0,0,0, 0::bool,0::bool,0::bool,0,0, 0,0,0,0,0)",
      filesetNo, im.device, im.backupNo, jobNo, (unsigned long)im.startTime, server, im.device, "file"));
  if (!ok(fs)) {
    ILOG(0, "ERROR: Query to insert filesets record failed.\n");
    return -1;
  }
  ILOG(3, "Successfully created fileset_no %ld\n", filesetNo);

  std::string name, uuid;
  if (!escaped(im.sourceName, &name) || !escaped(im.sourceUuid, &uuid)) return -1;
  PgResultPtr m(pgVExec("INSERT INTO backup_msg (backup_no, messages, comment) VALUES(%ld, (SELECT now()) || ' "
                        "Replicated backup from source %s %s\n', 'Replicated backup from source %s %s\n')",
                        im.backupNo, name.c_str(), uuid.c_str(), name.c_str(), uuid.c_str()));
  if (!ok(m)) {
    ILOG(0, "ERROR: Query to insert backup_msg record failed.\n");
    return -1;
  }
  if (im.rereplicated) {
    // Only noted when it fails, so it runs under a savepoint of its own:
    // a failed statement must not doom the rest of the import.
    std::string text;
    if (!escaped("Re-replicated from " + im.viaName + " " + im.viaUuid + "\n", &text)) return -1;
    int sp = 0;
    bool done = false;
    if (pgPushTransaction(&sp) == 0) {
      PgResultPtr u(pgVExec("UPDATE backup_msg SET messages = messages || '%s', comment = comment || '%s' WHERE "
                            "backup_no = %ld",
                            text.c_str(), text.c_str(), im.backupNo));
      done = ok(u);
      if (pgPopTransaction(done ? 1 : 0, sp) != 0) return -1;
    }
    if (!done) ILOG(0, "Failed to update backup_msg with identity of re-replicating source.\n");
  }
  ILOG(3, "Successfully created backup_msg record.\n");
  return 0;
}

// Steps 11 to 13: snapshot, VMware, NDMP and SQL records when present.
int importOptionalRecords(xmlNode *root, const Import &im) {
  std::string text;
  xmlNode *snap = xmlChildElement(root, "backup_snapshots");
  if (!snap) {
    ILOG(3, "No %s are present.\n", "backup_snapshots");
  } else {
    xmlNode *t = xmlChildElement(snap, "snapshot_time");
    long when = 0;
    if (!t || !elementNumber(snap, t, &when)) {
      ILOG(0, "ERROR: Failed to get %s XML element.\n", "snapshot_time");
      return -1;
    }
    PgResultPtr r(pgQuery("INSERT INTO backup_snapshots (backup_no, snapshot_time) VALUES(%ld, %ld)", im.backupNo,
                          when));
    if (!ok(r)) {
      ILOG(0, "ERROR: Query to insert %s failed.\n", "backup_snapshots");
      return -1;
    }
  }

  if (im.appType == "VMware") {
    int processed = 0;
    static const struct {
      const char *group, *leaf, *sql;
    } vm[] = {{"vmware_snapshots", "change_id", "INSERT INTO vmware_snapshots (backup_no, change_id) VALUES(%ld, %s)"},
              {"vmware_hardware_hashes", "hardware_hash",
               "INSERT INTO vmware_hardware_hashes (backup_no, hardware_hash) VALUES(%ld, %s)"}};
    for (const auto &v : vm) {
      xmlNode *g = xmlChildElement(root, v.group);
      if (!g) {
        ILOG(3, "No %s are present.\n", v.group);
        continue;
      }
      if (!elementText(g, v.leaf, text)) {
        ILOG(0, "ERROR: Failed to get %s XML element.\n", v.leaf);
        return -1;
      }
      PgResultPtr r(pgQuery(v.sql, im.backupNo, text.c_str()));
      if (!ok(r)) {
        ILOG(0, "ERROR: Query to insert %s failed.\n", v.group);
        return -1;
      }
      processed++;
    }
    ILOG(3, "Processed %d VMware elements.\n", processed);
  }

  if (im.appType == "NDMP Device") {
    xmlNode *g = xmlChildElement(root, "NDMP_backups");
    if (!g) {
      ILOG(3, "No %s are present.\n", "NDMP_backups");
    } else {
      if (!elementText(g, "vendor", text)) {
        ILOG(0, "ERROR: Failed to get %s XML element.\n", "vendor");
        return -1;
      }
      PgResultPtr r(pgQuery("SELECT * from  ndmp_nas where node_no = %d", (int)im.nodeNo));
      if (!ok(r)) {
        ILOG(0, "ERROR: Query on ndmp_nas for node_no %ld failed.\n", im.nodeNo);
        return -1;
      }
      if (pgTuples(r.get()) == 0) {
        std::string vendor;
        if (!escaped(text, &vendor)) return -1;
        PgResultPtr i(pgVExec("INSERT INTO  ndmp_nas (node_no, address, port, vendor, version)VALUES(%ld, "
                              "'127.0.0.1', '10000', '%s', 'unknown')",
                              im.nodeNo, vendor.c_str()));
        if (!ok(i)) {
          ILOG(0, "ERROR: Query to insert %s failed.\n", "ndmp_nas");
          return -1;
        }
      }
    }
  }

  if (im.properties & PROPERTY_SQL) {
    // The restore group of an SQL backup is built from its sql_backups
    // row, so an SQL backup without the complete element is refused.
    xmlNode *g = xmlChildElement(root, "sql_backups");
    if (!g) {
      ILOG(0, "ERROR: %d %s elements present, but %d were expected.\n", 0, "sql_backups", 5);
      return -1;
    }
    std::string instanceName, database;
    long sqlType = 0, groupOrder = 0, fileOrder = 0;
    int present = 0;
    present += elementText(g, "server_instance_name", instanceName) ? 1 : 0;
    present += elementText(g, "database_name", database) ? 1 : 0;
    static const char *const numbers[3] = {"sql_type", "group_file_order", "file_order_no"};
    long *values[3] = {&sqlType, &groupOrder, &fileOrder};
    for (int i = 0; i < 3; i++) {
      xmlNode *e = xmlChildElement(g, numbers[i]);
      if (!e) continue;
      if (!elementNumber(g, e, values[i])) return -1;
      present++;
    }
    if (present < 5) {
      ILOG(0, "ERROR: %d %s elements present, but %d were expected.\n", present, "sql_backups", 5);
      return -1;
    }
    PgResultPtr r(pgQuery("INSERT INTO sql_backups (sql_ref, node_no, sql_type, server_instance_name, "
                          "database_name, group_file_order, file_order_no) VALUES (%ld, %ld, %ld, %s, %s, %ld, %ld)",
                          im.backupNo, im.nodeNo, sqlType, instanceName.c_str(), database.c_str(), groupOrder,
                          fileOrder));
    if (!ok(r)) {
      ILOG(0, "ERROR: Query to insert %s failed.\n", "sql_backups");
      return -1;
    }
  }
  return 0;
}

// Everything inside the transaction, steps 5 to 13.
int importRows(xmlNode *root, Import &im, int markFlag) {
  if (importClient(root, im) != 0 || importInstance(root, im) != 0 || importApplicationProperties(root, im) != 0 ||
      readBackupFields(root, im, markFlag) != 0 || insertBackup(im) != 0 || importOptionalRecords(root, im) != 0)
    return -1;
  return 0;
}

}  // namespace

int importReplicationMetadata(const char *document, long device, long *backupNo, int markFlag) {
  if (!document || !backupNo || device < 1) {
    ILOG(0, "ERROR: Invalid inputs.\n");
    return -1;
  }
  *backupNo = 0;
  XmlDocPtr doc(xmlReadMemory(document, (int)strlen(document), "noname.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!doc) {
    ILOG(0, "ERROR: Could not read XML content.\n");
    return -1;
  }
  xmlNode *root = xmlDocGetRootElement(doc.get());
  if (!root || strcmp(xmlText(root->name), "backup_metadata") != 0) {
    ILOG(0, "ERROR: Could not get root element of XML.\n");
    return -1;
  }

  Import im;
  im.device = device;
  if (readSource(root, im) != 0 || decideMode(root, im) != 0 || chooseDevice(im) != 0) return -1;

  int savepoint = 0;
  if (pgPushTransaction(&savepoint) != 0) {
    ILOG(0, "ERROR: Failed to start database transaction.\n");
    return -1;
  }
  ILOG(3, "Started transaction, savepoint=%d\n", savepoint);

  int rc = importRows(root, im, markFlag);
  if (rc == 0) {
    if (pgPopTransaction(1, savepoint) != 0) {
      ILOG(0, "ERROR: Failed to %s transaction.", "commit");
      // A failed COMMIT has rolled back already; a failed RELEASE leaves the
      // savepoint to undo.
      if (savepoint > 1 && pgPopTransaction(0, savepoint) != 0) ILOG(0, "Failed to %s transaction.", "rollback");
      rc = -1;
    }
  } else if (pgPopTransaction(0, savepoint) != 0) {
    ILOG(0, "Failed to %s transaction.", "rollback");
  }

  if (rc != 0) {
    if (im.mode == MODE_DR_START) {
      PgResultPtr d(pgQuery("DELETE FROM operation_status WHERE operation_id = %ld", im.operationId));
      if (ok(d))
        ILOG(1, "deleted operation_status id %ld.\n", im.operationId);
      else
        ILOG(0, "Failed to delete operation_status id %ld.\n", im.operationId);
    }
    *backupNo = im.outOfOrder ? -1 : 0;
    return -1;
  }

  *backupNo = im.backupNo;
  ILOG(1, "SUCCESS, returning new backup_no %ld for grandclient %s.\n", im.backupNo, im.clientName.c_str());
  if (im.mode == MODE_DR_START) {
    PgResultPtr u(pgQuery("UPDATE operation_status SET status = 'done' WHERE operation_id = %ld", im.operationId));
    if (ok(u))
      ILOG(1, "updated operation_status id %ld as done.\n", im.operationId);
    else
      ILOG(0, "Failed to update operation_status id %ld as done.\n", im.operationId);
  }
  return 0;
}
