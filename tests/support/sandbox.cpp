// sandbox.cpp: temporary system roots for tests.
#include "sandbox.h"

#include "lib/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace rpd::test {

Sandbox::Sandbox(const char *prefix) {
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    ADD_FAILURE() << "mkdtemp " << tmpl << ": " << strerror(errno);
    throw std::runtime_error("cannot create a sandbox directory");
  }
  root_ = buf.data();
  setEnv("RPD_SYSROOT", root_);
  // The logger's fallback file and the system configuration live here.
  mkdirs("tmp");
  mkdirs("etc/default");
}

Sandbox::~Sandbox() {
  // Restore in reverse order so a variable set twice ends at its first
  // saved value.
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->present)
      setenv(it->name.c_str(), it->value.c_str(), 1);
    else
      unsetenv(it->name.c_str());
  }
  if (masterSet_) snprintf(g_master_ini, sizeof g_master_ini, "%s", savedMaster_.c_str());
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string Sandbox::master(const std::string &text, const std::string &relative) {
  if (!masterSet_) {
    savedMaster_ = g_master_ini;
    masterSet_ = true;
  }
  std::string p = write(relative, text);
  snprintf(g_master_ini, sizeof g_master_ini, "%s", p.c_str());
  return p;
}

std::string Sandbox::installDir(const std::string &vxdir) {
  std::string vx = mkdirs(vxdir);
  write("etc/default/vx.ini", "[Location Information]\nVXDIR=" + vx + "\n");
  return vx;
}

std::string Sandbox::path(const std::string &relative) const {
  size_t skip = 0;
  while (skip < relative.size() && relative[skip] == '/') skip++;
  std::string p = root_ + "/" + relative.substr(skip);
  std::error_code ec;
  fs::create_directories(fs::path(p).parent_path(), ec);
  return p;
}

std::string Sandbox::mkdirs(const std::string &relative) const {
  std::string p = path(relative);
  std::error_code ec;
  fs::create_directories(p, ec);
  if (ec) ADD_FAILURE() << "mkdir " << p << ": " << ec.message();
  return p;
}

std::string Sandbox::write(const std::string &relative, const std::string &bytes) const {
  std::string p = path(relative);
  std::error_code ec;
  fs::create_directories(fs::path(p).parent_path(), ec);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) ADD_FAILURE() << "cannot write " << p;
  return p;
}

std::string Sandbox::read(const std::string &relative) const {
  std::ifstream in(path(relative), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Sandbox::remember(const char *name) {
  const char *old = getenv(name);
  saved_.push_back({name, old != nullptr, old ? old : ""});
}

void Sandbox::unsetEnv(const char *name) {
  remember(name);
  unsetenv(name);
}

void Sandbox::setEnv(const char *name, const std::string &value) {
  remember(name);
  setenv(name, value.c_str(), 1);
}

}  // namespace rpd::test
