// rpdstat_test.cpp: rpdstat's report against a catalogue with known rows
// and a known master.ini. JSON output is checked through jq, a real JSON
// parser, so escaping faults show as parse errors or changed text.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "catalogue.h"
#include "daemon/settings.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "rpdstat/render.h"
#include "rpdstat/status.h"
#include "sandbox.h"
#include "support/process.h"

namespace {

using rpd::test::Sandbox;
using rpd::test::ScopedTestDatabase;

const std::string kRpdstat = std::string(RPD_BINARY_DIR) + "/rpdstat/rpdstat";

// A message with everything JSON must escape and a terminal must not see.
const std::string kNastyMessage = "Failed: \"quoted\" back\\slash\nnew line\ttab \x01 \x1b[31mred caf\xc3\xa9";

using rpd::test::run;
using Ran = rpd::test::Run;

class Rpdstat : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_.setEnv("TZ", "UTC");
    tzset();
    sandbox_.setEnv("VXDIR", sandbox_.path("/vx"));
    writeMasterIni("Enabled=true\nSyncTo=vault.test:8080\nMaxConcurrent=3\nBlockOutPeriods==10m 1-5:8-17=1m\n");
    rpdstat::locateMasterIni();
    attachLogStream(stderr);
  }
  void TearDown() override { pgCloseAll(); }

  void writeMasterIni(const std::string &replication) {
    sandbox_.write("/vx/vxinit/master.ini", "[Replication]\n" + replication);
    g_masterIniMtime = 0;  // the next read takes the file whatever its time
  }

  // Client "alpha" (with a terminal escape in its name) and backups 101..106.
  void addRows() {
    db_.exec("INSERT INTO vx.nodes (node_no, node_name) VALUES (1, E'alpha\\x1b[2J')");
    db_.exec("INSERT INTO vx.backups (backup_no, node_no, instance_id, start_time, total_megs) "
             "SELECT g, 1, 1, g * 1000, 500 FROM generate_series(101, 106) g");
    // Positions deliberately out of backup order; 3 is no state at all.
    db_.exec("INSERT INTO vx.replication_queue (backup_no, vault, position, status, rep_start) VALUES "
             "(103, 'vault.test:8080', 1, 2, 1700000000), (101, 'vault.test:8080', 2, 16, 1700000100), "
             "(102, 'vault.test:8080', 3, 1, NULL), (104, 'vault.test:8080', 4, 128, NULL), "
             "(105, 'vault.test:8080', 5, 64, NULL), (106, 'vault.test:8080', 6, 3, NULL)");
  }

  std::string jq(const std::string &json, const std::string &filter) {
    std::string file = sandbox_.write("/report.json", json);
    Ran r = run({"jq", "-j", filter, file});
    EXPECT_EQ(r.status, 0) << "jq " << filter << " on " << json;
    return r.out;
  }

  ScopedTestDatabase db_;
  Sandbox sandbox_{"rpdstat-test"};
};

// Monday 2026-12-07 10:30:00 UTC.
time_t mondayMorning() {
  struct tm t = {};
  t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 7, t.tm_hour = 10, t.tm_min = 30;
  return timegm(&t);
}

