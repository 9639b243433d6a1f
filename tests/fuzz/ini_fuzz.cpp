// ini_fuzz.cpp: the INI readers and writer on an arbitrary file.
//
// Every section and key the listing readers report is read back with each
// reader, through buffers of several sizes; then a field is written into
// the file and read back.
#include <cstring>

#include "lib/ini.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Calls fn for each name of a NUL-separated list in buf (at most `max`).
template <typename Fn>
void eachName(const char *buf, size_t size, int max, Fn fn) {
  const char *p = buf, *end = buf + size;
  for (int n = 0; n < max && p < end && *p; n++) {
    size_t len = strnlen(p, (size_t)(end - p));
    if (p + len >= end) break;  // a cut last name is not a name
    fn(p);
    p += len + 1;
  }
}

void readField(const char *section, const char *key, const char *path) {
  char value[64];
  iniGetString(section, key, "default", value, sizeof value, path);
  FUZZ_CHECK(strnlen(value, sizeof value) < sizeof value);
  char tiny[2] = {'x', 'x'};
  iniGetString(section, key, "default", tiny, sizeof tiny, path);
  FUZZ_CHECK(strnlen(tiny, sizeof tiny) < sizeof tiny);
  iniGetInt(section, key, 7, path);
  uint8_t b = 2;
  int rc = iniGetBool(section, key, 1, &b, path);
  FUZZ_CHECK(b == 0 || b == 1);
  FUZZ_CHECK(rc == 0 || rc == -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::quietLog();
  std::string path = fuzz::memoryFilePath(data, size);
  char sections[2048];
  memset(sections, 0, sizeof sections);
  if (iniGetString(nullptr, nullptr, "", sections, sizeof sections, path.c_str()) == 0) {
    eachName(sections, sizeof sections, 8, [&](const char *section) {
      char keys[2048];
      memset(keys, 0, sizeof keys);
      iniGetString(section, nullptr, "", keys, sizeof keys, path.c_str());
      eachName(keys, sizeof keys, 16, [&](const char *key) { readField(section, key, path.c_str()); });
    });
  }
  readField("Replication", "SyncTo", path.c_str());
  char small[8];
  iniGetString(nullptr, nullptr, "", small, sizeof small, path.c_str());
  if (iniPutString("Replication", "SyncTo", "vault2", path.c_str()) == 0) {
    char value[64];
    iniGetString("Replication", "SyncTo", "", value, sizeof value, path.c_str());
    iniPutString("Replication", "BlockOutPeriods", "1-5:8-17=1m", path.c_str());
  }
  return 0;
}
