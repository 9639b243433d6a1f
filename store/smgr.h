// smgr.h: storage manager reservations.
//
// Processes that write to the appliance's disk devices reserve space on a
// device before writing, so that concurrent writers do not overcommit it.
// The tables live in System V shared memory kept by the device monitor
// (appliance/devmonitor.cpp); this module only attaches to them for the
// length of one call, registers a key, reserves a size for it and
// unregisters it. Every change to a device's figures and to a reservation
// entry of that device happens under the device's semaphore.
//
// IPC objects (all opened without creation, permissions 0666):
//   devices segment           ftok(devmonitor path, 'D')
//   reservations segment      ftok(devmonitor path, 'R'): 512 entries
//   reservation semaphores    ftok(devmonitor path, 'F'): 512 semaphores
//   device semaphore set      0x64000000 | device number, one semaphore
// The devmonitor path is sysPath("/usr/vx/bin/devmonitor"); the file only
// names the key.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Result codes (smgr_strerror gives their texts).
enum : int {
  SMGR_SUCCESS = 0,
  SMGR_ESMGR = -1,   // storage manager memory segment not found
  SMGR_EOVER = -2,   // reservation exceeds the device's size
  SMGR_ELIMIT = -3,  // all reservation entries in use
  SMGR_ENREG = -4,   // no such registration
  SMGR_EWRF = -5,    // more available than reserved
  SMGR_EARG = -6,    // invalid argument
  SMGR_ENDEV = -7,   // no such device
  SMGR_EWDF = -8,    // write to a descriptor failed
  SMGR_EXRR = -9,    // more released than reserved
  SMGR_EXWR = -10,   // more written than reserved
  SMGR_EXIST = -11,  // reserved key range
};

// Table geometry.
constexpr int SMGR_MAX_RESERVATIONS = 512;
constexpr size_t SMGR_RESERVATION_SIZE = 40;
constexpr size_t SMGR_RESERVATIONS_BYTES = SMGR_MAX_RESERVATIONS * SMGR_RESERVATION_SIZE;
constexpr size_t SMGR_DEVICES_HEADER = 8;   // u32 (unused here), u32 device count
constexpr size_t SMGR_DEVICE_ENTRY_SIZE = 80;
constexpr key_t SMGR_DEVICE_SEM_BASE = 0x64000000;

// Reservation entry offsets.
constexpr size_t SMGR_RES_KEY = 0;        // u32
constexpr size_t SMGR_RES_DEVICE = 4;     // u32
constexpr size_t SMGR_RES_RESERVED = 8;   // u64
constexpr size_t SMGR_RES_CONFIRMED = 16; // u64
constexpr size_t SMGR_RES_TIME = 24;      // u64
constexpr size_t SMGR_RES_USED = 32;      // u32
static_assert(SMGR_RES_USED + 4 + 4 == SMGR_RESERVATION_SIZE);

// Device entry offsets.
constexpr size_t SMGR_DEV_ID = 0;         // u16
constexpr size_t SMGR_DEV_RESERVED = 64;  // u64
constexpr size_t SMGR_DEV_CONFIRMED = 72; // u64
static_assert(SMGR_DEV_CONFIRMED + 8 == SMGR_DEVICE_ENTRY_SIZE);

// One reservation entry as a plain record.
struct smgrReservation {
  uint32_t reservationKey;
  uint32_t deviceNo;
  uint64_t reserved;
  uint64_t confirmed;
  uint64_t time;
  uint32_t used;
};
// One device entry's figures.
struct smgrDevice {
  uint16_t deviceId;
  uint64_t reserveSpace;
  uint64_t confirmed;
};

// Encoders and decoders of the shared-memory entries (little-endian).
void encodeSmgrReservation(const smgrReservation &r, uint8_t out[SMGR_RESERVATION_SIZE]);
void decodeSmgrReservation(const uint8_t in[SMGR_RESERVATION_SIZE], smgrReservation *r);
void encodeSmgrDevice(const smgrDevice &d, uint8_t out[SMGR_DEVICE_ENTRY_SIZE]);
void decodeSmgrDevice(const uint8_t in[SMGR_DEVICE_ENTRY_SIZE], smgrDevice *d);
uint32_t smgrGetU32(const uint8_t *at);
void smgrPutU32(uint8_t *at, uint32_t v);

// The IPC keys: the ftok keys of the segments and the reservation
// semaphore set, and the key of a device's semaphore set. 0 / -1 (logged).
int smgrIpcKeys(key_t *devices, key_t *reservations, key_t *semaphores);
key_t smgrDeviceSemKey(int deviceNo);

// Registers `key` (0: the entry's index + 1 becomes the key; 1..511 are
// refused) for device `deviceNo`. Returns the registration key (>= 1) or a
// negative code.
long smgr_register(uint32_t key, int deviceNo);
// Replaces the key's reservation by `size` bytes. 0 or a negative code.
int smgr_reserve(uint32_t key, uint64_t size);
// Clears the key's entry and takes its bytes off the device's totals,
// waking one waiter of the entry's semaphore. 0 or a negative code.
int smgr_unregister(uint32_t key);
// Adds `bytes` written under the key to its confirmed bytes and the
// device's confirmed total; confirming more than reserved is refused
// (SMGR_EXWR, nothing changed). 0 or a negative code.
int smgr_confirm(uint32_t key, uint64_t bytes);
// Bytes still available under the key (reserved - confirmed) in *avail.
// 0 or a negative code (SMGR_EWRF when confirmed exceeds reserved).
int smgr_avail(uint32_t key, uint64_t *avail);
// Copies the key's entry. 0 or a negative code.
int smgr_get(uint32_t key, smgrReservation *out);
// Text of a result code: "success." for 0 and above, "Unknown error." below
// -11.
const char *smgr_strerror(int code);
