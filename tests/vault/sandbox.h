// sandbox.h: a temporary system root for the Vault client tests. It sets
// RPD_SYSROOT, creates etc/default/vx.ini (the bandwidth table's ftok key
// file) and an empty master.ini that g_master_ini points at.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/config.h"

namespace vaulttest {

class Sandbox {
 public:
  Sandbox() {
    char tmpl[] = "/tmp/rpd-vault-XXXXXX";
    root_ = mkdtemp(tmpl);
    setenv("RPD_SYSROOT", root_.c_str(), 1);
    mkdir((root_ + "/etc").c_str(), 0700);
    mkdir((root_ + "/etc/default").c_str(), 0700);
    write("etc/default/vx.ini", "[Configuration]\n");
    master_ = path("master.ini");
    write("master.ini", "[Replication]\n");
    snprintf(g_master_ini, sizeof g_master_ini, "%s", master_.c_str());
  }
  ~Sandbox() {
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
    unsetenv("RPD_SYSROOT");
    g_master_ini[0] = '\0';
  }
  std::string path(const std::string &rel) const { return root_ + "/" + rel; }
  void write(const std::string &rel, const std::string &bytes) const {
    std::ofstream(path(rel), std::ios::binary) << bytes;
  }
  // Replaces master.ini's content.
  void master(const std::string &text) const { write("master.ini", text); }
  const std::string &root() const { return root_; }

 private:
  std::string root_, master_;
};

}  // namespace vaulttest
