// smgr.cpp: storage manager reservations over the device monitor's System
// V shared memory segments and semaphore sets.
#include "store/smgr.h"

#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/syspath.h"

namespace {

void putU64(uint8_t *at, uint64_t v) {
  for (int i = 0; i < 8; i++) at[i] = uint8_t(v >> (8 * i));
}
uint64_t getU64(const uint8_t *at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | at[i];
  return v;
}

const char *const kTexts[] = {
    "success.",
    "ESMGR: Failed to find storage manager memory segment.",
    "EOVER: Reservation exceeds size of d2d device.",
    "ELIMIT: Number of registrations exceed maximum limit.",
    "ENREG: Non-existing registration key.",
    "EWRF: Excess avail than reservation.",
    "EARG: Invalid input argument(s).",
    "ENDEV: Non-existing D2D device.",
    "EWDF: Write failed to input file descriptor.",
    "EXRR: Excess release than reservation.",
    "EXWR: Excess write than reservation.",
    "EXIST: Reservation key exists.",
};

std::string keyPath() { return sysPath("/usr/vx/bin/devmonitor"); }

// An attached segment, detached by detach() (whose failure the callers
// report) or, on early returns, by the destructor.
class Attached {
 public:
  Attached() = default;
  ~Attached() {
    if (addr_) shmdt(addr_);
  }
  Attached(const Attached &) = delete;
  Attached &operator=(const Attached &) = delete;
  uint8_t *get() const { return addr_; }
  void set(void *a) { addr_ = static_cast<uint8_t *>(a); }
  int detach() {
    int r = addr_ ? shmdt(addr_) : 0;
    addr_ = nullptr;
    return r;
  }

