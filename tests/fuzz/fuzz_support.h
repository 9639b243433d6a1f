// fuzz_support.h: what the fuzz targets share.
//
// Each target is a libFuzzer entry point (LLVMFuzzerTestOneInput) that
// hands one input to a parser and checks what the parser promises about
// its result. A broken promise calls FUZZ_CHECK, which aborts, so libFuzzer
// records the input as a crash just like a sanitizer report.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/logger.h"

#define FUZZ_CHECK(cond)                                                          \
  do {                                                                            \
    if (!(cond)) {                                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                    \
    }                                                                             \
  } while (0)

namespace fuzz {

// Every level of the product's log is formatted (so format arguments are
// exercised too) and written to /dev/null.
inline void quietLog() {
  static bool done = false;
  if (done) return;
  done = true;
  FILE *sink = fopen("/dev/null", "w");
  if (sink) attachLogStream(sink);
  log_level = 10;
}

// A descriptor holding exactly `size` bytes of data, positioned at 0. One
// memory file per process, rewritten on each call.
inline int memoryFile(const uint8_t *data, size_t size) {
  static int fd = memfd_create("fuzz-input", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, (off_t)done);
    if (n <= 0) abort();
    done += (size_t)n;
  }
  if (lseek(fd, 0, SEEK_SET) != 0) abort();
  return fd;
}

// The path of the memory file, for parsers that open files by name.
inline std::string memoryFilePath(const uint8_t *data, size_t size) {
  int fd = memoryFile(data, size);
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace fuzz
