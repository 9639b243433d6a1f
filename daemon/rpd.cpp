// rpd.cpp: the process entry of rpd, its options, daemonisation with a
// locked pid file, signal flags, the worker list and the main loop.
#include "daemon/rpd.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/settings.h"
#include "daemon/steps.h"
#include "daemon/util.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "lib/syspath.h"
#include "lib/validate.h"

std::list<WorkerRecord> workerList;
volatile sig_atomic_t g_cleanupRequested = 0;
volatile sig_atomic_t g_childExited = 0;
int g_isWorker = 0;
int16_t g_attachedMode = 0;
int g_bandwidthTableId = -1;
char g_pidFilePath[256];

namespace {

constexpr size_t APP_NAME_BUFFER = 32;
constexpr size_t PID_PATH_BUFFER = 256;
constexpr size_t PID_DATA_BUFFER = 256;
constexpr int MAX_VAULT_OVERRIDE = 64;
const char *const OPTIONS = "acdl:m:o:t:q:v:s:";

// The pid file's descriptor; open (and locked) for the life of the daemon.
int g_pidFd = -1;

void onTerminate(int) { g_cleanupRequested = 1; }
void onChild(int) { g_childExited = 1; }

// Sleeps `seconds` seconds; a cleanup signal or an ending worker ends the
// sleep early, so it is acted on at the next pass. The signals are blocked
// while the flags are tested and unblocked atomically by ppoll, so one that
// arrives just before the sleep is not lost for the whole delay. A
// negative delay counts as 0.
void sleepSeconds(long seconds) {
  if (seconds <= 0) return;
  sigset_t wake, previous;
  sigemptyset(&wake);
  sigaddset(&wake, SIGTERM);
  sigaddset(&wake, SIGINT);
  sigaddset(&wake, SIGQUIT);
  sigaddset(&wake, SIGCHLD);
  if (sigprocmask(SIG_BLOCK, &wake, &previous) != 0) {
    sleep(static_cast<unsigned>(seconds));
    return;
  }
  if (g_cleanupRequested != 1 && g_childExited != 1) {
    struct timespec delay = {static_cast<time_t>(seconds), 0};
    ppoll(nullptr, 0, &delay, &previous);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Leaves the process after a worker child finished its work: nothing of
// the daemon's state (pid file, workers) belongs to it.
int workerExit() {
  fclose(stderr);
  stepDetachBandwidthTable();
  curl_global_cleanup();
  return RPD_EXIT_OK;
}

}  // namespace

SigchldBlock::SigchldBlock() : blocked_(false) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  if (sigprocmask(SIG_BLOCK, &set, &previous_) != 0)
    LOG(0, "can't block SIGCHLD");
  else
    blocked_ = true;
}

SigchldBlock::~SigchldBlock() {
  if (blocked_ && sigprocmask(SIG_SETMASK, &previous_, nullptr) != 0) LOG(0, "sigprocmask(SIG_SETMASK,,)\n");
}

void setAppName(const char *argv0, char *out) {
  const char *src = argv0;
  size_t len = strlen(src);
  if (len > APP_NAME_BUFFER) src += len - (APP_NAME_BUFFER - 1);
  const char *slash = strrchr(src, '/');
  if (slash != nullptr) src = slash + 1;
  snprintf(out, APP_NAME_BUFFER, "%s", src);
}

void addWorker(pid_t pid, uint64_t backupNo, const char *vault) {
  WorkerRecord record{};
  record.pid = pid;
  record.backupNo = static_cast<uint32_t>(backupNo);
  snprintf(record.vault, sizeof record.vault, "%s", vault);
  SigchldBlock block;
  workerList.push_back(record);
}

int removeWorker(pid_t pid) {
  SigchldBlock block;
  for (auto it = workerList.begin(); it != workerList.end(); ++it) {
    if (it->pid == pid) {
      workerList.erase(it);
      return 1;
    }
  }
  return 0;
}

long workerCount() {
  SigchldBlock block;
  return static_cast<long>(workerList.size());
}

void reapWorkers() {
  // Exit statuses are not examined: a worker's outcome is in its queue row.
  pid_t pid;
  while ((pid = waitpid(-1, nullptr, WNOHANG)) >= 1) removeWorker(pid);
}

float readLoadAverage(const char *path) {
  FILE *f = fopen(path, "r");
  if (f == nullptr) return -1.0f;
  float load;
  int n = fscanf(f, "%f", &load);
  fclose(f);
  return n == 1 ? load : -1.0f;
}

const char *loadAveragePath() {
  // The load is the kernel's, not a configuration file, so it is read from
  // the real /proc. A sandboxed run may provide its own "/proc/loadavg"
  // under the sandbox root to drive the load check; that file wins when it
  // exists.
  static std::string path;
  path = sysPath("/proc/loadavg");
  if (access(path.c_str(), F_OK) == 0) return path.c_str();
  return "/proc/loadavg";
}

int daemonize(const char *pidBase) {
  if (getppid() == 1) exit(RPD_EXIT_FATAL);
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) exit(RPD_EXIT_FATAL);
  // The parent leaves at once, without atexit handlers, so it neither
  // flushes stdio twice nor closes the log the daemon goes on writing.
  if (pid > 0) _exit(RPD_EXIT_OK);