TEST_F(Rpdstat, ReportsQueueWorkersStatisticsAndScheduleFromKnownRows) {
  addRows();
  time_t now = mondayMorning();
  // A worker sending for 100 s of which the last update came at 80 s, and a
  // row left by a process that has gone.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  db_.exec("INSERT INTO vx.operation_progress (name_id, start_time, snapshot_time, final_size, current_size, "
           "pid_to_kill, on_behalf_of, source, destination, backup_no, backup_type) VALUES "
           "(7, " + std::to_string(now - 100) + ", " + std::to_string(now - 20) + ", 500, 160, " +
           std::to_string(getpid()) + ", 'alpha', 'appliance', 'vault.test:8080', 101, 'Master'), "
           "(NULL, " + std::to_string(now - 10) + ", " + std::to_string(now - 10) + ", 500, 0, " +
           std::to_string(gone) + ", 'alpha', 'appliance', 'vault.test:8080', 101, 'Master'), "
           "(1, 0, 0, 1, 1, 1, 'backup job', 'appliance', 'disk', 7, 'Master')");
  for (int i = 1; i <= 12; i++)
    db_.exec("INSERT INTO vx.sds_stats (client_name, backup_no, presync_seconds, sync_seconds, postsync_seconds, "
             "done_epoch, bytes_on_qru, bytes_syncd, message, destination) VALUES ('alpha', " +
             std::to_string(100 + i) + ", 1, 2, 3, " + std::to_string(1700000000 + i) +
             ", 524288000, 1048576, 'Success: " + std::to_string(i) + "', 'vault.test:8080')");
  PGconn *conn = db_.connection();
  const char *values[1] = {kNastyMessage.c_str()};
  PQclear(PQexecParams(conn, "INSERT INTO vx.sds_stats (backup_no, message) VALUES (106, $1)", 1, nullptr, values,
                       nullptr, nullptr, 0));

  rpdstat::Status st;
  st.now = now;
  rpdstat::readSchedule(st.schedule, now);
  ASSERT_EQ(rpdstat::readCatalogue(st, 3), 0);
  std::string json = rpdstat::renderJson(st);

  // The queue in position order with each state in words.
  EXPECT_EQ(jq(json, "[.queue[] | \"\\(.position):\\(.backup_no):\\(.state)\"] | join(\" \")"),
            "1:103:complete 2:101:active 3:102:needed 4:104:out_of_order 5:105:need_assist 6:106:unknown");
  EXPECT_EQ(jq(json, ".queue[0].taken, .queue[2].taken, .queue[0].client"), "1700000000nullalpha\x1b[2J");
  // Replication workers only, with sent bytes, rate over the row's span,
  // elapsed time to now, and whether the process exists.
  EXPECT_EQ(jq(json, "[.workers[] | \"\\(.phase)|\\(.pid == " + std::to_string(getpid()) +
                         ")|\\(.alive)|\\(.sent_bytes)|\\(.total_bytes)|\\(.rate_bytes_per_second)|"
                         "\\(.elapsed_seconds)\"] | join(\" \")"),
            "replicate|true|true|167772160|524288000|2097152|100 |false|false|0|524288000|0|10");
  // The last rows, newest first, as many as asked; the message survives
  // the round trip through JSON byte for byte.
  EXPECT_EQ(jq(json, "[.statistics[].backup_no] | map(tostring) | join(\",\")"), "106,112,111");
  EXPECT_EQ(jq(json, ".statistics[0].message"), kNastyMessage);
  EXPECT_EQ(jq(json, ".statistics[1] | \"\\(.message)|\\(.sent_bytes)|\\(.sync_seconds)|\\(.done_time)\""),
            "Success: 12|1048576|2|1700000012");
  // Monday 10:30 lies in the 1 MiB/s period, which ends at 18:00.
  EXPECT_EQ(jq(json, ".bandwidth | \"\\(.valid) \\(.weekday) \\(.hour) \\(.rate_now) \\(.next_change)\""),
            "true 1 10 1048576 {\"weekday\":1,\"hour\":18,\"rate\":10485760}");
  EXPECT_EQ(jq(json, ".settings | \"\\(.replication_enabled) \\(.max_concurrent) \\(.target)\""),
            "true 3 vault.test:8080");

  // The text report names the paused entries' remedy and shows no control
  // character from the catalogue.
  std::string text = rpdstat::renderText(st);
  EXPECT_NE(text.find("rpd util fix-paused-instance vault.test:8080 104"), std::string::npos) << text;
  EXPECT_NE(text.find("backup 105 needs assistance"), std::string::npos) << text;
  EXPECT_NE(text.find("2.0 MiB/s"), std::string::npos) << text;
  EXPECT_NE(text.find("(no such process)"), std::string::npos) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x01'), std::string::npos) << text;
}

