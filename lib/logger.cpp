// logger.cpp: the process-wide leveled logger and its log files.
//
// Two line formats exist. The full format ("Mon dd hh:mm:ss : [LOGn] text")
// writes each message under a process-wide mutex with all signals of the
// writing thread blocked, rotates the file by size and keeps one file per
// program and run slot ("instance"). The simple format (log levels 100..199)
// builds each line in a 1024-byte buffer and writes it at once, appending to
// a file that a program and its workers share.
//
// The logger's own failures never go through the log call: they go to an
// installed error callback, else to standard error.
#include "lib/logger.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "lib/config.h"
#include "lib/ini.h"
#include "lib/syspath.h"

#ifndef RPD_VERSION
#define RPD_VERSION "unknown"
#endif

int log_level = 0;
int log_simple = 0;
int log_screen_level = -1;
char g_logdir[256];

namespace {

constexpr int kSimpleLineSize = 1024;
constexpr int kNameDepth = 50;
constexpr int kNameSize = 64;
const char *const g_extns[] = {".log", ".log.gz"};

// Guards every field below and every write to the log stream. Recursive
// because opening a file from inside a log call (first message, rotation)
// and push_name's own messages re-enter the logger on the same thread.
pthread_mutex_t g_logMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

FILE *g_logStream = nullptr;  // where messages go (log file, stderr, /dev/null)
FILE *g_logFile = nullptr;    // the stream opened as the log file (rotation test)
void (*g_errorCallback)(const char *) = nullptr;

// Rotation state.
std::string g_baseName;        // full name of the current full-format log
int g_rotationCount = 0;       // rotations in this run
long g_sizeLimit = -1;         // bytes; -1 = no rotation
int g_logsPerInstance = 1;     // at least 1
std::string g_programName;     // program the log was opened for
int g_instance = 0;            // instance number of the log file
char g_startDate[128] = "";    // "%a %b %d %Y %X %Z" at opening

// Name stack (guarded by g_logMutex).
char g_names[kNameDepth][kNameSize];
int g_nameDepth = -1;

// RAII lock of g_logMutex.
struct LogLock {
  LogLock() { pthread_mutex_lock(&g_logMutex); }
  ~LogLock() { pthread_mutex_unlock(&g_logMutex); }
  LogLock(const LogLock &) = delete;
  LogLock &operator=(const LogLock &) = delete;
};

// Reports one of the logger's own errors.
__attribute__((format(printf, 1, 2))) void logError(const char *format, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (g_errorCallback)
    g_errorCallback(buf);
  else
    fputs(buf, stderr);
}

// Local time as "%b %d %T".
void timestamp(char *buf, size_t size) {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  if (strftime(buf, size, "%b %d %T", &tmv) == 0) buf[0] = '\0';
}

bool endsWithNewline(const char *format) {
  size_t n = strlen(format);
  return n > 0 && format[n - 1] == '\n';
}

bool fileExists(const std::string &name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0;
}

// `name` without a trailing ".log" or ".log.gz".
std::string stripExtension(const std::string &name) {
  for (const char *e : {".log.gz", ".log"}) {
    size_t n = strlen(e);
    if (name.size() >= n && name.compare(name.size() - n, n, e) == 0)
      return name.substr(0, name.size() - n);
  }
  return name;
}

// The name with whichever log extension exists, or "" when neither does.
std::string existingWithExtension(const std::string &stem) {
  for (const char *e : g_extns)
    if (fileExists(stem + e)) return stem + e;
  return "";
}

// The log directory: g_logdir, or /tmp when it is empty.
std::string logDirectory() {
  if (g_logdir[0] != '\0') return g_logdir;
  return sysPath("/tmp");
}

std::string inLogDirectory(const char *name) {
  if (name[0] == '/') return name;
  return logDirectory() + "/" + name;
}

// When log_level is 100..199 the level is meant in the simple format:
// reduce it and switch the format. Returns true when it did.
bool applySimpleLevel() {
  if (log_level >= 100 && log_level != 200) {
    log_level -= 100;
    log_simple = 1;
    return true;
  }
  return false;
}

// Takes the log level from the LOG_LEVEL environment variable. The value
// is read from its twelfth character on, as the variable has been set with
// its own name repeated ("LOG_LEVEL=LOG_LEVEL=5" style settings made by
// the appliance's scripts); a shorter value that is all digits is taken as
// the level itself, anything else is ignored.
void levelFromEnvironment() {
  const char *v = getenv("LOG_LEVEL");
  if (v == nullptr) return;
  if (strlen(v) >= 12) {
    log_level = (int)strtol(v + 11, nullptr, 10);
    return;
  }
  if (*v == '\0') return;
  for (const char *p = v; *p; p++)
    if (*p < '0' || *p > '9') return;
  log_level = (int)strtol(v, nullptr, 10);
}

// Deletes the log `name` and its rotated files name_1, name_2, ... (either
// extension) as long as the next one exists.
void cleanupOldLogs(const std::string &name) {
  std::string stem = stripExtension(name);
  for (int r = 0;; r++) {
    std::string s = r == 0 ? stem : stem + "_" + std::to_string(r);
    bool any = false;
    for (const char *e : g_extns) {
      std::string f = s + e;
      if (!fileExists(f)) continue;
      any = true;
      if (unlink(f.c_str()) != 0) {
        logError("CleanupOldLogs(): Could not unlink %s because %s \n", f.c_str(), strerror(errno));
        return;
      }
    }
    if (!any && r > 0) return;
  }
}

void closeLogLocked() {
  if (g_logStream != nullptr && g_logStream != stderr) {
    if (log_level != 200) {
      char ts[64];
      timestamp(ts, sizeof ts);
      fprintf(g_logStream, "%s : pid=%d %d : Log Closed\n", ts, (int)getpid(), (int)getppid());
    }
    fclose(g_logStream);
  }
  g_logStream = nullptr;
  g_logFile = nullptr;
}

// Opens `name` as the full-format log file: the old file is removed, the
// new one opened for appending, close-on-exec, mode 0664. On failure
// /dev/null takes its place (the process exits when even that fails) and
// the result is -1.
int openLogFile(std::string &name) {
  closeLogLocked();
  struct stat st;
  if (lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(name.c_str());
  int result = 0;
  FILE *f = fopen(name.c_str(), "a+");
  if (f == nullptr) {
    logError("Fatal error opening logfile %s because: %s\n", name.c_str(), strerror(errno));
    name = "/dev/null";
    f = fopen(name.c_str(), "a+");
    if (f == nullptr) exit(1);
    result = -1;
  } else {
    fcntl(fileno(f), F_SETFD, FD_CLOEXEC);
    fchmod(fileno(f), 0664);
  }
  g_logStream = f;
  g_logFile = f;
  if (log_level >= 100 || log_simple) vxLog(2, "OpenLog(%s) status = %d", name.c_str(), result);
  return result;
}

// Moves the current log aside (name_1, name_2, ... up to logs per
// instance) and starts a fresh file. Called with the mutex held from a
// full-format log call.
void rotateLog(long offset) {
  char ts[64];
  timestamp(ts, sizeof ts);
  fprintf(g_logStream, "%s : Current log size = %ld; Moving log file...  \n", ts, offset);
  fflush(g_logStream);
  std::string stem = stripExtension(g_baseName);
  for (int r = g_rotationCount; r >= 0; r--) {
    std::string src = existingWithExtension(r > 0 ? stem + "_" + std::to_string(r) : stem);
    if (src.empty()) continue;
    if (r + 1 < g_logsPerInstance) {
      std::string ext = src.substr(src.size() - (src.ends_with(".gz") ? 7 : 4));
      std::string dst = stem + "_" + std::to_string(r + 1) + ext;
      if (rename(src.c_str(), dst.c_str()) != 0)
        logError("Renaming file %s to %s failed because: %s\n", src.c_str(), dst.c_str(),
                 strerror(errno));
    } else if (unlink(src.c_str()) != 0) {
      logError("Unlinking %s failed because %s \n", src.c_str(), strerror(errno));
    }
  }
  g_rotationCount++;
  std::string name = g_baseName;
  if (openLogFile(name) != 0) {
    logError("WARNING: Attempt to rotate logs failed, turning off log rotation!\n ");
    g_sizeLimit = -1;
    return;
  }
  fprintf(g_logStream, "%s[%s, pid = %d]: started on %s (Log level=%d)\n", g_programName.c_str(),
          RPD_VERSION, (int)getpid(), g_startDate, log_level);
  fprintf(g_logStream,
          "Log size limit reached, starting new log file. For prior logs, check %s-%d*.log\n",
          g_programName.c_str(), g_instance);
  fflush(g_logStream);
}

int simpleLog(int level, const char *format, va_list ap) {
  if (level > log_level) return 0;
  LogLock lock;
  if (g_logStream == nullptr) openLog(sysPath("/tmp/program.log").c_str());
  if (g_logStream == nullptr) return 0;
  char line[kSimpleLineSize];
  char ts[64];
  timestamp(ts, sizeof ts);
  int head = snprintf(line, sizeof line, "%s : [LOG%d] ", ts, level);
  int body = vsnprintf(line + head, sizeof line - head, format, ap);
  if (body < 0) return 0;
  int full = head + body;
  int written;
  if (full >= kSimpleLineSize) {
    written = fprintf(g_logStream, "Message below was truncated from %d to %d bytes\n%s\n", full,
                      kSimpleLineSize, line);
  } else if (endsWithNewline(format)) {
    written = fprintf(g_logStream, "%s", line);
  } else {
    written = fprintf(g_logStream, "%s\n", line);
  }
  if (g_logStream != stderr) fflush(g_logStream);
  return written < 0 ? 0 : written;
}

int fullLog(int level, const char *format, va_list ap) {
  if (level > log_level && level > log_screen_level) return 0;
  int written = 0;
  if (level <= log_level) {
    sigset_t all, old;
    sigfillset(&all);
    bool masked = pthread_sigmask(SIG_BLOCK, &all, &old) == 0;
    if (!masked) logError("can't block signals");
    int rc = pthread_mutex_lock(&g_logMutex);
    if (rc != 0) logError("Error getting mutex lock:%d\n", rc);
    if (g_logStream == nullptr) openLog(sysPath("/tmp/program.log").c_str());
    if (g_logStream != nullptr) {
      if (g_logStream == g_logFile && g_logsPerInstance >= 2 && g_sizeLimit > 0) {
        long off = ftell(g_logStream);
        if (off < 0)
          logError("Error checking logfile size %s because: %s\n", g_baseName.c_str(),
                   strerror(errno));
        else if (off + (long)strlen(format) > g_sizeLimit)
          rotateLog(off);
      }
      if (strstr(format, "Log level=") == nullptr) {
        char ts[64];
        timestamp(ts, sizeof ts);
        int n = fprintf(g_logStream, "%s : [LOG%d] ", ts, level);
        if (n > 0) written += n;
      }
      va_list aq;
      va_copy(aq, ap);
      int n = vfprintf(g_logStream, format, aq);
      va_end(aq);
      if (n > 0) written += n;
      if (!endsWithNewline(format) && fputc('\n', g_logStream) != EOF) written++;
      fflush(g_logStream);
    }
    if (rc == 0 && (rc = pthread_mutex_unlock(&g_logMutex)) != 0)
      logError("Error releasing mutex lock:%d\n", rc);
    if (masked && pthread_sigmask(SIG_SETMASK, &old, nullptr) != 0)
      logError("sigprocmask(SIG_SETMASK,,)\n");
  }
  if (level <= log_screen_level) {
    va_list aq;
    va_copy(aq, ap);
    vfprintf(stderr, format, aq);
    va_end(aq);
    if (!endsWithNewline(format)) fputc('\n', stderr);
  }
  return written;
}

// Reads one log setting: key "default" of `section`, overridden by key
// `program`.
long logSetting(const char *section, const char *program, long def) {
  long v = iniGetInt(section, "default", def, g_master_ini);
  return iniGetInt(section, program, v, g_master_ini);
}

// Picks the instance file of `program` (see openProgramLog) and opens it.
void openInstanceLog(const char *program, int instances, int days) {
  std::string vxini = sysPath("/etc/default/vx.ini");
  char previous[256];
  iniGetString("Location Information", program, "", previous, sizeof previous, vxini.c_str());
  std::string prevKey = std::string("prev_") + program;
  iniPutString("Location Information", prevKey.c_str(), previous, vxini.c_str());

  time_t cutoff = time(nullptr) - (time_t)days * 86400;
  if (log_level >= 100 && strstr(program, "vxserver") == nullptr) {
    std::string name = logDirectory() + "/" + program + ".log";
    openLog(name.c_str());
    g_instance = 0;
    return;
  }

  auto candidate = [&](int k) {
    return logDirectory() + "/" + program + "-" + std::to_string(k) + ".log";
  };
  int chosen = 0;
  int oldest = -1;
  time_t oldestTime = 0;
  for (int k = 0;; k++) {
    std::string c = candidate(k);
    std::string existing = existingWithExtension(stripExtension(c));
    struct stat st;
    if (existing.empty() || stat(existing.c_str(), &st) != 0) {
      chosen = k;
      break;
    }
    if (oldest < 0 || st.st_mtime < oldestTime) {
      oldest = k;
      oldestTime = st.st_mtime;
    }
    if (st.st_mtime < cutoff) {
      chosen = k;
      break;
    }
    if (k >= instances) {
      chosen = oldest;
      break;
    }
    vxLog(6, "The next log name is %s\n", candidate(k + 1).c_str());
  }
  std::string name = candidate(chosen);
  if (log_level > 5) {
    vxLog(6, "New Log Name: %s\n", name.c_str());
    vxLog(6, "Location....: %s\n", logDirectory().c_str());
    vxLog(6, "AppName.....: %s\n", program);
    vxLog(6, "IniName.....: %s\n", vxini.c_str());
  }
  openLog(name.c_str());
  g_instance = chosen;
  iniPutString("Location Information", program, name.c_str(), vxini.c_str());
}

}  // namespace

int vxLog(int level, const char *format, ...) {
  if (log_level == 200) return 0;
  applySimpleLevel();
  va_list ap;
  va_start(ap, format);
  int n = log_simple ? simpleLog(level, format, ap) : fullLog(level, format, ap);
  va_end(ap);
  return n;
}

int openLog(const char *name) {
  LogLock lock;
  if (log_level == 200) {
    closeLogLocked();
    g_logStream = fopen("/dev/null", "a");
    return 0;
  }
  bool simple;
  if (log_level >= 100) {
    log_level -= 100;
    simple = strstr(name, "vxserver") == nullptr;
    if (simple) log_simple = 1;
  } else {
    simple = log_simple != 0;
  }
  if (!simple) {
    levelFromEnvironment();
    std::string full = inLogDirectory(name);
    cleanupOldLogs(full);
    g_rotationCount = 0;
    int r = openLogFile(full);
    g_baseName = full;
    return r;
  }
  // Simple format: the name is cut at the last "-" of its base name so that
  // "rpd-worker.log" and "rpd.log" share one file. (Only the base name is
  // searched so a "-" in the directory does not cut the path.)
  char path[128];
  if (snprintf(path, sizeof path, "%s", inLogDirectory(name).c_str()) >= (int)sizeof path) {
    logError("Error opening logfile %s because: %s\n", path, strerror(ENAMETOOLONG));
    return -1;
  }
  char *base = strrchr(path, '/');
  base = base ? base + 1 : path;
  char *dash = strrchr(base, '-');
  std::string file = dash ? std::string(path, dash - path) : stripExtension(path);
  file += ".log";
  closeLogLocked();
  FILE *f = fopen(file.c_str(), "a");
  if (f == nullptr) {
    fprintf(stderr, "Error opening logfile %s because: %s\n", file.c_str(), strerror(errno));
    return -1;
  }
  fcntl(fileno(f), F_SETFD, FD_CLOEXEC);
  g_logStream = f;
  return 0;
}

int openProgramLog(const char *program, int defaultInstances) {
  int days = (int)logSetting("LogRetentionDays", program, 1);
  int instances = (int)logSetting("LogRetentionInstances", program, defaultInstances);
  int perInstance = (int)logSetting("LogsPerInstance", program, 4);
  long sizeKB = logSetting("MaxLogKB", program, 3072);
  if (days < 1) days = 1;
  if (instances < 1) instances = 1;
  if (perInstance < 1) perInstance = 1;
  if (sizeKB < 0) sizeKB = 0;

  {
    LogLock lock;
    const char *named = getenv("VXLOGNAME");
    if (named != nullptr) {
      openLog(named);
      g_instance = 0;
    } else {
      openInstanceLog(program, instances, days);
    }
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    if (strftime(g_startDate, sizeof g_startDate, "%a %b %d %Y %X %Z", &tmv) == 0)
      g_startDate[0] = '\0';
    g_programName = program;
    g_rotationCount = 0;
    if (perInstance > 1 && sizeKB > 0) {
      g_logsPerInstance = perInstance;
      g_sizeLimit = sizeKB * 1024;
    } else {
      g_logsPerInstance = 1;
      g_sizeLimit = -1;
    }
  }
  vxLog(0, "%s[%s, pid = %d]: started on %s  (Log level=%d)\n", program, RPD_VERSION,
        (int)getpid(), g_startDate, log_level);
  if (log_level >= 6) {
    vxLog(6, "Program Log Loaded log configs\n");
    vxLog(6, "\tLogRetentionDays:%d\n", days);
    vxLog(6, "\tLogRetentionInstances:%d\n", instances);
    vxLog(6, "\tLogsPerInstance:%d\n", perInstance);
    vxLog(6, "\tMaxLogSize:%d\n", (int)sizeKB);
  }
  return 0;
}

void close_log() {
  LogLock lock;
  closeLogLocked();
}

void attachLogStream(FILE *stream) {
  LogLock lock;
  g_logStream = stream;
  g_logFile = nullptr;
}

void setLogErrorCallback(void (*callback)(const char *message)) {
  LogLock lock;
  g_errorCallback = callback;
}

int push_name(const char *name) {
  LogLock lock;
  if (log_level > 3) {
    if (name)
      vxLog(4, "Entering function: %s\n", name);
    else
      vxLog(4, "Entering function: (null function name)\n");
  }
  if (g_nameDepth >= kNameDepth - 2) {
    vxLog(1, "WARNING: push_name() limit of %d reached\n", kNameDepth);
    for (int i = 0; i <= g_nameDepth; i++) vxLog(1, "name_array[%d] is \"%s\"\n", i, g_names[i]);
    memset(g_names, 0, sizeof g_names);
    g_nameDepth = -1;
    return -1;
  }
  g_nameDepth++;
  snprintf(g_names[g_nameDepth], kNameSize, "%s", name ? name : "Not set:");
  return 0;
}

int pop_name() {
  LogLock lock;
  if (g_nameDepth < 0) {
    vxLog(1, "WARNING: pop_name() - cannot pop stack further\n");
    return -1;
  }
  if (log_level > 3) vxLog(4, "Leaving function: %s\n", g_names[g_nameDepth]);
  g_names[g_nameDepth][0] = '\0';
  g_nameDepth--;
  return 0;
}

const char *top_name() {
  LogLock lock;
  if (g_nameDepth < 0 || strstr(g_names[g_nameDepth], "%%s") != nullptr) return "Not set:";
  return g_names[g_nameDepth];
}
