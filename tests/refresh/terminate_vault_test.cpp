// terminate_vault_test.cpp: the operations that talk to the Vault, against
// the real catalogue and the real vaultd: LBE reference selection with the
// Vault's answers, terminated entries, and sending the HaCTAR.
#include <gtest/gtest.h>

#include <filesystem>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "daemon/rpd.h"
#include "daemon/terminate.h"
#include "daemon/util_refresh.h"
#include "support/vaultd.h"
#include "queue/refresh.h"
#include "refresh_support.h"
#include "vaultd/hactar.h"

namespace rpd::test {
namespace {

std::string s(long v) { return std::to_string(v); }

const char *kIdentity = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";

class VaultRefresh : public RefreshCatalogue {
 protected:
  void SetUp() override {
    RefreshCatalogue::SetUp();
    exec("UPDATE vx.application_instances SET identity = '" + std::string(kIdentity) +
         "' WHERE instance_id = " + s(instance_));
  }

  // The UBI of a backup as the catalogue gives it.
  std::string ubiOf(long b) {
    return value("SELECT identity || '_' || start_time || '_' || type FROM vx.backups JOIN "
                 "vx.application_instances USING (instance_id) WHERE backup_no = " + s(b));
  }

  // Gives the Vault a backup with the identity, status and properties, as
  // if it had received it earlier: written into its state while stopped.
  void seedVault(long number, const std::string &ubi, uint64_t status, uint64_t properties) {
    vaultd_.stop();
    std::string dir = vaultd_.stateDir() + "/backups/" + s(number);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/info") << "number " << number << "\nstatus " << status
                                 << "\nproperties " << properties << "\nubi " << ubi << "\n";
    vaultd_.start();
  }
  std::string describe(long number) {
    return vdtest::controlGet(vaultd_.base(), "backup?no=" + s(number)).body;
  }
  long vaultCounter(const std::string &endpoint) {
    std::string text = vdtest::controlGet(vaultd_.base(), "counters").body;
    size_t at = text.find(endpoint + " ");
    return at == std::string::npos ? -1 : atol(text.c_str() + at + endpoint.size() + 1);
  }

  vdtest::VaultdProcess vaultd_;
};

TEST_F(VaultRefresh, LbeWithVaultKeepsOnlyBackupsHeldCompleteAndHashed) {
  long m1 = addBackup({.type = 1, .syncStatus = 2});
  long i1 = addBackup({.type = 2, .syncStatus = 2});
  long m2 = addBackup({.type = 1, .syncStatus = 2});
  long i2 = addBackup({.type = 2, .syncStatus = 2});
  long b = addBackup({.type = 2, .syncStatus = 1});
  seedVault(1, ubiOf(m1), 0x440, 0x600);
  seedVault(2, ubiOf(i1), 0x440, 0);      // complete, not hashed
  seedVault(3, ubiOf(m2), 0x200, 0x600);  // still building
  // i2 is unknown to the Vault.
  std::string vault = vaultd_.base();

  LogCapture log;
  uint64_t *list = nullptr;
  int n = getLBEBackupList(b, 3, &list, vault.c_str());
  ASSERT_EQ(n, 1);
  EXPECT_EQ(list[0], (uint64_t)m1);
  free(list);
  EXPECT_TRUE(log.contains("Backup:" + s(m1) + " on target is 1."));
  EXPECT_TRUE(log.contains("Backup:" + s(i1) + " is on the target but has not been hashed"));
  EXPECT_TRUE(log.contains("Backup:" + s(m2) + "  not on target"));
  EXPECT_TRUE(log.contains("Unable to perform target check for backup_no:" + s(i2)));

  // The last master is still building on the Vault: no reference at all.
  EXPECT_EQ(getLBEBackupList(b, 1, &list, vault.c_str()), 0);
  EXPECT_EQ(list, nullptr);
  // Without a vault the same candidates all count.
  n = getLBEBackupList(b, 3, &list, nullptr);
  EXPECT_EQ(n, 4);
  free(list);

  // A Vault that cannot be reached gives no references.
  EXPECT_EQ(getLBEBackupList(b, 3, &list, "http://127.0.0.1:1"), 0);
  EXPECT_EQ(list, nullptr);
}

TEST_F(VaultRefresh, HandleTerminatedStopsTheWorkerNotifiesTheVaultAndCancels) {
  g_settings.MaxConcurrent = 5;
  long e1 = addBackupOnDevice({.type = 1});
  // A backup of an instance that never replicated has no identity.
  long bare = addInstance(node_, 1, "bare");
  long e2 = addBackupOnDevice({.type = 1, .instanceId = bare});
  long e3 = addBackupOnDevice({.type = 1});
  seedVault(1, ubiOf(e1), 0x200, 0);
  // The Vault keeps identities in lower case and compares without case.
  seedVault(2, "tempuuid", 0x200, 0);
  std::string vault = vaultd_.base();  // the port changes with each restart
  sandbox_.write("dev/dedup0/hactar_" + s(e1), "hactar of e1");
  sandbox_.write("dev/dedup0/hactar_" + s(e3), "hactar of e3");
  addEntry(e1, vault, 32);
  addEntry(e2, vault, 32);
  addEntry(e3, vault, 1);

  // A worker replicating e1, and one for e1 towards another vault.
  pid_t worker = fork();
  ASSERT_GE(worker, 0);
  if (worker == 0) {
    for (;;) pause();
  }
  pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    for (;;) pause();
  }
  addWorker(worker, e1, vault.c_str());
  addWorker(other, e1, "elsewhere");

