// hostile_input_test.cpp: crafted text from outside (vault names and UBIs
// on the command line, SyncTo in master.ini and -v, vault names in queue
// rows) is refused where it enters, with its message and a failure result,
// and the queue, the backups and the instances stay exactly as they were.
// The utility commands and their crafted values are data
// (data/hostile_commands.txt, data/hostile_values.txt) run through the
// real rpd binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue.h"
#include "daemon/settings.h"
#include "daemon/terminate.h"
#include "lib/config.h"
#include "lib/pghelper.h"
#include "log_capture.h"
#include "queue/replicationQueue.h"
#include "sandbox.h"
#include "support/files.h"
#include "support/process.h"

namespace rpd::test {
namespace {

const std::string kIdentity = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
const std::string kHostile = "x' OR '1'='1";

// The non-comment lines of a data file of this folder.
std::vector<std::string> dataLines(const char *name) {
  std::istringstream in(readFile(std::string(RPD_SOURCE_DIR) + "/tests/daemon/data/" + name));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

// A value of hostile_values.txt with its escapes resolved.
std::string decodeValue(const std::string &text) {
  if (text == "\\e") return "";
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    size_t star = text.find('*', i);
    size_t close = text.find('}', i);
    if (text[i] == '{' && star != std::string::npos && close == star + 2) {
      out.append(std::stoul(text.substr(i + 1, star - i - 1)), text[star + 1]);
      i = close;
    } else if (text[i] == '\\' && i + 1 < text.size()) {
      char c = text[++i];
      out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      out += text[i];
    }
  }
  return out;
}

struct Outcome {
  int status = -1;
  std::string out, err, log;
};

class HostileInput : public ::testing::Test {
 protected:
  ScopedTestDatabase db;
  Sandbox box{"rpd-hostile"};

  void SetUp() override {
    box.write("/etc/default/vx.ini", "[Location Information]\nVXDIR=" + box.path("vx") + "\n");
    box.mkdirs("vx/vxinit");
    box.mkdirs("tmp");
    box.setEnv("VXDIR", box.path("vx"));
    box.setEnv("VXLOGNAME", box.path("tmp/rpd-util.log"));
    long node = db.number("INSERT INTO vx.nodes (node_name) VALUES ('client1') RETURNING node_no");
    long inst = db.number("INSERT INTO vx.application_instances (app_id, node_no, identity) VALUES (1, " +
                          std::to_string(node) + ", '" + kIdentity + "') RETURNING instance_id");
    for (int i = 0; i < 2; i++)
      db.exec("INSERT INTO vx.backups (backup_no, type, status, properties, start_time, tape_no, node_no, "
              "instance_id, sync_status, exit_code) VALUES (" +
              std::to_string(101 + i) + ", " + (i ? "3" : "1") + ", 3136, 16384, " + std::to_string(1700000000 + i) +
              ", 1, " + std::to_string(node) + ", " + std::to_string(inst) + ", 1, 0)");
    db.exec("INSERT INTO vx.replication_queue (backup_no, vault, status) VALUES (101, 'good', 1), "
            "(102, 'good', 1), (101, 'other', 2)");
  }
  void TearDown() override { pgCloseAll(); }

  // Everything a refused command must leave alone.
  std::string dump() {
    std::string all;
    for (const char *sql : {"SELECT * FROM vx.replication_queue ORDER BY position",
                            "SELECT * FROM vx.backups ORDER BY backup_no",
                            "SELECT * FROM vx.application_instances ORDER BY instance_id"})
      for (const auto &row : db.rows(sql)) {
        for (const auto &cell : row) all += cell + "|";
        all += "\n";
      }
    return all;
  }

