// hardcompress.h: the rx9 compression and crypto card.
//
// The card is reached through the device "/dev/rx9" (under the system
// root). This platform has no driver for it: the device is normally absent,
// and when a file of that name exists the driver's requests fail, so the
// hardware engine reports itself unsupported and callers fall back to the
// software engines.
#pragma once

#include <cstdint>

struct VxCompressionState;

constexpr const char *kRx9Device = "/dev/rx9";

// Capability bit of the card: 256-bit AES in ECB mode.
constexpr uint32_t kRx9CapAes256Ecb = 8;

// Opens the card read-write; the descriptor or -1 with errno.
int rx9Open();
// Asks the card's driver version and capability bits. 0, or -1 with errno
// (ENOTTY when the file is not the card's device).
int rx9QueryCapabilities(int fd, uint32_t *driverVersion, uint32_t *capabilities);
// The compress step of the hardware engine for one unit. The card cannot
// be driven here: logs and returns -7 (unsupported).
int hardCompressBlock(VxCompressionState *st);
