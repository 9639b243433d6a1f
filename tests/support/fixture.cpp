// fixture.cpp: catalogue fixture rows (see fixture.h).
#include "support/fixture.h"

#include "lib/pghelper.h"
#include "queue/progress.h"

namespace rpd::test {

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

long QueueCatalogue::addNode(const std::string &name) {
  return number("INSERT INTO vx.nodes (node_name) VALUES ('" + name + "') RETURNING node_no");
}

long QueueCatalogue::addInstance(long nodeNo, long appId, const std::string &key1) {
  std::string k = key1.empty() ? "NULL" : "'" + key1 + "'";
  return number("INSERT INTO vx.application_instances (app_id, node_no, key1) VALUES (" +
                std::to_string(appId) + ", " + std::to_string(nodeNo) + ", " + k +
                ") RETURNING instance_id");
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

}  // namespace rpd::test
