// schema_test.cpp: the catalogue schema against the statements the system
// runs on it. Each group runs the statements of one area with sample values
// on a fresh clone of the catalogue and checks that they run and return what
// their callers read. Statements whose values the catalogue helper sends as
// parameters run here the same way (PQexecParams, types inferred by the
// server), so a column type that cannot take such a value shows up here.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue.h"

namespace rpd::test {
namespace {

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...) {
  char buf[8192];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  EXPECT_TRUE(n >= 0 && n < (int)sizeof buf);
  return buf;
}

// A column of a result as one text, cells joined by ",", NULL as "<null>".
std::string column(const std::vector<std::vector<std::string>> &rows, size_t c = 0) {
  std::string out;
  for (const auto &r : rows) out += (out.empty() ? "" : ",") + (c < r.size() ? r[c] : "?");
  return out;
}

const char kStrictFilter[] =
    " (properties & 32) = 0 AND (properties & 1) = 0 AND tape_no != 4294967295 AND "
    "(status & 64) > 0 AND (status & 36888) = 0";
const char kBaseFilter[] =
    " (properties & 32) = 0 AND (properties & 1) = 0 AND tape_no != 4294967295 AND "
    "(status & 64) > 0";

class Schema : public ::testing::Test {
 protected:
  // Runs a statement that must succeed; the rows as text.
  std::vector<std::vector<std::string>> run(const std::string &sql) { return db_.rows(sql); }
  // Runs a statement with its values as parameters of unspecified type, as
  // the catalogue helper does; the statement must succeed.
  std::vector<std::vector<std::string>> param(const std::string &sql,
                                              const std::vector<std::string> &values) {
    SqlResult r = params(sql, values);
    EXPECT_TRUE(r.ok()) << sql << "\n  " << r.error();
    std::vector<std::vector<std::string>> out;
    for (int i = 0; i < r.rows(); i++) {
      std::vector<std::string> row;
      for (int j = 0; j < r.columns(); j++) row.push_back(r.text(i, j));
      out.push_back(row);
    }
    return out;
  }
  SqlResult params(const std::string &sql, const std::vector<std::string> &values) {
    std::vector<const char *> v;
    for (const auto &s : values) v.push_back(s.c_str());
    return SqlResult(PQexecParams(db_.connection(), sql.c_str(), (int)v.size(), nullptr, v.data(),
                                  nullptr, nullptr, 0));
  }
  long long number(const std::string &sql) { return db_.number(sql); }
  std::string value(const std::string &sql) { return db_.value(sql); }

  long addNode(const std::string &name, long properties = 0, const std::string &gcname = "") {
    return number(fmt("INSERT INTO vx.nodes (node_name, gcname, properties) VALUES ('%s', %s, %ld) "
                      "RETURNING node_no",
                      name.c_str(), gcname.empty() ? "NULL" : ("'" + gcname + "'").c_str(),
                      properties));
  }
  long addInstance(long node, long app = 1, const std::string &identity = "") {
    return number(fmt("INSERT INTO vx.application_instances (node_no, app_id, identity) VALUES "
                      "(%ld, %ld, %s) RETURNING instance_id",
                      node, app, identity.empty() ? "NULL" : ("'" + identity + "'").c_str()));
  }
  struct B {
    long node, instance, type = 1, status = 0xC40, start = 0, properties = 0x1000, tape = 1,
                         sync = 0, exitCode = 0;
  };
  // A backup numbered `no`, starting at 100 * no unless given.
  long addBackup(long no, const B &b) {
    run(fmt("INSERT INTO vx.backups (backup_no, node_no, instance_id, type, status, start_time, "
            "properties, tape_no, sync_status, exit_code, total_megs) VALUES (%ld, %ld, %ld, %ld, "
            "%ld, %ld, %ld, %ld, %ld, %ld, 3)",
            no, b.node, b.instance, b.type, b.status, b.start ? b.start : 100 * no, b.properties,
            b.tape, b.sync, b.exitCode));
    return no;
  }
  std::string group(long backup, const char *types, const char *filter) {
    return column(run(fmt("SELECT * FROM vx.vxGetRestoreGroupOptimized(%ld, '{%s}','%s')", backup,
                          types, filter)));
  }

