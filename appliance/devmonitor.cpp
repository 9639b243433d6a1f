// devmonitor.cpp: a stand-in for the appliance's device monitor as far as
// the storage manager needs it: it creates and keeps the System V objects
// of the reservation tables (store/smgr.h) for the catalogue's devices.
//
//   devices segment        one 80-byte entry per device (id, totals)
//   reservations segment   512 zeroed 40-byte entries
//   reservation semaphores 512 semaphores at 0 (writers may wait on them)
//   device semaphore sets  one per device, one semaphore at 1 (a mutex)
//
// Usage: devmonitor [--create | --remove | --show]
//   (no option)  create the objects (replacing stale ones), print
//                "devmonitor ready: <n> devices" on standard output and keep
//                them until SIGTERM or SIGINT, then remove them;
//   --create     create the objects and exit, leaving them in place;
//   --remove     remove the objects and exit;
//   --show       print the devices and the reservations in use and exit:
//                "device <no> reserved <bytes> confirmed <bytes>" and
//                "reservation <index> key <key> device <no> reserved <bytes>
//                confirmed <bytes>".
// The key file sysPath("/usr/vx/bin/devmonitor") is created (empty) when it
// is missing, so a sandboxed system root has its own keys. Devices are the
// catalogue's rows of vx.devices that are not deleted and not "sctape".
// Exit status 0 on success, 1 on failure.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/syspath.h"
#include "store/smgr.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void onStop(int) { g_stop = 1; }

// Creates the key file and its directories when missing. 0 / -1.
int ensureKeyFile() {
  std::string path = sysPath("/usr/vx/bin/devmonitor");
  if (access(path.c_str(), F_OK) == 0) return 0;
  for (size_t i = 1; i < path.size(); i++)
    if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0755);
  if (fd < 0) {
    fprintf(stderr, "devmonitor: cannot create %s: %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  close(fd);
  return 0;
}

// Device numbers of the devices segment (for removal and display).
std::vector<smgrDevice> devicesIn(const uint8_t *seg) {
  std::vector<smgrDevice> out;
  uint32_t n = smgrGetU32(seg + 4);
  for (uint32_t i = 0; i < n; i++) {
    smgrDevice d;
    decodeSmgrDevice(seg + SMGR_DEVICES_HEADER + size_t(i) * SMGR_DEVICE_ENTRY_SIZE, &d);
    out.push_back(d);
  }
  return out;
}

// Removes every object; a missing one is not an error.
void removeAll() {
  key_t dk, rk, fk;
  if (smgrIpcKeys(&dk, &rk, &fk) != 0) return;
  int id = shmget(dk, 0, 0666);
  if (id != -1) {
    void *a = shmat(id, nullptr, SHM_RDONLY);
    if (a != reinterpret_cast<void *>(-1)) {
      for (const smgrDevice &d : devicesIn(static_cast<uint8_t *>(a))) {
        int s = semget(smgrDeviceSemKey(d.deviceId), 0, 0666);
        if (s != -1) semctl(s, 0, IPC_RMID);
      }
      shmdt(a);
    }
    shmctl(id, IPC_RMID, nullptr);
  }
  if ((id = shmget(rk, 0, 0666)) != -1) shmctl(id, IPC_RMID, nullptr);
  if ((id = semget(fk, 0, 0666)) != -1) semctl(id, 0, IPC_RMID);
}

// A new segment of `size` zeroed bytes (a stale one is replaced). Id or -1.
int freshSegment(key_t key, size_t size) {
  int id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0666);
  if (id == -1 && errno == EEXIST) {
    int old = shmget(key, 0, 0666);
    if (old != -1) shmctl(old, IPC_RMID, nullptr);
    id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0666);
  }
  if (id == -1) fprintf(stderr, "devmonitor: shmget(0x%x): %s\n", unsigned(key), strerror(errno));
  return id;
}

// A new semaphore set of `count` semaphores at `value`. Id or -1.
int freshSemaphores(key_t key, int count, int value) {
  int id = semget(key, count, IPC_CREAT | IPC_EXCL | 0666);
  if (id == -1 && errno == EEXIST) {
    int old = semget(key, 0, 0666);
    if (old != -1) semctl(old, 0, IPC_RMID);
    id = semget(key, count, IPC_CREAT | IPC_EXCL | 0666);
  }
  if (id == -1) {
    fprintf(stderr, "devmonitor: semget(0x%x): %s\n", unsigned(key), strerror(errno));
    return -1;
  }
  for (int i = 0; i < count; i++)
    if (semctl(id, i, SETVAL, value) == -1) {
      fprintf(stderr, "devmonitor: semctl(SETVAL): %s\n", strerror(errno));
      return -1;
    }
  return id;
}