 private:
  uint8_t *addr_ = nullptr;
};

// Attaches one of the device monitor's segments, keyed by ftok on the
// monitor's path with `projectId`; `name` ("reservation" or "devices")
// goes into the messages. 0 / -1 (logged).
int attachSegment(Attached *seg, int projectId, const char *name) {
  key_t key;
  std::string path = keyPath();
  if ((key = ftok(path.c_str(), projectId)) == -1) {
    LOG(0, "smgr:get_%s_shmid ftok failed because: %s", name, strerror(errno));
    return -1;
  }
  int id = shmget(key, 0, 0666);
  if (id == -1) {
    LOG(0, "smgr:get_%s_shmid:shmget failed because: %s (key = %d, buff = %s)", name, strerror(errno), int(key),
        path.c_str());
    return -1;
  }
  void *a = shmat(id, nullptr, 0);
  if (a == reinterpret_cast<void *>(-1)) {
    LOG(0, "Failed to attach the %s shared memory segment with shm_id = %d", name, id);
    return -1;
  }
  seg->set(a);
  return 0;
}

// Attaches the reservations segment. 0 / -1 (logged).
int attachReservations(Attached *seg) { return attachSegment(seg, 'R', "reservation"); }

// Attaches the devices segment. 0 / -1 (logged).
int attachDevices(Attached *seg) { return attachSegment(seg, 'D', "devices"); }

uint8_t *entryAt(uint8_t *table, int index) { return table + size_t(index) * SMGR_RESERVATION_SIZE; }

// Index of the entry in use with this key, or -1.
int key_to_index(uint8_t *table, uint32_t key) {
  for (int i = 0; i < SMGR_MAX_RESERVATIONS; i++) {
    const uint8_t *e = entryAt(table, i);
    if (smgrGetU32(e + SMGR_RES_USED) == 1 && smgrGetU32(e + SMGR_RES_KEY) == key) return i;
  }
  return -1;
}

// Index of the first entry not in use, or -1.
int get_free_index(uint8_t *table) {
  for (int i = 0; i < SMGR_MAX_RESERVATIONS; i++)
    if (smgrGetU32(entryAt(table, i) + SMGR_RES_USED) != 1) {
      LOG(3, "%s: Index [%d] available for use.", __func__, i);
      return i;
    }
  return -1;
}

// The device's entry in the devices segment, or null.
uint8_t *findDevice(uint8_t *devices, uint32_t deviceNo) {
  uint32_t count = smgrGetU32(devices + 4);
  for (uint32_t i = 0; i < count; i++) {
    uint8_t *d = devices + SMGR_DEVICES_HEADER + size_t(i) * SMGR_DEVICE_ENTRY_SIZE;
    uint16_t id = uint16_t(d[SMGR_DEV_ID] | (d[SMGR_DEV_ID + 1] << 8));
    if (id == uint16_t(deviceNo)) return d;
  }
  return nullptr;
}

// The device's semaphore set id, or -1 (logged).
int deviceSemaphore(int deviceNo) {
  key_t key = smgrDeviceSemKey(deviceNo);
  int id = semget(key, 1, 0666);
  if (id == -1)
    LOG(0, "smgr:get_device_semid:semget failed because: %s (key = 0x%x)", strerror(errno), unsigned(key));
  return id;
}

int semAdjust(const char *caller, int semId, short delta) {
  struct sembuf op;
  op.sem_num = 0;
  op.sem_op = delta;
  op.sem_flg = 0;
  int r;
  do r = semop(semId, &op, 1);
  while (r == -1 && errno == EINTR);
  if (r == -1) {
    if (delta < 0)
      LOG(0, "%s: Failed to accquire semphore %d.", caller, semId);
    else
      LOG(0, "%s: Failed to release semphore %d.", caller, semId);
    return -1;
  }
  return 0;
}
int acquire(const char *caller, int semId) { return semAdjust(caller, semId, -1); }
int release(const char *caller, int semId) { return semAdjust(caller, semId, 1); }

// The catalogue's capacity (bytes) and name of a device. 0 / SMGR_ENDEV.
int deviceCapacity(const char *caller, int deviceNo, uint64_t *bytes, std::string *name) {
  PgResultPtr r(pgQuery("SELECT dev_name, capacity FROM devices WHERE device_no = %d", deviceNo));
  if (!r || pgTuples(r.get()) < 1) {
    LOG(0, "%s: Failed to find d2d device with %d", caller, deviceNo);
    return SMGR_ENDEV;
  }
  const char *n = pgSVal(r.get(), 0, "dev_name");
  *name = n ? n : "";
  *bytes = uint64_t(pgLLVal(r.get(), 0, "capacity")) * 1024;
  return 0;
}

// Detaches both segments; -1 when a detach fails (logged).
int detachAll(const char *caller, Attached *reservations, Attached *devices) {
  int rc = 0;
  if (reservations && reservations->detach() != 0) {
    LOG(0, "%s: Failed to de-attach reservation shared memeory segment", caller);
    rc = -1;
  }
  if (devices && devices->detach() != 0) {
    LOG(0, "%s: Failed to de-attach devices shared memeory segment", caller);
    rc = -1;
  }
  return rc;
}

// Runs `change` on the key's entry and its device entry under the device's
// semaphore. Shared by confirm, avail and get, which only differ in what
// they do with the two entries.
template <typename Change>
int withEntry(const char *caller, uint32_t key, bool needDevice, Change change) {
  Attached reservations, devices;
  if (attachReservations(&reservations) != 0) return SMGR_ESMGR;
  int index = key_to_index(reservations.get(), key);
  if (index < 0) {
    LOG(0, "%s: No Existing registraton for : %u", caller, key);
    detachAll(caller, &reservations, nullptr);
    return SMGR_ENREG;
  }
  uint8_t *e = entryAt(reservations.get(), index);
  uint32_t deviceNo = smgrGetU32(e + SMGR_RES_DEVICE);
  if (needDevice && attachDevices(&devices) != 0) {
    detachAll(caller, &reservations, nullptr);
    return SMGR_ESMGR;
  }
  int sem = deviceSemaphore(int(deviceNo));
  if (sem < 0 || acquire(caller, sem) != 0) {
    detachAll(caller, &reservations, &devices);
    return -1;
  }
  int rc;
  uint8_t *dev = needDevice ? findDevice(devices.get(), deviceNo) : nullptr;
  if (smgrGetU32(e + SMGR_RES_USED) != 1 || smgrGetU32(e + SMGR_RES_KEY) != key ||
      smgrGetU32(e + SMGR_RES_DEVICE) != deviceNo) {
    LOG(0, "%s: Unexpected change of registration for: %u", caller, key);
    rc = SMGR_ENREG;
  } else if (needDevice && !dev) {
    LOG(0, "%s: No Existing deivce entry for: %u", caller, deviceNo);
    rc = SMGR_ENREG;
  } else {
    rc = change(e, dev);
  }
  if (release(caller, sem) != 0 && rc == 0) rc = -1;
  if (detachAll(caller, &reservations, &devices) != 0) rc = -1;
  return rc;
}

}  // namespace

