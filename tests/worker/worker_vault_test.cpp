// worker_vault_test.cpp: the worker against the real catalogue and the real
// vaultd. The backups here hold no deduplicated blocks (their HaCTAR holds
// the archive literally), so these tests follow the worker's own decisions
// through every answer the Vault can give; whole backups with blocks are
// the end-to-end tests' business.
#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/util_worker.h"
#include "support/vaultd.h"
#include "support/files.h"
#include "worker_support.h"

namespace rpd::test {
namespace {

std::string s(long v) { return std::to_string(v); }

const char *kIdentity = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";

class WorkerVault : public WorkerCatalogue {
 protected:
  void SetUp() override {
    WorkerCatalogue::SetUp();
    // Named phases, so that deleting a phase's row finds it (a row without
    // a name never matches the deletion and waits for the hourly purge).
    exec("INSERT INTO vx.operation_names (name_id, name_value) VALUES (20, 'processing'), (21, 'no_activity')");
    writeLiteralRecipe("an archive held literally in its HaCTAR");
  }

  std::string vault() const { return vaultd_.base(); }

  void giveIdentity() {
    exec("UPDATE vx.application_instances SET identity = '" + std::string(kIdentity) +
         "' WHERE instance_id = " + s(instance_));
  }
  std::string ubiOf(long b) {
    return value("SELECT identity || '_' || start_time || '_' || type FROM vx.backups JOIN "
                 "vx.application_instances USING (instance_id) WHERE backup_no = " + s(b));
  }

  // Gives the Vault a backup as if it had received it earlier (written
  // into its state while it is stopped; the port changes).
  void seedVault(long number, long b, uint64_t status, uint64_t properties) {
    std::string facts = value("SELECT 'instance ' || identity || E'\\nstart_time ' || start_time || E'\\ntype ' || "
                              "type FROM vx.backups JOIN vx.application_instances USING (instance_id) "
                              "WHERE backup_no = " + s(b));
    vaultd_.stop();
    std::string dir = vaultd_.stateDir() + "/backups/" + s(number);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/info") << "number " << number << "\nstatus " << status << "\nproperties " << properties
                                 << "\nubi " << ubiOf(b) << "\n" << facts << "\n";
    vaultd_.start();
    // Entries name the Vault by its address, which the restart changed.
    exec("UPDATE vx.replication_queue SET vault = '" + vault() + "'");
  }
  std::string describe(long number) { return vdtest::controlGet(vault(), "backup?no=" + s(number)).body; }
  long requests(const std::string &endpoint) {
    std::string text = vdtest::controlGet(vault(), "counters").body;
    size_t at = text.find(endpoint + " ");
    return at == std::string::npos ? -1 : atol(text.c_str() + at + endpoint.size() + 1);
  }
  void fault(const std::string &rule) {
    vdtest::Reply r = vdtest::controlPost(vault(), "fault", rule);
    ASSERT_EQ(r.curlCode, 0);
    ASSERT_NE(r.statusLine.find("200"), std::string::npos) << r.statusLine << r.body;
  }
  std::string statsOf(long b) {
    return value("SELECT string_agg(message, ' | ' ORDER BY stat_id) FROM vx.sds_stats WHERE backup_no = " + s(b));
  }
  long progressRows() { return number("SELECT count(*) FROM vx.operation_progress"); }

