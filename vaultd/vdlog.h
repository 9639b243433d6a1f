// vdlog.h: the log of the Vault stand-in.
//
// vaultd is a separate system from rpd, so it keeps its own small log
// rather than the appliance logger: one line per message, prefixed with the
// time, the process id and "file:line: ", written to standard error or to
// the file given with --log. Level 0 is always written; higher levels up to
// the level given with --log-level.
#pragma once

// The configured level (default 1). Written once at start-up.
extern int g_vdLogLevel;

// Sends the log to `path` (appending); 0 or -1. Without a call the log goes
// to standard error.
int vdLogOpen(const char *path);

// Writes one message when `level` <= g_vdLogLevel. Thread-safe.
void vdLogWrite(int level, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

#define VDLOG(level, fmt, ...) \
  vdLogWrite((level), __FILE_NAME__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
