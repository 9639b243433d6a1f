// storeFixture.h: a sandboxed metadata store for the deduplication tests:
// a temporary RPD_SYSROOT with a master.ini whose [fileDedup] section points
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

namespace dedup_test {

inline std::string makeTempDir() {
  char tmpl[] = "/tmp/rpd-dedup-XXXXXX";
  char *d = mkdtemp(tmpl);
  return d ? d : "";
}

class StoreSandbox {
 public:
  explicit StoreSandbox(const char *maxBlocks = "1k", const char *extraIni = "") {
    root_ = makeTempDir();
    setenv("RPD_SYSROOT", root_.c_str(), 1);
    ini_ = root_ + "/master.ini";
    FILE *f = fopen(ini_.c_str(), "w");
    fprintf(f,
            "[fileDedup]\nMetadataDirectory=%s/md\nmaxHashedBlocks=%s\nmaxHashedBackups=1k\n"
            "synchronizeUpdates=false\nMetadataGeneration=1\n%s",
            root_.c_str(), maxBlocks, extraIni);
    fclose(f);
    snprintf(g_master_ini, sizeof g_master_ini, "%s", ini_.c_str());
    attachLogStream(stderr);
  }
  ~StoreSandbox() {
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "cleanup of %s failed\n", root_.c_str());
    unsetenv("RPD_SYSROOT");
  }
  const std::string &root() const { return root_; }
  std::string store(const char *file) const { return root_ + "/md/" + file; }
  const std::string &ini() const { return ini_; }

 private:
  std::string root_, ini_;
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
