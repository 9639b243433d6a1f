// files.h: whole-file reads and writes, file times, generated data and
// bounded waits for the tests. Nothing here runs a shell.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace rpd::test {

using Bytes = std::vector<uint8_t>;

// Whole contents of a file ("" or empty when it is missing).
std::string readFile(const std::string &path);
Bytes readBytes(const std::string &path);
// Writes (truncating) a file, creating its parent directories; a failure
// is recorded as a test failure.
void writeFile(const std::string &path, const std::string &bytes);
void writeBytes(const std::string &path, const Bytes &bytes);
bool exists(const std::string &path);
off_t fileSize(const std::string &path);  // -1 when missing
time_t mtimeOf(const std::string &path);  // 0 when missing
// Sets the modification (and access) time to `seconds` since the epoch.
void setMtime(const std::string &path, time_t seconds);
inline void ageFile(const std::string &path, long secondsAgo) { setMtime(path, time(nullptr) - secondsAgo); }
// Replaces a file atomically with `bytes` carrying the time `seconds`: a
// reader sees the old file or the new one with its final time.
void replaceFile(const std::string &path, const std::string &bytes, time_t seconds);
// Removes a tree (no shell); missing is fine.
void removeTree(const std::string &path);

// A temporary directory removed with its tree at the end of the scope.
// Unlike a Sandbox it leaves the environment alone.
class TempDir {
 public:
  explicit TempDir(const char *prefix = "rpd-tmp");
  ~TempDir() { removeTree(root_); }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &root() const { return root_; }
  std::string path(const std::string &relative) const { return root_ + "/" + relative; }

 private:
  std::string root_;
};

// The rows of a table file: one row a line, cells separated by "|" and
// trimmed; blank lines and lines starting with "#" are skipped. `vars`
// replace "$name" in every cell.
std::vector<std::vector<std::string>> readTable(const std::string &path,
                                                const std::vector<std::pair<std::string, std::string>> &vars = {});

// How many times `needle` occurs in `text` (not overlapping).
size_t countOf(const std::string &text, const std::string &needle);

// `size` bytes from `seed`: runs of repeated text (compressible) mixed with
// random runs, or all random.
Bytes makeData(size_t size, unsigned seed, bool random = false);
inline std::string makeText(size_t size, unsigned seed, bool random = false) {
  Bytes b = makeData(size, seed, random);
  return std::string(b.begin(), b.end());
}

// Polls `done` every 20 ms until it holds; false when it did not within
// the bound. The bound only turns a hang into a failure; no test asserts
// on how long anything takes.
bool eventually(const std::function<bool()> &done, int boundSeconds = 120);

}  // namespace rpd::test