  ScopedTestDatabase db_;
};

// ---- queue table, refresh and sync bits ----------------------------------

TEST_F(Schema, QueueTableStatementsKeepOrderStateAndCascade) {
  long n = addNode("client1");
  long i1 = addInstance(n), i2 = addInstance(n, 4);
  addBackup(10, {n, i1});
  addBackup(11, {n, i1, 3});
  addBackup(12, {n, i2, 12});
  addBackup(13, {n, i2, 14, 0xC40, 0, 0, -1});

  for (long b : {10, 11, 12, 13}) {
    run(fmt("UPDATE backups SET sync_status=%d WHERE backup_no=%lu AND sync_status != %d", 1, b, 1));
    run(fmt("INSERT INTO %s (backup_no, vault, status) VALUES (%lu,'%s',%d)",
            "vx.replication_queue", b, "vaultA", 1));
  }
  EXPECT_EQ(number("SELECT count(*) FROM vx.backups WHERE sync_status = 1"), 4);
  EXPECT_EQ(value(fmt("SELECT status FROM %s WHERE backup_no = %lu AND vault = '%s'",
                      "vx.replication_queue", 11L, "vaultA")),
            "1");
  EXPECT_EQ(value(fmt("SELECT status FROM vx.replication_queue WHERE backup_no=%lu", 12L)), "1");

  // takeNext: lowest position first, one active backup per instance, the
  // purged backup never; rep_start takes the time.
  const std::string take = fmt(
      "SELECT q.backup_no,q.vault FROM vx.replication_queue q JOIN vx.backups b ON "
      "(q.backup_no=b.backup_no) WHERE q.status= %d AND b.tape_no!= %d AND b.instance_id NOT IN "
      "(SELECT b.instance_id FROM vx.replication_queue q JOIN vx.backups b ON "
      "(q.backup_no=b.backup_no) WHERE (q.status & %d) != 0) ORDER BY position LIMIT 1",
      1, -1, 208);
  EXPECT_EQ(column(run(take)), "10");
  run(fmt("UPDATE %s SET status = %d, rep_start = %lu WHERE backup_no = %ld AND vault = '%s'",
          "vx.replication_queue", 16, 1700000000UL, 10L, "vaultA"));
  EXPECT_EQ(value("SELECT rep_start FROM vx.replication_queue WHERE backup_no = 10"), "1700000000");
  EXPECT_EQ(column(run(take)), "12");
  run("UPDATE vx.replication_queue SET status = 128 WHERE backup_no = 12");
  EXPECT_EQ(column(run(take)), "");  // both instances busy or paused

  // swap exchanges positions; peek and the cleanup list follow positions.
  run(fmt("UPDATE %s  SET position = CASE backup_no  WHEN %lu THEN  CASE vault  WHEN '%s' THEN  "
          "(SELECT position FROM %s WHERE backup_no = %lu AND vault = '%s')  ELSE position  END  "
          "WHEN %lu THEN  CASE vault  WHEN '%s' THEN  (SELECT position FROM %s WHERE backup_no = "
          "%lu AND vault = '%s')  ELSE position  END  END  WHERE backup_no IN (%lu,%lu)",
          "vx.replication_queue", 11L, "vaultA", "vx.replication_queue", 13L, "vaultA", 13L,
          "vaultA", "vx.replication_queue", 11L, "vaultA", 11L, 13L));
  EXPECT_EQ(column(run("SELECT backup_no FROM vx.replication_queue ORDER BY position")),
            "10,13,12,11");
  EXPECT_EQ(value(fmt("SELECT backup_no FROM %s WHERE status = %d ORDER BY position LIMIT 1 OFFSET %d",
                      "vx.replication_queue", 1, 1)),
            "11");
  run(fmt("UPDATE %s SET status = %d WHERE backup_no = %lu AND vault = '%s' ",
          "vx.replication_queue", 32, 11L, "vaultA"));
  EXPECT_EQ(column(run(fmt("SELECT backup_no,vault FROM %s WHERE status = %d ORDER BY position LIMIT %u",
                           "vx.replication_queue", 32, 5U)),
                   1),
            "vaultA");
  run(fmt("UPDATE %s SET status = %d WHERE status = %d ", "vx.replication_queue", 1, 16));
  EXPECT_EQ(value("SELECT status FROM vx.replication_queue WHERE backup_no = 10"), "1");

  // repairOutOfOrder's statements, the delete without the schema prefix.
  run("UPDATE vx.replication_queue SET status = 2 WHERE backup_no = 11");
  EXPECT_EQ(column(run(fmt("SELECT start_time, instance_id FROM vx.backups WHERE backup_no=%lu", 10L)), 1),
            std::to_string(i1));
  EXPECT_EQ(column(run(fmt("SELECT q.backup_no FROM vx.replication_queue q JOIN vx.backups b ON "
                           "(q.backup_no=b.backup_no) WHERE b.instance_id=%lu AND b.start_time>%lu "
                           "AND q.status = %d",
                           i1, 1000UL, 2))),
            "11");
  EXPECT_EQ(column(run(fmt("SELECT q.backup_no FROM vx.replication_queue q JOIN vx.backups b ON "
                           "(q.backup_no=b.backup_no) WHERE b.instance_id=%lu AND b.start_time>%lu",
                           i1, 1000UL))),
            "11");
  run(fmt("DELETE FROM replication_queue WHERE backup_no=%lu", 11L));
  run(fmt("UPDATE vx.replication_queue SET status=%d WHERE backup_no=%lu", 1, 12L));
  EXPECT_EQ(value("SELECT status FROM vx.replication_queue WHERE backup_no = 12"), "1");

  // Deleting a backup removes its queue entries.
  run("DELETE FROM vx.backups WHERE backup_no = 13");
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue WHERE backup_no = 13"), 0);
  run(fmt("DELETE FROM %s WHERE backup_no = %lu AND vault = '%s' ", "vx.replication_queue", 12L,
          "vaultA"));
  EXPECT_EQ(column(run("SELECT backup_no FROM vx.replication_queue ORDER BY position")), "10");

  // The appliance ships the table, so creating it again fails; on a
  // catalogue without it the utility's statement makes it.
  const char create[] =
      "CREATE TABLE vx.replication_queue (backup_no BIGINT REFERENCES vx.backups (backup_no) ON "
      "DELETE CASCADE, vault TEXT, position SERIAL, status INTEGER)";
  EXPECT_FALSE(db_.tryExec(create).ok());
  run("DROP TABLE vx.replication_queue");
  run(create);
  run(fmt("INSERT INTO %s (backup_no, vault, status) VALUES (%lu,'%s',%d)", "vx.replication_queue",
          10L, "vaultB", 1));
  EXPECT_EQ(value("SELECT position FROM vx.replication_queue"), "1");

  // Sync bits (the statements of the worker, with the blank before WHERE
  // that PostgreSQL 15 needs after a number).
  run(fmt("UPDATE vx.backups SET sync_status = sync_status & ~%d WHERE (backup_no = %d)", 1, 10));
  run(fmt("UPDATE vx.backups SET sync_status = sync_status | %d WHERE (backup_no = %d)", 2, 10));
  EXPECT_EQ(value("SELECT sync_status FROM vx.backups WHERE backup_no = 10"), "2");
}

TEST_F(Schema, RefreshAndLbeStatementsSelectTheDocumentedBackups) {
  long n = addNode("client1");
  long i1 = addInstance(n), i2 = addInstance(n), i3 = addInstance(n);
  run(fmt("UPDATE vx.application_instances SET priority = 9 WHERE instance_id = %ld", i3));
  addBackup(20, {n, i1, 1, 0xC40, 0, 0x1000, 1, 1});
  addBackup(21, {n, i2, 1, 0xC40, 0, 0x1000, 1, 1});
  addBackup(22, {n, i2, 3, 0x200, 0, 0x800, 1, 1});  // in progress, bit 2048
  addBackup(23, {n, i1, 3, 0xC40, 0, 0x1000, 1, 3});  // both bits: not a candidate
  addBackup(24, {n, i3, 1, 0xC40, 0, 0x1000, 1, 2});
  addBackup(25, {n, i3, 3, 0xC40, 0, 0x1000, 1, 2});

  EXPECT_EQ(column(run(fmt(
                "SELECT b.backup_no FROM vx.backups b left join vx.replication_queue q ON "
                "(b.backup_no=q.backup_no) WHERE q.position IS NULL AND sync_status=%d AND "
                "instance_id NOT IN (SELECT DISTINCT instance_id FROM vx.backups WHERE "
                "(properties&%d)=%d AND (status&%d)=%d) ORDER BY backup_no ASC",
                1, 2048, 2048, 512, 512))),
            "20");
  run("INSERT INTO vx.replication_queue (backup_no, vault, status) VALUES (23, 'vaultA', 1)");
  EXPECT_EQ(column(run(fmt("SELECT q.backup_no FROM vx.replication_queue q JOIN vx.backups b ON "
                           "(q.backup_no=b.backup_no) WHERE q.backup_no>%ld AND q.vault = '%s' AND "
                           "b.instance_id=(SELECT instance_id FROM vx.backups WHERE backup_no=%ld)",
                           20L, "vaultA", 20L))),
            "23");

  EXPECT_EQ(column(run("SELECT instance_id FROM vx.application_instances ORDER BY priority DESC")).substr(0, std::to_string(i3).size()),
            std::to_string(i3));
  // Recency: the newest backup not in progress and older than the newest
  // in-progress one.
  EXPECT_EQ(column(run(fmt(
                "SELECT backup_no,sync_status FROM vx.backups WHERE CASE WHEN (SELECT start_time "
                "FROM vx.backups WHERE instance_id=%lu AND (status & %d )=%d ORDER BY start_time "
                "DESC LIMIT 1) IS NOT NULL THEN start_time<(SELECT start_time FROM vx.backups WHERE "
                "instance_id=%lu AND (status & %d )=%d ORDER BY start_time DESC LIMIT 1) ELSE TRUE "
                "END AND(status & %d )=0 AND instance_id=%lu  ORDER BY start_time DESC LIMIT 1",
                i2, 512, 512, i2, 512, 512, 512, i2))),
            "21");
  EXPECT_EQ(column(run(fmt(
                "SELECT backup_no FROM vx.backups WHERE instance_id=(SELECT instance_id FROM "
                "vx.backups WHERE backup_no=%ld) AND (properties & %d)=%d AND (status & %d )=%d AND "
                "(sync_status & %d)=%d AND start_time<=(SELECT start_time FROM vx.backups WHERE "
                "backup_no=%ld) ",
                22L, 2048, 2048, 512, 512, 1, 1, 22L))),
            "22");

  // Pruning for master 25's instance... with master 24: queued older
  // backups lose sync-needed, and waiting entries without it go.
  addBackup(19, {n, i3, 3, 0xC40, 50, 0x1000, 1, 1});
  run("INSERT INTO vx.replication_queue (backup_no, vault, status) VALUES (19, 'vaultA', 1)");
  run(fmt("UPDATE vx.backups SET sync_status=(sync_status & ~%d) WHERE backup_no IN ( SELECT "
          "q.backup_no FROM vx.replication_queue q JOIN vx.backups b ON (q.backup_no = "
          "b.backup_no) WHERE b.instance_id=(SELECT instance_id FROM vx.backups WHERE "
          "backup_no=%d) AND b.start_time<(SELECT start_time FROM vx.backups WHERE backup_no=%d) "
          "AND q.status=%d AND q.vault='%s' AND b.type != %d) OR backup_no IN ( SELECT backup_no "
          "FROM vx.backups b WHERE backup_no NOT IN (SELECT backup_no FROM vx.replication_queue) "
          "AND b.instance_id=(SELECT instance_id FROM vx.backups WHERE backup_no=%d) AND "
          "b.start_time<(SELECT start_time FROM vx.backups WHERE backup_no=%d) AND b.type = %d ) ",
          1, 24, 24, 1, "vaultA", 1024, 24, 24, 1024));
  EXPECT_EQ(value("SELECT sync_status FROM vx.backups WHERE backup_no = 19"), "0");
  run(fmt("DELETE FROM vx.replication_queue WHERE backup_no IN ( SELECT q.backup_no FROM "
          "vx.replication_queue q JOIN vx.backups b ON (q.backup_no = b.backup_no) WHERE "
          "b.instance_id=(SELECT instance_id FROM vx.backups WHERE backup_no=%d) AND "
          "b.start_time<(SELECT start_time FROM vx.backups WHERE backup_no=%d) AND q.status=%d AND "
          "q.vault='%s' AND b.sync_status!=%d)",
          24, 24, 1, "vaultA", 1));
  EXPECT_EQ(number("SELECT count(*) FROM vx.replication_queue WHERE backup_no = 19"), 0);

  // Local block elimination reference sets.
  EXPECT_EQ(column(run(fmt("SELECT backup_no FROM vx.backups WHERE sync_status=%u AND "
                           "instance_id=(SELECT instance_id FROM vx.backups WHERE backup_no=%lu) "
                           "AND type IN (%d,%d,%d,%d,%d) AND backup_no<%lu ORDER BY backup_no DESC "
                           "LIMIT 1 ",
                           2U, 25UL, 1, 5, 9, 12, 1031, 25UL))),
            "24");
  EXPECT_EQ(column(run(fmt("SELECT backup_no FROM vx.backups WHERE sync_status=%d AND "
                           "instance_id=(SELECT instance_id FROM vx.backups WHERE backup_no=%lu) "
                           "AND backup_no>=%lu AND backup_no<%lu ",
                           2, 25UL, 24UL, 26UL))),
            "24,25");
  EXPECT_EQ(column(run(fmt("SELECT backup_no FROM vx.backups WHERE sync_status=%d AND "
                           "instance_id=(SELECT instance_id FROM vx.backups WHERE backup_no=%lu) ",
                           2, 24UL))),
            "24,25");
  EXPECT_EQ(number(fmt("SELECT count(*) FROM (SELECT backup_no FROM vx.backups WHERE sync_status=%d ) s", 2)), 2);
  EXPECT_EQ(value(fmt("SELECT properties FROM vx.backups WHERE backup_no=%ld", 20L)), "4096");
  EXPECT_EQ(value(fmt("SELECT type FROM vx.backups WHERE backup_no = %lu ", 23UL)), "3");
}

// ---- worker, progress and statistics --------------------------------------

TEST_F(Schema, WorkerStatementsFindDeviceNamesStatisticsAndProgress) {
  long n = addNode("gc000001", 32, "realclient");
  long plain = addNode("client2");
  long i = addInstance(n, 4), j = addInstance(plain);
  addBackup(30, {n, i, 12, 0xC40, 0, 0x1000 | 0x400 | 0x100});
  addBackup(31, {plain, j, 1, 0x50});
  run("INSERT INTO vx.devices (device_no, dev_name, dev_rw_name, dev_nr_name, device_type, "
      "capacity, dedup) VALUES (4, 'd2d0', '/backups/rw', '/backups/d0', 128, 200000000, true)");
  run("INSERT INTO vx.filesets (fileset_no, backup_no, tape_drive_name) VALUES (40, 30, 'd2d0')");
  run("UPDATE vx.backups SET fileset_no = 40 WHERE backup_no = 30");

  EXPECT_EQ(value(fmt("SELECT device_no FROM vx.devices WHERE dev_name=(SELECT tape_drive_name FROM "
                      "vx.filesets  WHERE fileset_no=(SELECT fileset_no FROM vx.backups WHERE "
                      "backup_no=%ld))",
                      30L)),
            "4");
  EXPECT_EQ(value(fmt("SELECT dev_rw_name FROM vx.devices WHERE dev_name=(SELECT tape_drive_name "
                      "FROM vx.filesets  WHERE fileset_no=(SELECT fileset_no FROM vx.backups WHERE "
                      "backup_no=%ld))",
                      30L)),
            "/backups/rw");
  EXPECT_EQ(value(fmt("SELECT status FROM vx.backups WHERE backup_no=%ld", 31L)), "80");
  EXPECT_EQ(value(fmt("SELECT tape_no FROM vx.backups WHERE backup_no=%ld", 31L)), "1");
  EXPECT_EQ(value(fmt("SELECT backup_no FROM vx.backups WHERE ((properties & %d)!=0) AND backup_no=%ld",
                      1536, 30L)),
            "30");
  EXPECT_EQ(value(fmt("SELECT (properties & %lu) > 0 AS encrypted FROM backups WHERE backup_no = %d",
                      256UL, 30)),
            "t");
  EXPECT_EQ(value(fmt("SELECT status, properties FROM vx.backups WHERE backup_no=%ld", 30L)), "3136");
  auto names = run(fmt("SELECT b.type AS btype, al.type AS atype FROM vx.backups b INNER JOIN "
                       "vx.application_instances ai USING (instance_id) INNER JOIN "
                       "vx.application_lookup al USING (app_id) WHERE backup_no=%ld",
                       30L));
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0][1], "VMware");
  // The client name of a grandclient is its real name.
  const char client[] =
      "SELECT CASE WHEN (properties & %d)=0 THEN node_name ELSE gcname END AS client_name FROM "
      "vx.nodes WHERE node_no=(SELECT node_no FROM vx.backups WHERE backup_no=%ld)";
  EXPECT_EQ(value(fmt(client, 32, 30L)), "realclient");
  EXPECT_EQ(value(fmt(client, 32, 31L)), "client2");

  // Statistics: the summary function and the statistics row.
  EXPECT_EQ(value(fmt("SELECT update_summary_charts('replication', %llu, %lu, %lu, %lu)",
                      3ULL * 1048576, 1000UL, 2UL, 5UL)),
            "1");
  run(fmt("INSERT INTO vx.sds_stats (client_name,  backup_no,  sync_type, presync_seconds, "
          "sync_seconds, postsync_seconds, done_epoch, bytes_on_qru, bytes_syncd, bytes_on_qrv, "
          "message, destination)  VALUES ((SELECT CASE WHEN (properties & %d)=0 THEN node_name "
          "ELSE gcname END AS client_name FROM vx.nodes where node_no=(SELECT node_no FROM "
          "vx.backups WHERE  backup_no=%ld)), %ld, (SELECT type_id FROM vx.sync_type WHERE "
          "type_name='%s'), %lu, %lu, %lu, %lu, (SELECT total_megs FROM vx.backups WHERE "
          "backup_no=%ld)*1048576, %lu, (SELECT total_megs FROM vx.backups WHERE "
          "backup_no=%ld)*1048576, $$%s$$, '%s')",
          32, 30L, 30L, "replication", 2UL, 5UL, 1UL, 1700000000UL, 30L, 1000UL, 30L,
          "Success: it's done", "vaultA"));
  auto stat = run("SELECT client_name, sync_type, bytes_on_qru, bytes_syncd, message, destination "
                  "FROM vx.sds_stats");
  ASSERT_EQ(stat.size(), 1u);
  EXPECT_EQ(stat[0], (std::vector<std::string>{"realclient", "1", "3145728", "1000",
                                               "Success: it's done", "vaultA"}));

  // Size estimates read the backup's files.
  run("INSERT INTO vx.backup_files (backup_no, size, blk_offset) VALUES (30, 100, 0), "
      "(30, 9000, 1536), (30, 50000, 11264)");
  EXPECT_EQ(value(fmt("SELECT count(*) FROM vx.backup_files WHERE (backup_no = %lu)", 30UL)), "3");
  EXPECT_EQ(value(fmt("SELECT sum(size) FROM vx.backup_files WHERE (backup_no = %lu and size<%d)",
                      30UL, 7681)),
            "100");
  EXPECT_EQ(value(fmt("SELECT sum(size) FROM vx.backup_files WHERE (backup_no = %lu and size>=%d)",
                      30UL, 7681)),
            "59000");
  auto sizes = run(fmt("SELECT properties, type, total_megs from vx.backups WHERE (backup_no = %lu)", 30UL));
  ASSERT_EQ(sizes.size(), 1u);
  EXPECT_EQ(sizes[0][2], "3");

  // Progress rows: insert, update in place, delete own and stale rows.
  const char update[] =
      "UPDATE vx.operation_progress SET current_size = %ld, snapshot_time = %ld WHERE ( "
      "start_time = %ld AND final_size = %lu AND backup_no = %ld AND backup_type = '%s' AND "
      "on_behalf_of = '%s' AND source = '%s' AND destination = '%s' AND name_id = (SELECT "
      "name_id FROM vx.operation_names  WHERE name_value = '%s') )";
  EXPECT_EQ(db_.exec(fmt(update, 1L, 1000L, 900L, 3UL, 30L, "ESX VM Full", "realclient", "app1",
                         "vaultA", "replicate"))
                .get() != nullptr,
            true);
  EXPECT_EQ(number("SELECT count(*) FROM vx.operation_progress"), 0);
  const char insert[] =
      "INSERT INTO vx.operation_progress ( name_id, start_time, snapshot_time, final_size, "
      "current_size, pid_to_kill, on_behalf_of, source, destination, backup_no, backup_type ) "
      "VALUES ( (SELECT name_id FROM vx.operation_names  WHERE name_value = '%s'), %ld, %ld, %ld, "
      "%ld, %d, '%s', '%s', '%s', %ld, '%s' )";
  run(fmt(insert, "replicate", 900L, 1000L, 3L, 1L, 4321, "realclient", "app1", "vaultA", 30L,
          "ESX VM Full"));
  run(fmt(insert, "prepare", 100L, 100L, 3L, 0L, 999, "other", "app1", "vaultA", 31L, "Master"));
  SqlResult up = db_.exec(fmt(update, 2L, 1100L, 900L, 3UL, 30L, "ESX VM Full", "realclient", "app1",
                              "vaultA", "replicate"));
  EXPECT_STREQ(PQcmdTuples(up.get()), "1");
  EXPECT_EQ(value("SELECT name_id || ':' || current_size FROM vx.operation_progress WHERE backup_no = 30"),
            "7:2");
  run(fmt("DELETE FROM vx.operation_progress WHERE (( backup_no = %ld AND backup_type = '%s' AND "
          "on_behalf_of = '%s' AND source = '%s' AND destination = '%s' AND name_id = (SELECT "
          "name_id FROM vx.operation_names WHERE name_value = '%s') ) OR ( snapshot_time < %ld ))",
          30L, "ESX VM Full", "realclient", "app1", "vaultA", "replicate", 1000L - 3600 + 3600));
  EXPECT_EQ(number("SELECT count(*) FROM vx.operation_progress"), 0);

  // createtypes on an appliance without the replication names.
  run("DELETE FROM vx.operation_names WHERE name_id BETWEEN 6 AND 9");
  std::string types;
  const std::pair<int, const char *> names4[] = {{6, "prepare"}, {7, "replicate"}, {8, "wait"}, {9, "rebuild"}};
  for (auto &[id, name] : names4) types += fmt("INSERT INTO vx.operation_names VALUES (%d,'%s');", id, name);
  run(types);
  EXPECT_EQ(value("SELECT string_agg(name_value, ',' ORDER BY name_id) FROM vx.operation_names "
                  "WHERE name_id > 5"),
            "prepare,replicate,wait,rebuild");
  EXPECT_FALSE(db_.tryExec(types).ok());  // names are keys
}

