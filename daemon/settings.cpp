// settings.cpp: the settings re-read of the main loop and the two
// configuration initialisations (full for daemon and utility mode, light
// for attached mode). See settings.h for the record they fill.
#include "daemon/settings.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/steps.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/syspath.h"
#include "lib/validate.h"

namespace {

constexpr size_t PATH_BUFFER = 256;
// Port used when the services database has no "vxd" entry.
constexpr long DEFAULT_VXD_PORT = 1743;

// Joins dir and name with "/" into out (size bytes). 0, or -1 when the
// result does not fit (out then holds a cut path).
int joinPath(char *out, size_t size, const char *dir, const char *name) {
  int n = snprintf(out, size, "%s/%s", dir, name);
  return (n < 0 || static_cast<size_t>(n) >= size) ? -1 : 0;
}

// A configured path value counts as missing when it is empty or holds
// the placeholder "N/A".
bool isMissingValue(const char *value) { return value[0] == '\0' || strstr(value, "N/A") != nullptr; }

// Creates dir and its missing parents with mode 0777 (before the umask).
// 0 when the directory exists afterwards, -1 otherwise.
int makeDirectories(const char *dir) {
  std::string path(dir);
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    std::string prefix = path.substr(0, i);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return -1;
  }
  struct stat st;
  return (stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) ? 0 : -1;
}

// Puts NAME=value into the environment of the process so that the
// appliance commands that rpd starts find the installation.
void exportVariable(const char *name, const char *value) {
  std::string text = std::string(name) + "=" + value;
  // setenv copies the value and keeps track of the strings it made, so a
  // settings reload that rewrites the variable loses no memory (a putenv'd
  // copy would be orphaned by each rewrite).
  if (setenv(name, value, 1) != 0) {
    vxLog(0, "Failed to set environment (no memory): %s\n", text.c_str());
    return;
  }
  vxLog(5, "Env-> %s\n", text.c_str());
}

// Reads a path from section "Location Information" of master.ini into out;
// falls back to dir/defaultName when the key is missing, empty or "N/A".
int readLocation(const char *key, const char *dir, const char *defaultName, char *out) {
  char value[PATH_BUFFER];
  if (iniGetString("Location Information", key, "", value, sizeof value, g_master_ini) == 0 &&
      !isMissingValue(value)) {
    snprintf(out, PATH_BUFFER, "%s", value);
    return 0;
  }
  return joinPath(out, PATH_BUFFER, dir, defaultName);
}

// Reads SyncTo into syncTo (SYNCTO_BUFFER bytes). The value is read whole
// first, so that a name too long for the buffer is refused instead of cut
// into another vault's name. A value outside the vault name rule is
// refused with a log line and leaves no target (empty): nothing is queued
// for it and no statement or URL is built from it. Empty means no target.
void readSyncTo(char *syncTo, const char *ini) {
  char value[512];
  iniGetString("Replication", "SyncTo", "vault", value, sizeof value, ini);
  std::string source = std::string("SyncTo in ") + ini;
  if (value[0] != '\0' && checkVaultName(value, source.c_str()) != 0) value[0] = '\0';
  snprintf(syncTo, SYNCTO_BUFFER, "%s", value);
}

}  // namespace

