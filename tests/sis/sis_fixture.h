// sis_fixture.h: a sandboxed single instance store for the tests: a
// temporary system root with master.ini, an info file with a small span
// size, device directories, and helpers to open the store and to read the
// log.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/config.h"
#include "lib/logger.h"
#include "lib/syspath.h"
#include "store/SIS.h"
#include "support/sandbox.h"
#include "support/log_capture.h"

namespace sis_test {

using rpd::test::LogCapture;

constexpr uint64_t kSpan = 64 * 1024;  // bytes of SIS offsets per SIS file in the tests
constexpr uint64_t kBlockSize = 8192;

inline std::vector<uint8_t> randomBytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = uint8_t(rng());
  return v;
}

// Text-like bytes that LZ4 shrinks well.
inline std::vector<uint8_t> compressibleBytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  static const char *words[] = {"backup ", "vault ", "block ", "replica ", "store ", "hash "};
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char *w = words[rng() % 6];
    v.insert(v.end(), w, w + strlen(w));
  }
  v.resize(n);
  return v;
}

class SISstore : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = box_.master("[fileDedup]\n", "usr/vx/vxinit/master.ini");
    attachLogStream(stderr);
  }

  // Info file with the test span size and the given devices (directory
  // names under the sandbox, with weights).
  void makeStore(const std::vector<std::pair<std::string, uint32_t>> &devices) {
    ASSERT_EQ(SIScreateInfoFile(kBlockSize, kSpan), 0);
    for (auto &[name, weight] : devices) {
      box_.mkdirs(name);
      ASSERT_EQ(SISaddDevice(box_.path(name).c_str(), weight, false), 0);
    }
  }
  std::string infoFile() const { return sysPath(g_SISinfoPath); }
  std::string sisDir(const std::string &device) const { return box_.path(device) + "/SIS/"; }

  // Opens the store as a process that is not the first: another holder
  // keeps a shared lock meanwhile, so no catalogue scan runs.
  SIShandle *openShared() {
    int fd = open(infoFile().c_str(), O_RDWR);
    if (fd < 0 || flock(fd, LOCK_SH) != 0) return nullptr;
    SIShandle *h = openSIS();
    close(fd);
    return h;
  }

  // Bytes of the info file as they are on disk.
  std::string infoBytes() const { return box_.read(g_SISinfoPath); }

  rpd::test::Sandbox box_{"rpd-sis"};
  std::string master_;
};

// Owner of an SIS handle.
struct HandleGuard {
  SIShandle *h;
  ~HandleGuard() {
    if (h) freeSIS(h);
  }
};

}  // namespace sis_test
