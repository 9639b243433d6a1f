// rpd.h: process entry, daemonisation, signals, worker list and main loop
// of the replication daemon.
//
// The daemon is single-threaded. Signal handlers only set the flags below;
// the main loop acts on them. Workers are forked children that inherit a
// copy of this state and leave through the main loop's exit path.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <list>

#include "daemon/settings.h"

// Exit status codes of the entry (the process's status is the low byte).
constexpr int RPD_EXIT_OK = 0;
constexpr int RPD_EXIT_USAGE = 1;
constexpr int RPD_EXIT_FATAL = 255;
// Worker-function result: this process is a worker child whose work is
// done.
constexpr int WORKER_DONE = -5;

// One running worker process.
struct WorkerRecord {
  pid_t pid;
  uint32_t backupNo;  // the low half of the catalogue's backup number
  char vault[VAULT_NAME_BUFFER];
};

// The running workers. Every change and every walk happens with SIGCHLD
// blocked (SigchldBlock), because the list is shared with the reaping
// that SIGCHLD triggers.
extern std::list<WorkerRecord> workerList;

// Set to 1 by SIGTERM, SIGINT and SIGQUIT; the main loop ends when it is 1.
extern volatile sig_atomic_t g_cleanupRequested;
// Set to 1 by SIGCHLD; cleared by the main loop when it reaps.
extern volatile sig_atomic_t g_childExited;
// 0 in the daemon, 1 in a forked worker (set first thing after the fork).
extern int g_isWorker;
// 1 when option -a was given: light initialisation, logging to stderr.
extern int16_t g_attachedMode;
// Segment id of the shared bandwidth table, kept for the workers; -1 none.
extern int g_bandwidthTableId;
// The pid file's path ("/var/run/<name>.pid" under the sandbox root).
extern char g_pidFilePath[256];

// Process entry of rpd: utility mode when argv[1] is "util" or "utility",
// else daemon mode. Returns the process's exit status (-1 = 255).
int rpdMain(int argc, char **argv);

// Fills out (a 32-byte buffer) with the program name taken from argv0:
// when argv0 is longer than 32 characters only its last 31 are considered,
// then the text after the last "/" is taken, cut at 31 characters.
void setAppName(const char *argv0, char *out);

// Blocks SIGCHLD for its lifetime and restores the previous mask after.
// Failures are logged ("can't block SIGCHLD") and otherwise ignored.
class SigchldBlock {
 public:
  SigchldBlock();
  ~SigchldBlock();
  SigchldBlock(const SigchldBlock &) = delete;
  SigchldBlock &operator=(const SigchldBlock &) = delete;

 private:
  sigset_t previous_;
  bool blocked_;
};

// Appends a worker record (under SigchldBlock).
void addWorker(pid_t pid, uint64_t backupNo, const char *vault);
// Removes the first record with the given pid (under SigchldBlock).
// 1 when one was removed, 0 when none matched.
int removeWorker(pid_t pid);
// Number of records (under SigchldBlock).
long workerCount();
// Reaps every ended child without blocking and drops its record.
void reapWorkers();

// Reads the one-minute load average from the first field of `path`;
// -1.0 when the file cannot be opened or the field cannot be read.
float readLoadAverage(const char *path);
// The load file the daemon reads: "/proc/loadavg" under the sandbox root
// when such a file exists there, else the kernel's "/proc/loadavg".
const char *loadAveragePath();

// Turns the process into a daemon: exits 255 when the parent is already
// process 1 or fork/setsid fail; the parent exits 0. In the child, moves
// to "/", points stdio at /dev/null and creates, locks and writes the pid
// file "/var/run/<pidBase>.pid", keeping it open so the lock lasts for the
// life of the process. 0 on success, -1 on failure (already logged).
int daemonize(const char *pidBase);

// Runs main-loop passes until a cleanup signal, then cleans up. Returns
// the exit status: 0 after a cleanup signal, or 0 in a worker child whose
// work is done.
int mainLoop(float loadThreshold);

// Cleanup step: SIGTERM to every worker, detach the bandwidth table,
// release libcurl and the storage reservation, and (in the daemon only)
// remove the pid file.
void cleanupStep();

// In a forked worker: closes the inherited descriptor of the daemon's pid
// file. The daemon's flock belongs to the open file, which a fork shares,
// so a worker that outlived its daemon would otherwise keep the lock and
// stop the next daemon from starting.
void closeInheritedPidFile();