// ---- deduplication index ---------------------------------------------------

TEST_F(Schema, DedupIndexStatementsReturnTheLayoutsReadersDecode) {
  long n = addNode("c");
  long i = addInstance(n);
  addBackup(50, {n, i});
  addBackup(51, {n, i, 3});
  std::string h1(64, '\x11'), h2(64, '\x22');
  run("INSERT INTO vx.hash_values (hash_id, hash_type, hashed_length, hash_value, sis_offset, "
      "compressed_length) VALUES (7, 'sha512', 65536, decode(repeat('11', 64), 'hex'), 4096, 1000), "
      "(8, 'sha512', 4096, decode(repeat('22', 64), 'hex'), NULL, NULL)");
  run("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id, deduplicated) VALUES "
      "(50, 0, 7, NULL), (50, 65536, 8, true), (50, 69632, 7, true), (50, 135168, NULL, NULL), "
      "(51, 0, 7, NULL)");
  run("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id, hash_incomplete) VALUES "
      "(50, 200000, 8, true)");

  EXPECT_EQ(value(fmt("SELECT column_name FROM information_schema.columns WHERE table_schema = "
                      "lower('%s') AND table_name = lower('%s') AND column_name = lower('%s')",
                      "vx", "hash_values", "compressed_length")),
            "compressed_length");
  auto types = run(
      "SELECT column_name, data_type FROM information_schema.columns WHERE (table_schema = 'vx') "
      "AND (table_name = 'hash_values') AND (column_name IN ( SELECT 'hash_type' UNION ALL SELECT "
      "'hashed_length' UNION ALL SELECT 'hash_value' UNION ALL SELECT 'sis_offset')) ORDER BY 1");
  ASSERT_EQ(types.size(), 4u);
  EXPECT_EQ(types[0][1], "text");    // hash_type
  EXPECT_EQ(types[1][1], "bytea");   // hash_value
  EXPECT_EQ(types[2][1], "bigint");  // hashed_length
  EXPECT_EQ(types[3][1], "bigint");  // sis_offset

  // The hash list cursor, in file order and distinct, with an exclusion.
  run("BEGIN");
  run(fmt("DECLARE %s SCROLL CURSOR WITH HOLD for SELECT * FROM vx.backups_hash_values WHERE "
          "(backup_no=%lu) AND (hash_incomplete='f') AND hash_id IS NOT NULL order by file_offset",
          "metaLeft1", 50UL));
  run(fmt("DECLARE %s SCROLL CURSOR WITH HOLD for SELECT DISTINCT ON (hash_id) * FROM "
          "vx.backups_hash_values WHERE (backup_no=%lu) AND (hash_incomplete='f') AND hash_id NOT IN "
          "(SELECT hash_id FROM vx.backups_hash_values WHERE backup_no=%lu) AND hash_id IS NOT NULL "
          "order by hash_id",
          "metaLeft2", 50UL, 51UL));
  run("COMMIT");
  auto first = run(fmt("FETCH FORWARD %lu FROM %s", 2UL, "metaLeft1"));
  auto rest = run(fmt("FETCH FORWARD %lu FROM %s", 5UL, "metaLeft1"));
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(column(first, 1) + "|" + column(rest, 1), "0,65536|69632");
  EXPECT_EQ(column(run("FETCH FORWARD 5 FROM metaLeft2"), 2), "8");
  run("CLOSE metaLeft1");
  run("CLOSE metaLeft2");
  EXPECT_EQ(value(fmt("SELECT count(hash_id) FROM vx.backups_hash_values WHERE backup_no=%ld", 50L)), "4");
  EXPECT_EQ(value(fmt("SELECT count(distinct hash_id) FROM vx.backups_hash_values WHERE backup_no=%ld", 50L)), "2");

  // Hash details by ID and by value, with binary results: 8-byte big-endian
  // integers and the raw hash bytes.
  std::string sql = fmt("SELECT hash_id, hashed_length, sis_offset, hash_type, hash_value%s FROM "
                        "vx.hash_values WHERE (hash_id = %lu)",
                        ", compressed_length", 8UL) +
                    "\nUNION ALL\n" +
                    fmt("SELECT hash_id, hashed_length, sis_offset, hash_type, hash_value%s FROM "
                        "vx.hash_values WHERE (hash_type = '%s') AND (hashed_length = %lu) AND "
                        "(hash_value = $%d::%s)",
                        ", compressed_length", "sha512", 65536UL, 1, "bytea");
  const char *vals[] = {h1.data()};
  int lens[] = {(int)h1.size()};
  int fmts[] = {1};
  SqlResult r(PQexecParams(db_.connection(), sql.c_str(), 1, nullptr, vals, lens, fmts, 1));
  ASSERT_TRUE(r.ok()) << r.error();
  ASSERT_EQ(r.rows(), 2);
  auto be64 = [&](int row, int col) {
    EXPECT_EQ(PQgetlength(r.get(), row, col), 8);
    unsigned long long v = 0;
    for (int k = 0; k < 8; k++) v = v << 8 | (unsigned char)PQgetvalue(r.get(), row, col)[k];
    return v;
  };
  EXPECT_EQ(be64(0, 0), 8u);
  EXPECT_TRUE(PQgetisnull(r.get(), 0, 2));  // data not in the SIS
  EXPECT_EQ(be64(1, 0), 7u);
  EXPECT_EQ(be64(1, 1), 65536u);
  EXPECT_EQ(be64(1, 2), 4096u);
  EXPECT_EQ(be64(1, 5), 1000u);
  EXPECT_EQ(std::string(PQgetvalue(r.get(), 1, 3), PQgetlength(r.get(), 1, 3)), "sha512");
  EXPECT_EQ(std::string(PQgetvalue(r.get(), 1, 4), PQgetlength(r.get(), 1, 4)), h1);
  (void)h2;

  // Block reading: candidates holding the data, then the devices.
  run("BEGIN");
  run(fmt("DECLARE candidates CURSOR FOR SELECT backup_no, file_offset FROM vx.backups_hash_values "
          "WHERE (backup_no = %ld) AND (hash_id = %ld) AND (deduplicated IS NULL) AND "
          "(hash_incomplete = FALSE) UNION ALL (SELECT backup_no, file_offset FROM "
          "vx.backups_hash_values WHERE (deduplicated IS NULL) AND (hash_incomplete = FALSE) AND "
          "(hash_id = %ld) ORDER BY backup_no DESC)",
          50L, 7L, 7L));
  EXPECT_EQ(column(run("FETCH ALL FROM candidates")), "50,51,50");
  run("COMMIT");
  run("INSERT INTO vx.devices (device_no, dev_name, dev_nr_name, device_type, capacity, dedup, "
      "is_deleted) VALUES (1, 'd2d0', '/b/d0/', 128, 268435456, true, false), "
      "(2, 'd2d1', '/b/d0long', 128, 1000, true, false), (3, 'tape', '/dev/st0', 1, 0, false, false), "
      "(4, 'sctape', '/x', 128, 1, false, false)");
  EXPECT_EQ(column(run(fmt("SELECT dev_nr_name FROM vx.devices WHERE (device_type = %d) ORDER BY "
                           "octet_length(dev_nr_name) ASC",
                           128))),
            "/x,/b/d0/,/b/d0long");
  auto sis = run(fmt("SELECT dev_nr_name, is_deleted, capacity FROM vx.devices WHERE (device_type = "
                     "%d) AND (dedup = TRUE) ORDER BY octet_length(dev_nr_name)",
                     128));
  ASSERT_EQ(sis.size(), 2u);
  EXPECT_EQ(sis[0], (std::vector<std::string>{"/b/d0/", "f", "268435456"}));
  EXPECT_EQ(value(fmt("SELECT device_no FROM devices WHERE device_no = %d AND dev_name <> 'sctape'", 4)), "");
  EXPECT_EQ(column(run(fmt("SELECT dev_name, capacity FROM devices WHERE device_no = %d", 1)), 1), "268435456");
  EXPECT_EQ(value(fmt("SELECT properties FROM vx.backups WHERE (backup_no = %lu)", 50UL)), "4096");

  // The reduplicating reader's neighbourhood query and file headers.
  EXPECT_EQ(column(run(fmt(
                "(SELECT hash_id, file_offset FROM vx.backups_hash_values WHERE (backup_no = %ld) "
                "AND (hash_id IS NOT NULL) AND (deduplicated IS NOT NULL) AND (file_offset < %lu) "
                "ORDER BY file_offset DESC LIMIT 1)\nUNION ALL\n(SELECT hash_id, file_offset FROM "
                "vx.backups_hash_values WHERE (backup_no = %ld) AND (hash_id IS NOT NULL) AND "
                "(deduplicated IS NOT NULL) AND (file_offset >= %lu) ORDER BY file_offset LIMIT %d)",
                50L, 69000UL, 50L, 69000UL, 4)),
                   1),
            "65536,69632");
  run("INSERT INTO vx.backup_files (backup_no, size, blk_offset) VALUES (50, 10, 0), (50, 10, 1024)");
  EXPECT_EQ(value(fmt("SELECT blk_offset FROM vx.backup_files WHERE (backup_no = %lu) AND (blk_offset "
                      "<= %lu) AND (blk_offset >= 0) ORDER BY blk_offset DESC LIMIT 1",
                      50UL, 5000UL)),
            "1024");
  EXPECT_EQ(value(fmt("SELECT type FROM vx.backups WHERE (backup_no = %lu)", 51UL)), "3");
}

