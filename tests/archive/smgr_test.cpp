// smgr_test.cpp: storage manager reservations against the real device
// monitor stand-in, in a sandboxed system root with a private catalogue.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lib/logger.h"
#include "lib/pghelper.h"
#include "store/smgr.h"
#include "support/catalogue.h"
#include "support/appliance.h"
#include "support/sandbox.h"

namespace {

using rpd::test::deviceMonitor;
using Monitor = rpd::test::DeviceMonitor;

class SmgrTest : public testing::Test {
 protected:
  rpd::test::ScopedTestDatabase db;
  rpd::test::Sandbox sandbox{"rpd-smgr"};
  long dev1 = 0, dev2 = 0;

  void SetUp() override {
    attachLogStream(stderr);
    pgCloseAll();
    dev1 = db.number("INSERT INTO vx.devices (dev_name, capacity) VALUES ('disk1', 1000) RETURNING device_no");
    dev2 = db.number("INSERT INTO vx.devices (dev_name, capacity) VALUES ('disk2', 4) RETURNING device_no");
    db.exec("INSERT INTO vx.devices (dev_name, capacity) VALUES ('sctape', 99999)");
  }
  void TearDown() override { pgCloseAll(); }

  std::string show() {
    rpd::test::Run r = deviceMonitor("--show");
    EXPECT_EQ(r.status, 0);
    return r.out;
  }
  std::string deviceLine(long dev, unsigned long long reserved, unsigned long long confirmed) {
    return "device " + std::to_string(dev) + " reserved " + std::to_string(reserved) + " confirmed " +
           std::to_string(confirmed) + "\n";
  }
};

TEST_F(SmgrTest, RegisterReserveConfirmUnregisterKeepTheDeviceTotals) {
  Monitor m;
  ASSERT_EQ(m.line(), "devmonitor ready: 2 devices");

  // Keyless registrations receive their entry's index + 1; the keyless
  // range may not be asked for; unknown devices and the tape are refused.
  EXPECT_EQ(smgr_register(0, int(dev1)), 1);
  EXPECT_EQ(smgr_register(0, int(dev1)), 2);
  EXPECT_EQ(smgr_register(5, int(dev1)), SMGR_EXIST);
  EXPECT_EQ(smgr_register(511, int(dev1)), SMGR_EXIST);
  EXPECT_EQ(smgr_register(0x70000001u, int(dev2)), 0x70000001L);
  EXPECT_EQ(smgr_register(0, 9999), SMGR_ENDEV);
  long tape = db.number("SELECT device_no FROM vx.devices WHERE dev_name = 'sctape'");
  EXPECT_EQ(smgr_register(0, int(tape)), SMGR_ENDEV);

  // A second reservation replaces the first in the device's total.
  EXPECT_EQ(smgr_reserve(1, 1000), 0);
  EXPECT_EQ(smgr_reserve(1, 3000), 0);
  EXPECT_EQ(smgr_reserve(2, 500), 0);
  // Capacity is in KiB: 4 KiB on disk2.
  EXPECT_EQ(smgr_reserve(0x70000001u, 4097), SMGR_EOVER);
  EXPECT_EQ(show().find(deviceLine(dev2, 4097, 0)), std::string::npos);
  EXPECT_EQ(smgr_reserve(0x70000001u, 4096), 0);
  EXPECT_EQ(smgr_reserve(77777, 1), SMGR_ENREG);
  std::string table = show();
  EXPECT_NE(table.find(deviceLine(dev1, 3500, 0)), std::string::npos) << table;
  EXPECT_NE(table.find(deviceLine(dev2, 4096, 0)), std::string::npos) << table;
  EXPECT_NE(table.find("reservation 0 key 1 device " + std::to_string(dev1) + " reserved 3000 confirmed 0\n"),
            std::string::npos)
      << table;

  // Confirmed bytes count against the reservation.
  EXPECT_EQ(smgr_confirm(1, 1000), 0);
  uint64_t avail = 0;
  EXPECT_EQ(smgr_avail(1, &avail), 0);
  EXPECT_EQ(avail, 2000u);
  EXPECT_EQ(smgr_confirm(1, 2001), SMGR_EXWR);
  smgrReservation r;
  ASSERT_EQ(smgr_get(1, &r), 0);
  EXPECT_EQ(r.reserved, 3000u);
  EXPECT_EQ(r.confirmed, 1000u);
  EXPECT_EQ(r.deviceNo, uint32_t(dev1));
  EXPECT_EQ(r.used, 1u);
  EXPECT_NE(show().find(deviceLine(dev1, 3500, 1000)), std::string::npos);

  // Unregistering gives back reserved and confirmed bytes; the entry is free
  // again for the next keyless registration, which starts from zero.
  EXPECT_EQ(smgr_unregister(1), 0);
  EXPECT_EQ(smgr_unregister(1), SMGR_ENREG);
  EXPECT_EQ(smgr_get(1, &r), SMGR_ENREG);
  EXPECT_NE(show().find(deviceLine(dev1, 500, 0)), std::string::npos) << show();
  EXPECT_EQ(smgr_register(0, int(dev1)), 1);
  ASSERT_EQ(smgr_get(1, &r), 0);
  EXPECT_EQ(r.reserved, 0u);

  // Registering a held key again reuses its entry and keeps its figures.
  EXPECT_EQ(smgr_register(0x70000001u, int(dev2)), 0x70000001L);
  ASSERT_EQ(smgr_get(0x70000001u, &r), 0);
  EXPECT_EQ(r.reserved, 4096u);
  EXPECT_EQ(m.stop(), 0);
}

TEST_F(SmgrTest, TheTableHolds512Registrations) {
  Monitor m;
  ASSERT_TRUE(m.ready());
  for (long i = 1; i <= SMGR_MAX_RESERVATIONS; i++) ASSERT_EQ(smgr_register(0, int(dev1)), i);
  EXPECT_EQ(smgr_register(0, int(dev1)), SMGR_ELIMIT);
  EXPECT_EQ(smgr_register(0x60000000u, int(dev1)), SMGR_ELIMIT);
  EXPECT_EQ(smgr_unregister(300), 0);
  EXPECT_EQ(smgr_register(0x60000000u, int(dev1)), 0x60000000L);
}

TEST_F(SmgrTest, UnregisteringWakesAWriterWaitingOnTheEntry) {
  Monitor m;
  ASSERT_TRUE(m.ready());
  ASSERT_EQ(smgr_register(0, int(dev1)), 1);
  key_t dk, rk, fk;
  ASSERT_EQ(smgrIpcKeys(&dk, &rk, &fk), 0);
  int set = semget(fk, 0, 0666);
  ASSERT_NE(set, -1);
  pid_t child = fork();
  if (child == 0) {
    struct sembuf op = {0, -1, 0};
    _exit(semop(set, &op, 1) == 0 ? 0 : 1);
  }
  while (semctl(set, 0, GETNCNT) < 1) usleep(1000);
  EXPECT_EQ(smgr_unregister(1), 0);
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SmgrTest, WithoutTheMonitorEveryCallFailsToFindTheTables) {
  {
    Monitor m;
    ASSERT_TRUE(m.ready());
    ASSERT_EQ(smgr_register(0, int(dev1)), 1);
  }
  // Stopping the monitor removed its objects.
  EXPECT_NE(deviceMonitor("--show").status, 0);
  EXPECT_EQ(smgr_register(0, int(dev1)), SMGR_ESMGR);
  EXPECT_EQ(smgr_reserve(1, 10), SMGR_ESMGR);
  EXPECT_EQ(smgr_unregister(1), SMGR_ESMGR);

  // --create leaves them in place for later calls, --remove takes them away.
  EXPECT_EQ(deviceMonitor("--create").status, 0);
  EXPECT_EQ(smgr_register(0, int(dev2)), 1);
  EXPECT_EQ(smgr_reserve(1, 4096), 0);
  EXPECT_NE(show().find(deviceLine(dev2, 4096, 0)), std::string::npos);
  EXPECT_EQ(deviceMonitor("--remove").status, 0);
  EXPECT_EQ(smgr_unregister(1), SMGR_ESMGR);
}

TEST(SmgrText, CodesHaveTheirTexts) {
  EXPECT_STREQ(smgr_strerror(0), "success.");
  EXPECT_STREQ(smgr_strerror(7), "success.");
  EXPECT_STREQ(smgr_strerror(SMGR_ESMGR), "ESMGR: Failed to find storage manager memory segment.");
  EXPECT_STREQ(smgr_strerror(SMGR_EOVER), "EOVER: Reservation exceeds size of d2d device.");
  EXPECT_STREQ(smgr_strerror(SMGR_ENREG), "ENREG: Non-existing registration key.");
  EXPECT_STREQ(smgr_strerror(SMGR_EXIST), "EXIST: Reservation key exists.");
  EXPECT_STREQ(smgr_strerror(-12), "Unknown error.");
}

}  // namespace
