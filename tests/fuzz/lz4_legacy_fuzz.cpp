// lz4_legacy_fuzz.cpp: the single instance store's LZ4 legacy-frame blocks.
//
// Any stored bytes decode within the given room or are refused; and any
// data the writer compresses decodes back to itself.
#include <cstring>
#include <vector>

#include "store/SIScompLZ4.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::quietLog();
  // As a stored block, into rooms of several sizes (a guard byte after each).
  for (size_t room : {size_t(0), size_t(64), size_t(65536)}) {
    std::vector<uint8_t> out(room + 1, 0xA5);
    ssize_t n = SISdecompressBlock(data, out.data(), size, room);
    FUZZ_CHECK(n >= -1 && n <= (ssize_t)room);
    FUZZ_CHECK(out[room] == 0xA5);
  }
  // As data to store.
  std::vector<uint8_t> stored(size + 1);
  size_t s = SIScompressBlock(data, stored.data(), size);
  if (s > 0) {
    FUZZ_CHECK(s < size);
    std::vector<uint8_t> back(size);
    FUZZ_CHECK(SISdecompressBlock(stored.data(), back.data(), s, size) == (ssize_t)size);
    FUZZ_CHECK(memcmp(back.data(), data, size) == 0);
  }
  return 0;
}
