// platformSupportsDedup.cpp: the appliance stand-in that tells what kind of
// deduplication the platform supports, as an exit status from 0 to 4
// (2 = a replication-capable deduplication platform, which makes 1 MiB the
// default sub-file limit).
//
// The answer, first found wins:
//   1. the environment variable PLATFORM_SUPPORTS_DEDUP (a number 0..255);
//   2. the first line of the file "/var/opt/kestrelon/platformSupportsDedup"
//      (under RPD_SYSROOT), a number 0..255;
//   3. 0.
// Anything that is not such a number counts as 0. Values above 4 are
// passed through, so callers' handling of bad answers can be tested.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/syspath.h"

namespace {

// 0..255 from text, or -1.
int parseAnswer(const char *text) {
  if (!text) return -1;
  while (*text == ' ' || *text == '\t') text++;
  char *end = nullptr;
  long v = strtol(text, &end, 10);
  if (end == text) return -1;
  while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') end++;
  if (*end || v < 0 || v > 255) return -1;
  return int(v);
}

}  // namespace

int main() {
  if (const char *env = getenv("PLATFORM_SUPPORTS_DEDUP")) {
    int v = parseAnswer(env);
    return v < 0 ? 0 : v;
  }
  std::string path = sysPath("/var/opt/kestrelon/platformSupportsDedup");
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return 0;
  char line[64] = "";
  bool got = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  int v = got ? parseAnswer(line) : -1;
  return v < 0 ? 0 : v;
}
