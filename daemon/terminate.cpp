// terminate.cpp: handling of terminated queue entries and the life of a
// backup's HaCTAR (build with "recipe", send, remove).
#include "daemon/terminate.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "daemon/rpd.h"
#include "daemon/settings.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "metadata/identity.h"
#include "queue/replicationQueue.h"
#include "store/libCryptoDaemon.h"
#include "vault/rest.h"

namespace {

// The end notice of a terminated backup, sent with its terminating NUL.
constexpr char TERMINATED_MESSAGE[] = "backup operation terminated";
static_assert(sizeof TERMINATED_MESSAGE == 28);
// The identity reported when a backup's own cannot be had.
constexpr char TEMP_IDENTITY[] = "tempUUID";
// properties bit of vx.backups: the backup's data is encrypted.
constexpr unsigned long PROPERTY_ENCRYPTED = 256;

bool fits(int n, size_t size) { return n >= 0 && static_cast<size_t>(n) < size; }

// Decrypts an encrypted HaCTAR through the CryptoDaemon client: the file's
// 1536-byte header is the token that sets up the crypt context.
class CryptoDaemonDecryptor : public FileDecryptor {
 public:
  CryptoDaemonDecryptor() { memset(&ctx_, 0, sizeof ctx_); }
  ~CryptoDaemonDecryptor() override {
    if (ctx_.cdlibData != nullptr) CDlibReleaseCtx(&ctx_);
  }
  CryptoDaemonDecryptor(const CryptoDaemonDecryptor &) = delete;
  CryptoDaemonDecryptor &operator=(const CryptoDaemonDecryptor &) = delete;

  int initWithToken(const uint8_t *header, size_t len, std::string *error) override {
    CDresult result{};
    if (CDlibInitCryptWithToken(header, (int)len, &ctx_, &result) != 0) {
      *error = result.message;
      return -1;
    }
    return 0;
  }
  int unitSize() const override { return (int)kCDUnitSize; }
  int decrypt(const uint8_t *in, int *inBytes, uint8_t *out, int *outBytes,
              std::string *error) override {
    ctx_.nextDataInPtr = const_cast<uint8_t *>(in);
    ctx_.dataInBytes = *inBytes;
    ctx_.nextDataOutPtr = out;
    ctx_.dataOutBytes = *outBytes;
    CDresult result{};
    int rc = CDlibCrypt((int)CD_OP_DECRYPT, &ctx_, &result);
    *inBytes = ctx_.dataInBytes;
    *outBytes = ctx_.dataOutBytes;
    if (rc != 0) {
      *error = result.message;
      return -1;
    }
    return 0;
  }

 private:
  CDcryptCtx ctx_;
};

// Stops the worker of (backup, vault), if one runs: SIGINT and its record
// goes. The worker's termination handler ends it; the later reaping finds
// no record any more.
void stopWorker(uint64_t backupNo, const char *vault) {
  SigchldBlock block;
  const uint32_t low = static_cast<uint32_t>(backupNo);
  for (auto it = workerList.begin(); it != workerList.end(); ++it) {
    if (it->backupNo == low && strcmp(it->vault, vault) == 0) {
      kill(it->pid, SIGINT);
      workerList.erase(it);
      return;
    }
  }
}

// Tells the Vault that the backup's operation was terminated.
void notifyTerminated(uint64_t backupNo, const char *vault) {
  char *identity = nullptr;
  int rc = getUniversalBackupIdentity(backupNo, &identity);
  std::unique_ptr<char, decltype(&free)> owner(identity, &free);
  const char *sent = identity;
  if (rc != 0 || identity == nullptr) {
    LOG(0, "Warning: Unable to get Universal Backup Identity. Using 'tempUUID'");
    sent = TEMP_IDENTITY;
  }
  CURLcode curl = CURLE_OK;
  if (postEndBackup(vault, sent, TERMINATED_MESSAGE, sizeof TERMINATED_MESSAGE, &curl) != 0) {
    LOG(0, "Failed to notify target");
    if (curl != CURLE_OK) LOG(0, "Curl status: %s", curl_easy_strerror(curl));
  }
}

}  // namespace

int handleTerminated() {
  // Room for MaxConcurrent + 1 entries, so that at least one entry is
  // handled per pass even with replication switched off (MaxConcurrent 0).
  // A negative setting is treated like 0.
  long room = g_settings.MaxConcurrent + 1;
  if (room < 1) room = 1;
  std::unique_ptr<uint64_t[]> backups(new (std::nothrow) uint64_t[room]);
  std::unique_ptr<char[][VAULT_NAME_SIZE]> vaults(new (std::nothrow) char[room][VAULT_NAME_SIZE]);
  if (!backups || !vaults) {
    LOG(0, "Unable to alloc memory");
    return -1;
  }
  int count = listCleanup(backups.get(), vaults.get(), (unsigned)room);
  if (count < 0) return -1;

  for (int i = 0; i < count; i++) {
    const uint64_t backupNo = backups[i];
    const char *vault = vaults[i];
    // A row whose vault name was refused (logged by listCleanup) is left
    // as it is: no worker, Vault or HaCTAR is touched in its name.
    if (vault[0] == '\0') continue;
    stopWorker(backupNo, vault);
    notifyTerminated(backupNo, vault);
    if (removeHactar(backupNo) != 0) LOG(0, "failed to remove hactar");
    setQueueStatus(backupNo, vault, REPLICATION_CANCELLED);
  }
  return count;
}

