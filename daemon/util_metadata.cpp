// util_metadata.cpp: utility-mode commands for backup identities (UBIs)
// and replication metadata documents. Numbers on the command line are
// converted with atoll, so a non-numeric argument counts as 0.
#include "daemon/util_metadata.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/config.h"
#include "lib/handles.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "metadata/identity.h"
#include "metadata/replication.h"
#include "pipeline/common.h"
#include "vault/rest.h"

int utilExportUbi(int argc, char **argv) {
  if (argc != 4) return 0;
  uint64_t backupNo = (uint64_t)atoll(argv[3]);
  LOG(0, "Looking up UBI string for backup number:%lu", (unsigned long)backupNo);
  char *ubi = nullptr;
  if (getUniversalBackupIdentity(backupNo, &ubi) != 0)
    LOG(0, "Failed to get UBI");
  else if (!ubi)
    LOG(0, "Backup not found. No UBI to generate.");
  MallocPtr<char> owner(ubi);
  const char *text = ubi ? ubi : "";
  LOG(0, "UBI:%s", text);
  printf("%s\n", text);
  fflush(stdout);
  return 0;
}

int utilCheckUbi(int argc, char **argv) {
  if (argc != 4 && argc != 5) return 0;
  const char *ubi = argv[3];
  long backupNo = 0;
  uint64_t status = 0, properties = 0;
  if (argc == 5) {
    const char *target = argv[4];
    LOG(0, "Checking target: %s for UBI:%s", target, ubi);
    CURLcode curl = CURLE_OK;
    backupNo = postBackupCheck(target, ubi, strlen(ubi) + 1, 0, &status, &properties, &curl);
    if (curl != CURLE_OK) {
      LOG(0, "Failed curl request: Curl status: %s", curl_easy_strerror(curl));
      return -1;
    }
    if (backupNo < 1) {
      LOG(0, "Failed to check target:%ld", backupNo);
      return -1;
    }
  } else {
    LOG(0, "Checking local system for UBI:%s", ubi);
    uint64_t local = 0;
    if (UBIstringToBackupNumber(ubi, &local) == 0) {
      backupNo = (long)local;
      LOG(0, "Local backup number:%ld", backupNo);
    } else {
      LOG(0, "failed to convert UBI string %s", ubi);
    }
    if (checkBackupStatus((uint64_t)backupNo, &status, &properties) == 0) {
      LOG(0, "Status:%lu, Properties:%lu", (unsigned long)status, (unsigned long)properties);
    } else {
      LOG(0, "failed to get status & properties.");
      status = properties = 0;
    }
  }
  LOG(0, "Backup number:%ld Status:%lu Properties %lu", backupNo, (unsigned long)status,
      (unsigned long)properties);
  printf("%ld %lu %lu\n", backupNo, (unsigned long)status, (unsigned long)properties);
  fflush(stdout);
  return 0;
}

int utilExportMetadata(int argc, char **argv) {
  if (argc != 4) return 0;
  long backupNo = atoll(argv[3]);
  LOG(0, "Looking up metadata string for backup number:%lu", (unsigned long)backupNo);
  char *text = nullptr;
  size_t length = 0;
  if (exportReplicationMetadata(backupNo, &text, &length) != 0) {
    LOG(0, "ERROR: exportReplicationMetadata failed.");
    return 0;
  }
  MallocPtr<char> owner(text);
  LOG(0, "Successfully looked up metadata");
  LOG(0, "Metadata(size:%zd):\n%s", (ssize_t)length, text);
  fwrite(text, 1, length, stdout);
  fputc('\n', stdout);
  fflush(stdout);
  return 0;
}

int utilImportMetadata(int argc, char **argv) {
  if (argc != 4) return 0;
  const char *path = argv[3];
  LOG(1, "Filename:%s", path);
  UniqueFile file(fopen(path, "rb"));
  struct stat st;
  if (!file || fstat(fileno(file.get()), &st) != 0) {
    LOG(0, "Failed to open file:%s", path);
    return -1;
  }
  ssize_t size = (ssize_t)st.st_size;
  LOG(1, "file size:%zd", size);
  MallocPtr<char> buffer(static_cast<char *>(malloc((size_t)size + 1)));
  if (!buffer) {
    LOG(0, "Failed to get data buffer of size:%u", (unsigned)size);
    return -1;
  }
  char *text = buffer.get();
  size_t got = fread(text, 1, (size_t)size, file.get());
  if (got != (size_t)size) {
    LOG(0, "Failed to open file:%s", path);
    return -1;
  }
  text[size] = '\0';

  long device = iniGetInt("Configuration Options", "DefaultTapeDevice", 1, g_master_ini);
  long backupNo = 0;
  // From the command line a backup older than ones already held is refused
  // (mark flag 0) rather than failing the newer backups.
  if (importReplicationMetadata(text, device, &backupNo, 0) != 0) {
    LOG(0, "Failed to import backup. Backup number:%ld", 0L);
    return -1;
  }
  LOG(0, "Imported backup with backup number:%ld", backupNo);
  printf("%ld\n", backupNo);
  fflush(stdout);
  return 0;
}

int utilCancelBackup(int argc, char **argv) {
  if (argc < 5) return 0;
  const char *vault = argv[3];
  uint64_t backupNo = (uint64_t)atoll(argv[4]);
  char *ubi = nullptr;
  if (getUniversalBackupIdentity(backupNo, &ubi) != 0 || !ubi) {
    free(ubi);
    ubi = nullptr;
    LOG(0, "Warning: Unable to get Universal Backup Identity. Using 'tempUUID'");
  }
  MallocPtr<char> owner(ubi);
  const char *identity = ubi ? ubi : "tempUUID";
  // The message travels with its terminating NUL.
  static const char message[] = "backup operation terminated";
  static_assert(sizeof message == 28, "the Vault expects 28 bytes");
  CURLcode curl = CURLE_OK;
  if (postEndBackup(vault, identity, message, sizeof message, &curl) != 0) {
    LOG(0, "Failed to notify target");
    if (curl != CURLE_OK) LOG(0, "Curl status: %s", curl_easy_strerror(curl));
  }
  return 0;
}
