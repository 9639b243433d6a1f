// Tests of signal deferral and blocking around index walks.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include "dedup/hashValues.h"
#include "dedup/metadataSignals.h"

namespace {
volatile sig_atomic_t g_delivered[65];
void countingHandler(int sig) { g_delivered[sig]++; }

bool masked(int sig) {
  sigset_t now;
  pthread_sigmask(SIG_SETMASK, nullptr, &now);
  return sigismember(&now, sig) == 1;
}
}  // namespace

TEST(signalDeferral, NestedCatchersDeliverOnceAfterTheOutermostEnds) {
  struct sigaction sa = {}, oldTerm, oldInt;
  sa.sa_handler = countingHandler;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(0, sigaction(SIGTERM, &sa, &oldTerm));
  ASSERT_EQ(0, sigaction(SIGINT, &sa, &oldInt));
  g_delivered[SIGTERM] = g_delivered[SIGINT] = 0;

  ASSERT_EQ(0, catchSignals());
  ASSERT_EQ(0, catchSignals());  // nested
  EXPECT_EQ(0, receivedSignal());
  ASSERT_EQ(0, metadataCatchSignals());
  raise(SIGINT);
  EXPECT_EQ(1, metadataSignalReceived());
  EXPECT_EQ(0, g_delivered[SIGINT]);
  // The store's catcher hands the signal on to the list's catcher.
  ASSERT_EQ(0, metadataUncatchSignals());
  EXPECT_EQ(0, metadataSignalReceived());
  EXPECT_EQ(1, receivedSignal());
  raise(SIGTERM);
  EXPECT_EQ(0, g_delivered[SIGTERM]);
  ASSERT_EQ(0, uncatchSignals());
  EXPECT_EQ(0, g_delivered[SIGINT] + g_delivered[SIGTERM]) << "inner uncatch delivers nothing";
  ASSERT_EQ(0, uncatchSignals());
  EXPECT_EQ(1, g_delivered[SIGINT]);
  EXPECT_EQ(1, g_delivered[SIGTERM]);
  EXPECT_EQ(0, receivedSignal());
  EXPECT_EQ(0, catchDepthFor(CATCHER_HASH_LIST));
  // The caller's own handler is back.
  raise(SIGTERM);
  EXPECT_EQ(2, g_delivered[SIGTERM]);
  sigaction(SIGTERM, &oldTerm, nullptr);
  sigaction(SIGINT, &oldInt, nullptr);
}

TEST(signalBlocking, WriteLocksDeferTerminationOnlyWhenReallyBlocked) {
  ASSERT_FALSE(masked(SIGUSR1));
  ASSERT_EQ(0, blockSignals());
  EXPECT_TRUE(masked(SIGUSR1));
  EXPECT_FALSE(masked(SIGTERM));
  EXPECT_FALSE(masked(SIGSEGV));
  ASSERT_EQ(0, reallyBlockSignals());
  EXPECT_TRUE(masked(SIGTERM));
  EXPECT_TRUE(masked(SIGHUP));
  ASSERT_EQ(0, reallyUnblockSignals());
  EXPECT_FALSE(masked(SIGTERM));
  EXPECT_TRUE(masked(SIGUSR1)) << "the outer block still holds";
  ASSERT_EQ(0, unblockSignals());
  EXPECT_FALSE(masked(SIGUSR1));

  // Nesting of either kind and in either order: the mask follows the
  // strongest level still held, and the thread's own mask comes back.
  sigset_t own, now;
  sigemptyset(&own);
  sigaddset(&own, SIGUSR2);
  ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &own, nullptr));
  ASSERT_EQ(0, reallyBlockSignals());
  ASSERT_EQ(0, blockSignals());
  ASSERT_EQ(0, blockSignals());
  EXPECT_TRUE(masked(SIGTERM));
  ASSERT_EQ(0, unblockSignals());
  EXPECT_TRUE(masked(SIGTERM));
  ASSERT_EQ(0, reallyBlockSignals());
  ASSERT_EQ(0, reallyUnblockSignals());
  EXPECT_TRUE(masked(SIGTERM)) << "the outer really-block still holds";
  ASSERT_EQ(0, reallyUnblockSignals());
  EXPECT_FALSE(masked(SIGTERM));
  EXPECT_TRUE(masked(SIGUSR1)) << "the inner block still holds";
  ASSERT_EQ(0, unblockSignals());
  EXPECT_FALSE(masked(SIGUSR1));
  ASSERT_EQ(0, pthread_sigmask(SIG_SETMASK, nullptr, &now));
  EXPECT_TRUE(sigismember(&now, SIGUSR2)) << "the thread's own mask is restored";
  ASSERT_EQ(0, pthread_sigmask(SIG_UNBLOCK, &own, nullptr));
}
