// hardcompress.cpp: the rx9 card: opening its device, asking its driver's
// capabilities, and the hardware engine's compress step.
//
// This platform ships no driver for the card, so the request numbers below
// are this program's own; on anything but the card's device they fail with
// ENOTTY and the card counts as unusable. The compress step reports the
// hardware engine as unsupported, which makes writers choose a software
// engine.
#include "store/hardcompress.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "lib/logger.h"
#include "lib/syspath.h"
#include "store/compression.h"

namespace {
// Driver requests: version and capability words.
constexpr unsigned long kWenGetDriverVer = _IOR('W', 1, uint32_t);
constexpr unsigned long kWenGetDeviceCapabilities = _IOR('W', 2, uint32_t);
}  // namespace

int rx9Open() {
  std::string path = sysPath(kRx9Device);
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int rx9QueryCapabilities(int fd, uint32_t *driverVersion, uint32_t *capabilities) {
  uint32_t ver = 0, caps = 0;
  if (ioctl(fd, kWenGetDriverVer, &ver) != 0) return -1;
  if (ioctl(fd, kWenGetDeviceCapabilities, &caps) != 0) return -1;
  if (driverVersion) *driverVersion = ver;
  if (capabilities) *capabilities = caps;
  return 0;
}

int hardCompressBlock(VxCompressionState *st) {
  st->_error = VX_COMP_INCONSISTENT;
  snprintf(st->_errorDetails, sizeof st->_errorDetails, "%.80s op=%d not supported by engine (%d)\n",
           "VxCompressionBlock", st->_op, st->_engine._type);
  vxLog(0, "%s", st->_errorDetails);
  return VX_COMP_INCONSISTENT;
}