// Creates all objects for the catalogue's devices. Number of devices or -1.
int createAll() {
  PgResultPtr r(pgQuery("SELECT device_no, capacity FROM vx.devices WHERE (is_deleted = FALSE) AND "
                        "(coalesce(dev_name, '') <> 'sctape') ORDER BY device_no"));
  if (!r) {
    fprintf(stderr, "devmonitor: cannot read the devices from the catalogue\n");
    return -1;
  }
  int n = int(pgTuples(r.get()));
  key_t dk, rk, fk;
  if (smgrIpcKeys(&dk, &rk, &fk) != 0) return -1;
  // At least one entry's room, so an empty catalogue still gives a segment.
  size_t devBytes = SMGR_DEVICES_HEADER + size_t(n > 0 ? n : 1) * SMGR_DEVICE_ENTRY_SIZE;
  int devId = freshSegment(dk, devBytes);
  int resId = freshSegment(rk, SMGR_RESERVATIONS_BYTES);
  if (devId == -1 || resId == -1) return -1;
  if (freshSemaphores(fk, SMGR_MAX_RESERVATIONS, 0) == -1) return -1;
  void *a = shmat(devId, nullptr, 0);
  if (a == reinterpret_cast<void *>(-1)) {
    fprintf(stderr, "devmonitor: shmat: %s\n", strerror(errno));
    return -1;
  }
  uint8_t *seg = static_cast<uint8_t *>(a);
  memset(seg, 0, devBytes);
  smgrPutU32(seg, 1);
  smgrPutU32(seg + 4, uint32_t(n));
  for (int i = 0; i < n; i++) {
    smgrDevice d = {uint16_t(pgLVal(r.get(), i, "device_no")), 0, 0};
    encodeSmgrDevice(d, seg + SMGR_DEVICES_HEADER + size_t(i) * SMGR_DEVICE_ENTRY_SIZE);
    if (freshSemaphores(smgrDeviceSemKey(int(pgLVal(r.get(), i, "device_no"))), 1, 1) == -1) {
      shmdt(a);
      return -1;
    }
  }
  shmdt(a);
  if ((a = shmat(resId, nullptr, 0)) != reinterpret_cast<void *>(-1)) {
    memset(a, 0, SMGR_RESERVATIONS_BYTES);
    shmdt(a);
  }
  return n;
}

// Prints the tables. 0 / -1 when they do not exist.
int showAll() {
  key_t dk, rk, fk;
  if (smgrIpcKeys(&dk, &rk, &fk) != 0) return -1;
  int devId = shmget(dk, 0, 0666), resId = shmget(rk, 0, 0666);
  if (devId == -1 || resId == -1) {
    fprintf(stderr, "devmonitor: no reservation tables\n");
    return -1;
  }
  void *d = shmat(devId, nullptr, SHM_RDONLY);
  void *r = shmat(resId, nullptr, SHM_RDONLY);
  if (d == reinterpret_cast<void *>(-1) || r == reinterpret_cast<void *>(-1)) return -1;
  for (const smgrDevice &dev : devicesIn(static_cast<uint8_t *>(d)))
    printf("device %u reserved %llu confirmed %llu\n", unsigned(dev.deviceId),
           (unsigned long long)dev.reserveSpace, (unsigned long long)dev.confirmed);
  for (int i = 0; i < SMGR_MAX_RESERVATIONS; i++) {
    smgrReservation e;
    decodeSmgrReservation(static_cast<uint8_t *>(r) + size_t(i) * SMGR_RESERVATION_SIZE, &e);
    if (e.used != 1) continue;
    printf("reservation %d key %u device %u reserved %llu confirmed %llu\n", i, e.reservationKey, e.deviceNo,
           (unsigned long long)e.reserved, (unsigned long long)e.confirmed);
  }
  shmdt(d);
  shmdt(r);
  fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const char *what = argc > 1 ? argv[1] : "";
  if (ensureKeyFile() != 0) return 1;
  if (strcmp(what, "--remove") == 0) {
    removeAll();
    return 0;
  }
  if (strcmp(what, "--show") == 0) return showAll() == 0 ? 0 : 1;
  if (*what && strcmp(what, "--create") != 0) {
    fprintf(stderr, "usage: devmonitor [--create | --remove | --show]\n");
    return 1;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  // Held back until sigsuspend, so a stop request cannot slip in between
  // the flag test and the wait.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  int n = createAll();
  pgCloseAll();
  if (n < 0) {
    removeAll();
    return 1;
  }
  if (*what) return 0;
  printf("devmonitor ready: %d devices\n", n);
  fflush(stdout);
  sigset_t none;
  sigemptyset(&none);
  while (!g_stop) sigsuspend(&none);
  removeAll();
  return 0;
}
