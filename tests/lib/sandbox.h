// sandbox.h: a temporary directory tree for the support-library tests.
// It becomes RPD_SYSROOT for its lifetime and is removed afterwards.
#pragma once

#include <sys/types.h>

#include <string>

namespace libtest {

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;
  const std::string &root() const { return root_; }
  // root + "/" + rel, creating the parent directories.
  std::string path(const std::string &rel) const;

 private:
  std::string root_;
  std::string oldRoot_;
  bool hadRoot_ = false;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &text);
bool exists(const std::string &path);
off_t fileSize(const std::string &path);
// Sets the modification time to `secondsAgo` seconds before now.
void ageFile(const std::string &path, long secondsAgo);

}  // namespace libtest
