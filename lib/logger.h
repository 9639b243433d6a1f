// logger.h: the process-wide leveled logger.
//
// Every component writes its diagnostics through vxLog() with a numeric
// level and a printf format. By convention the format starts with "%s:%d: "
// and the first two arguments are the source file's base name and the line;
// the LOG() macro supplies them. Level 0 is always written; higher levels
// only up to log_level. The logger owns the log files: one per program and
// run slot ("instance"), rotated by size within a run and kept for a number
// of days/instances across runs.
#pragma once

#include <cstdio>

// Messages with a level <= log_level are written. 200 = logging off;
// 100..199 = (level - 100) in the simple format.
extern int log_level;
// 0 = full format, 1 = simple format.
extern int log_simple;
// Full format: messages with a level <= log_screen_level also go to stderr.
extern int log_screen_level;
// The log directory; "/tmp" is used when it is empty.
extern char g_logdir[256];

// Writes one message; returns the number of characters written, 0 when
// the level suppressed it.
int vxLog(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// LOG(level, "text %d", x) logs "file.cpp:LINE: text x".
#define LOG(level, fmt, ...) \
  vxLog((level), "%s:%d: " fmt, __FILE_NAME__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// Opens the log of program `program` choosing an instance file, with
// `defaultInstances` as the default of LogRetentionInstances; writes the
// start banner. Returns 0.
int openProgramLog(const char *program, int defaultInstances);
// Opens (or switches to) the log file `name`; 0 or -1.
int openLog(const char *name);
// Closes the current log with the closing line.
void close_log();
// Makes an already open stream (stderr in attached mode) the log stream.
void attachLogStream(FILE *stream);
// Installs a callback for the logger's own error messages (default stderr).
void setLogErrorCallback(void (*callback)(const char *message));

int push_name(const char *name);
int pop_name();
// The name on top of the stack, or "Not set:".
const char *top_name();