// ---- replication metadata ----------------------------------------------------

TEST_F(Schema, MetadataExportStatementsReadTheBackupsRecords) {
  const std::string installId = value("SELECT install_id FROM vx.state");
  ASSERT_EQ(installId.size(), 36u);
  long n = addNode("client1", 0xFF);
  long fl = addInstance(n);
  long vm = addInstance(n, 4);
  run(fmt("UPDATE vx.application_instances SET key1 = 'vm-1' WHERE instance_id = %ld", vm));
  addBackup(60, {n, vm, 12, 0xC40, 1700000000, 0x2001F880});
  run("UPDATE vx.backups SET x_command_short = 'backup vm-1', is_verified = true WHERE backup_no = 60");
  run("INSERT INTO vx.backup_snapshots VALUES (60, 1699999999)");
  run("INSERT INTO vx.vmware_snapshots VALUES (60, '52 aa')");
  run("INSERT INTO vx.vmware_hardware_hashes VALUES (60, 'hw1')");
  run(fmt("INSERT INTO vx.application_properties VALUES (%ld, 'host', 'esx1')", vm));
  run(fmt("INSERT INTO vx.ndmp_nas (node_no, vendor) VALUES (%ld, 'netapp')", n));
  run(fmt("INSERT INTO vx.sql_backups VALUES (60, %ld, 2, 'SRV', 'db', 3, -4)", n));

  auto b = param("SELECT node_no, instance_id, b.properties, system_id FROM backups b JOIN nodes "
                 "USING(node_no) WHERE backup_no = $1 AND tape_no != $2",
                 {"60", "4294967295"});
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0][1], std::to_string(vm));
  EXPECT_EQ(b[0][3], "");  // made here: no source system
  auto sys = run("SELECT name, install_id AS appl_uuid FROM systems, state WHERE is_local_system = true");
  ASSERT_EQ(sys.size(), 1u);
  EXPECT_EQ(sys[0][1], installId);
  EXPECT_EQ(run("SELECT name, install_id FROM systems, state WHERE is_local_system = true").size(), 1u);
  run("INSERT INTO systems (system_id, name, identity, role) VALUES (5, 'src', "
      "'0b6e2f3a-1111-4222-8333-944445555666', 'Replication Source')");
  EXPECT_EQ(column(param("SELECT name, identity AS appl_uuid FROM systems WHERE system_id = $1", {"5"}), 0), "src");

  auto node = param("SELECT node_name, gcname, type, os, options, properties, identity, "
                    "generic_property FROM nodes JOIN application_instances USING(node_no) WHERE "
                    "app_id = 1 AND node_no = $1",
                    {std::to_string(n)});
  ASSERT_EQ(node.size(), 1u);
  EXPECT_EQ(node[0][5], "255");
  // Identities are given once: the second update changes nothing.
  const char *ids[] = {"5d9c9d3e-0c77-4a55-9b1e-3f4c3c1f0a01", "6d9c9d3e-0c77-4a55-9b1e-3f4c3c1f0a02"};
  for (const char *id : ids)
    run(fmt("UPDATE application_instances SET identity = '%s' WHERE node_no = %ld AND app_id = 1 AND "
            "identity IS NULL",
            id, n));
  EXPECT_EQ(column(param("SELECT identity FROM application_instances WHERE node_no = $1 AND app_id = 1",
                         {std::to_string(n)})),
            ids[0]);
  run(fmt("UPDATE application_instances SET identity = '%s' WHERE instance_id = %ld AND identity IS NULL",
          ids[1], vm));
  EXPECT_EQ(column(param("SELECT identity FROM application_instances WHERE instance_id = $1",
                         {std::to_string(vm)})),
            ids[1]);
  (void)fl;

  auto app = param("SELECT app_id, key1, key2, key3, key4, type, identity FROM application_instances "
                   "JOIN application_lookup USING(app_id) WHERE instance_id = $1",
                   {std::to_string(vm)});
  ASSERT_EQ(app.size(), 1u);
  EXPECT_EQ(app[0][0] + "|" + app[0][1] + "|" + app[0][5], "4|vm-1|VMware");
  SqlResult props = db_.exec(fmt("SELECT * FROM application_properties WHERE instance_id=%ld", vm));
  EXPECT_EQ(props.text(0, "prop_key") + "=" + props.text(0, "prop_value"), "host=esx1");

  auto backup = param("SELECT properties, type, start_time, total_megs, verify_after, "
                      "is_verified::int, x_command_short, snapshot_time FROM backups LEFT OUTER "
                      "JOIN backup_snapshots USING(backup_no) WHERE backup_no = $1",
                      {"60"});
  ASSERT_EQ(backup.size(), 1u);
  EXPECT_EQ(backup[0], (std::vector<std::string>{"537000064", "12", "1700000000", "3", "0", "1",
                                                 "backup vm-1", "1699999999"}));
  EXPECT_EQ(column(param("SELECT change_id FROM vmware_snapshots WHERE backup_no = $1", {"60"})), "52 aa");
  EXPECT_EQ(column(param("SELECT hardware_hash FROM vmware_hardware_hashes WHERE backup_no = $1", {"60"})), "hw1");
  EXPECT_EQ(column(param("SELECT vendor FROM ndmp_nas WHERE node_no = $1 ", {std::to_string(n)})), "netapp");
  auto sql = param("SELECT server_instance_name, database_name, sql_type, group_file_order, "
                   "file_order_no FROM sql_backups WHERE sql_ref = $1",
                   {"60"});
  ASSERT_EQ(sql.size(), 1u);
  EXPECT_EQ(sql[0][4], "-4");

  // Identity of a backup, and back from a UBI on a receiving system.
  auto ubi = param("SELECT identity, start_time, type FROM backups JOIN application_instances "
                   "USING(instance_id) WHERE backup_no = $1",
                   {"60"});
  ASSERT_EQ(ubi.size(), 1u);
  EXPECT_EQ(ubi[0][0] + "_" + ubi[0][1] + "_" + ubi[0][2], std::string(ids[1]) + "_1700000000_12");
  run("UPDATE vx.backups SET properties = properties | 16384 WHERE backup_no = 60");
  EXPECT_EQ(column(param("SELECT backup_no FROM backups JOIN application_instances USING(instance_id) "
                         "WHERE LOWER(identity) = LOWER('" + std::string("6D9C9D3E-0C77-4A55-9B1E-3F4C3C1F0A02") +
                             "') AND type = $1 AND start_time = $2 AND (properties & $3) = $4 AND "
                             "(status & $5) = 0 AND tape_no != $6 ORDER BY backup_no DESC",
                         {"12", "1700000000", "16384", "16384", "36888", "4294967295"})),
            "60");
}

