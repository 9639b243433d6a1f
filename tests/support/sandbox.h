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
  // path("/etc/default/vx.ini") is the sandboxed system file); its parent
  // directories are created. The root starts with tmp/ and etc/default/.
  std::string path(const std::string &relative) const;
  // Creates a directory under the root with its parents; returns its path.
  std::string mkdirs(const std::string &relative) const;
  // Writes a file under the root (parents created); returns its path.
  std::string write(const std::string &relative, const std::string &bytes) const;
  // Contents of a file under the root ("" when missing).
  std::string read(const std::string &relative) const;
  // Sets an environment variable until the sandbox ends.
  void setEnv(const char *name, const std::string &value);
  // Removes an environment variable until the sandbox ends.
  void unsetEnv(const char *name);
  // Writes master.ini (under the root at `relative`) and points the
  // process's configuration (g_master_ini) at it until the sandbox ends.
  // Returns its path.
  std::string master(const std::string &text, const std::string &relative = "master.ini");
  // Writes etc/default/vx.ini naming `vxdir` as the installation
  // directory (created); returns vxdir's path.
  std::string installDir(const std::string &vxdir = "usr/vx");

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
  std::string savedMaster_;
  bool masterSet_ = false;
};

// A sandbox whose system configuration file (etc/default/vx.ini, also the
// key file of the bandwidth table) exists and whose master.ini is in force
// from the start, as the unit tests of one module need.
class SystemSandbox : public Sandbox {
 public:
  explicit SystemSandbox(const char *prefix = "rpd-test", const std::string &masterText = "[Replication]\n")
      : Sandbox(prefix) {
    write("etc/default/vx.ini", "[Configuration]\n");
    master(masterText);
  }
};

}  // namespace rpd::test