  vdtest::VaultdProcess vaultd_;
};

TEST_F(WorkerVault, FirstReplicationOfAnInstanceAnnouncesSendsAndCompletes) {
  long b = addQueuedBackup(vault());
  WorkerLog log;
  EXPECT_EQ(replicateHere(b, vault()), WORKER_DONE);

  EXPECT_TRUE(log.has("First time instance replication."));
  EXPECT_TRUE(log.has("Using threads for send phase; Pipeline feature enabled"));
  EXPECT_TRUE(log.has("Local backup " + s(b) + " will be 1 on target"));
  EXPECT_EQ(stateOf(b, vault()), "2");
  EXPECT_EQ(syncOf(b), 2);
  // The announcement gave the instance its identity; the Vault knows the
  // backup under it and has built it from the HaCTAR.
  std::string d = describe(1);
  EXPECT_NE(d.find("ubi " + ubiOf(b) + "\n"), std::string::npos) << d;
  EXPECT_NE(d.find("status 1088\n"), std::string::npos) << d;
  EXPECT_NE(d.find("hactar 1\n"), std::string::npos) << d;
  EXPECT_NE(d.find("end_message \n"), std::string::npos) << d;  // no end notice
  EXPECT_EQ(statsOf(b), "Success: ");
  EXPECT_EQ(value("SELECT destination FROM vx.sds_stats WHERE backup_no = " + s(b)), vault());
  EXPECT_FALSE(exists(hactarFile(b)));
  EXPECT_EQ(progressRows(), 0);
  EXPECT_EQ(requests("start-backup"), 1);
  EXPECT_EQ(requests("end-backup"), 0);
}

TEST_F(WorkerVault, SingleThreadedSendAndSavedHactar) {
  setIni("ThreadedSendBlocks", "0");
  setIni("SaveHactar", "1");
  long b = addQueuedBackup(vault());
  WorkerLog log;
  EXPECT_EQ(replicateHere(b, vault()), WORKER_DONE);
  EXPECT_TRUE(log.has("Using single threaded send phase; Pipeline feature disabled"));
  EXPECT_EQ(stateOf(b, vault()), "2");
  EXPECT_TRUE(exists(hactarFile(b)));
}

TEST_F(WorkerVault, BackupAlreadyOnTheVaultIsCompletedWithoutSending) {
  giveIdentity();
  long b = addQueuedBackup(vault());
  seedVault(5, b, 0x440, 0x600);
  WorkerLog log;
  EXPECT_EQ(replicateHere(b, vault()), WORKER_DONE);
  EXPECT_TRUE(log.has("Backup already on system"));
  EXPECT_TRUE(log.has("Finished: backup " + s(b) + " is 5 on target"));
  EXPECT_EQ(stateOf(b, vault()), "2");
  EXPECT_EQ(syncOf(b), 2);
  EXPECT_EQ(requests("backup-check"), 1);
  EXPECT_EQ(requests("start-backup"), 0);
  EXPECT_EQ(requests("file"), 0);
  EXPECT_EQ(progressRows(), 0);
}

TEST_F(WorkerVault, BackupTheVaultIsBuildingIsResumedWithoutANewAnnouncement) {
  giveIdentity();
  long b = addQueuedBackup(vault());
  seedVault(7, b, 0x200, 0);
  WorkerLog log;
  EXPECT_EQ(replicateHere(b, vault()), WORKER_DONE);
  EXPECT_TRUE(log.has("uuidCheck:7"));
  EXPECT_TRUE(log.has("Local backup " + s(b) + " will be 7 on target"));
  EXPECT_EQ(requests("start-backup"), 0);
  EXPECT_NE(describe(7).find("status 1088\n"), std::string::npos) << describe(7);
  EXPECT_EQ(stateOf(b, vault()), "2");
}

TEST_F(WorkerVault, OutOfOrderAnnouncementPausesTheEntryAndNotifiesTheVault) {
  giveIdentity();
  long early = addQueuedBackup(vault());
  long late = addQueuedBackup(vault());
  // The Vault already holds a later backup of the instance: out of order.
  seedVault(3, late, 0x440, 0x600);
  WorkerLog log;
  EXPECT_EQ(replicateHere(early, vault()), WORKER_DONE);
  EXPECT_TRUE(log.has("set REPLICATION_OUT_OF_ORDER for " + s(early) + "."));
  EXPECT_EQ(stateOf(early, vault()), "128");
  EXPECT_EQ(statsOf(early),
            "Failed: Unable to process initial meta info on target, out of order backup sequence detected.  This "
            "instance is \"paused\" and may require manual intervention to resume.");
  EXPECT_EQ(requests("end-backup"), 1);
  EXPECT_EQ(syncOf(early), 1);

  EXPECT_EQ(progressRows(), 0);
}

TEST_F(WorkerVault, FixPausedInstanceForcesTheOutOfOrderBackupAndRequeuesIt) {
  giveIdentity();
  long early = addQueuedBackup(vault());
  long late = addQueuedBackup(vault());
  exec("UPDATE vx.replication_queue SET status = 2 WHERE backup_no = " + s(late));
  exec("UPDATE vx.replication_queue SET status = 128 WHERE backup_no = " + s(early));
  seedVault(3, late, 0x440, 0x600);
  std::string v = vault(), e = s(early), l = s(late);

  auto run = [&](std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    return utilFixPausedInstance((int)argv.size(), argv.data());
  };
  // Entries in any state but 128 are left alone.
  EXPECT_EQ(run({"rpd", "util", "fix-paused-instance", v, l}), -1);
  exec("UPDATE vx.replication_queue SET status = 64 WHERE backup_no = " + s(late));
  EXPECT_EQ(run({"rpd", "util", "fix-paused-instance", v, l}), -1);
  EXPECT_EQ(requests("start-backup"), 0);

  testing::internal::CaptureStdout();
  int rc = run({"rpd", "util", "fix-paused-instance", v, e});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "Target backup record created.  Target backup_no = 4.\n");
  // The Vault took the forced backup and failed the later one.
  EXPECT_NE(describe(3).find("status 4096\n"), std::string::npos) << describe(3);
  EXPECT_EQ(stateOf(early, v), "1");
}

TEST_F(WorkerVault, StartBackupCommandPrintsTheVaultsNumber) {
  long b = addBackup({});
  std::string v = vault(), bs = s(b);
  std::vector<std::string> args = {"rpd", "util", "start-backup", v, bs};
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  EXPECT_EQ(utilStartBackup((int)argv.size(), argv.data()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "1\n");
  EXPECT_NE(describe(1).find("status 512\n"), std::string::npos);

  fault("endpoint=start-backup,count=1,kind=refuse");
  testing::internal::CaptureStdout();
  EXPECT_EQ(utilStartBackup((int)argv.size(), argv.data()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "-6\n");
}

TEST_F(WorkerVault, FailuresFromTheTableDecideTheEntry) {
  for (const auto &row : readTable(std::string(RPD_SOURCE_DIR) + "/tests/worker/data/failures.txt")) {
    ASSERT_EQ(row.size(), 8u);
    SCOPED_TRACE(row[0] + " " + row[1] + " " + row[2]);
    vdtest::controlPost(vault(), "clear-faults", "");
    std::istringstream rules(row[0]), keys(row[1]);
    for (std::string rule; std::getline(rules, rule, ';');) fault(rule);
    for (std::string kv; std::getline(keys, kv, ';');) setIni(kv.substr(0, kv.find('=')).c_str(), kv.substr(kv.find('=') + 1));
    if (row[2].empty())
      writeLiteralRecipe("an archive held literally in its HaCTAR");
    else
      writeCommand("recipe", row[2]);
    // An instance of its own: no identity yet, so nothing is checked
    // before the announcement.
    long b = addQueuedBackup(vault(), {.instanceId = addInstance(node_, 1, row[0] + row[2])});
    long notices = requests("end-backup");
    WorkerLog log;
    EXPECT_EQ(replicateHere(b, vault()), WORKER_DONE);
    EXPECT_EQ(stateOf(b, vault()), row[3]);
    std::string stats = statsOf(b);
    EXPECT_EQ(stats.substr(0, stats.find_last_not_of(' ') + 1), row[4]) << log.text().substr(0, 4000);
    if (!row[5].empty()) {
      EXPECT_TRUE(log.has(row[5])) << log.text();
    }
    if (row[6] != "*") {
      EXPECT_EQ(std::to_string(requests("end-backup") - notices), row[6]);
    }
    if (row[7] != "*") {
      EXPECT_EQ(exists(hactarFile(b)) ? "yes" : "no", row[7]);
    }
    EXPECT_EQ(syncOf(b), row[3] == "2" ? 2 : 1);
    EXPECT_EQ(progressRows(), 0);
  }
}

TEST_F(WorkerVault, LocalBackupStillRunningIsWaitedFor) {
  std::string conninfo = db_.conninfo();
  // Once the worker reports that it waits for the local backup, the backup
  // ends with `status` (set on a connection of its own).
  auto endBackupWhenWaited = [&](const WorkerLog &log, long b, long status) {
    return std::thread([&log, &conninfo, b, status] {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      while (!log.hasFromOtherThread("check again in 0 seconds") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      PGconn *c = PQconnectdb(conninfo.c_str());
      PQclear(PQexec(c, ("UPDATE vx.backups SET status = " + s(status) + " WHERE backup_no = " + s(b)).c_str()));
      PQfinish(c);
    });
  };

  long b = addQueuedBackup(vault(), {.status = 0x200});
  {
    WorkerLog log;
    std::thread finisher = endBackupWhenWaited(log, b, 1088);
    EXPECT_EQ(replicateHere(b, vault()), WORKER_DONE);
    finisher.join();
    EXPECT_TRUE(log.has("Backup status is neither JOB_SUCCESS nor JOB_FAILED, check again in 0 seconds."));
    EXPECT_TRUE(log.has("Local backup is complete and successful, build HaCTAR"));
    EXPECT_EQ(stateOf(b, vault()), "2");
  }

  // A local backup that fails meanwhile ends the attempt.
  long f = addQueuedBackup(vault(), {.status = 0x200});
  {
    WorkerLog log;
    std::thread failer = endBackupWhenWaited(log, f, 0x50);
    EXPECT_EQ(replicateHere(f, vault()), WORKER_DONE);
    failer.join();
    EXPECT_TRUE(log.has("Backup is failed"));
    EXPECT_EQ(stateOf(f, vault()), "1");
    EXPECT_EQ(statsOf(f), "Failed: Unable to create final metadata. This replication will now retry.");
  }
}

}  // namespace
}  // namespace rpd::test