TEST_F(Schema, MetadataImportStatementsCreateTheReceivedBackup) {
  const char src[] = "0b6e2f3a-1111-4222-8333-944445555666";
  run(fmt("INSERT INTO systems (name, identity, role, device_no) VALUES ('src', '%s', "
          "'Replication Source', NULL)",
          src));
  run("INSERT INTO vx.devices (device_no, dev_name, tape_no, device_type) VALUES (3, 'd2d0', 77, 128)");
  run("INSERT INTO operation_status (subsystem, status, description) VALUES ('Disaster Recovery', "
      "'pending', 'Begin Disaster Recovery, initial system metadata restore')");

  EXPECT_NE(value(fmt("SELECT system_id FROM systems WHERE role = 'Replication Source' AND "
                      "LOWER(identity) = LOWER('%s')",
                      "0B6E2F3A-1111-4222-8333-944445555666")),
            "");
  EXPECT_EQ(value("SELECT install_id FROM state").size(), 36u);
  long op = number("SELECT operation_id FROM operation_status WHERE subsystem = 'Disaster Recovery' "
                   "AND status = 'pending' AND description = 'Begin Disaster Recovery, initial "
                   "system metadata restore'");
  EXPECT_GT(op, 0);
  EXPECT_EQ(value(fmt("SELECT device_no FROM systems WHERE role = 'Replication Source' AND "
                      "LOWER(identity) = LOWER('%s')",
                      src)),
            "<null>");
  EXPECT_EQ(column(param("SELECT is_scsi,is_deleted FROM devices WHERE device_no=$1", {"3"}), 1), "f");

  // A new grandclient.
  EXPECT_EQ(param("SELECT gcname, node_name, node_no, properties FROM nodes JOIN "
                  "application_instances USING(node_no) WHERE app_id = 1 AND LOWER(identity) = "
                  "LOWER($1)",
                  {"aa"}).size(),
            0u);
  EXPECT_EQ(run(fmt("SELECT node_no, node_name FROM nodes WHERE options=%d AND (properties & %d) = 0", 1, 32)).size(), 0u);
  long node = number("SELECT nextval('vx.nodes_node_no_seq') AS node_no");
  long gcn = number("SELECT nextval('vx.nodes_gclient_seq') AS gcn");
  EXPECT_EQ(gcn, 1);
  std::string gcName = fmt("gc%-.029lld", (long long)gcn);
  param("INSERT INTO nodes (node_no, node_name, type, os, properties, priority, status, vendor, "
        "last_master, last_master_start_time, last_incremental, last_incremental_start_time, "
        "last_selective, last_selective_start_time, last_baremetal, last_baremetal_start_time, "
        "features, fstatus, bm_media_test_date, options, gcname, system_id, generic_property) "
        "VALUES ($1, $2, $3, $4, $5, 500, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, $6, $7, $8, $9)",
        {std::to_string(node), gcName, "2", "3", "36", "0", "client1", "1", "0"});
  run(fmt("INSERT INTO node_applications (node_no, app_id) VALUES (%ld, 1)", node));
  run(fmt("INSERT INTO application_instances (node_no, app_id, identity) VALUES (%ld, 1, '%s')", node,
          "11111111-2222-4333-8444-555555555555"));
  param("UPDATE nodes SET gcname = $1, properties = $2 WHERE node_no = $3",
        {"client1-renamed", "36", std::to_string(node)});
  EXPECT_EQ(column(param("SELECT gcname, node_name, node_no, properties FROM nodes JOIN "
                         "application_instances USING(node_no) WHERE app_id = 1 AND LOWER(identity) "
                         "= LOWER($1)",
                         {"11111111-2222-4333-8444-555555555555"})),
            "client1-renamed");

  // Its application instance and properties.
  param("INSERT INTO node_applications (node_no, app_id) SELECT $1, $2 WHERE NOT EXISTS (SELECT "
        "node_no, app_id FROM node_applications WHERE node_no = $3 AND app_id = $4)",
        {std::to_string(node), "4", std::to_string(node), "4"});
  SqlResult again = params("INSERT INTO node_applications (node_no, app_id) SELECT $1, $2 WHERE NOT "
                           "EXISTS (SELECT node_no, app_id FROM node_applications WHERE node_no = "
                           "$3 AND app_id = $4)",
                           {std::to_string(node), "4", std::to_string(node), "4"});
  EXPECT_STREQ(PQcmdTuples(again.get()), "0");
  long inst = number("SELECT nextval('vx.application_instances_instance_id_seq') AS instance_id");
  param("INSERT INTO application_instances (instance_id, app_id, node_no, key1, key2, key3, key4, "
        "identity) VALUES ($1, $2, $3, CASE WHEN $4 THEN $5 ELSE NULL END, CASE WHEN $6 THEN $7 "
        "ELSE NULL END, CASE WHEN $8 THEN $9 ELSE NULL END, CASE WHEN $10 THEN $11 ELSE NULL END, $12) ",
        {std::to_string(inst), "4", std::to_string(node), "1", "vm-1", "0", "", "0", "", "0", "",
         "22222222-2222-4333-8444-555555555555"});
  EXPECT_EQ(column(param("SELECT instance_id FROM application_instances WHERE node_no = $1 AND "
                         "app_id = $2 AND LOWER(identity) = LOWER('22222222-2222-4333-8444-555555555555')",
                         {std::to_string(node), "4"})),
            std::to_string(inst));
  EXPECT_EQ(value(fmt("SELECT key1 || '|' || coalesce(key2, 'null') FROM application_instances WHERE "
                      "instance_id = %ld",
                      inst)),
            "vm-1|null");
  const char addProp[] =
      "INSERT INTO application_properties (instance_id, prop_key, prop_value) SELECT $1, $2, $3 "
      "WHERE NOT EXISTS (SELECT TRUE FROM application_properties WHERE instance_id = $4 AND "
      "prop_key = $5)";
  param(addProp, {std::to_string(inst), "host", "esx1", std::to_string(inst), "host"});
  SqlResult dup = params(addProp, {std::to_string(inst), "host", "esx2", std::to_string(inst), "host"});
  EXPECT_STREQ(PQcmdTuples(dup.get()), "0");
  param("UPDATE application_properties SET prop_value = $1 WHERE prop_key = $2 AND instance_id = $3",
        {"esx2", "host", std::to_string(inst)});
  EXPECT_EQ(value("SELECT string_agg(prop_value, ',') FROM application_properties"), "esx2");

  // The backup, its fileset and messages.
  run("INSERT INTO dirs (dname) SELECT '@@@:/' WHERE NOT EXISTS (SELECT TRUE FROM dirs WHERE dname = '@@@:/')");
  EXPECT_EQ(number("SELECT count(*) FROM dirs WHERE dname = '@@@:/'"), 1);
  long dir = number("SELECT dir_no FROM dirs WHERE dname = '@@@:/'");
  long bno = number("SELECT nextval('vx.backups_backup_no_seq') AS new_backup_no");
  long fno = number("SELECT nextval('vx.filesets_fileset_no_seq') AS fileset_no");
  long job = number("SELECT nextval('vx.jobs_job_no_seq') AS job_no");
  param("INSERT INTO backups (backup_no, node_no, instance_id, properties, type, start_time, "
        "fileset_no, tape_no, server_name, operator_name, multivolume, start_dir_no, status, "
        "exit_code, total_megs, verify_after, is_verified, job_no, pid, x_command_short, "
        "sync_status, attempt_cnt, elapsed_time, total_netpaths, sync_resv, incomplete, notbacked, "
        "total_kilo, blocksize, lcs_no, data_bkno, all_filesets_present) VALUES ($1, $2, $3, $4, "
        "$5, $6, $7,(SELECT tape_no FROM devices WHERE device_no = $8), $9, $10, 1, $11, $12, $13, "
        "$14, $15, $16::bool, $17, $18, $19, 0,0,0,0,0, 0,0,0,0,0,0, 0::bool)",
        {std::to_string(bno), std::to_string(node), std::to_string(inst), "16384", "12",
         "1700000000", std::to_string(fno), "3", "vault1", "root", std::to_string(dir), "512", "15",
         "3", "0", "1", std::to_string(job), "4242", "Replicated backup from src"});
  param("INSERT INTO filesets (fileset_no, tape_no, backup_no, vol_no, job_no, start_time, "
        "server_name, tape_drive_name, properties, data_format, no_label, ssn, elapsed_time, "
        "total_megs, fileset_megs, total_netpaths, status, physical_fsno, v_koffset, btotal, "
        "tape_dataset, is_multiplexed, is_encrypted, is_compressed, scsi_blksize, os,ssn_blocksize, "
        "mux_fileset_no, import_no, guid, device_properties) VALUES ($1, (SELECT tape_no FROM "
        "devices WHERE device_no = $2), $3, 1, $4, $5, $6, (SELECT dev_name FROM devices WHERE "
        "device_no = $7), 0,$8,1::bool,0,0,0,0,0, 0,0,0,0,0, 0::bool,0::bool,0::bool,0,0, 0,0,0,0,0)",
        {std::to_string(fno), "3", std::to_string(bno), std::to_string(job), "1700000000", "vault1",
         "3", "file"});
  run(fmt("INSERT INTO backup_msg (backup_no, messages, comment) VALUES(%ld, (SELECT now()) || ' "
          "Replicated backup from source %s %s\n', 'Replicated backup from source %s %s\n')",
          bno, "src", src, "src", src));
  run(fmt("UPDATE backup_msg SET messages = messages || '%s', comment = comment || '%s' WHERE "
          "backup_no = %ld",
          "Re-replicated from x y\n", "Re-replicated from x y\n", bno));
  EXPECT_EQ(value(fmt("SELECT tape_no || ':' || status || ':' || is_verified FROM backups WHERE "
                      "backup_no = %ld",
                      bno)),
            "77:512:true");
  EXPECT_EQ(value(fmt("SELECT tape_drive_name || ':' || data_format || ':' || tape_no FROM filesets "
                      "WHERE fileset_no = %ld",
                      fno)),
            "d2d0:file:77");
  EXPECT_EQ(value(fmt("SELECT comment FROM backup_msg WHERE backup_no = %ld", bno)),
            std::string("Replicated backup from source src ") + src + "\nRe-replicated from x y\n");
  param("INSERT INTO backup_snapshots (backup_no, snapshot_time) VALUES($1, $2)", {std::to_string(bno), "5"});
  param("INSERT INTO vmware_snapshots (backup_no, change_id) VALUES($1, $2)", {std::to_string(bno), "c"});
  param("INSERT INTO vmware_hardware_hashes (backup_no, hardware_hash) VALUES($1, $2)", {std::to_string(bno), "h"});
  EXPECT_EQ(run(fmt("SELECT * from  ndmp_nas where node_no = %d", (int)node)).size(), 0u);
  run(fmt("INSERT INTO  ndmp_nas (node_no, address, port, vendor, version)VALUES(%ld, '127.0.0.1', "
          "'10000', '%s', 'unknown')",
          node, "netapp"));
  param("INSERT INTO sql_backups (sql_ref, node_no, sql_type, server_instance_name, database_name, "
        "group_file_order, file_order_no) VALUES ($1, $2, $3, $4, $5, $6, $7)",
        {std::to_string(bno), std::to_string(node), "1", "SRV", "db", "1", "2"});

  // Group ordering on the receiving side: later usable backups of the
  // instance, never types 4 and 1024.
  addBackup(bno + 1, {node, inst, 14, 0xC40, 1700000100});
  addBackup(bno + 2, {node, inst, 4, 0xC40, 1700000200});
  addBackup(bno + 3, {node, inst, 1024, 0xC40, 1700000300});
  run(fmt("INSERT INTO backup_msg (backup_no) VALUES (%ld)", bno + 1));
  auto later = param("SELECT backup_no FROM backups WHERE instance_id = $1 AND start_time > $2 AND "
                     "(status & $3) = 0 AND tape_no != $4 AND (type & $5) > 0 AND (type != $6) AND "
                     "(type != $7)",
                     {std::to_string(inst), "1700000000", "36888", "-1", "5135", "1024", "4"});
  EXPECT_EQ(column(later), std::to_string(bno + 1));
  param("UPDATE backups SET status = $1 WHERE backup_no = $2", {"5184", std::to_string(bno + 1)});
  run(fmt("UPDATE backup_msg SET messages = messages || 'Mark backup as failed, out of order.\n' "
          "WHERE backup_no = %ld",
          bno + 1));
  EXPECT_EQ(value(fmt("SELECT messages FROM backup_msg WHERE backup_no = %ld", bno + 1)),
            "Mark backup as failed, out of order.\n");

  param("UPDATE operation_status SET status = 'done' WHERE operation_id = $1", {std::to_string(op)});
  EXPECT_EQ(value("SELECT status FROM operation_status"), "done");
  param("DELETE FROM operation_status WHERE operation_id = $1", {std::to_string(op)});
  EXPECT_EQ(number("SELECT count(*) FROM operation_status"), 0);
}

