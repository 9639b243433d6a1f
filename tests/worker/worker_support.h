// worker_support.h: fixture of the worker tests: a catalogue per test, a
// sandbox holding master.ini, the commands the worker runs (fileDedup,
// recipe) as small scripts, and a device directory for HaCTAR files; the
// process log captured in a file; and running the worker in this process
// the way "rpd util replicate" does.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "daemon/rpd.h"
#include "daemon/settings.h"
#include "daemon/worker.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "support/fixture.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "vaultd/hactar.h"

namespace rpd::test {

// The worker tests' name for the shared log capture.
using WorkerLog = LogCapture;

class WorkerCatalogue : public DeviceCatalogue {
 protected:
  void SetUp() override {
    DeviceCatalogue::SetUp();
    savedAttached_ = g_attachedMode;
    // Attached mode keeps the worker's messages in this process's log
    // stream instead of an "rpd-worker" file.
    g_attachedMode = 1;
    sandbox_.mkdirs("tmp");
    masterIni_ = sandbox_.master("", "vxinit/master.ini");
    // No waits between polls unless a test asks for them.
    setIni("CheckInterval", "0");
    setIni("TimeDelay", "0");
    writeCommand("fileDedup", "exit 0");
  }
  void TearDown() override {
    g_attachedMode = savedAttached_;
    g_isWorker = 0;
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    DeviceCatalogue::TearDown();
  }

  void setIni(const char *key, const std::string &value, const char *section = "Replication") {
    ASSERT_EQ(iniPutString(section, key, value.c_str(), masterIni_.c_str()), 0);
  }

  // A backup on the sandbox device, queued for `vault` in state 16 as
  // takeNext leaves it, with sync_status 1.
  long addQueuedBackup(const std::string &vault, BackupSpec backup = {}) {
    backup.syncStatus = backup.syncStatus ? backup.syncStatus : 1;
    long b = addBackupOnDevice(backup);
    exec("UPDATE vx.backups SET total_megs = 3 WHERE backup_no = " + std::to_string(b));
    addEntry(b, vault, 16);
    return b;
  }

  // A recipe that leaves a HaCTAR holding `archive` literally (no block
  // references), so the Vault can build the backup without blocks.
  void writeLiteralRecipe(const std::string &archive) {
    std::string templ = sandbox_.path("hactar.template");
    FILE *f = fopen(templ.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    hactar::Writer w;
    ASSERT_EQ(w.begin(f), 0);
    ASSERT_EQ(w.addLiteral(archive.data(), archive.size()), 0);
    ASSERT_EQ(w.finish(), 0);
    fclose(f);
    writeCommand("recipe", "cp '" + templ + "' \"$DEVICE/hactar_$2\"");
  }

  // Replicates one backup in this process, as "rpd util replicate" does.
  int replicateHere(long b, const std::string &vault) {
    char buf[VAULT_NAME_BUFFER];
    snprintf(buf, sizeof buf, "%s", vault.c_str());
    clearWorkerProcessState();
    return runWorker((uint64_t)b, buf, 0);
  }

  std::string stateOf(long b, const std::string &vault) {
    return value("SELECT status FROM vx.replication_queue WHERE backup_no = " + std::to_string(b) +
                 " AND vault = '" + vault + "'");
  }

  std::string masterIni_;
  int16_t savedAttached_ = 0;
};

}  // namespace rpd::test
