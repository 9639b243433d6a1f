// sandbox.h: a temporary system root for one test.
//
// Every fixed path of the appliance is built by sysPath(), which puts
// RPD_SYSROOT in front of it. A Sandbox makes a fresh directory, sets
// RPD_SYSROOT to it for its lifetime, and on destruction restores the
// previous environment (RPD_SYSROOT and every variable set through
// setEnv()) and removes the whole tree.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace rpd::test {

class Sandbox {
 public:
  // prefix: the start of the directory's name under $TMPDIR (or /tmp).
  explicit Sandbox(const char *prefix = "rpd-test");
  ~Sandbox();
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;

  const std::string &root() const { return root_; }
  // root() + "/" + relative (a leading "/" of relative is dropped, so
  // path("/etc/default/vx.ini") is the sandboxed system file).
  std::string path(const std::string &relative) const;
  // Creates a directory under the root with its parents; returns its path.
  std::string mkdirs(const std::string &relative) const;
  // Writes a file under the root (parents created); returns its path.
  std::string write(const std::string &relative, const std::string &bytes) const;
  // Contents of a file under the root ("" when missing).
  std::string read(const std::string &relative) const;
  // Sets an environment variable until the sandbox ends.
  void setEnv(const char *name, const std::string &value);

 private:
  void remember(const char *name);

  std::string root_;
  // Variables to restore: name, had a value, old value.
  struct Saved {
    std::string name;
    bool present;
    std::string value;
  };
  std::vector<Saved> saved_;
};

}  // namespace rpd::test
