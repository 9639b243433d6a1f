// Every fault that vaultd can inject, seen through the Vault client: the
// result code and libcurl code each request hands its caller, and whether
// the Vault acted on the request.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/vaultd.h"
#include "support/sandbox.h"
#include "vault/rest.h"

namespace {

const char kInstance[] = "0c4e2a9b-1d3f-4a5b-8c7d-9e0f1a2b3c4d";

HashListEntry entryFor(const vdtest::Block &b, uint64_t offset) {
  HashListEntry e;
  memset(&e, 0, sizeof e);
  memcpy(e.value.hashType, b.key.hashType, 8);
  e.value.hashedLength = b.key.hashedLength;
  memcpy(e.value.hashValue, b.key.hashValue, 64);
  e.location.fileOffset = offset;
  return e;
}

std::vector<uint8_t> multiBody(const HashListEntry &e, const vdtest::Block &b) {
  std::vector<uint8_t> body(MULTI_BLOCK_HEADER_BYTES + b.data.size());
  encodeMultiBlockHeader(&e, body.data());
  memcpy(body.data() + MULTI_BLOCK_HEADER_BYTES, b.data.data(), b.data.size());
  return body;
}

struct Faults : ::testing::Test {
  rpd::test::SystemSandbox box{"rpd-vault"};
  vdtest::VaultdProcess vaultd;
  std::string target = vaultd.base();
  CURLcode res = CURLE_FAILED_INIT;

  // Level-0 lines go to the logger's fallback file in the sandbox.
  void SetUp() override { mkdir(box.path("tmp").c_str(), 0700); }

  void fault(const std::string &rule) {
    vdtest::Reply r = vdtest::controlPost(vaultd.base(), "fault", rule);
    ASSERT_EQ("HTTP/1.1 200 OK", r.statusLine) << rule << ": " << r.body;
  }
  long start(uint64_t startTime) {
    std::string doc = vdtest::metadataDocument(kInstance, startTime, 1);
    return postStartBackup(target.c_str(), doc.data(), doc.size(), 4096, &res, 0);
  }
  std::string ubi(uint64_t startTime) { return std::string(kInstance) + "_" + std::to_string(startTime) + "_1"; }
  long check(uint64_t startTime, uint64_t *status) {
    std::string u = ubi(startTime);
    uint64_t props = 0;
    return postBackupCheck(target.c_str(), u.c_str(), u.size() + 1, 0, status, &props, &res);
  }
};

TEST_F(Faults, BlockFaultsShowInWhatTheVaultHolds) {
  long no = start(1700000400);
  ASSERT_GT(no, 0);
  vdtest::Block a = vdtest::randomBlock(2000, 41), b = vdtest::randomBlock(3000, 42);
  std::vector<HashListEntry> e = {entryFor(a, 0), entryFor(b, 2000)};

  // drop-after: the block is kept although the client sees no reply.
  fault("endpoint=multiblock,count=1,kind=drop-after");
  std::vector<uint8_t> body = multiBody(e[0], a);
  EXPECT_EQ(-1, putMultiBlocks(target.c_str(), body.data(), body.size(), 1, no, &res));
  EXPECT_EQ(CURLE_GOT_NOTHING, res);
  // lose: the client sees success, but the block is not kept.
  fault("endpoint=multiblock,count=1,kind=lose");
  body = multiBody(e[1], b);
  EXPECT_EQ(0, putMultiBlocks(target.c_str(), body.data(), body.size(), 1, no, &res));
  char *held = nullptr;
  ASSERT_EQ(0, postCheckOffset(target.c_str(), e.data(), 2, &held, no, &res));
  EXPECT_EQ('1', held[0]);
  EXPECT_NE('1', held[1]);
  free(held);
  held = nullptr;

  // A reply cut one byte short fails even though its bytes are valid.
  fault("endpoint=post-check-offset,count=1,kind=truncate,arg=1");
  EXPECT_EQ(-1, postCheckOffset(target.c_str(), e.data(), 2, &held, no, &res));
  EXPECT_EQ(nullptr, held);
  // A 503 there is the Vault's error code.
  fault("endpoint=post-check-offset,count=1,kind=503");
  EXPECT_EQ(-4, postCheckOffset(target.c_str(), e.data(), 2, &held, no, &res));
  EXPECT_EQ(CURLE_OK, res);

  // The block count: dropped, then whole.
  uint64_t count = 77;
  fault("endpoint=backup-block-count,count=1,kind=drop");
  EXPECT_EQ(-1, postBlockCount(target.c_str(), no, &count, &res));
  EXPECT_EQ(CURLE_GOT_NOTHING, res);
  EXPECT_EQ(0, postBlockCount(target.c_str(), no, &count, &res));
  EXPECT_EQ(1u, count);
}

TEST_F(Faults, ABadChecksumCountsOnlyWhenOneIsRequired) {
  long no = start(1700000500);
  ASSERT_GT(no, 0);
  uint64_t status = 0;
  box.master("[Replication]\nRequireChecksum=1\n");
  EXPECT_EQ(no, check(1700000500, &status)) << "vaultd's own checksum is right";
  fault("endpoint=backup-check,count=1,kind=badcrc");
  EXPECT_EQ(-1, check(1700000500, &status));
  box.master("[Replication]\nRequireChecksum=0\n");
  fault("endpoint=backup-check,count=1,kind=badcrc");
  EXPECT_EQ(no, check(1700000500, &status));
}

}  // namespace
