// sandbox.cpp: temporary system roots for tests.
#include "sandbox.h"

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
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string Sandbox::path(const std::string &relative) const {
  size_t skip = 0;
  while (skip < relative.size() && relative[skip] == '/') skip++;
  return root_ + "/" + relative.substr(skip);
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

void Sandbox::setEnv(const char *name, const std::string &value) {
  remember(name);
  setenv(name, value.c_str(), 1);
}

}  // namespace rpd::test
