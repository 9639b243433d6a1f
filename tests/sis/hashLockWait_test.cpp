// hashLockWait_test.cpp: hash locks of two processes on hash IDs that
// collide modulo 2^30: a call whose first lock meets the other process's
// lock waits until it is let go (seen in /proc/locks as a blocked waiter,
// not by timing), and the holder is visible with F_GETLK on the shared
// byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "dedup/hashRead.h"
#include "lib/syspath.h"
#include "pipeline/common.h"
#include "support/sandbox.h"

namespace {

HashValue idRecord(uint64_t id) {
  HashValue r{};
  r.flags = hashID_in;
  r.hashID = id;
  return r;
}

// Whether /proc/locks lists `pid` as blocked on a POSIX lock of the file
// with inode `ino` (a "->" line).
bool waitsOnLock(pid_t pid, ino_t ino) {
  std::ifstream in("/proc/locks");
  std::string line;
  std::string inode = ":" + std::to_string(ino) + " ";
  while (std::getline(in, line)) {
    if (line.find("->") == std::string::npos || line.find("POSIX") == std::string::npos) continue;
    std::istringstream f(line.substr(line.find("->") + 2));
    std::string kind, mode, access;
    long owner = 0;
    f >> kind >> mode >> access >> owner;
    if (owner == pid && line.find(inode) != std::string::npos) return true;
  }
  return false;
}

// Bytes available to read on fd without blocking.
bool readable(int fd) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  char c;
  ssize_t n = read(fd, &c, 1);
  fcntl(fd, F_SETFL, flags);
  return n == 1;
}

}  // namespace

TEST(hashLocks, FirstLockOnACollidingIdWaitsForTheOtherProcess) {
  rpd::test::Sandbox box("rpd-hashlockwait");
  box.mkdirs("/dev/shm");
  const uint64_t id = 0x1234567;
  hashLockState *state = nullptr;
  HashValue mine = idRecord(id);
  ASSERT_EQ(lockHashValuesExclusive(&state, &mine, 1), 1);
  struct stat st;
  ASSERT_EQ(stat(sysPath("/dev/shm/.hashLockFile").c_str(), &st), 0);

  int up[2], down[2];
  ASSERT_EQ(pipe(up), 0);
  ASSERT_EQ(pipe(down), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A second process: its own lock state on the same file. Shared lock
    // on id + 2^30, report, hold until told, report the unlock.
    close(up[0]);
    close(down[1]);
    hashLockState *other = nullptr;
    HashValue alias = idRecord(id + (1ULL << 30));
    char c = lockHashValuesShared(&other, &alias, 1) == 1 ? 'L' : 'x';
    if (write(up[1], &c, 1) != 1) _exit(2);
    if (read(down[0], &c, 1) != 1) _exit(2);
    c = unlockHashValues(&other, &alias, 1) == 1 ? 'U' : 'x';
    if (write(up[1], &c, 1) != 1) _exit(2);
    freeLockedHashState(&other);
    _exit(0);
  }
  close(up[1]);
  close(down[0]);

  // The child must block on our byte: wait until the kernel lists it as a
  // waiter; it must not report a lock before we let go.
  bool blocked = false, early = false;
  for (int i = 0; i < 100000 && !blocked && !early; i++) {
    blocked = waitsOnLock(child, st.st_ino);
    early = readable(up[0]);
    if (!blocked && !early) usleep(1000);
  }
  EXPECT_FALSE(early) << "the colliding lock was granted while we held the byte";
  EXPECT_TRUE(blocked);
  ASSERT_EQ(unlockHashValues(&state, &mine, 1), 1);
  char c = 0;
  ASSERT_EQ(read(up[0], &c, 1), 1);
  EXPECT_EQ(c, 'L');

  // Now the child holds the byte shared. Our byte tells who holds it.
  struct flock probe;
  memset(&probe, 0, sizeof probe);
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = off_t(id & 0x3FFFFFFF);
  probe.l_len = 1;
  ASSERT_EQ(fcntl(state->fd, F_GETLK, &probe), 0);
  EXPECT_EQ(probe.l_type, F_RDLCK);
  EXPECT_EQ(probe.l_pid, child);
  // Shared with shared goes; exclusive after another lock of the call
  // stops at the busy byte (hash 7 was taken, id + 2^31 was not).
  HashValue alias2 = idRecord(id + (1ULL << 31));
  EXPECT_EQ(lockHashValuesShared(&state, &alias2, 1), 1);
  EXPECT_EQ(unlockHashValues(&state, &alias2, 1), 1);
  HashValue pair[2] = {idRecord(7), alias2};
  EXPECT_EQ(lockHashValuesExclusive(&state, pair, 2), 1);
  EXPECT_EQ(unlockHashValues(&state, pair, 1), 1);

  c = 'Q';
  ASSERT_EQ(write(down[1], &c, 1), 1);
  ASSERT_EQ(read(up[0], &c, 1), 1);
  EXPECT_EQ(c, 'U');
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Let go by the child: the byte is free for an exclusive lock again.
  EXPECT_EQ(lockHashValuesExclusive(&state, pair, 2), 2);
  EXPECT_EQ(unlockHashValues(&state, pair, 2), 2);
  close(up[0]);
  close(down[1]);
  freeLockedHashState(&state);
}
