// metadataSignals.h: deferral of SIGHUP, SIGINT and SIGTERM around long walks
// of the deduplication index, and blocking of signals around record changes.
//
// Two independent catchers exist: one for the hash lists and value lookups,
// one for the metadata store. Each keeps per-signal nesting counts and its
// own received set; the outermost catch installs a handler that only records
// the signal, the outermost uncatch restores the previous action and
// re-sends a signal that arrived meanwhile. When the store's catcher is
// nested inside the list's, the re-sent signal lands in the list's handler,
// so it is delivered once the outermost operation ends.
#pragma once

enum signalCatcherId { CATCHER_HASH_LIST = 0, CATCHER_METADATA = 1 };

// 0 / -1 ("Can't set sigaction for %s").
int catchSignalsFor(signalCatcherId id);
// 0 / -1 ("Can't restore sigaction for %s", "Can't signal caller with %s: %s").
int uncatchSignalsFor(signalCatcherId id);
// 1 when a caught signal arrived; logs "Signal %s received" per signal.
int signalReceivedFor(signalCatcherId id);
// Nesting depth of the catcher's SIGTERM count (for tests and logs).
int catchDepthFor(signalCatcherId id);

// Blocks every signal except the synchronous ones and SIGKILL/SIGSTOP, and
// except SIGHUP/SIGINT/SIGTERM, which stay caught and deferred. Nests; the
// first block saves the thread's mask, the last unblock restores it.
int blockSignals();
int unblockSignals();
// Like blockSignals but also blocks SIGHUP, SIGINT and SIGTERM.
int reallyBlockSignals();
int reallyUnblockSignals();
