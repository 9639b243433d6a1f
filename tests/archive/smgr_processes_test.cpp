// smgr_processes_test.cpp: storage manager reservations made by several
// processes at once against the running device monitor stand-in: keyless
// registrations never share an entry, the table fills at 512 whoever asks,
// and the device totals add up after concurrent reservations, replacements,
// refusals and unregistrations.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "lib/logger.h"
#include "lib/pghelper.h"
#include "store/smgr.h"
#include "support/catalogue.h"
#include "support/appliance.h"
#include "support/sandbox.h"

namespace {

std::string showTables() { return rpd::test::deviceMonitor("--show").out; }

using RunningMonitor = rpd::test::DeviceMonitor;

// Runs body(i) in n forked processes that start together; each child's
// exit status is body's result (0 = all its checks held). Returns the
// statuses; the children's catalogue connections are their own.
template <typename F>
std::vector<int> inProcesses(int n, F body) {
  pgCloseAll();
  int go[2];
  if (pipe(go) != 0) return {};
  std::vector<pid_t> kids;
  for (int i = 0; i < n; i++) {
    pid_t p = fork();
    if (p == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(99);
      int rc = body(i);
      pgCloseAll();
      _exit(rc);
    }
    kids.push_back(p);
  }
  close(go[0]);
  close(go[1]);
  std::vector<int> out;
  for (pid_t p : kids) {
    int st = 0;
    waitpid(p, &st, 0);
    out.push_back(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
  }
  return out;
}

TEST(smgrProcesses, ConcurrentWritersShareTheTableAndTheDeviceTotals) {
  rpd::test::ScopedTestDatabase db;
  rpd::test::Sandbox sandbox{"rpd-smgr-procs"};
  attachLogStream(stderr);
  pgCloseAll();
  long dev = db.number("INSERT INTO vx.devices (dev_name, capacity) VALUES ('disk1', 1000) RETURNING device_no");
  RunningMonitor monitor;
  ASSERT_TRUE(monitor.ready());

  // Two processes fill the table with keyless registrations on one device,
  // each reserving 1000 bytes per entry, and report the keys they got.
  int keyPipe[2];
  ASSERT_EQ(0, pipe(keyPipe));
  std::vector<int> st = inProcesses(2, [&](int) {
    close(keyPipe[0]);
    int refused = 0;
    for (;;) {
      long k = smgr_register(0, int(dev));
      if (k == SMGR_ELIMIT) break;
      if (k < 1) return 1;
      if (smgr_reserve(uint32_t(k), 1000) != 0) return 2;
      int32_t key = int32_t(k);
      if (write(keyPipe[1], &key, sizeof key) != sizeof key) return 3;
      // Keys from the keyless range and reservations past the capacity are
      // refused without changing anything.
      if (k < 512 && smgr_register(uint32_t(k), int(dev)) != SMGR_EXIST) refused++;
      if (smgr_reserve(uint32_t(k), 1000 * 1024 + 1) != SMGR_EOVER) refused++;
    }
    return refused == 0 ? 0 : 4;
  });
  close(keyPipe[1]);
  EXPECT_EQ((std::vector<int>{0, 0}), st);
  std::multiset<int32_t> keys;
  int32_t key;
  while (read(keyPipe[0], &key, sizeof key) == sizeof key) keys.insert(key);
  close(keyPipe[0]);
  ASSERT_EQ(512u, keys.size());
  std::set<int32_t> distinct(keys.begin(), keys.end());
  EXPECT_EQ(512u, distinct.size()) << "two processes received the same entry";
  EXPECT_EQ(1, *distinct.begin());
  EXPECT_EQ(512, *distinct.rbegin());
  EXPECT_EQ(SMGR_ELIMIT, smgr_register(0, int(dev)));
  std::string line = "device " + std::to_string(dev) + " reserved " + std::to_string(512 * 1000) + " confirmed 0\n";
  std::string tables = showTables();
  EXPECT_NE(std::string::npos, tables.find(line)) << tables;

  // Now at once: one process unregisters the odd keys, the other replaces
  // the reservations of the even keys with 3000 bytes and confirms 100.
  st = inProcesses(2, [&](int who) {
    for (int k = who == 0 ? 1 : 2; k <= 512; k += 2) {
      if (who == 0 && smgr_unregister(uint32_t(k)) != 0) return 1;
      if (who == 1 && (smgr_reserve(uint32_t(k), 3000) != 0 || smgr_confirm(uint32_t(k), 100) != 0)) return 2;
    }
    return 0;
  });
  EXPECT_EQ((std::vector<int>{0, 0}), st);
  line = "device " + std::to_string(dev) + " reserved " + std::to_string(256 * 3000) + " confirmed " +
         std::to_string(256 * 100) + "\n";
  tables = showTables();
  EXPECT_NE(std::string::npos, tables.find(line)) << tables;
  smgrReservation r;
  EXPECT_EQ(SMGR_ENREG, smgr_get(1, &r));
  ASSERT_EQ(0, smgr_get(2, &r));
  EXPECT_EQ(3000u, r.reserved);
  EXPECT_EQ(100u, r.confirmed);

  // The freed entries are free for anyone: both processes register again
  // until the table is full, and exactly 256 more fit.
  st = inProcesses(2, [&](int) {
    long k;
    while ((k = smgr_register(0, int(dev))) > 0) {
    }
    return k == SMGR_ELIMIT ? 0 : 1;
  });
  EXPECT_EQ((std::vector<int>{0, 0}), st);
  EXPECT_EQ(SMGR_ELIMIT, smgr_register(0, int(dev)));
  tables = showTables();
  size_t entries = 0;
  for (size_t at = tables.find("reservation "); at != std::string::npos; at = tables.find("reservation ", at + 1))
    entries++;
  EXPECT_EQ(512u, entries) << tables;
  // Every odd key came back (keyless keys are index + 1) and starts empty.
  for (uint32_t k = 1; k <= 512; k += 2) {
    ASSERT_EQ(0, smgr_get(k, &r)) << k;
    EXPECT_EQ(0u, r.reserved) << k;
  }
  pgCloseAll();
}

}  // namespace
