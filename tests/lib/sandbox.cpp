// sandbox.cpp: the temporary directory tree of the support-library tests.
#include "sandbox.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace libtest {

Sandbox::Sandbox() {
  char tmpl[] = "/tmp/rpd-libtest-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  const char *old = getenv("RPD_SYSROOT");
  if (old) {
    hadRoot_ = true;
    oldRoot_ = old;
  }
  setenv("RPD_SYSROOT", root_.c_str(), 1);
  std::filesystem::create_directories(root_ + "/tmp");
  std::filesystem::create_directories(root_ + "/etc/default");
}

Sandbox::~Sandbox() {
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
  if (hadRoot_)
    setenv("RPD_SYSROOT", oldRoot_.c_str(), 1);
  else
    unsetenv("RPD_SYSROOT");
}

std::string Sandbox::path(const std::string &rel) const {
  std::string p = root_ + "/" + rel;
  std::filesystem::create_directories(std::filesystem::path(p).parent_path());
  return p;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

off_t fileSize(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void ageFile(const std::string &path, long secondsAgo) {
  struct timeval tv[2];
  gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec -= secondsAgo;
  tv[1] = tv[0];
  utimes(path.c_str(), tv);
}

}  // namespace libtest
