// vdlog.cpp: the log of the Vault stand-in (see vdlog.h).
#include "vaultd/vdlog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/time.h>
#include <unistd.h>

int g_vdLogLevel = 1;

namespace {
std::mutex g_logLock;          // serialises whole lines; guards g_logStream
FILE *g_logStream = nullptr;   // null = stderr
}  // namespace

int vdLogOpen(const char *path) {
  FILE *f = fopen(path, "a");
  if (!f) return -1;
  setvbuf(f, nullptr, _IOLBF, 0);
  std::lock_guard<std::mutex> g(g_logLock);
  if (g_logStream) fclose(g_logStream);
  g_logStream = f;
  return 0;
}

void vdLogWrite(int level, const char *file, int line, const char *format, ...) {
  if (level > g_vdLogLevel) return;
  char msg[2048];
  va_list ap;
  va_start(ap, format);
  vsnprintf(msg, sizeof msg, format, ap);
  va_end(ap);
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  localtime_r(&tv.tv_sec, &tm);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::lock_guard<std::mutex> g(g_logLock);
  FILE *out = g_logStream ? g_logStream : stderr;
  fprintf(out, "%s.%03ld vaultd[%d] %d %s:%d: %s\n", stamp, (long)(tv.tv_usec / 1000),
          (int)getpid(), level, file, line, msg);
  fflush(out);
}
