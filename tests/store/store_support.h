// store_support.h: small helpers of the data-access tests: byte vectors,
// generated data, temporary directories and a temporary system root.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "lib/config.h"

namespace storetest {

using Bytes = std::vector<uint8_t>;

// `size` bytes from `seed`: runs of repeated text (compressible) mixed with
// random runs, or all random.
inline Bytes makeData(size_t size, unsigned seed, bool random = false) {
  std::mt19937 gen(seed);
  Bytes out;
  out.reserve(size);
  static const char words[] = "backup replication vault segment block unit frame index ";
  while (out.size() < size) {
    bool noise = random || gen() % 4 == 0;
    size_t run = std::min<size_t>(size - out.size(), 1 + gen() % 3000);
    for (size_t i = 0; i < run; i++)
      out.push_back(noise ? (uint8_t)gen() : (uint8_t)words[(out.size() + seed) % (sizeof words - 1)]);
  }
  return out;
}

inline void writeBytes(const std::string &path, const Bytes &bytes) {
  std::string dir = path.substr(0, path.rfind('/'));
  for (size_t i = 1; i <= dir.size(); i++)
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
  std::ofstream(path, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

inline Bytes readBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A temporary directory removed with its content.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/rpd-store-XXXXXX";
    root_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string path(const std::string &rel) const { return root_ + "/" + rel; }
  const std::string &root() const { return root_; }

 private:
  std::string root_;
};

// A temporary directory that is RPD_SYSROOT for its lifetime, with an empty
// master.ini that g_master_ini names.
class Sysroot : public TempDir {
 public:
  Sysroot() {
    setenv("RPD_SYSROOT", root().c_str(), 1);
    writeBytes(path("master.ini"), Bytes());
    snprintf(g_master_ini, sizeof g_master_ini, "%s", path("master.ini").c_str());
  }
  ~Sysroot() {
    unsetenv("RPD_SYSROOT");
    g_master_ini[0] = '\0';
  }
  void write(const std::string &rel, const std::string &text) const {
    writeBytes(path(rel), Bytes(text.begin(), text.end()));
  }
};

}  // namespace storetest
