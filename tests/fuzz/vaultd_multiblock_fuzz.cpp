// vaultd_multiblock_fuzz.cpp: vaultd's parser of multi-block request bodies.
//
// The parser is internal to vaultd's HTTP front end, so this target
// compiles that file in and calls the parser as the server does, with a
// real state directory behind it (blocks whose data does not match their
// name are refused; matching ones are stored).
//
// Input: one byte choosing the piece size, then the body. The body is
// parsed twice, whole and in pieces as the network may deliver it; both
// parses must agree on the entries seen, on refusing the body and on where
// the body ended (between entries or inside one).
#include <filesystem>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "vaultd/server.cpp"

namespace {

std::string g_stateDir;

void removeState() {
  std::error_code ec;
  std::filesystem::remove_all(g_stateDir, ec);
}

void openState() {
  char dir[] = "/tmp/vaultd-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(dir) != nullptr);
  g_stateDir = dir;
  atexit(removeState);
  g_vdLogLevel = -1;
  FUZZ_CHECK(vaultOpen(dir, 1) == 0);
}

struct Outcome {
  long entries;
  bool refused, inEntry;
  size_t headHave;
  bool operator==(const Outcome &) const = default;
};

Outcome parse(const uint8_t *body, size_t size, size_t piece) {
  Request rq;
  rq.endpoint = Endpoint::MultiBlock;
  rq.clusterAmt = -1;
  for (size_t pos = 0; pos < size; pos += piece)
    consumeBody(&rq, reinterpret_cast<const char *>(body + pos), std::min(piece, size - pos));
  FUZZ_CHECK(rq.bodyBytes == size);
  FUZZ_CHECK(rq.headHave <= kMultiHeadSize);
  return Outcome{rq.entries, !rq.badRequest.empty(), rq.inEntry, rq.headHave};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_stateDir.empty()) openState();
  if (size < 1) return 0;
  size_t piece = 1 + data[0] * 13u;
  Outcome whole = parse(data + 1, size - 1, size);
  Outcome pieces = parse(data + 1, size - 1, piece);
  FUZZ_CHECK(whole == pieces);
  return 0;
}