// ---- restore and synthesis groups ----------------------------------------

TEST_F(Schema, RestoreGroupFollowsChainsWithinOneInstance) {
  long n = addNode("c1"), other = addNode("c2");
  long fs = addInstance(n), fs2 = addInstance(n), far = addInstance(other);
  // File level chain of instance fs: M1 I I D I (failed I) I, then M2 I.
  addBackup(1, {n, fs, 1});
  addBackup(2, {n, fs, 3});
  addBackup(3, {n, fs, 3});
  addBackup(4, {n, fs, 2});
  addBackup(5, {n, fs, 3});
  addBackup(6, {n, fs, 3, 0x50});
  addBackup(7, {n, fs, 3});
  addBackup(8, {n, fs, 1});
  addBackup(9, {n, fs, 3});
  // Interleaved backups of another instance of the same client and of
  // another client never join.
  addBackup(20, {n, fs2, 1, 0xC40, 150});
  addBackup(21, {n, fs2, 3, 0xC40, 250});
  addBackup(22, {other, far, 1, 0xC40, 160});

  EXPECT_EQ(group(3, "1,2,3", kStrictFilter), "1,2,3");
  EXPECT_EQ(group(7, "1,2,3", kStrictFilter), "1,4,5,7");  // failed 6 left out
  EXPECT_EQ(group(7, "1,2,3", kBaseFilter), "1,4,5,6,7");  // base filter keeps it
  EXPECT_EQ(group(9, "1,2,3", kStrictFilter), "8,9");
  EXPECT_EQ(group(21, "1,2,3", kStrictFilter), "20,21");
  // A differential needs its master even when asked with its own type only;
  // a master or stand-alone type is a group of its own.
  EXPECT_EQ(group(4, "2", kBaseFilter), "1,4");
  EXPECT_EQ(group(8, "1", kBaseFilter), "8");
  EXPECT_EQ(group(22, "1", kBaseFilter), "22");
  // The requested backup filtered out, or of a type not asked for: no group.
  EXPECT_EQ(group(6, "1,2,3", kStrictFilter), "");
  EXPECT_EQ(group(5, "1,2", kStrictFilter), "");
  EXPECT_EQ(group(999, "1", kBaseFilter), "");

  // Columns as the caller reads them.
  auto rows = run(fmt("SELECT * FROM vx.vxGetRestoreGroupOptimized(%lu, '{%d,%d,%d}','%s')", 7UL,
                      1, 2, 3, kBaseFilter));
  SqlResult r = db_.exec(fmt("SELECT * FROM vx.vxGetRestoreGroupOptimized(%lu, '{%lu}','%s')", 4UL,
                             2UL, kBaseFilter));
  ASSERT_EQ(r.rows(), 2);
  EXPECT_EQ(r.text(1, "t_backup_no"), "4");
  EXPECT_EQ(r.text(1, "t_status"), "3136");
  EXPECT_EQ(r.text(1, "t_exit_code"), "0");
  EXPECT_EQ(r.text(1, "t_type"), "2");
  EXPECT_EQ(r.text(1, "t_start_time"), "400");
  EXPECT_EQ(column(rows), "1,4,5,6,7");

  // Purged members, and members lacking the requested backup's 0x20 bit,
  // drop out; an SDS member too under the daemon's filter.
  run("UPDATE vx.backups SET tape_no = -1 WHERE backup_no = 5");
  EXPECT_EQ(group(7, "1,2,3", kStrictFilter), "1,4,7");
  run("UPDATE vx.backups SET properties = properties | 32 WHERE backup_no IN (8, 9)");
  EXPECT_EQ(group(9, "1,2,3",
                  " (properties & 32) = 32 AND (properties & 1) = 0 AND tape_no != 4294967295 AND "
                  "(status & 64) > 0 AND (status & 36888) = 0"),
            "8,9");
  EXPECT_EQ(group(3, "1,2,3",
                  " (properties & 32) = 32 AND (properties & 1) = 0 AND tape_no != 4294967295 AND "
                  "(status & 64) > 0"),
            "");
}

