// Tests of the block utility commands against the store, the catalogue's
// index and vaultd: put-block, post-check-offset, post-check, block and
// tuple-hash.
#include <gtest/gtest.h>

#include "daemon/util_pipeline.h"
#include "send_fixture.h"

using namespace pipetest;

namespace {

// Runs a handler with the given command line; returns its result and
// fills *out with what it printed.
int run(int (*handler)(int, char **), std::vector<std::string> args, std::string *out) {
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = 0;
  *out = captureStdout([&] { rc = handler((int)args.size(), argv.data()); });
  return rc;
}

}  // namespace

TEST(utilPipeline, PutBlockThenCheckOffsetsReportWhatTheVaultHolds) {
  SendEnv env;
  vdtest::Block a = vdtest::randomBlock(3000, 1), b = vdtest::randomBlock(2500, 2),
                large = vdtest::randomBlock(9000, 3), absent = vdtest::randomBlock(1000, 4);
  env.storeBlock(a);
  env.storeBlock(b, true);
  env.storeBlock(large);
  env.storeBlock(absent);
  env.freezeStore();
  long number = env.announce();
  std::string out;
  // Buffers of 8192 bytes: a and b in one body, the large block streamed.
  EXPECT_EQ(0, run(utilPutBlock,
                   {"rpd", "util", "put-block", env.target(), std::to_string(number), "8192", tupleOf(a), "0",
                    tupleOf(b), "3000", tupleOf(large), "5500"},
                   &out));
  EXPECT_EQ(2, env.multiBlockEntries());
  EXPECT_EQ(1, env.requests("multiblock"));
  EXPECT_EQ(1, env.requests("block"));
  EXPECT_TRUE(env.vaultHolds(a) && env.vaultHolds(b) && env.vaultHolds(large));

  EXPECT_EQ(0, run(utilPostCheckOffset,
                   {"rpd", "util", "post-check-offset", env.target(), std::to_string(number), tupleOf(a), "0",
                    tupleOf(absent), "14500", tupleOf(large), "5500"},
                   &out));
  ASSERT_EQ(4u, out.size()) << out;
  EXPECT_EQ('1', out[0]);
  EXPECT_NE('1', out[1]);
  EXPECT_EQ('1', out[2]);
  EXPECT_EQ('\n', out[3]);

  // A bad tuple fails before anything is sent; an unreachable Vault fails.
  EXPECT_EQ(-1, run(utilPostCheckOffset,
                    {"rpd", "util", "post-check-offset", env.target(), "1", "x-sha512-10-AB", "0"}, &out));
  EXPECT_EQ(-1, run(utilPutBlock, {"rpd", "util", "put-block", env.target(), "1", "100", "b-sha512", "0"}, &out));
  EXPECT_EQ(-1, run(utilPostCheckOffset,
                    {"rpd", "util", "post-check-offset", "http://127.0.0.1:1", "1", tupleOf(a), "0"}, &out));
}

TEST(utilPipeline, BlockDumpsRawBytesAndTupleHashFoldsItsInput) {
  SendEnv env;
  vdtest::Block a = vdtest::randomBlock(5000, 7), packed = vdtest::makeBlock(std::string(6000, 'z'));
  env.storeBlock(a);
  env.storeBlock(packed, true);
  env.freezeStore();
  std::string out;
  EXPECT_EQ(0, run(utilBlock, {"rpd", "util", "block", tupleOf(a)}, &out));
  EXPECT_EQ(a.data, out);
  EXPECT_EQ(0, run(utilBlock, {"rpd", "util", "block", tupleOf(packed)}, &out));
  EXPECT_EQ(packed.data, out);
  EXPECT_EQ(-1, run(utilBlock, {"rpd", "util", "block", "b-sha512-"}, &out));
  EXPECT_EQ(-1, run(utilBlock, {"rpd", "util", "block", tupleOf(vdtest::randomBlock(10, 8))}, &out))
      << "a block the index does not know";

  // One output byte: the XOR of digest, offset, type name and length.
  uint64_t offset = 0x0102030405060708ULL;
  uint8_t x = 0;
  for (int i = 0; i < 64; i++) x ^= a.key.hashValue[i];
  for (int i = 0; i < 8; i++) x ^= uint8_t(offset >> (8 * i));
  for (char c : std::string("sha512")) x ^= uint8_t(c);
  for (int i = 0; i < 8; i++) x ^= uint8_t(uint64_t(5000) >> (8 * i));
  char expect[8];
  snprintf(expect, sizeof expect, "%02X\n", x);
  EXPECT_EQ(0, run(utilTupleHash, {"rpd", "util", "tuple-hash", tupleOf(a), std::to_string(offset), "1"}, &out));
  EXPECT_EQ(expect, out);
  EXPECT_EQ(0, run(utilTupleHash, {"rpd", "util", "tuple-hash", tupleOf(a), "0", "16"}, &out));
  EXPECT_EQ(33u, out.size());

  // post-check parses and sends nothing.
  EXPECT_EQ(0, run(utilPostCheck, {"rpd", "util", "post-check", env.target(), tupleOf(a), tupleOf(packed)}, &out));
  EXPECT_EQ("\n", out);
  EXPECT_EQ(-1, run(utilPostCheck, {"rpd", "util", "post-check", env.target(), "nonsense"}, &out));
  EXPECT_EQ(0, env.requests("post-check-offset"));
}