TEST_F(Rpdstat, ScheduleIsWhatTheDaemonMakesOfMasterIni) {
  time_t now = mondayMorning();
  rpdstat::ScheduleStatus s;

  // Replication off: the daemon sends nothing and does not read the schedule.
  writeMasterIni("Enabled=false\nBlockOutPeriods==1m\n");
  rpdstat::readSchedule(s, now);
  EXPECT_EQ(s.maxConcurrent, 0);
  EXPECT_EQ(s.text, "");
  EXPECT_EQ(s.rateNow, BANDWIDTH_UNLIMITED);

  // An invalid value is ignored: no limit anywhere.
  writeMasterIni("Enabled=true\nBlockOutPeriods=7:0-3\n");
  rpdstat::readSchedule(s, now);
  EXPECT_FALSE(s.valid);
  EXPECT_EQ(s.text, "7:0-3");
  EXPECT_EQ(s.rateNow, BANDWIDTH_UNLIMITED);
  EXPECT_FALSE(s.changes);

  // Periods wrapping over the week's end: Friday to Monday, 22:00 to 02:59.
  writeMasterIni("Enabled=true\nBlockOutPeriods==10m 5-1:22-2=1m\n");
  rpdstat::readSchedule(s, now);
  EXPECT_TRUE(s.valid);
  EXPECT_EQ(s.rateNow, 10485760u);
  ASSERT_TRUE(s.changes);
  EXPECT_EQ(s.changeWeekday * 100 + s.changeHour, 122);  // Monday 22:00
  EXPECT_EQ(s.changeRate, 1048576u);
}

TEST(RpdstatJson, EscapesEverythingAndReplacesBrokenUtf8) {
  EXPECT_EQ(rpdstat::jsonString("a\"b\\c\n\t\x01\x7f"), "\"a\\\"b\\\\c\\n\\t\\u0001\x7f\"");
  EXPECT_EQ(rpdstat::jsonString("caf\xc3\xa9 \xf0\x9f\x92\xbe"), "\"caf\xc3\xa9 \xf0\x9f\x92\xbe\"");
  // Latin-1 text, a cut sequence, an overlong slash and a surrogate.
  EXPECT_EQ(rpdstat::jsonString("caf\xe9|\xe2\x82|\xc0\xaf|\xed\xa0\x80"),
            "\"caf\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\"");
  EXPECT_EQ(rpdstat::terminalText("ok\x1b[2J\xc2\x9b" "1m\xc3\xa9"), "ok?[2J?1m\xc3\xa9");
}

TEST_F(Rpdstat, ProgramPrintsJsonWatchesAndReportsAnUnreadableCatalogue) {
  addRows();
  Ran ok = run({kRpdstat, "--json"});
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_EQ(jq(ok.out, ".queue | length"), "6");
  EXPECT_EQ(jq(ok.out, ".catalogue_error"), "null");

  Ran text = run({kRpdstat});
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("queue: 6 entries"), std::string::npos) << text.out;

  EXPECT_EQ(run({kRpdstat, "--stats", "0"}).status, 2);
  EXPECT_EQ(run({kRpdstat, "--watch", "x"}).status, 2);
  EXPECT_EQ(run({kRpdstat, "extra"}).status, 2);

  Ran missing = run({kRpdstat, "--json"}, {{"RPD_CATALOGUE_DB", "rpdstat_no_such_db"}});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(jq(missing.out, ".catalogue_error").find("rpdstat_no_such_db"), std::string::npos) << missing.out;
  EXPECT_EQ(jq(missing.out, ".queue | length"), "0");

  // --watch reports again and again until a signal ends it cleanly.
  FILE *p = popen(("echo $$; exec " + kRpdstat + " --json --watch 1").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[65536];
  ASSERT_NE(fgets(line, sizeof line, p), nullptr);
  pid_t pid = static_cast<pid_t>(atol(line));
  for (int frame = 0; frame < 2; frame++) {
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    EXPECT_EQ(jq(line, ".queue | length"), "6");
  }
  kill(pid, SIGTERM);
  int st = pclose(p);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

}  // namespace
