// is_tar_fuzz.cpp: the archive header test on arbitrary 512-byte blocks
// (shorter inputs are padded with zeros), with its decision logged.
#include <cstring>

#include "lib/is_tar.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::quietLog();
  // The block on the heap at its exact size, so a read past it is caught.
  char *block = static_cast<char *>(malloc(512));
  memset(block, 0, 512);
  memcpy(block, data, size < 512 ? size : 512);
  int r = is_tar(block);
  FUZZ_CHECK(r == 0 || r == 1);
  (void)tarEntrySize(block);
  free(block);
  return 0;
}