void readReplicationSettings() {
  stepClearWorkerProcessState();

  const char *ini = g_master_ini;
  ReplicationSettings &s = g_settings;
  struct stat st;
  bool changed;
  time_t mtime;
  if (stat(ini, &st) == 0) {
    mtime = st.st_mtime;
    changed = mtime > g_masterIniMtime;
  } else {
    // A missing master.ini is read once (every key then takes its
    // default) when it disappears, not again on every pass while it stays
    // missing. -1 marks that read; a file that reappears has a later time.
    mtime = -1;
    changed = g_masterIniMtime != -1;
  }

  if (changed) {
    g_masterIniMtime = mtime;
    const ReplicationSettings &opt = g_optionSettings;

    if (g_overrideMask[0] & OVERRIDE_SYNCTO)
      memcpy(s.SyncTo, opt.SyncTo, sizeof s.SyncTo);
    else
      readSyncTo(s.SyncTo, ini);
    s.TimeDelay = (g_overrideMask[0] & OVERRIDE_TIMEDELAY) ? opt.TimeDelay
                                                           : iniGetInt("Replication", "TimeDelay", 60, ini);
    s.MaxConcurrent = (g_overrideMask[0] & OVERRIDE_MAXCONCURRENT)
                          ? opt.MaxConcurrent
                          : iniGetInt("Replication", "MaxConcurrent", 5, ini);
    s.MaxBlocks = (g_overrideMask[0] & OVERRIDE_MAXBLOCKS)
                      ? opt.MaxBlocks
                      : static_cast<unsigned long>(iniGetInt("Replication", "MaxBlocks", 10485760, ini));
    s.MetaSize = iniGetInt("Replication", "MetaSize", 1024, ini);
    s.Cluster = (g_overrideMask[1] & OVERRIDE_CLUSTER)
                    ? opt.Cluster
                    : static_cast<int>(iniGetInt("Replication", "Cluster", 1, ini));
    s.QueueScheme = (g_overrideMask[1] & OVERRIDE_QUEUESCHEME)
                        ? opt.QueueScheme
                        : static_cast<int>(iniGetInt("Replication", "QueueScheme", 0, ini));
    LOG(3, "queue scheme: %d", s.QueueScheme);

    s.RetryCount = static_cast<int>(iniGetInt("Replication", "RetryCount", 3, ini));
    log_level = static_cast<int>(iniGetInt("debugging", "rpd", 0, ini));

    s.Checkpoint = 0;
    iniGetBool("Replication", "Checkpoint", 0, &s.Checkpoint, ini);
    if (s.Checkpoint)
      LOG(0, "Using checkpoint system");
    else
      LOG(0, "Not using checkpoint system");

    // Replication runs only when it is enabled and the automatic secure
    // synchronisation does not own the data; this beats a -o value too.
    uint8_t enabled = 0, autoSync = 0;
    iniGetBool("Replication", "Enabled", 0, &enabled, ini);
    iniGetBool("securesync", "AutoSyncEnabled", 0, &autoSync, ini);
    if (!enabled || autoSync) s.MaxConcurrent = 0;

    // Without a target there is nothing to queue for.
    if (s.SyncTo[0] == '\0') s.QueueScheme = QUEUE_SCHEME_NONE;

    s.LocalBlockElimination = 1;
    iniGetBool("Replication", "LocalBlockElimination", 1, &s.LocalBlockElimination, ini);
    s.BlockEliminationType = static_cast<int>(iniGetInt("Replication", "BlockEliminationType", 2, ini));
    s.BlockEliminationCandidate =
        static_cast<int>(iniGetInt("Replication", "BlockEliminationCandidate", 2, ini));

    // The schedule only matters while workers may run; otherwise the
    // buffer keeps what it held.
    if (s.MaxConcurrent != 0) {
      // The reader cuts at 4095 characters: a non-zero byte at index 4094
      // means the value filled the buffer and may have been cut.
      s.BlockOutPeriods[BLOCKOUT_BUFFER - 2] = '\0';
      iniGetString("Replication", "BlockOutPeriods", "", s.BlockOutPeriods, sizeof s.BlockOutPeriods, ini);
      if (s.BlockOutPeriods[BLOCKOUT_BUFFER - 2] != '\0') {
        LOG(0, "WARNING: The variable 'BlockOutPeriods' in file %s\n         is too long. Ignored.\n", ini);
        memset(s.BlockOutPeriods, 0, sizeof s.BlockOutPeriods);
      }
      if (stepParseBlockOutPeriods(s.BlockOutPeriods) < 0)
        LOG(0, "WARNING: The variable 'BlockOutPeriods' in file %s\n         is invalid. Ignored.\n", ini);
    }
  }

  stepReadSocketSettings(ini);
}

