// hactar_fuzz.cpp: vaultd's HaCTAR reader on arbitrary bytes.
//
// The reader either fails with a reason or reaches a valid end record; a
// HaCTAR it accepts is written again, record by record, with the writer,
// and the result must be the accepted bytes (less any zero padding).
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "vaultd/hactar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "rb");
  if (!in) return 0;
  char *copy = nullptr;
  size_t copyLen = 0;
  FILE *out = open_memstream(&copy, &copyLen);
  FUZZ_CHECK(out != nullptr);

  hactar::Reader reader;
  hactar::Writer writer;
  writer.begin(out);
  // Forms the writer never produces: an empty literal, a hash type with
  // bytes after its NUL. The reader may take them; they do not round-trip.
  bool nonCanonical = false;
  int rc = reader.open(in);
  if (rc == 0) {
    hactar::Record r;
    while ((rc = reader.next(&r)) == 1) {
      if (r.tag == hactar::kTagBlock) {
        size_t n = strlen(r.hashType);
        for (size_t i = n; i < hactar::kHashTypeSize; i++) nonCanonical |= r.hashType[i] != 0;
        writer.addBlock(r.hashType, r.length, r.hashValue);
        continue;
      }
      // Read at most what the file can hold: a literal's length is not
      // checked until its bytes run out.
      if (r.length == 0) nonCanonical = true;
      if (r.length > size) continue;
      std::vector<uint8_t> bytes(r.length);
      long got = reader.readLiteral(bytes.data(), bytes.size());
      if (got != (long)r.length) continue;
      writer.addLiteral(bytes.data(), bytes.size());
    }
  }
  if (rc < 0) FUZZ_CHECK(!reader.error.empty());
  if (rc == 0 && !nonCanonical) {
    FUZZ_CHECK(writer.finish() == 0);
    fflush(out);
    FUZZ_CHECK(copyLen <= size && size - copyLen < 32);
    FUZZ_CHECK(memcmp(copy, data, copyLen) == 0);
  }
  fclose(out);
  free(copy);
  fclose(in);
  return 0;
}
