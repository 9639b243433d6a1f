// fixture.cpp: catalogue fixture rows (see fixture.h).
#include "support/fixture.h"

#include <sys/stat.h>

#include "lib/config.h"
#include "lib/pghelper.h"
#include "queue/progress.h"

namespace rpd::test {

namespace {

std::string sqlText(const std::string &s) {
  if (s.empty()) return "NULL";
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string orNull(long v) { return v == 0 ? "NULL" : std::to_string(v); }

}  // namespace

long addNode(ScopedTestDatabase &db, const NodeRow &n) {
  return (long)db.number(
      "INSERT INTO vx.nodes (node_name, gcname, properties, type, os, options, generic_property, system_id) "
      "VALUES (" + sqlText(n.name) + ", " + sqlText(n.gcname) + ", " + std::to_string(n.properties) + ", " +
      std::to_string(n.type) + ", " + std::to_string(n.os) + ", " + std::to_string(n.options) + ", " +
      std::to_string(n.generic) + ", " + orNull(n.systemId) + ") RETURNING node_no");
}

long addInstance(ScopedTestDatabase &db, long node, long appId, const std::string &identity,
                 const std::vector<std::string> &keys) {
  std::string k[4];
  for (size_t i = 0; i < keys.size() && i < 4; i++) k[i] = keys[i];
  db.exec("INSERT INTO vx.node_applications (node_no, app_id) VALUES (" + std::to_string(node) + ", " +
          std::to_string(appId) + ") ON CONFLICT DO NOTHING");
  return (long)db.number("INSERT INTO vx.application_instances (node_no, app_id, identity, key1, key2, key3, key4) "
                         "VALUES (" + std::to_string(node) + ", " + std::to_string(appId) + ", " + sqlText(identity) +
                         ", " + sqlText(k[0]) + ", " + sqlText(k[1]) + ", " + sqlText(k[2]) + ", " + sqlText(k[3]) +
                         ") RETURNING instance_id");
}

long addBackup(ScopedTestDatabase &db, const BackupRow &b) {
  return (long)db.number(
      "INSERT INTO vx.backups (node_no, instance_id, properties, type, start_time, total_megs, verify_after, "
      "is_verified, x_command_short, status, tape_no) VALUES (" + std::to_string(b.node) + ", " +
      orNull(b.instance) + ", " + std::to_string(b.properties) + ", " + std::to_string(b.type) + ", " +
      std::to_string(b.startTime) + ", " + std::to_string(b.totalMegs) + ", " + std::to_string(b.verifyAfter) +
      ", " + (b.verified ? "true" : "false") + ", " + sqlText(b.command) + ", " + std::to_string(b.status) + ", " +
      std::to_string(b.tape) + ") RETURNING backup_no");
}

std::string installId(ScopedTestDatabase &db) { return db.value("SELECT install_id FROM vx.state"); }

long addDevice(ScopedTestDatabase &db, long tapeNo, bool scsi, bool deleted) {
  return (long)db.number("INSERT INTO vx.devices (dev_name, tape_no, is_scsi, is_deleted) VALUES ('disk" +
                         std::to_string(tapeNo) + "', " + std::to_string(tapeNo) + ", " +
                         (scsi ? "true" : "false") + ", " + (deleted ? "true" : "false") +
                         ") RETURNING device_no");
}

long permitSource(ScopedTestDatabase &db, const std::string &name, const std::string &identity, long device) {
  return (long)db.number("INSERT INTO vx.systems (name, identity, role, device_no) VALUES (" + sqlText(name) + ", " +
                         sqlText(identity) + ", 'Replication Source', " + orNull(device) +
                         ") RETURNING system_id");
}


void QueueCatalogue::SetUp() {
  node_ = addNode("client1");
  instance_ = addInstance(node_);
}

void QueueCatalogue::TearDown() {
  // Both the helper's and the progress connection point at this test's
  // database, which is dropped after the test.
  closeProgressConnection();
  pgCloseAll();
}

long QueueCatalogue::addNode(const std::string &name) { return rpd::test::addNode(db_, {.name = name}); }

long QueueCatalogue::addInstance(long nodeNo, long appId, const std::string &key1) {
  return rpd::test::addInstance(db_, nodeNo, appId, "", {key1});
}

long QueueCatalogue::addBackup(const BackupSpec &s, long backupNo) {
  long instance = s.instanceId ? s.instanceId : instance_;
  long node = number("SELECT node_no FROM vx.application_instances WHERE instance_id = " +
                     std::to_string(instance));
  std::string no = backupNo ? std::to_string(backupNo) : "DEFAULT";
  long b = number(
      "INSERT INTO vx.backups (backup_no, type, status, properties, start_time, tape_no, "
      "node_no, instance_id, sync_status, exit_code) VALUES (" +
      no + ", " + std::to_string(s.type) + ", " + std::to_string(s.status) + ", " +
      std::to_string(s.properties) + ", 0, " + std::to_string(s.tapeNo) + ", " +
      std::to_string(node) + ", " + std::to_string(instance) + ", " +
      std::to_string(s.syncStatus) + ", " + std::to_string(s.exitCode) + ") RETURNING backup_no");
  long start = s.startTime ? s.startTime : 1000 * b;
  exec("UPDATE vx.backups SET start_time = " + std::to_string(start) +
       " WHERE backup_no = " + std::to_string(b));
  return b;
}

void QueueCatalogue::addEntry(long backupNo, const std::string &vault, int status) {
  exec("INSERT INTO vx.replication_queue (backup_no, vault, status) VALUES (" +
       std::to_string(backupNo) + ", '" + vault + "', " + std::to_string(status) + ")");
}

std::string QueueCatalogue::queueOf(const std::string &vault) {
  std::string out;
  for (auto &r : rows("SELECT backup_no, status FROM vx.replication_queue WHERE vault = '" +
                      vault + "' ORDER BY position")) {
    if (!out.empty()) out += " ";
    out += r[0] + ":" + r[1];
  }
  return out;
}

void DeviceCatalogue::SetUp() {
  QueueCatalogue::SetUp();
  savedSettings_ = g_settings;
  savedBindir_ = g_bindir;
  bindir_ = sandbox_.mkdirs("bin");
  snprintf(g_bindir, sizeof g_bindir, "%s", bindir_.c_str());
  device_ = sandbox_.mkdirs("dev/dedup0");
  exec("INSERT INTO vx.devices (dev_name, dev_rw_name) VALUES ('dedup0', '" + device_ + "')");
}

void DeviceCatalogue::TearDown() {
  g_settings = savedSettings_;
  snprintf(g_bindir, sizeof g_bindir, "%s", savedBindir_.c_str());
  QueueCatalogue::TearDown();
}

long DeviceCatalogue::addBackupOnDevice(const BackupSpec &backup) {
  long b = addBackup(backup);
  long fs = number("INSERT INTO vx.filesets (backup_no, tape_drive_name) VALUES (" + std::to_string(b) +
                   ", 'dedup0') RETURNING fileset_no");
  exec("UPDATE vx.backups SET fileset_no = " + std::to_string(fs) + " WHERE backup_no = " + std::to_string(b));
  return b;
}

void DeviceCatalogue::writeCommand(const std::string &name, const std::string &body) {
  std::string path =
      sandbox_.write("bin/" + name, "#!/bin/sh\nDEVICE='" + device_ + "'\nBIN='" + bindir_ + "'\n" + body + "\n");
  chmod(path.c_str(), 0755);
}

long DeviceCatalogue::syncOf(long b) {
  return number("SELECT sync_status FROM vx.backups WHERE backup_no = " + std::to_string(b));
}

void DeviceCatalogue::setSync(long b, long sync) {
  exec("UPDATE vx.backups SET sync_status = " + std::to_string(sync) + " WHERE backup_no = " + std::to_string(b));
}

}  // namespace rpd::test