  umask(0);
  if (setsid() < 0) exit(RPD_EXIT_FATAL);
  if (chdir("/") != 0) {
    LOG(0, "failed to chdir to /: %s.", strerror(errno));
    return -1;
  }
  if (freopen("/dev/null", "r", stdin) == nullptr || freopen("/dev/null", "w", stdout) == nullptr ||
      freopen("/dev/null", "w", stderr) == nullptr) {
    // Nothing to report to: a standard stream that stays closed is harmless.
  }

  char path[PID_PATH_BUFFER];
  int n = snprintf(path, sizeof path, "/var/run/%s.pid", pidBase);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path || sysPath(g_pidFilePath, sizeof g_pidFilePath, path) != 0) {
    size_t needed = sysPath(path).size();
    LOG(0, "failed to build /var/run/%s.pid, buffer size %zu, data size %d.", pidBase, sizeof g_pidFilePath,
        static_cast<int>(needed));
    return -1;
  }

  // O_CLOEXEC: the commands a worker runs must not inherit the lock.
  int fd = open(g_pidFilePath, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    LOG(0, "failed to open %s: %s.", g_pidFilePath, strerror(errno));
    return -1;
  }
  // A second daemon stops here; it has not written to the file.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    LOG(0, "failed to lock /var/run/%s.pid: %s.", pidBase, strerror(errno));
    close(fd);
    return -1;
  }

  char data[PID_DATA_BUFFER];
  n = snprintf(data, sizeof data, "%d", static_cast<int>(getpid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof data) {
    LOG(0, "failed to build pig data buffer size %zu, data size %d.", sizeof data, n);
    close(fd);
    return -1;
  }
  if (write(fd, data, static_cast<size_t>(n)) != n) {
    LOG(0, "failed to write /var/run/%s.pid: %s.", pidBase, strerror(errno));
    close(fd);
    return -1;
  }
  if (ftruncate(fd, n) != 0) {
    LOG(0, "Truncate /var/run/%s.pid failed: %s.", pidBase, strerror(errno));
    close(fd);
    return -1;
  }
  g_pidFd = fd;
  return 0;
}

void cleanupStep() {
  LOG(0, "Cleaning up");
  {
    SigchldBlock block;
    for (const WorkerRecord &w : workerList) {
      LOG(0, "killing: %d", static_cast<int>(w.pid));
      kill(w.pid, SIGTERM);
    }
  }
  stepDetachBandwidthTable();
  curl_global_cleanup();
  stepReleaseReservation();
  // A foreground daemon (-d) made no pid file and has none to remove.
  if (g_isWorker == 0 && g_pidFd >= 0) {
    LOG(0, "Clear pid file");
    SigchldBlock block;
    if (unlink(g_pidFilePath) != 0) {
      LOG(0, "Failed to remove pid file");
      LOG(0, "errno:%s", strerror(errno));
    }
  }
}

int mainLoop(float loadThreshold) {
  while (g_cleanupRequested != 1) {
    if (g_childExited == 1) {
      LOG(4, "sigchld caught");
      // Cleared before reaping, so a child that ends while we reap raises
      // it again instead of waiting for the next one.
      g_childExited = 0;
      reapWorkers();
    }

    LOG(4, "Reading master.ini");
    readReplicationSettings();

    LOG(4, "Updating replication_queue");
    stepRefreshQueue();

    LOG(4, "Handling terminated operations");
    stepHandleTerminated();

    if (loadThreshold > 0.0f) {
      float load = readLoadAverage(loadAveragePath());
      if (load > loadThreshold) {
        LOG(0, "Load is %.2f...too high. Waiting %d seconds.\n", static_cast<double>(load),
            static_cast<int>(g_settings.TimeDelay));
        sleepSeconds(g_settings.TimeDelay);
        continue;
      }
    }

    long n = g_settings.MaxConcurrent - workerCount();
    LOG(4, "Starting %d workers\n", static_cast<int>(n));
    for (long i = 0; i < n; ++i) {
      // The queue may hand back another vault than the configured one, so
      // each call gets its own copy of the name.
      char vault[VAULT_NAME_BUFFER];
      snprintf(vault, sizeof vault, "%s", g_settings.SyncTo);
      int rc = stepStartWorker(0, vault, 1);
      if (rc == WORKER_DONE) return workerExit();
      // Nothing eligible now: the next calls would find nothing either.
      if (rc == 1) break;
    }

    fflush(stdout);
    fflush(stderr);
    sleepSeconds(g_settings.TimeDelay);
  }

  LOG(4, "cleanup signal caught");
  cleanupStep();
  fclose(stderr);
  stepDetachBandwidthTable();
  curl_global_cleanup();
  return RPD_EXIT_OK;
}