  LogCapture log;
  EXPECT_EQ(handleTerminated(), 2);

  int status = 0;
  ASSERT_EQ(waitpid(worker, &status, 0), worker);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  ASSERT_EQ(workerCount(), 1);
  EXPECT_EQ(workerList.front().pid, other);
  kill(other, SIGKILL);
  waitpid(other, &status, 0);
  removeWorker(other);

  // The Vault cancelled both backups: e1 under its identity, e2 under
  // "tempUUID".
  EXPECT_NE(describe(1).find("status 32768\n"), std::string::npos) << describe(1);
  EXPECT_NE(describe(1).find("end_message backup operation terminated"), std::string::npos);
  EXPECT_NE(describe(2).find("status 32768\n"), std::string::npos) << describe(2);
  EXPECT_TRUE(log.contains("Unable to get Universal Backup Identity. Using 'tempUUID'"));

  EXPECT_NE(access(hactarFile(e1).c_str(), F_OK), 0);
  EXPECT_EQ(access(hactarFile(e3).c_str(), F_OK), 0) << "a queued entry keeps its HaCTAR";
  EXPECT_EQ(queueOf(vault), s(e1) + ":8 " + s(e2) + ":8 " + s(e3) + ":1");

  // Nothing is left to handle.
  EXPECT_EQ(handleTerminated(), 0);
  EXPECT_EQ(vaultCounter("end-backup"), 2) << log.text();
}

TEST_F(VaultRefresh, HandleTerminatedTakesOneEntryPerPassWithoutConcurrencyEvenIfTheVaultIsDown) {
  g_settings.MaxConcurrent = 0;
  const std::string down = "http://127.0.0.1:1";
  long e1 = addBackupOnDevice({.type = 1});
  long e2 = addBackupOnDevice({.type = 1});
  sandbox_.write("dev/dedup0/hactar_" + s(e1), "x");
  sandbox_.write("dev/dedup0/hactar_" + s(e2), "y");
  addEntry(e1, down, 32);
  addEntry(e2, down, 32);

  LogCapture log;
  EXPECT_EQ(handleTerminated(), 1);
  EXPECT_EQ(queueOf(down), s(e1) + ":8 " + s(e2) + ":32");
  EXPECT_NE(access(hactarFile(e1).c_str(), F_OK), 0);
  EXPECT_EQ(access(hactarFile(e2).c_str(), F_OK), 0);
  EXPECT_TRUE(log.contains("Failed to notify target"));
  EXPECT_TRUE(log.contains("Curl status: "));

  EXPECT_EQ(handleTerminated(), 1);
  EXPECT_EQ(queueOf(down), s(e1) + ":8 " + s(e2) + ":8");
  EXPECT_NE(access(hactarFile(e2).c_str(), F_OK), 0);
  EXPECT_EQ(handleTerminated(), 0);
}

TEST_F(VaultRefresh, SendHactarDeliversTheFileAndTheVaultBuildsTheBackup) {
  long b = addBackupOnDevice({.type = 1});
  seedVault(7, ubiOf(b), 0, 0);  // announced, receiving
  std::string vault = vaultd_.base();  // the port changes with each restart

  // The HaCTAR the recipe leaves: one literal, no block references.
  const std::string archive = "the whole archive, held literally";
  std::string templ = sandbox_.path("hactar.template");
  {
    FILE *f = fopen(templ.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    hactar::Writer w;
    ASSERT_EQ(w.begin(f), 0);
    ASSERT_EQ(w.addLiteral(archive.data(), archive.size()), 0);
    ASSERT_EQ(w.finish(), 0);
    fclose(f);
  }
  writeRecipe("cp '" + templ + "' \"$DEVICE/hactar_$2\"");
  long size = (long)sandbox_.read("hactar.template").size();

  std::string backupArg = s(b);
  std::vector<std::string> args = {"rpd", "util", "send-hactar", vault, backupArg, "7"};
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());

  uint64_t before = g_totalBytesSent;
  EXPECT_EQ(utilSendHactar((int)argv.size(), argv.data()), 0);
  EXPECT_EQ(g_totalBytesSent - before, (uint64_t)size);
  std::string d = describe(7);
  EXPECT_NE(d.find("hactar 1\n"), std::string::npos) << d;
  EXPECT_NE(d.find("status 1088\n"), std::string::npos) << d;
  EXPECT_NE(d.find("archive_length " + s((long)archive.size()) + "\n"), std::string::npos) << d;
  EXPECT_EQ(vaultCounter("file"), 1);

  // A recipe that fails sends nothing and gives its result.
  writeRecipe("exit 3");
  EXPECT_EQ(utilSendHactar((int)argv.size(), argv.data()), -1);
  EXPECT_EQ(vaultCounter("file"), 1);

  // A Vault that cannot be reached fails the send.
  LogCapture log;
  EXPECT_EQ(sendHactar(b, "http://127.0.0.1:1", 7, 0), -1);
  EXPECT_TRUE(log.contains("Failed to send Hactar"));
}

}  // namespace
}  // namespace rpd::test