TEST_F(Schema, RestoreGroupOrdersByStartTimeAndKnowsApplicationFamilies) {
  long n = addNode("c1");
  long vm = addInstance(n, 4), ora = addInstance(n, 6), hv = addInstance(n, 5);
  // A backup received later (higher number) that started earlier sits at
  // its start time in the chain.
  addBackup(30, {n, vm, 12, 0xC40, 1000});
  addBackup(31, {n, vm, 14, 0xC40, 3000});
  addBackup(32, {n, vm, 14, 0xC40, 2000});
  addBackup(33, {n, vm, 13, 0xC40, 4000});
  addBackup(34, {n, vm, 14, 0xC40, 5000});
  EXPECT_EQ(group(31, "12,13,14", kStrictFilter), "30,32,31");
  EXPECT_EQ(group(34, "12,13,14", kStrictFilter), "30,33,34");
  EXPECT_EQ(group(33, "12,13,14", kStrictFilter), "30,33");
  // Two-type families chain every later backup to the full.
  addBackup(40, {n, ora, 1034});
  addBackup(41, {n, ora, 1035});
  addBackup(42, {n, ora, 1035});
  addBackup(43, {n, ora, 1034});
  addBackup(44, {n, ora, 1035});
  EXPECT_EQ(group(42, "1034,1035", kStrictFilter), "40,41,42");
  EXPECT_EQ(group(44, "1034,1035", kStrictFilter), "43,44");
  // Hyper-V incremental without any earlier full: the chain it has.
  addBackup(50, {n, hv, 1033});
  addBackup(51, {n, hv, 1033});
  EXPECT_EQ(group(51, "1031,1032,1033", kStrictFilter), "50,51");
  // Stand-alone types.
  addBackup(60, {n, vm, 1024});
  addBackup(61, {n, vm, 1038});
  EXPECT_EQ(group(60, "1024", kBaseFilter), "60");
  EXPECT_EQ(group(61, "1038", kBaseFilter), "61");
}