int rpdMain(int argc, char **argv) {
  LOG(5, "Setting up signal handling");
  signal(SIGCHLD, onChild);
  signal(SIGTERM, onTerminate);
  signal(SIGINT, onTerminate);
  signal(SIGQUIT, onTerminate);

  int daemonise = 1;
  float loadThreshold = 0.0f;
  int sValue = -1;  // -s is accepted for compatibility and has no effect
  g_isWorker = 0;
  g_settings.Checkpoint = 0;
  curl_global_init(CURL_GLOBAL_ALL);

  if (argc > 1 && (strcmp(argv[1], "utility") == 0 || strcmp(argv[1], "util") == 0)) {
    int rc = utilMain(argc, argv);
    curl_global_cleanup();
    return rc;
  }

  g_overrideMask[0] = g_overrideMask[1] = 0;
  g_masterIniMtime = 0;
  g_totalBytesSent = 0;
  log_level = 0;

  int opt;
  while ((opt = getopt(argc, argv, OPTIONS)) != -1) {
    switch (opt) {
      case 'a':
        g_attachedMode = 1;
        break;
      case 'c':
        g_optionSettings.Cluster = 0;
        g_settings.Cluster = 0;
        g_overrideMask[1] |= OVERRIDE_CLUSTER;
        break;
      case 'd':
        daemonise = 0;
        break;
      case 'l':
        sscanf(optarg, "%f", &loadThreshold);
        break;
      case 'm':
        sscanf(optarg, "%lu", &g_optionSettings.MaxBlocks);
        g_settings.MaxBlocks = g_optionSettings.MaxBlocks;
        g_overrideMask[0] |= OVERRIDE_MAXBLOCKS;
        break;
      case 'o':
        g_optionSettings.MaxConcurrent = atoll(optarg);
        g_settings.MaxConcurrent = g_optionSettings.MaxConcurrent;
        g_overrideMask[0] |= OVERRIDE_MAXCONCURRENT;
        break;
      case 't':
        g_optionSettings.TimeDelay = atoll(optarg);
        g_settings.TimeDelay = g_optionSettings.TimeDelay;
        g_overrideMask[0] |= OVERRIDE_TIMEDELAY;
        break;
      case 'q':
        g_optionSettings.QueueScheme = static_cast<int>(atoll(optarg));
        g_settings.QueueScheme = g_optionSettings.QueueScheme;
        g_overrideMask[1] |= OVERRIDE_QUEUESCHEME;
        break;
      case 'v':
        if (strlen(optarg) >= static_cast<size_t>(MAX_VAULT_OVERRIDE)) {
          LOG(0, "Invalid vault override\n");
          LOG(0, "Must be smaller than %d\n", MAX_VAULT_OVERRIDE);
          return -1;
        }
        if (checkVaultName(optarg, "option -v") != 0) return -1;
        snprintf(g_optionSettings.SyncTo, sizeof g_optionSettings.SyncTo, "%s", optarg);
        memcpy(g_settings.SyncTo, g_optionSettings.SyncTo, sizeof g_settings.SyncTo);
        g_overrideMask[0] |= OVERRIDE_SYNCTO;
        break;
      case 's':
        sscanf(optarg, "%d", &sValue);
        break;
      default:
        printf("Usage: \n");
        return RPD_EXIT_USAGE;
    }
  }
  (void)sValue;

  const char *pidBase = "rpd";
  if (g_attachedMode) {
    pidBase = basename(argv[0]);
    std::string defaultDir = sysPath("/usr/vx");
    if (initGlobalsLight(pidBase, "vx.ini", defaultDir.c_str()) != 0)
      fprintf(stderr, "%s[%s,%d]: init_globals() failed\n", pidBase, __FILE_NAME__, __LINE__);
    attachLogStream(stderr);
  } else {
    setAppName(argv[0], ghAppName);
    initGlobals();
    push_name(ghAppName);
    openProgramLog(ghAppName, 1);
  }

  if (daemonise) {
    LOG(0, "Daemonize...");
    if (daemonize(pidBase) != 0) return RPD_EXIT_OK;
  }

  if (stepCreateBandwidthTable() < 0)
    LOG(0, "Can't create shared bandwidth table.\n  All processes will use default bandwidth\n");
  g_bandwidthTableId = stepGetBandwidthTableId();

  stepResetActive();

  return mainLoop(loadThreshold);
}

void closeInheritedPidFile() {
  if (g_pidFd >= 0) {
    close(g_pidFd);
    g_pidFd = -1;
  }
}