int initGlobals() {
  setlocale(LC_ALL, "");

  // Installation directory: VXDIR, else vx.ini, else the default. Read
  // into a larger buffer so an over-long value is noticed, not cut.
  char dir[1024];
  std::string defaultDir = sysPath("/usr/vx");
  std::string vxIni = sysPath("/etc/default/vx.ini");
  const char *env = getenv("VXDIR");
  if (env != nullptr)
    snprintf(dir, sizeof dir, "%s", env);
  else if (access(vxIni.c_str(), F_OK) == 0)
    iniGetString("Location Information", "VXDIR", "N/A", dir, sizeof dir, vxIni.c_str());
  else
    snprintf(dir, sizeof dir, "%s", defaultDir.c_str());
  if (isMissingValue(dir)) snprintf(dir, sizeof dir, "%s", defaultDir.c_str());
  if (strlen(dir) >= PATH_BUFFER) {
    vxLog(0, "Installed directory path is too long\n");
    return -1;
  }
  snprintf(g_appdir, sizeof g_appdir, "%s", dir);

  if (joinPath(g_master_ini, sizeof g_master_ini, g_appdir, "vxinit/master.ini") != 0) {
    vxLog(0, "Installed directory path is too long\n");
    return -1;
  }
  vxLog(5, "Master_ini: %s\n", g_master_ini);

  // Priority: the program's choice in section Nice picks one of three
  // configured values; -1 (or any other choice) leaves the priority alone.
  long niceLow = iniGetInt("Configuration Options", "NiceLow", -1, g_master_ini);
  long niceNormal = iniGetInt("Configuration Options", "NiceNormal", -1, g_master_ini);
  long niceHigh = iniGetInt("Configuration Options", "NiceHigh", -1, g_master_ini);
  long choice = iniGetInt("Nice", ghAppName, 0, g_master_ini);
  g_nice = static_cast<int>(choice);
  long value = choice == 1 ? niceHigh : choice == 2 ? niceNormal : choice == 3 ? niceLow : -1;
  if (value != -1) {
    long result = nice(static_cast<int>(value - 20));
    vxLog(0, "Nice is set to level %ld, resulting priority %ld\n", choice, result);
  }

  if (g_appdir[0] != '/') vxLog(0, "VX path: %s must start with / - re-install", g_appdir);

  makeDirectories(g_appdir);
  if (chdir(g_appdir) != 0) LOG(0, "chdir(%s) failed: %s", g_appdir, strerror(errno));

  iniGetString("Configuration Options", "OemName", "Corvid Suite", g_appname, sizeof g_appname, g_master_ini);

  struct {
    char *out;
    const char *name;
  } derived[] = {
      {g_utildir, "util"},      {g_libdir, "lib"},           {g_bindir, "bin"},
      {g_initdir, "vxinit"},    {g_xrdir, "vxinit/xresources"}, {g_listdir, "lists.dir"},
      {g_profiledir, "profiles.dir"}, {g_infodir, "info.dir"},
  };
  for (auto &d : derived) {
    if (joinPath(d.out, PATH_BUFFER, g_appdir, d.name) != 0) {
      vxLog(0, "Installed directory path is too long\n");
      return -1;
    }
  }

  char logName[PATH_BUFFER];
  if (readLocation("Reports-Dir", g_appdir, "reports.dir", g_reportdir) != 0 ||
      readLocation("Logs-Dir", g_appdir, "logs.dir", g_logdir) != 0 ||
      readLocation("Logname", g_logdir, "vx.log", logName) != 0) {
    vxLog(0, "Installed directory path is too long\n");
    return -1;
  }
  // The log directory is made before the log is opened in it (the other
  // directories follow below), so a first run on a fresh installation
  // already gets its log file.
  makeDirectories(g_logdir);
  close_log();
  openLog(logName);

  // A level above 99 means level - 100 in the simple format; the logger
  // makes that switch at its next call.
  log_level = static_cast<int>(iniGetInt("Debugging", ghAppName, 0, g_master_ini));

  const char *subdirs[] = {"profiles.dir", "lists.dir", "info.dir"};
  for (const char *name : subdirs) {
    char path[PATH_BUFFER];
    if (joinPath(path, sizeof path, g_appdir, name) == 0) makeDirectories(path);
  }
  makeDirectories(g_listdir);
  makeDirectories(g_logdir);
  makeDirectories(g_reportdir);

  struct servent *service = getservbyname("vxd", "tcp");
  if (service == nullptr) {
    vxLog(0, "Can't get Corvid Suite service [service=vxd protocol=tcp]\n");
    vxLog(0, "Using %ld\n", DEFAULT_VXD_PORT);
    g_vxdPort = DEFAULT_VXD_PORT;
  } else {
    g_vxdPort = ntohs(static_cast<uint16_t>(service->s_port));
  }

  exportVariable("VX_MASTER_INI", g_master_ini);
  exportVariable("VX_APPDIR", g_appdir);
  exportVariable("VX_BINDIR", g_bindir);
  exportVariable("VX_LOGDIR", g_logdir);
  exportVariable("VX_REPORTDIR", g_reportdir);
  exportVariable("VX_INITDIR", g_initdir);
  exportVariable("VX_XRDIR", g_xrdir);
  exportVariable("VX_LISTDIR", g_listdir);
  exportVariable("VX_PROFILEDIR", g_profiledir);
  exportVariable("VX_INFODIR", g_infodir);
  exportVariable("VX_UTILDIR", g_utildir);
  exportVariable("VX_LIBDIR", g_libdir);
  exportVariable("VXDIR", g_appdir);
  exportVariable("BKUPBIN", g_bindir);
  return 0;
}

int initGlobalsLight(const char *program, const char *iniName, const char *defaultDir) {
  std::string ini = iniName[0] == '/' ? std::string(iniName) : sysPath(("/etc/default/" + std::string(iniName)).c_str());
  int rc = 0;
  const char *initName = "vxinit";
  char dir[PATH_BUFFER];
  if (iniGetString("Location Information", "VXDIR", defaultDir, dir, sizeof dir, ini.c_str()) != 0) {
    // Older installations name the directory APPDIR and keep their
    // initialisation files in "config".
    initName = "config";
    if (iniGetString("Location Information", "APPDIR", defaultDir, dir, sizeof dir, ini.c_str()) != 0) rc = -1;
  }
  snprintf(g_appdir, sizeof g_appdir, "%s", dir);
  if (joinPath(g_initdir, sizeof g_initdir, g_appdir, initName) != 0) rc = -1;
  char master[PATH_BUFFER];
  if (joinPath(master, sizeof master, g_initdir, "master.ini") == 0 && access(master, R_OK) == 0)
    snprintf(g_master_ini, sizeof g_master_ini, "%s", master);
  else
    snprintf(g_master_ini, sizeof g_master_ini, "%s", ini.c_str());
  if (joinPath(g_logdir, sizeof g_logdir, g_appdir, "logs.dir") != 0) rc = -1;
  if (joinPath(g_bindir, sizeof g_bindir, g_appdir, "bin") != 0) rc = -1;
  log_level = static_cast<int>(iniGetInt("debugging", program, log_level, ini.c_str()));
  return rc;
}