  // Runs the real rpd with `args` in the sandbox against this test's
  // catalogue: exit status, standard output and error, and the log.
  Outcome rpd(const std::vector<std::string> &args) {
    unlink(box.path("tmp/rpd-util.log").c_str());
    unlink(box.path("tmp/program.log").c_str());
    std::vector<std::string> argv = {program("daemon/rpd")};
    argv.insert(argv.end(), args.begin(), args.end());
    rpd::test::Run ran = rpd::test::run(argv);
    Outcome r;
    r.status = ran.status;
    r.out = ran.out;
    r.err = ran.err;
    // Before its own log is open the program writes to the fallback log.
    r.log = readFile(box.path("tmp/rpd-util.log")) + readFile(box.path("tmp/program.log"));
    return r;
  }
};

TEST_F(HostileInput, EveryUtilityCommandRefusesCraftedVaultNamesAndUBIs) {
  std::vector<std::pair<char, std::string>> values;
  for (const std::string &line : dataLines("hostile_values.txt")) values.emplace_back(line[0], decodeValue(line.substr(2)));
  std::vector<std::string> commands = dataLines("hostile_commands.txt");
  ASSERT_GE(values.size(), 20u);
  ASSERT_GE(commands.size(), 15u);

  const std::string before = dump();
  const std::string validUbi = kIdentity + "_1700000000_1";
  int runs = 0;
  for (const std::string &command : commands) {
    std::vector<std::string> words;
    std::istringstream split(command);
    for (std::string w; split >> w;) words.push_back(w == "%B" ? "101" : w == "%G" ? validUbi : w);
    const char kind = command.find("%V") != std::string::npos ? 'V' : 'U';
    const std::string marker = kind == 'V' ? "%V" : "%U";
    for (const auto &[valueKind, value] : values) {
      if (valueKind != kind) continue;
      std::vector<std::string> args = {"util"};
      for (const std::string &w : words) args.push_back(w == marker ? value : w);
      SCOPED_TRACE("rpd util " + command + " with [" + value + "]");
      Outcome r = rpd(args);
      ++runs;
      EXPECT_EQ(r.status, 255);
      EXPECT_NE(r.err.find("rpd util " + words[0] + ": invalid " + (kind == 'V' ? "vault name" : "UBI")),
                std::string::npos)
          << r.err;
      EXPECT_NE(r.log.find(kind == 'V' ? "Refused vault name" : "Refused UBI"), std::string::npos) << r.log;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(dump(), before);
    }
  }
  EXPECT_GT(runs, 200);

  // The same runner with a good name does change the queue.
  Outcome good = rpd({"util", "complete", "102", "good"});
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_NE(dump(), before);
}

TEST_F(HostileInput, RemoveWithAQuotedConditionKeepsEveryQueueRow) {
  Outcome r = rpd({"util", "remove", "101", kHostile});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(db.number("SELECT count(*) FROM vx.replication_queue"), 3);
}

TEST_F(HostileInput, SettingsOptionsAndQueueRowsAreHeldToTheSameRule) {
  // SyncTo: a crafted name, or one too long for its buffer, leaves no
  // target instead of a cut or pasted name.
  std::string master = box.path("vx/vxinit/master.ini");
  snprintf(g_master_ini, sizeof g_master_ini, "%s", master.c_str());
  g_overrideMask[0] = g_overrideMask[1] = 0;
  for (const std::string &name : {kHostile, std::string(70, 'a'), std::string("v\\")}) {
    box.write("vx/vxinit/master.ini", "[Replication]\nSyncTo=" + name + "\nQueueScheme=2\n");
    g_masterIniMtime = 0;
    LogCapture log;
    readReplicationSettings();
    EXPECT_STREQ(g_settings.SyncTo, "") << name;
    EXPECT_EQ(g_settings.QueueScheme, 0) << name;
    EXPECT_TRUE(log.contains("Refused vault name")) << name;
  }
  box.write("vx/vxinit/master.ini", "[Replication]\nSyncTo=[::1]:8080\n");
  g_masterIniMtime = 0;
  readReplicationSettings();
  EXPECT_STREQ(g_settings.SyncTo, "[::1]:8080");

  // -v: refused before the daemon starts.
  Outcome v = rpd({"-d", "-v", kHostile});
  EXPECT_EQ(v.status, 255);
  EXPECT_NE(v.log.find("Refused vault name"), std::string::npos) << v.log;

  // Queue rows written behind the daemon's back are neither taken nor
  // terminated in their vault's name, and the queue operations refuse
  // such a name themselves.
  db.exec("UPDATE vx.replication_queue SET vault = 'x'' OR ''1''=''1' WHERE backup_no = 101");
  db.exec("UPDATE vx.replication_queue SET status = 32 WHERE backup_no = 101 AND status = 2");
  const std::string before = dump();
  LogCapture log;
  char vault[VAULT_NAME_SIZE] = "";
  EXPECT_EQ(takeNext(vault, sizeof vault), -1);
  EXPECT_STREQ(vault, "");
  EXPECT_EQ(handleTerminated(), 1);
  EXPECT_EQ(removeEntry(101, kHostile.c_str()), -1);
  EXPECT_EQ(setQueueStatus(101, kHostile.c_str(), 2), -1);
  EXPECT_EQ(swapEntries(101, kHostile.c_str(), 102, "good"), -1);
  EXPECT_EQ(dump(), before);
  EXPECT_EQ(log.count("Refused vault name"), 5u);
}

}  // namespace
}  // namespace rpd::test