uint32_t smgrGetU32(const uint8_t *at) {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
void smgrPutU32(uint8_t *at, uint32_t v) {
  for (int i = 0; i < 4; i++) at[i] = uint8_t(v >> (8 * i));
}

void encodeSmgrReservation(const smgrReservation &r, uint8_t out[SMGR_RESERVATION_SIZE]) {
  memset(out, 0, SMGR_RESERVATION_SIZE);
  smgrPutU32(out + SMGR_RES_KEY, r.reservationKey);
  smgrPutU32(out + SMGR_RES_DEVICE, r.deviceNo);
  putU64(out + SMGR_RES_RESERVED, r.reserved);
  putU64(out + SMGR_RES_CONFIRMED, r.confirmed);
  putU64(out + SMGR_RES_TIME, r.time);
  smgrPutU32(out + SMGR_RES_USED, r.used);
}

void decodeSmgrReservation(const uint8_t in[SMGR_RESERVATION_SIZE], smgrReservation *r) {
  r->reservationKey = smgrGetU32(in + SMGR_RES_KEY);
  r->deviceNo = smgrGetU32(in + SMGR_RES_DEVICE);
  r->reserved = getU64(in + SMGR_RES_RESERVED);
  r->confirmed = getU64(in + SMGR_RES_CONFIRMED);
  r->time = getU64(in + SMGR_RES_TIME);
  r->used = smgrGetU32(in + SMGR_RES_USED);
}

void encodeSmgrDevice(const smgrDevice &d, uint8_t out[SMGR_DEVICE_ENTRY_SIZE]) {
  memset(out, 0, SMGR_DEVICE_ENTRY_SIZE);
  out[SMGR_DEV_ID] = uint8_t(d.deviceId);
  out[SMGR_DEV_ID + 1] = uint8_t(d.deviceId >> 8);
  putU64(out + SMGR_DEV_RESERVED, d.reserveSpace);
  putU64(out + SMGR_DEV_CONFIRMED, d.confirmed);
}

void decodeSmgrDevice(const uint8_t in[SMGR_DEVICE_ENTRY_SIZE], smgrDevice *d) {
  d->deviceId = uint16_t(in[SMGR_DEV_ID] | (in[SMGR_DEV_ID + 1] << 8));
  d->reserveSpace = getU64(in + SMGR_DEV_RESERVED);
  d->confirmed = getU64(in + SMGR_DEV_CONFIRMED);
}

int smgrIpcKeys(key_t *devices, key_t *reservations, key_t *semaphores) {
  std::string path = keyPath();
  key_t d = ftok(path.c_str(), 'D'), r = ftok(path.c_str(), 'R'), f = ftok(path.c_str(), 'F');
  if (d == -1 || r == -1 || f == -1) {
    LOG(0, "smgr: ftok(%s) failed because: %s", path.c_str(), strerror(errno));
    return -1;
  }
  *devices = d;
  *reservations = r;
  *semaphores = f;
  return 0;
}

key_t smgrDeviceSemKey(int deviceNo) {
  key_t fixed = key_t(SMGR_DEVICE_SEM_BASE | deviceNo);
  // The device semaphore keys are not derived from a file, so two sandboxed
  // system roots (tests running side by side, each with its own device 1)
  // would share them. Under RPD_SYSROOT the key is therefore made from the
  // sandbox's key file instead: 0x58000000, ten bits of the file's identity
  // and the device number's low 16 bits. Unsandboxed it is the appliance's.
  const char *root = getenv("RPD_SYSROOT");
  if (!root || !*root) return fixed;
  struct stat st;
  if (stat(keyPath().c_str(), &st) != 0) return fixed;
  uint64_t h = (uint64_t(st.st_dev) * 0x9E3779B97F4A7C15ULL) ^ (uint64_t(st.st_ino) * 0xC2B2AE3D27D4EB4FULL);
  h ^= h >> 29;
  return key_t(0x58000000u | uint32_t((h & 0x3FF) << 16) | uint32_t(deviceNo & 0xFFFF));
}

long smgr_register(uint32_t key, int deviceNo) {
  LOG(3, "%s: reg_key = %d, device_no = %d", __func__, int(key), deviceNo);
  {
    PgResultPtr r(
        pgQuery("SELECT device_no FROM devices WHERE device_no = %d AND dev_name <> 'sctape'", deviceNo));
    if (!r || pgTuples(r.get()) < 1) {
      LOG(0, "%s: Failed to find d2d device with %d", __func__, deviceNo);
      return SMGR_ENDEV;
    }
  }
  // Keys 1..511 are what keyless registrations receive (index + 1).
  if (key >= 1 && key < uint32_t(SMGR_MAX_RESERVATIONS)) {
    LOG(0, "%s: Reserved index used for reservation: %d", __func__, int(key));
    return SMGR_EXIST;
  }
  Attached reservations;
  if (attachReservations(&reservations) != 0) {
    LOG(0, "%s: Fails to attach reservation shared memory segment", __func__);
    return SMGR_ESMGR;
  }
  int sem = deviceSemaphore(deviceNo);
  if (sem < 0) {
    detachAll(__func__, &reservations, nullptr);
    return -1;
  }
  if (acquire(__func__, sem) != 0) {
    detachAll(__func__, &reservations, nullptr);
    return -1;
  }
  // The entry is chosen under the device's semaphore, so two registrations
  // for one device cannot take the same free entry.
  int index = key ? key_to_index(reservations.get(), key) : -1;
  bool existing = index >= 0;
  if (existing) {
    LOG(3, "%s: Existing reservation for: %u", __func__, key);
  } else {
    index = get_free_index(reservations.get());
    if (index < 0) {
      LOG(0, "%s: Number of registration exceeds limit.", __func__);
      release(__func__, sem);
      detachAll(__func__, &reservations, nullptr);
      return SMGR_ELIMIT;
    }
  }
  uint8_t *e = entryAt(reservations.get(), index);
  smgrReservation r;
  decodeSmgrReservation(e, &r);
  r.time = uint64_t(time(nullptr));
  r.deviceNo = uint32_t(deviceNo);
  r.reservationKey = key ? key : uint32_t(index + 1);
  if (!existing) {
    r.reserved = 0;
    r.confirmed = 0;
  }
  r.used = 1;
  encodeSmgrReservation(r, e);
  long result = long(r.reservationKey);
  if (release(__func__, sem) != 0) result = -1;
  if (detachAll(__func__, &reservations, nullptr) != 0) result = -1;
  return result;
}

int smgr_reserve(uint32_t key, uint64_t size) {
  LOG(3, "%s: reg_key = %d, size = %lu)", __func__, int(key), size);
  Attached reservations, devices;
  if (attachReservations(&reservations) != 0) return SMGR_ESMGR;
  int index = key_to_index(reservations.get(), key);
  if (index < 0) {
    LOG(0, "%s: No Existing registraton for : %d", __func__, int(key));
    detachAll(__func__, &reservations, nullptr);
    return SMGR_ENREG;
  }
  uint8_t *e = entryAt(reservations.get(), index);
  uint32_t deviceNo = smgrGetU32(e + SMGR_RES_DEVICE);
  uint64_t capacity = 0;
  std::string name;
  if (deviceCapacity(__func__, int(deviceNo), &capacity, &name) != 0) {
    detachAll(__func__, &reservations, nullptr);
    return SMGR_ENDEV;
  }
  if (attachDevices(&devices) != 0) {
    detachAll(__func__, &reservations, nullptr);
    return SMGR_ESMGR;
  }
  int sem = deviceSemaphore(int(deviceNo));
  if (sem < 0 || acquire(__func__, sem) != 0) {
    detachAll(__func__, &reservations, &devices);
    return -1;
  }
  int rc = 0;
  uint8_t *dev = findDevice(devices.get(), deviceNo);
  if (smgrGetU32(e + SMGR_RES_USED) != 1 || smgrGetU32(e + SMGR_RES_KEY) != key ||
      smgrGetU32(e + SMGR_RES_DEVICE) != deviceNo) {
    LOG(0, "%s: Unexpected smgr_unregister for: %d", __func__, int(key));
    rc = SMGR_ENREG;
  } else if (!dev) {
    LOG(0, "%s: No Existing deivce entry for: %d", __func__, int(deviceNo));
    rc = SMGR_ENREG;
  } else if (size > capacity) {
    LOG(0, "%s: Attempt to reserve size = %lu, exceeds device %s capacity %lf.", __func__, size, name.c_str(),
        double(capacity));
    rc = SMGR_EOVER;
  } else {
    smgrReservation r;
    decodeSmgrReservation(e, &r);
    smgrDevice d;
    decodeSmgrDevice(dev, &d);
    d.reserveSpace = d.reserveSpace - r.reserved + size;
    r.reserved = size;
    r.time = uint64_t(time(nullptr));
    encodeSmgrReservation(r, e);
    putU64(dev + SMGR_DEV_RESERVED, d.reserveSpace);
  }
  if (release(__func__, sem) != 0 && rc == 0) rc = -1;
  if (detachAll(__func__, &reservations, &devices) != 0) rc = -1;
  return rc;
}

int smgr_unregister(uint32_t key) {
  LOG(3, "%s: %d", __func__, int(key));
  Attached reservations, devices;
  if (attachReservations(&reservations) != 0) return SMGR_ESMGR;
  int index = key_to_index(reservations.get(), key);
  if (index < 0) {
    LOG(0, "%s: No Existing reservation for: %d", __func__, int(key));
    detachAll(__func__, &reservations, nullptr);
    return SMGR_ENREG;
  }
  uint8_t *e = entryAt(reservations.get(), index);
  uint32_t deviceNo = smgrGetU32(e + SMGR_RES_DEVICE);
  if (attachDevices(&devices) != 0) {
    detachAll(__func__, &reservations, nullptr);
    return SMGR_ESMGR;
  }
  int sem = deviceSemaphore(int(deviceNo));
  if (sem < 0 || acquire(__func__, sem) != 0) {
    detachAll(__func__, &reservations, &devices);
    return -1;
  }
  int rc = 0;
  if (smgrGetU32(e + SMGR_RES_USED) != 1 || smgrGetU32(e + SMGR_RES_KEY) != key ||
      smgrGetU32(e + SMGR_RES_DEVICE) != deviceNo) {
    // Another process cleared or reused the entry meanwhile: nothing of ours
    // is left to release.
    LOG(0, "%s: Unexpected unregister for: %d", __func__, int(key));
  } else {
    smgrReservation r;
    decodeSmgrReservation(e, &r);
    uint8_t *dev = findDevice(devices.get(), deviceNo);
    if (dev) {
      smgrDevice d;
      decodeSmgrDevice(dev, &d);
      putU64(dev + SMGR_DEV_RESERVED, d.reserveSpace - r.reserved);
      putU64(dev + SMGR_DEV_CONFIRMED, d.confirmed - r.confirmed);
    }
    memset(e, 0, SMGR_RESERVATION_SIZE);
    key_t rk, dk, fk;
    if (smgrIpcKeys(&dk, &rk, &fk) == 0) {
      int waitSet = semget(fk, 0, 0666);
      if (waitSet == -1) {
        LOG(0, "Failed to get the reservation semaphore set: %s", strerror(errno));
      } else if (semctl(waitSet, index, GETNCNT) > 0) {
        struct sembuf op = {static_cast<unsigned short>(index), 1, 0};
        int status = semop(waitSet, &op, 1);
        LOG(3, "%s: Release reservation semaphore [%d]  status: %d", __func__, index, status);
      }
    }
  }
  if (release(__func__, sem) != 0 && rc == 0) rc = -1;
  if (detachAll(__func__, &reservations, &devices) != 0) rc = -1;
  return rc;
}

int smgr_confirm(uint32_t key, uint64_t bytes) {
  LOG(3, "%s: reg_key = %d, size = %lu)", __func__, int(key), bytes);
  return withEntry(__func__, key, true, [&](uint8_t *e, uint8_t *dev) {
    smgrReservation r;
    decodeSmgrReservation(e, &r);
    if (r.confirmed + bytes > r.reserved) {
      LOG(0, "%s: Confirming %lu bytes exceeds reservation %lu of %u", __func__, bytes, r.reserved, key);
      return int(SMGR_EXWR);
    }
    smgrDevice d;
    decodeSmgrDevice(dev, &d);
    r.confirmed += bytes;
    r.time = uint64_t(time(nullptr));
    encodeSmgrReservation(r, e);
    putU64(dev + SMGR_DEV_CONFIRMED, d.confirmed + bytes);
    return 0;
  });
}

int smgr_avail(uint32_t key, uint64_t *avail) {
  LOG(3, "%s: %d", __func__, int(key));
  if (!avail) return SMGR_EARG;
  return withEntry(__func__, key, false, [&](uint8_t *e, uint8_t *) {
    smgrReservation r;
    decodeSmgrReservation(e, &r);
    if (r.confirmed > r.reserved) return int(SMGR_EWRF);
    *avail = r.reserved - r.confirmed;
    return 0;
  });
}

int smgr_get(uint32_t key, smgrReservation *out) {
  LOG(3, "%s: %d", __func__, int(key));
  if (!out) return SMGR_EARG;
  return withEntry(__func__, key, false, [&](uint8_t *e, uint8_t *) {
    decodeSmgrReservation(e, out);
    return 0;
  });
}

const char *smgr_strerror(int code) {
  if (code >= 0) return kTexts[0];
  if (code < -11) return "Unknown error.";
  return kTexts[-code];
}
