// archive_support.h: helpers of the archive tests: generated data, files,
// tar headers built by hand, and a reference model that checks reads and
// seeks of an archive handle against the original bytes.
#pragma once

#include "support/files.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "store/archiverw.h"

namespace archivetest {

using Bytes = std::vector<uint8_t>;

// Text runs that compress well mixed with random runs.
inline Bytes makeData(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes out;
  out.reserve(size);
  static const char words[] = "archive reduplicate segment virtual physical offset ";
  while (out.size() < size) {
    bool noise = gen() % 3 == 0;
    size_t run = std::min<size_t>(size - out.size(), 1 + gen() % 5000);
    for (size_t i = 0; i < run; i++)
      out.push_back(noise ? uint8_t(gen()) : uint8_t(words[(out.size() + seed) % (sizeof words - 1)]));
  }
  return out;
}

inline void writeFile(const std::string &path, const Bytes &b) { rpd::test::writeBytes(path, b); }
inline Bytes readFile(const std::string &path) { return rpd::test::readBytes(path); }

// A ustar header block with a correct checksum, built without the code
// under test.
inline Bytes tarHeader(const std::string &name, uint64_t size, char type, const char *sizeField = nullptr) {
  Bytes h(512, 0);
  memcpy(h.data(), name.data(), std::min<size_t>(name.size(), 100));
  memcpy(&h[100], "0000644", 7);
  memcpy(&h[108], "0000000", 7);
  memcpy(&h[116], "0000000", 7);
  if (sizeField)
    memcpy(&h[124], sizeField, strlen(sizeField));
  else
    snprintf(reinterpret_cast<char *>(&h[124]), 12, "%011llo", (unsigned long long)size);
  memcpy(&h[136], "14712345670", 11);
  h[156] = uint8_t(type);
  memcpy(&h[257], "ustar", 6);
  memcpy(&h[263], "00", 2);
  unsigned sum = 8 * ' ';
  for (int i = 0; i < 512; i++)
    if (i < 148 || i >= 156) sum += h[i];
  snprintf(reinterpret_cast<char *>(&h[148]), 8, "%06o", sum);
  h[155] = ' ';
  return h;
}

// Reads n bytes at the handle's position, in one call.
inline Bytes readSome(archiveFilter *h, size_t n, ssize_t *got = nullptr) {
  Bytes b(n);
  ssize_t r = archive_read(h, b.data(), n);
  if (got) *got = r;
  b.resize(r > 0 ? size_t(r) : 0);
  return b;
}

// Reads to the end in pieces of varying size.
inline Bytes readAll(archiveFilter *h, unsigned seed = 1) {
  std::mt19937 gen(seed);
  Bytes out;
  for (;;) {
    size_t n = 1 + gen() % 70000;
    Bytes b(n);
    ssize_t r = archive_read(h, b.data(), n);
    EXPECT_GE(r, 0) << strerror(errno);
    if (r <= 0) break;
    out.insert(out.end(), b.begin(), b.begin() + r);
  }
  return out;
}

// Drives a handle through random seeks (SEEK_SET and SEEK_CUR, short and
// long, forward and backward, some past the end) and reads, checking every
// result against `want`.
inline void randomAccess(archiveFilter *h, const Bytes &want, unsigned seed, int steps) {
  std::mt19937_64 gen(seed);
  int64_t pos = archive_seek(h, 0, SEEK_CUR);
  for (int i = 0; i < steps; i++) {
    int64_t size = int64_t(want.size());
    int64_t target;
    switch (gen() % 5) {
      case 0: target = int64_t(gen() % uint64_t(size + 1)); break;
      case 1: target = pos - int64_t(gen() % 9000); break;         // short backward
      case 2: target = pos + int64_t(gen() % 40000); break;        // short forward
      case 3: target = pos - int64_t(gen() % 200000); break;       // keep-back range and beyond
      default: target = size - int64_t(gen() % 3000); break;       // near the end
    }
    // Seeks stay within the archive: past its end the result differs by
    // format (a plain file seeks there, a transformed one stops at the end).
    target = std::max<int64_t>(0, std::min(target, size));
    int64_t r;
    if (gen() % 2)
      r = archive_seek(h, target, SEEK_SET);
    else
      r = archive_seek(h, target - pos, SEEK_CUR);
    ASSERT_EQ(r, target) << "step " << i << " seek from " << pos;
    size_t n = 1 + gen() % 20000;
    Bytes got = readSome(h, n);
    size_t expect = target >= size ? 0 : size_t(std::min<int64_t>(int64_t(n), size - target));
    ASSERT_EQ(got.size(), expect) << "step " << i << " at " << target;
    ASSERT_TRUE(std::equal(got.begin(), got.end(), want.begin() + target)) << "step " << i << " at " << target;
    pos = target + int64_t(got.size());
    ASSERT_EQ(archive_seek(h, 0, SEEK_CUR), pos);
  }
}

}  // namespace archivetest