int hactarPath(uint64_t backupNo, char *path, size_t size) {
  char query[1024];
  int n = snprintf(query, sizeof query,
                   "SELECT dev_rw_name FROM vx.devices WHERE dev_name=(SELECT tape_drive_name FROM "
                   "vx.filesets  WHERE fileset_no=(SELECT fileset_no FROM vx.backups WHERE "
                   "backup_no=%ld))",
                   (long)backupNo);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  LOG(3, "query:%s", query);
  pgResult *raw = pgExec(query);
  PgResultPtr r(raw);
  if (!r || pgStatus(r.get()) != 0 || pgTuples(r.get()) < 1 || pgIsNull(r.get(), 0, "dev_rw_name")) {
    LOG(0, "Failed query:%s", query);
    return -1;
  }
  char *device = pgSValDup(r.get(), 0, "dev_rw_name");
  if (device == nullptr) {
    LOG(0, "failed to alloc mem");
    return -1;
  }
  std::unique_ptr<char, decltype(&free)> owner(device, &free);
  n = snprintf(path, size, "%s/hactar_%ld", device, (long)backupNo);
  if (!fits(n, size)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  return 0;
}

int vx_is_backup_encrypted(uint64_t backupNo) {
  char query[256];
  int n = snprintf(query, sizeof query,
                   "SELECT (properties & %lu) > 0 AS encrypted FROM backups WHERE backup_no = %d",
                   PROPERTY_ENCRYPTED, (int)backupNo);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return 0;
  }
  PgResultPtr r(pgExec(query));
  if (!r || pgStatus(r.get()) != 0 || pgTuples(r.get()) < 1) return 0;
  return pgBVal(r.get(), 0, "encrypted") ? 1 : 0;
}

int createHactar(uint64_t backupNo) {
  LOG(5, "Creating HaCTAR\n");
  char command[512];
  int n = snprintf(command, sizeof command, "%s/recipe -b %ld", g_bindir, (long)backupNo);
  if (!fits(n, sizeof command)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  LOG(6, "Executing command:%s", command);
  int status = system(command);
  if (status == -1) {
    LOG(0, "system command:\"%s\" failed\n", command);
    LOG(0, "errno:%s", strerror(errno));
    return -1;
  }
  int signalField = status & 0x7f;
  if (signalField != 0) {
    LOG(0, "system command:\"%s\" failed\n", command);
    if (signalField == 0x7f)
      LOG(0, "%s abnormally exited.\n", command);
    else
      LOG(0, "system command:\"%s\" failed due to signal %s.\n", command, strsignal(signalField));
    return -1;
  }
  if (WEXITSTATUS(status) != 0) {
    LOG(0, "system command:\"%s\" failed, exited with status=%d.\n", command, WEXITSTATUS(status));
    return -1;
  }
  LOG(0, "system command:\"%s\" completed successfully.\n", command);
  return 0;
}

int sendHactar(uint64_t backupNo, const char *vault, long targetBackupNo, uint64_t elapsed) {
  LOG(5, "Sending HaCTAR\n");
  char path[1024];
  if (hactarPath(backupNo, path, sizeof path) != 0) return -1;
  LOG(0, "Send HaCTAR, Path:%s", path);
  LOG(6, "Check if encrypted");
  int encrypted = vx_is_backup_encrypted(backupNo);
  LOG(6, "bol: %d", encrypted);

  CURLcode curl = CURLE_OK;
  if (encrypted) {
    LOG(4, "encrypted: putEncryptedFile()");
    CryptoDaemonDecryptor cipher;
    if (putEncryptedFiles(vault, path, targetBackupNo, &curl, elapsed, &cipher) != 0) {
      LOG(0, "Failed to send encrypted Hactar, backup_no:%u", (unsigned)backupNo);
      if (curl != CURLE_OK) LOG(0, "Curl status: %s", curl_easy_strerror(curl));
      return -1;
    }
  } else {
    LOG(4, "not encrypted: putFile()");
    if (putFiles(vault, path, targetBackupNo, &curl, elapsed) != 0) {
      LOG(0, "Failed to send Hactar");
      if (curl != CURLE_OK) LOG(0, "Curl status: %s", curl_easy_strerror(curl));
      return -1;
    }
  }
  struct stat st;
  if (stat(path, &st) == 0) g_totalBytesSent += (uint64_t)st.st_size;
  LOG(0, "Send HaCTAR complete.");
  return 0;
}

int removeHactar(uint64_t backupNo) {
  LOG(5, "Remove HaCTAR\n");
  char path[1024];
  if (hactarPath(backupNo, path, sizeof path) != 0) return -1;
  struct stat st;
  if (lstat(path, &st) != 0) return 0;
  return unlink(path) == 0 ? 0 : -1;
}
