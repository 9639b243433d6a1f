// metadataSignals.cpp: signal catchers and signal blocking of the
// deduplication index.
#include "dedup/metadataSignals.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>
#include <cerrno>

#include "lib/logger.h"

namespace {

const int kSignals[3] = {SIGHUP, SIGINT, SIGTERM};

struct Catcher {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  int counts[3] = {0, 0, 0};            // guarded by mutex
  struct sigaction saved[3];            // guarded by mutex
  volatile sig_atomic_t received[3] = {0, 0, 0};  // set by the handler
  volatile sig_atomic_t flag = 0;                 // set by the handler
};

Catcher g_catchers[2];

void handlerList(int sig) {
  for (int i = 0; i < 3; i++)
    if (kSignals[i] == sig) g_catchers[CATCHER_HASH_LIST].received[i] = 1;
  g_catchers[CATCHER_HASH_LIST].flag = 1;
}
void handlerMetadata(int sig) {
  for (int i = 0; i < 3; i++)
    if (kSignals[i] == sig) g_catchers[CATCHER_METADATA].received[i] = 1;
  g_catchers[CATCHER_METADATA].flag = 1;
}

void logCounts(const char *fn, const Catcher &c) {
  LOG(5, "%s(): SIGTERMhandlerSet: %d;  SIGINThandlerSet: %d;  SIGHUPhandlerSet: %d", fn,
      c.counts[2], c.counts[1], c.counts[0]);
}

}  // namespace

int catchSignalsFor(signalCatcherId id) {
  Catcher &c = g_catchers[id];
  int rc = 0;
  pthread_mutex_lock(&c.mutex);
  for (int i = 0; i < 3; i++) {
    if (c.counts[i] == 0) {
      struct sigaction sa;
      memset(&sa, 0, sizeof sa);
      sa.sa_handler = id == CATCHER_HASH_LIST ? handlerList : handlerMetadata;
      sigemptyset(&sa.sa_mask);
      if (sigaction(kSignals[i], &sa, &c.saved[i]) != 0) {
        LOG(0, "Can't set sigaction for %s", strsignal(kSignals[i]));
        rc = -1;
        continue;
      }
    }
    c.counts[i]++;
  }
  logCounts("catchSignals", c);
  pthread_mutex_unlock(&c.mutex);
  return rc;
}

int uncatchSignalsFor(signalCatcherId id) {
  Catcher &c = g_catchers[id];
  int rc = 0;
  pthread_mutex_lock(&c.mutex);
  for (int i = 0; i < 3; i++) {
    if (c.counts[i] == 0) continue;
    if (--c.counts[i] > 0) continue;
    if (sigaction(kSignals[i], &c.saved[i], nullptr) != 0) {
      LOG(0, "Can't restore sigaction for %s", strsignal(kSignals[i]));
      rc = -1;
    }
    if (c.received[i]) {
      c.received[i] = 0;
      if (kill(getpid(), kSignals[i]) != 0) {
        LOG(0, "Can't signal caller with %s: %s", strsignal(kSignals[i]), strerror(errno));
        rc = -1;
      }
    }
  }
  if (c.counts[0] == 0 && c.counts[1] == 0 && c.counts[2] == 0) {
    for (int i = 0; i < 3; i++) c.received[i] = 0;
    c.flag = 0;
  }
  logCounts("uncatchSignals", c);
  pthread_mutex_unlock(&c.mutex);
  return rc;
}

int signalReceivedFor(signalCatcherId id) {
  Catcher &c = g_catchers[id];
  if (!c.flag) return 0;
  for (int i = 0; i < 3; i++)
    if (c.received[i]) LOG(0, "Signal %s received", strsignal(kSignals[i]));
  return 1;
}

int catchDepthFor(signalCatcherId id) {
  Catcher &c = g_catchers[id];
  pthread_mutex_lock(&c.mutex);
  int n = c.counts[2];
  pthread_mutex_unlock(&c.mutex);
  return n;
}

// Blocking nests per thread: the mask being saved and restored is the
// calling thread's own, so the counts are kept beside it per thread.
namespace {
thread_local int t_blockDepth = 0;
thread_local int t_reallyDepth = 0;
thread_local sigset_t t_savedMask;

// Sets the mask for the current depths; the previous mask goes to *old
// when old is not null.
int applyMask(sigset_t *old = nullptr) {
  sigset_t set;
  if (sigfillset(&set) != 0) {
    LOG(0, "Can't fill signalsToBlock");
    return -1;
  }
  const int keep[] = {SIGILL, SIGABRT, SIGFPE, SIGKILL, SIGSEGV, SIGSTOP, SIGBUS};
  for (int s : keep) sigdelset(&set, s);
  if (t_reallyDepth == 0) {
    for (int s : kSignals) {
      if (sigdelset(&set, s) != 0) {
        LOG(0, "Can't clear %s from block mask", strsignal(s));
        return -1;
      }
    }
  }
  if (pthread_sigmask(SIG_SETMASK, &set, old) != 0) {
    LOG(0, "Can't set signal mask");
    return -1;
  }
  return 0;
}

// The mask in force depends only on whether any blocking is active and
// whether any of it is "really" blocking, so it is set only when one of
// those changes: nested locks of the metadata store (several per stored
// hash) then cost no system call beyond the outermost one.
int enter(int &depth) {
  bool first = t_blockDepth == 0 && t_reallyDepth == 0;
  bool reallyBefore = t_reallyDepth > 0;
  depth++;
  // The outermost level saves the thread's mask in the same call that
  // replaces it.
  if (first) return applyMask(&t_savedMask);
  if (reallyBefore == (t_reallyDepth > 0)) return 0;
  return applyMask();
}

int leave(int &depth) {
  if (depth == 0) return 0;
  bool reallyBefore = t_reallyDepth > 0;
  depth--;
  if (t_blockDepth == 0 && t_reallyDepth == 0) {
    if (pthread_sigmask(SIG_SETMASK, &t_savedMask, nullptr) != 0) {
      LOG(0, "Can't restore signal mask");
      return -1;
    }
    return 0;
  }
  if (reallyBefore == (t_reallyDepth > 0)) return 0;
  return applyMask();
}
}  // namespace

int blockSignals() { return enter(t_blockDepth); }
int unblockSignals() { return leave(t_blockDepth); }
int reallyBlockSignals() { return enter(t_reallyDepth); }
int reallyUnblockSignals() { return leave(t_reallyDepth); }
