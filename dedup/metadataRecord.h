// metadataRecord.h: the records by which the deduplication index hands out
// a block's identity (HashValue) and one occurrence of it (HashListEntry),
// with the flag words of the reference part that the index fills.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/common.h"

constexpr uint8_t HASH_IN_BITS = hashID_in | SISoffset_in | locationID_in | hashValue_in;
constexpr uint8_t HASH_OUT_BITS = hashID_out | SISoffset_out | locationID_out | hashValue_out;

// Bits of HashListEntry::refFlags (the flag word of the reference part).
enum : uint64_t {
  REF_FLAG_GIVEN = 1,       // set on each reference the index hands out
  REF_FLAG_GIVEN_OUT = 2,   // bit 0 after delivery to the list's caller
  REF_FLAG_IN_FILE = 4,     // the occurrence's data is still in its backup file
  REF_FLAG_EXTRA = 8,       // set on each reference the index hands out
  REF_FLAG_EXTRA_OUT = 16,  // bit 3 after delivery to the list's caller
};

static_assert(sizeof(HashValue) == 120, "hash value record is 120 bytes");
static_assert(sizeof(HashListEntry) == 152, "hash list entry is 152 bytes");

// Digest length of a hash type name: 64 for "sha512", 0 for unknown types.
inline int hashTypeLength(const char *hashType) {
  return __builtin_strncmp(hashType, "sha512", 8) == 0 ? 64 : 0;
}
