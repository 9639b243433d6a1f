// blockname_fuzz.cpp: block names (3-tuples) and the 4-tuple "name offset".
//
// A name that parses renders back to a name that parses to the same
// record; its hash part decodes and re-encodes to the same digits; the
// tuple hash of any parsed record can be computed at any length.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>

#include "pipeline/common.h"
#include "tests/fuzz/fuzz_support.h"
#include "vault/rest.h"

namespace {

bool sameIdentity(const HashValue &a, const HashValue &b) {
  return a.flags == b.flags && a.hashedLength == b.hashedLength &&
         memcmp(a.hashType, b.hashType, HASH_TYPE_SIZE) == 0 &&
         memcmp(a.hashValue, b.hashValue, HASH_VALUE_SIZE) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::quietLog();
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(strlen(text.c_str()));
  std::string name = text;
  unsigned long offset = 0;
  size_t blank = text.rfind(' ');
  if (blank != std::string::npos) {
    name = text.substr(0, blank);
    offset = strtoul(text.c_str() + blank + 1, nullptr, 10);
  }

  HashValue record;
  if (parseBlockName(name.c_str(), &record) == 0) {
    FUZZ_CHECK(record.flags == hashValue_in);
    char rendered[BLOCK_NAME_MAX];
    FUZZ_CHECK(blockName(&record, rendered, sizeof rendered) == 0);
    HashValue again;
    FUZZ_CHECK(parseBlockName(rendered, &again) == 0);
    FUZZ_CHECK(sameIdentity(record, again));
    char wire[BLOCK_NAME_MAX];
    if (wireBlockName(&record, wire, sizeof wire) == 0 && record.hashedLength < (1ul << 31))
      FUZZ_CHECK(strcmp(wire, rendered) == 0);

    BlockLocation location{1, offset};
    uint8_t hash[80];
    size_t n = 1 + offset % sizeof hash;
    FUZZ_CHECK(tupleHash(&record, &location, hash, n) == 0);
  }

  // The hash part alone, through the hexadecimal helpers.
  size_t dash = name.rfind('-');
  std::string hex = dash == std::string::npos ? name : name.substr(dash + 1);
  uint8_t *bytes = fromHex(hex.c_str());
  if (bytes) {
    char *back = toHex(bytes, hex.size() / 2);
    FUZZ_CHECK(back != nullptr);
    FUZZ_CHECK(strcasecmp(back, hex.c_str()) == 0);
    free(back);
    free(bytes);
  }
  return 0;
}
