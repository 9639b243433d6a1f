// lz4_frame_fuzz.cpp: the LZ4 frame decoder of the compression streams, fed
// as the archive filter feeds it (input in pieces, output taken after each
// engine step).
//
// Input: one byte choosing the piece size, then the frames. Whatever the
// bytes, the decoder ends: it either takes every input byte or fails; it
// never stops taking input while still reporting success. Two decodes with
// different piece sizes that both succeed produce the same output.
#include <algorithm>
#include <vector>

#include "store/compression.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Decodes `in` in pieces of `piece` bytes; returns the engine's last result.
int decode(const uint8_t *in, size_t size, size_t piece, std::vector<uint8_t> *out) {
  VxCompressionState *st = CreateVxCompressionState(VX_DECOMPRESS, VX_ENGINE_LZ4, 0, nullptr, nullptr,
                                                    nullptr, nullptr, -1, -1, 65536, 0, nullptr, 0,
                                                    nullptr, 0);
  FUZZ_CHECK(st && st->_error == 0);
  size_t pos = 0;
  int rc = 0;
  for (;;) {
    size_t put = VxCompressionPutInput(st, in + pos, std::min(piece, size - pos));
    pos += put;
    if (pos == size) VxCompressionInputEnd(st);
    rc = VxCompressionBlock(st);
    uint8_t buf[16384];
    size_t n, made = 0;
    while ((n = VxCompressionTakeOutput(st, buf, sizeof buf)) > 0) {
      out->insert(out->end(), buf, buf + n);
      made += n;
    }
    if (rc != 0) break;
    if (put == 0 && made == 0) {
      // Idle with success: only allowed once every byte went in and was used.
      FUZZ_CHECK(pos == size && st->inpput.buf.p == st->inpput.buf.low);
      break;
    }
  }
  VxCompressionClose(st);
  FreeVxCompressionState(st);
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::quietLog();
  if (size < 1) return 0;
  size_t piece = 1 + data[0] * 97u;
  std::vector<uint8_t> a, b;
  int ra = decode(data + 1, size - 1, piece, &a);
  int rb = decode(data + 1, size - 1, size, &b);
  if (ra == 0 && rb == 0) FUZZ_CHECK(a == b);
  return 0;
}
