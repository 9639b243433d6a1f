// syspath.cpp: builds the appliance's fixed absolute paths, prefixed by
// RPD_SYSROOT when that is set, and names the catalogue database.
#include "lib/syspath.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The prefix is read from the environment on every call (not cached) so a
// test can point a process at a fresh sandbox with setenv() at any time.
static const char *sysRoot() {
  const char *root = getenv("RPD_SYSROOT");
  return (root && *root) ? root : nullptr;
}

std::string sysPath(const char *absolutePath) {
  const char *root = sysRoot();
  std::string path = root ? root : "";
  // A root given with a trailing "/" must not produce "//etc/...".
  if (root && !path.empty() && path.back() == '/' && absolutePath[0] == '/')
    path.pop_back();
  path += absolutePath;
  return path;
}

int sysPath(char *buf, size_t size, const char *absolutePath) {
  std::string path = sysPath(absolutePath);
  if (buf == nullptr || size == 0 || path.size() + 1 > size) {
    if (buf && size) buf[0] = '\0';
    return -1;
  }
  memcpy(buf, path.c_str(), path.size() + 1);
  return 0;
}

const char *catalogueDbName() {
  const char *db = getenv("RPD_CATALOGUE_DB");
  return (db && *db) ? db : "vxdb";
}
