// The shared bandwidth table across real processes: the daemon's segment,
// forked workers whose sending threads attach to it by id, the rate split by
// the number of attachments, and rewrites seen by the workers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "support/sandbox.h"
#include "vault/blockOut.h"

namespace {

constexpr uint64_t M = 1048576;

// One forked worker: its sending thread attaches to the segment by id and
// answers the parent's questions ('q': the allowance now) until 'x'.
struct Worker {
  pid_t pid = -1;
  int ask = -1, answer = -1;

  bool start(int shmid) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return false;
    pid = fork();
    if (pid == 0) {
      close(down[1]);
      close(up[0]);
      // The inherited attachment of the forking thread is dropped; the
      // sending thread holds the worker's only one.
      detachBandwidthTable();
      std::thread sender([&] {
        int rc = parseBlockOutPeriods(("attach:" + std::to_string(shmid)).c_str());
        uint64_t ready = rc == 0 ? 1 : 0;
        if (write(up[1], &ready, sizeof ready) != sizeof ready) return;
        char c;
        while (read(down[0], &c, 1) == 1 && c == 'q') {
          uint64_t a = getBandwidthAllowance(time(nullptr));
          if (write(up[1], &a, sizeof a) != sizeof a) return;
        }
        detachBandwidthTable();
      });
      sender.join();
      _exit(0);
    }
    close(down[0]);
    close(up[1]);
    ask = down[1];
    answer = up[0];
    uint64_t ready = 0;
    return read(answer, &ready, sizeof ready) == sizeof ready && ready == 1;
  }
  uint64_t allowance() {
    uint64_t a = 0;
    if (write(ask, "q", 1) != 1 || read(answer, &a, sizeof a) != sizeof a) return 0;
    return a;
  }
  int stop() {
    if (write(ask, "x", 1) != 1) {
    }
    close(ask);
    close(answer);
    int st = 0;
    if (waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
};

TEST(BlockOutProcesses, RateIsSplitAmongWorkerSendersAndRewritesReachThem) {
  rpd::test::SystemSandbox box{"rpd-vault"};
  detachBandwidthTable();
  ASSERT_EQ(0, parseBlockOutPeriods(""));
  ASSERT_EQ(0, createBandwidthTable());
  int id = getBandwidthTableId();
  ASSERT_GE(id, 0);
  ASSERT_EQ(0, parseBlockOutPeriods("=1m"));

  // The daemon and two senders: each sender gets half.
  Worker w[3];
  ASSERT_TRUE(w[0].start(id));
  ASSERT_TRUE(w[1].start(id));
  EXPECT_EQ(512 * 1024u, w[0].allowance());
  EXPECT_EQ(512 * 1024u, w[1].allowance());

  // A third sender: a third each (integer division).
  ASSERT_TRUE(w[2].start(id));
  for (Worker &x : w) EXPECT_EQ(M / 3, x.allowance());

  // The daemon rewrites the table in place: the next question sees it.
  ASSERT_EQ(0, parseBlockOutPeriods("=6m"));
  for (Worker &x : w) EXPECT_EQ(2 * M, x.allowance());

  // A share below the minimum rate is raised to it.
  ASSERT_EQ(0, parseBlockOutPeriods("=8k"));
  for (Worker &x : w) EXPECT_EQ(4096u, x.allowance());

  // Unlimited stays unlimited whatever the divisor.
  ASSERT_EQ(0, parseBlockOutPeriods(""));
  for (Worker &x : w) EXPECT_EQ(BANDWIDTH_UNLIMITED, x.allowance());

  // A sender that ends gives its share back to the others.
  ASSERT_EQ(0, parseBlockOutPeriods("=1m"));
  EXPECT_EQ(0, w[2].stop());
  EXPECT_EQ(512 * 1024u, w[0].allowance());
  EXPECT_EQ(0, w[1].stop());
  EXPECT_EQ(M, w[0].allowance());
  EXPECT_EQ(0, w[0].stop());

  detachBandwidthTable();
  parseBlockOutPeriods("");
}

}  // namespace