TEST_F(Schema, SuccessfulBackupsViewCarriesTheSynthesisStatement) {
  long n = addNode("c1");
  long i = addInstance(n), other = addInstance(n);
  addBackup(1, {n, i, 1});
  addBackup(2, {n, i, 3, 0x440});
  addBackup(3, {n, i, 2});
  addBackup(4, {n, i, 3, 0x50});    // failed
  addBackup(5, {n, i, 3, 0x200});   // running
  addBackup(6, {n, i, 3, 0xC40, 0, 0x1000, -1});  // purged
  addBackup(7, {n, i, 3});
  addBackup(8, {n, other, 3});
  EXPECT_EQ(column(run("SELECT backup_no FROM successful_backups ORDER BY backup_no")), "1,2,3,7,8");

  auto synthesis = [&](long b, int ignoreDiffs, int ignoreMasters) {
    long M = 1, D = 2;
    return column(param(
        "SELECT backup_no FROM successful_backups WHERE type IN(1,2,3) AND node_no=$1 AND "
        "instance_id=$2 AND backup_no <= $3 AND (CASE WHEN $4=1 THEN type != $5 OR (properties & "
        "$6) = 0 ELSE 1=1 END) AND (CASE WHEN $7=1 THEN type != $8 OR (properties & $9) = 0 ELSE "
        "1=1 END) AND ((backup_no >= COALESCE((SELECT backup_no FROM successful_backups WHERE type "
        "IN($10,$11) AND node_no=$12 AND instance_id=$13 AND backup_no <= $14 AND (CASE WHEN $15=1 "
        "THEN type != $16 OR (properties & $17) = 0 ELSE 1=1 END) AND (CASE WHEN $18=1 THEN type "
        "!= $19 OR (properties & $20) = 0 ELSE 1=1 END) ORDER BY backup_no DESC LIMIT 1), 0)) OR "
        "(backup_no = (SELECT backup_no FROM successful_backups WHERE type=$21 AND node_no=$22 AND "
        "instance_id=$23 AND backup_no <= $24 ORDER BY backup_no DESC LIMIT 1))) ORDER BY backup_no",
        {std::to_string(n), std::to_string(i), std::to_string(b), std::to_string(ignoreDiffs),
         std::to_string(D), "2048", std::to_string(ignoreMasters), std::to_string(M), "2048",
         std::to_string(M), std::to_string(D), std::to_string(n), std::to_string(i),
         std::to_string(b), std::to_string(ignoreDiffs), std::to_string(D), "2048",
         std::to_string(ignoreMasters), std::to_string(M), "2048", std::to_string(M),
         std::to_string(n), std::to_string(i), std::to_string(b)}));
  };
  EXPECT_EQ(synthesis(2, 0, 0), "1,2");
  EXPECT_EQ(synthesis(7, 0, 0), "1,3,7");
  run("UPDATE vx.backups SET properties = properties | 2048 WHERE backup_no = 3");
  EXPECT_EQ(synthesis(7, 1, 0), "1,2,7");
}

TEST_F(Schema, SummaryChartsAccumulatePerOperationAndDay) {
  EXPECT_EQ(value("SELECT update_summary_charts('replication', 10, 20, 1, 2)"), "1");
  EXPECT_EQ(value("SELECT update_summary_charts('replication', 18446744073709551615, 5, 0, 1)"), "2");
  EXPECT_EQ(value("SELECT update_summary_charts('backup', 1, 1, 1, 1)"), "1");
  auto row = run("SELECT operations, read_size, write_size, read_time, write_time FROM "
                 "vx.summary_charts WHERE operation = 'replication' AND day = current_date");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0], (std::vector<std::string>{"2", "18446744073709551625", "25", "1", "3"}));
  // As the helper sends it: every value a parameter of unknown type.
  EXPECT_EQ(column(param("SELECT update_summary_charts('replication', $1, $2, $3, $4)",
                         {"1", "2", "3", "4"})),
            "3");
  EXPECT_FALSE(db_.tryExec("SELECT update_summary_charts('', 1, 1, 1, 1)").ok());
}

// ---- the schema file itself ----------------------------------------------

TEST_F(Schema, LoadsAgainOverItselfWithTheShippedRows) {
  std::ifstream in(std::string(RPD_SOURCE_DIR) + "/appliance/schema.sql");
  ASSERT_TRUE(in.good());
  std::stringstream text;
  text << in.rdbuf();
  long n = addNode("gone");
  addBackup(1, {n, addInstance(n)});
  run("SET client_min_messages = warning");  // the drop lists every object
  run(text.str());
  EXPECT_EQ(number("SELECT count(*) FROM vx.backups"), 0);
  EXPECT_EQ(value("SELECT string_agg(app_id || '=' || type, ',' ORDER BY app_id) FROM "
                  "vx.application_lookup WHERE app_id IN (1, 4, 8, 9, 10)"),
            "1=File Level,4=VMware,8=NDMP Device,9=System Metadata,10=UCS Service Profile");
  EXPECT_EQ(value("SELECT type_id FROM vx.sync_type WHERE type_name='replication'"), "1");
  EXPECT_EQ(number("SELECT count(*) FROM vx.state"), 1);
  EXPECT_EQ(number("SELECT count(*) FROM vx.systems WHERE is_local_system"), 1);
  // Serial columns continue after the shipped rows.
  EXPECT_EQ(number("INSERT INTO vx.application_lookup (name, type) VALUES ('x', 'y') RETURNING app_id"), 11);
  // A row named only by the columns a test cares about gets appliance
  // defaults.
  long b = number("INSERT INTO vx.backups (type) VALUES (3) RETURNING backup_no");
  EXPECT_EQ(value(fmt("SELECT status || ',' || properties || ',' || sync_status || ',' || tape_no "
                      "|| ',' || is_verified || ',' || coalesce(x_command_short, 'null') FROM "
                      "vx.backups WHERE backup_no = %ld",
                      b)),
            "0,0,0,0,false,null");
}

}  // namespace
}  // namespace rpd::test
