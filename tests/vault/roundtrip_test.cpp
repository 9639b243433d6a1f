// The Vault client against the project's Vault stand-in (vaultd): one
// backup announced, checked, filled through every block request, counted
// and ended, with vaultd checking the header order and each block's hash.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/vaultd.h"
#include "support/sandbox.h"
#include "vault/rest.h"

namespace {

const char kInstance[] = "6a1f9c2e-4b7d-4e8a-9f3c-2d5e8b1a7c40";

HashListEntry entryFor(const vdtest::Block &b, uint64_t offset) {
  HashListEntry e;
  memset(&e, 0, sizeof e);
  memcpy(e.value.hashType, b.key.hashType, 8);
  e.value.hashedLength = b.key.hashedLength;
  memcpy(e.value.hashValue, b.key.hashValue, 64);
  e.location.fileOffset = offset;
  return e;
}

struct StringBlocks : BlockSource {
  std::string data;
  long readBlock(HashListEntry *, uint8_t *buf, size_t len, uint64_t offset) override {
    size_t n = std::min(len, data.size() - offset);
    memcpy(buf, data.data() + offset, n);
    return (long)n;
  }
};

TEST(vaultdRoundTrip, OneBackupThroughEveryRequest) {
  rpd::test::SystemSandbox box{"rpd-vault"};
  vdtest::VaultdProcess vaultd;
  std::string target = vaultd.base();
  CURLcode res;

  std::string doc = vdtest::metadataDocument(kInstance, 1700000000, 1);
  long number = postStartBackup(target.c_str(), doc.data(), doc.size(), 4096, &res, 0);
  ASSERT_GT(number, 0);
  EXPECT_EQ(CURLE_OK, res);

  std::string ubi = std::string(kInstance) + "_1700000000_1";
  uint64_t status = 0, props = 0;
  EXPECT_EQ(number, postBackupCheck(target.c_str(), ubi.c_str(), ubi.size() + 1, 0, &status, &props, &res));
  EXPECT_TRUE(status & 0x200) << status;

  vdtest::Block a = vdtest::randomBlock(3000, 1), b = vdtest::randomBlock(5000, 2),
                c = vdtest::randomBlock(70000, 3);
  std::vector<HashListEntry> entries = {entryFor(a, 0), entryFor(b, 3000), entryFor(c, 8000)};
  char *held = nullptr;
  ASSERT_EQ(0, postCheckOffset(target.c_str(), entries.data(), 3, &held, number, &res));
  EXPECT_NE('1', held[0]);
  EXPECT_NE('1', held[1]);
  EXPECT_NE('1', held[2]);
  free(held);

  // a by multi-block body, b by a block PUT, c streamed in 4 KiB pieces.
  std::vector<uint8_t> multi(MULTI_BLOCK_HEADER_BYTES + a.data.size());
  encodeMultiBlockHeader(&entries[0], multi.data());
  memcpy(multi.data() + MULTI_BLOCK_HEADER_BYTES, a.data.data(), a.data.size());
  EXPECT_EQ(0, putMultiBlocks(target.c_str(), multi.data(), multi.size(), 1, number, &res));
  SendTableSlot slot = {(uint8_t *)b.data.data(), b.data.size()};
  EXPECT_EQ(1, putBlocks(target.c_str(), &slot, &entries[1], 1, 1, number, &res));
  EXPECT_EQ(CURLE_OK, res);
  StringBlocks store;
  store.data = c.data;
  std::vector<uint8_t> piece(4096);
  EXPECT_EQ(0, putLargeBlock(target.c_str(), &entries[2], piece.data(), piece.size(), number, nullptr,
                             &store, &res));

  ASSERT_EQ(0, postCheckOffset(target.c_str(), entries.data(), 3, &held, number, &res));
  EXPECT_EQ(0, memcmp(held, "111", 3));
  free(held);
  uint64_t count = 0;
  EXPECT_EQ(0, postBlockCount(target.c_str(), number, &count, &res));
  EXPECT_EQ(3u, count);

  EXPECT_EQ(0, postEndBackup(target.c_str(), ubi.c_str(), "Failed:", 7, &res));
  EXPECT_EQ(number, postBackupCheck(target.c_str(), ubi.c_str(), ubi.size() + 1, number, &status, &props, &res));
  EXPECT_FALSE(status & 0x200) << status;
}

}  // namespace
