// storeFixture.h: a sandboxed metadata store for the deduplication tests:
// a sandbox with a master.ini whose [fileDedup] section points
// at a store directory inside it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "dedup/metadata.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace dedup_test {

class StoreSandbox : public rpd::test::Sandbox {
 public:
  explicit StoreSandbox(const char *maxBlocks = "1k", const char *extraIni = "") : Sandbox("rpd-dedup") {
    ini_ = master(std::string("[fileDedup]\nMetadataDirectory=") + root() + "/md\nmaxHashedBlocks=" + maxBlocks +
                  "\nmaxHashedBackups=1k\nsynchronizeUpdates=false\nMetadataGeneration=1\n" + extraIni);
    attachLogStream(stderr);
  }
  std::string store(const char *file) const { return root() + "/md/" + file; }
  const std::string &ini() const { return ini_; }

 private:
  std::string ini_;
};

// A sha512 record whose digest is derived from seed, spread like a real
// digest (distinct seeds give distinct digests).
inline HashListEntry makeHash(uint64_t seed, uint64_t position, uint64_t length = 4096) {
  HashListEntry r;
  memset(&r, 0, sizeof r);
  memcpy(r.value.hashType, "sha512", 6);
  r.value.hashedLength = length;
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  for (int i = 0; i < 64; i++) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    r.value.hashValue[i] = uint8_t(x >> 56);
  }
  r.value.flags = hashValue_in;
  r.location.fileOffset = position;
  r.refFlags = REF_FLAG_IN_FILE;
  return r;
}

}  // namespace dedup_test
