// The Vault requests on the wire: each case file in tests/vault/data holds
// the exact request bytes and the reply; the test makes the call and checks
// the request received, the result code and the values handed back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/responder.h"
#include "support/sandbox.h"
#include "vault/rest.h"

namespace {

struct Wire : ::testing::Test {
  rpd::test::SystemSandbox box{"rpd-vault"};
  vaulttest::Responder vault;
  std::string target = vault.target();

  // Every request received equals the case's expected bytes.
  void expectRequests() {
    std::vector<std::string> got = vault.finish();
    const auto &ex = vault.exchanges();
    ASSERT_EQ(ex.size(), got.size());
    for (size_t i = 0; i < ex.size(); i++) {
      if (ex[i].hasRequest) {
        EXPECT_EQ(vaulttest::printable(ex[i].request), vaulttest::printable(got[i])) << "request " << i;
      }
    }
  }
};

HashListEntry entry(uint64_t length, uint8_t fill, uint64_t offset) {
  HashListEntry e;
  memset(&e, 0, sizeof e);
  strcpy(e.value.hashType, "sha512");
  e.value.hashedLength = length;
  memset(e.value.hashValue, fill, 64);
  e.location.fileOffset = offset;
  return e;
}

std::vector<HashListEntry> checkEntries() {
  std::vector<HashListEntry> v = {entry(4096, 0x11, 0), entry(0x12345, 0, 0x0102030405060708ull)};
  for (int i = 0; i < 64; i++) v[1].value.hashValue[i] = (uint8_t)i;
  return v;
}

TEST_F(Wire, BlockCountSendsTheBackupOnlyWhenGivenAndReadsEightBytes) {
  uint64_t count = 0;
  CURLcode res = CURLE_FAILED_INIT;
  vault.serve("postBlockCount_backup");
  EXPECT_EQ(0, postBlockCount(target.c_str(), 42, &count, &res));
  EXPECT_EQ(CURLE_OK, res);
  EXPECT_EQ(0x12345u, count);
  expectRequests();

  count = 99;
  vault.serve("postBlockCount_short");
  EXPECT_EQ(-1, postBlockCount(target.c_str(), 0, &count, &res));
  EXPECT_EQ(99u, count);  // unknown: left as it was
  expectRequests();
}

TEST_F(Wire, CheckOffsetSendsEightyEightBytesPerBlockAndNeedsOneReplyBytePerBlock) {
  std::vector<HashListEntry> e = checkEntries();
  char *reply = nullptr;
  CURLcode res;
  vault.serve("postCheckOffset_two");
  ASSERT_EQ(0, postCheckOffset(target.c_str(), e.data(), 2, &reply, 77, &res));
  ASSERT_NE(nullptr, reply);
  EXPECT_EQ('1', reply[0]);
  EXPECT_EQ('0', reply[1]);
  free(reply);
  expectRequests();

  vault.serve("postCheckOffset_shortReply");
  EXPECT_EQ(-1, postCheckOffset(target.c_str(), e.data(), 2, &reply, -1, &res));
  EXPECT_EQ(nullptr, reply);
  expectRequests();

  // Faults: a trickled reply still counts; a dropped connection, a body cut
  // short and a 503 do not.
  vault.serve("checkOffset_slow");
  ASSERT_EQ(0, postCheckOffset(target.c_str(), e.data(), 2, &reply, 77, &res));
  EXPECT_EQ(0, memcmp(reply, "01", 2));
  free(reply);
  expectRequests();

  vault.serve("checkOffset_drop");
  EXPECT_EQ(-1, postCheckOffset(target.c_str(), e.data(), 2, &reply, 77, &res));
  EXPECT_EQ(CURLE_GOT_NOTHING, res);
  EXPECT_EQ(nullptr, reply);
  expectRequests();

  vault.serve("checkOffset_truncated");
  EXPECT_EQ(-1, postCheckOffset(target.c_str(), e.data(), 2, &reply, 77, &res));
  EXPECT_EQ(CURLE_PARTIAL_FILE, res);
  expectRequests();

  vault.serve("checkOffset_503");
  EXPECT_EQ(-4, postCheckOffset(target.c_str(), e.data(), 2, &reply, 77, &res));
  EXPECT_EQ(CURLE_OK, res);
  expectRequests();
}

TEST_F(Wire, StartBackupReadsTheVaultNumberOrTheVaultsRefusal) {
  const char doc[] = "<backup_metadata/>";
  CURLcode res;
  vault.serve("postStartBackup_force");
  EXPECT_EQ(1234, postStartBackup(target.c_str(), doc, strlen(doc), 1049088, &res, 1));
  expectRequests();

  struct {
    const char *caseName;
    long result;
    bool transferFails;
  } replies[] = {
      {"startBackup_outOfOrder", -5, false}, {"startBackup_refused", -6, false},
      {"startBackup_twoWarnings", -6, false}, {"startBackup_otherWarning", 88, false},
      {"startBackup_503", -4, false},        {"startBackup_405", -3, false},
      {"startBackup_500", -1, true},         {"startBackup_http10_503", 55, false},
      {"startBackup_empty", -1, false},      {"startBackup_garbage", 0, false},
  };
  for (const auto &r : replies) {
    vault.serve(r.caseName);
    res = CURLE_OK;
    EXPECT_EQ(r.result, postStartBackup(target.c_str(), doc, strlen(doc), 0, &res, 0)) << r.caseName;
    EXPECT_EQ(r.transferFails, res != CURLE_OK) << r.caseName << " " << res;
    vault.finish();
  }
}

TEST_F(Wire, EndBackupSendsTheIdentityHeaderAndTheMessage) {
  CURLcode res;
  vault.serve("postEndBackup_terminated");
  EXPECT_EQ(0, postEndBackup(target.c_str(), "tempUUID", "backup operation terminated", 28, &res));
  expectRequests();
  // An identity that does not fit its 512-byte header is not sent.
  std::string huge(600, 'x');
  EXPECT_EQ(-1, postEndBackup(target.c_str(), huge.c_str(), "m", 1, &res));
}

TEST_F(Wire, BackupCheckReadsEachReplyLayoutAndTheChecksum) {
  const char ubi[] = "0f8fad5b-d9cb-469f-a165-70867728950e_1700000000_1";
  uint64_t status = 0, props = 77;
  CURLcode res;
  vault.serve("backupCheck_16");
  EXPECT_EQ(31, postBackupCheck(target.c_str(), ubi, sizeof ubi, 9, &status, &props, &res));
  EXPECT_EQ(0x440u, status);
  EXPECT_EQ(0u, props);
  expectRequests();

  vault.serve("backupCheck_24");
  EXPECT_EQ(31, postBackupCheck(target.c_str(), ubi, sizeof ubi, 0, &status, &props, &res));
  EXPECT_EQ(0x440u, status);
  EXPECT_EQ(0x600u, props);
  expectRequests();

  vault.serve("backupCheck_negative");
  EXPECT_EQ(-1, postBackupCheck(target.c_str(), ubi, sizeof ubi, 9, &status, &props, &res));
  vault.finish();
  vault.serve("backupCheck_tiny");
  EXPECT_EQ(-1, postBackupCheck(target.c_str(), ubi, sizeof ubi, 9, &status, &props, &res));
  vault.finish();

  // Without RequireChecksum the trailing bytes are not examined.
  vault.serve("backupCheck_badcrc");
  EXPECT_EQ(31, postBackupCheck(target.c_str(), ubi, sizeof ubi, 9, &status, &props, &res));
  vault.finish();

  box.master("[Replication]\nRequireChecksum=1\n");
  vault.serve("backupCheck_crc");
  props = 0;
  EXPECT_EQ(31, postBackupCheck(target.c_str(), ubi, sizeof ubi, 9, &status, &props, &res));
  EXPECT_EQ(0x600u, props);
  vault.finish();
  vault.serve("backupCheck_badcrc");
  EXPECT_EQ(-1, postBackupCheck(target.c_str(), ubi, sizeof ubi, 9, &status, &props, &res));
  vault.finish();
  vault.serve("backupCheck_16");  // too small to carry a checksum
  EXPECT_EQ(-1, postBackupCheck(target.c_str(), ubi, sizeof ubi, 9, &status, &props, &res));
  vault.finish();
}

TEST_F(Wire, MultiBlocksSendsHeadersAndEntriesInOneBody) {
  HashListEntry a = entry(5, 0x22, 16), b = entry(3, 0x33, 21);
  std::vector<uint8_t> buf(2 * MULTI_BLOCK_HEADER_BYTES + 8);
  encodeMultiBlockHeader(&a, buf.data());
  memcpy(buf.data() + 84, "hello", 5);
  encodeMultiBlockHeader(&b, buf.data() + 89);
  memcpy(buf.data() + 173, "abc", 3);
  CURLcode res;
  vault.serve("putMultiBlocks_two");
  EXPECT_EQ(0, putMultiBlocks(target.c_str(), buf.data(), 176, 2, 77, &res));
  expectRequests();

  vault.serve("putMultiBlocks_503");
  EXPECT_EQ(-4, putMultiBlocks(target.c_str(), buf.data(), 176, 2, 77, &res));
  vault.finish();
  EXPECT_EQ(-1, putMultiBlocks(target.c_str(), buf.data(), 0, 0, 77, &res));  // nothing to send
}

TEST_F(Wire, PutBlocksSendsOneRequestPerBlockToSend) {
  HashListEntry e[3] = {entry(5, 0x22, 16), entry(4, 0x99, 18), entry(3, 0x33, 21)};
  uint8_t data[] = "hello....abc";
  SendTableSlot slots[3] = {{data, 5}, {data + 5, 0}, {data + 9, 3}};
  CURLcode res;
  vault.serve("putBlocks_two");
  // The second reply is a 503: putBlocks does not look at replies.
  EXPECT_EQ(3, putBlocks(target.c_str(), slots, e, 3, 0, 77, &res));
  expectRequests();
  EXPECT_EQ(data, slots[0].data);
  EXPECT_EQ(data + 9, slots[2].data);

  // Verification: a block whose data does not match its hash stops the loop
  // before anything is sent.
  EXPECT_EQ(0, putBlocks(target.c_str(), slots, e, 3, 1, 77, &res));
}

TEST_F(Wire, PutBlocksVerifiesTheDataAgainstItsHash) {
  // SHA-512("abc")
  const char *abc =
      "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
      "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F";
  HashListEntry e = entry(3, 0, 21);
  uint8_t *h = fromHex(abc);
  memcpy(e.value.hashValue, h, 64);
  free(h);
  uint8_t data[] = "abc";
  SendTableSlot slot = {data, 3};
  CURLcode res;
  vault.serve("checkOffset_503");  // any reply: only the count matters
  EXPECT_EQ(1, putBlocks(target.c_str(), &slot, &e, 1, 1, 77, &res));
  std::vector<std::string> got = vault.finish();
  ASSERT_EQ(1u, got.size());
  EXPECT_NE(std::string::npos, got[0].find(std::string("PUT /cgi-bin/vaultServer/b-sha512-3-") + abc));
}

struct MemoryBlocks : BlockSource {
  std::string data;
  int reads = 0;
  long readBlock(HashListEntry *, uint8_t *buf, size_t len, uint64_t offset) override {
    reads++;
    size_t n = std::min(len, data.size() - offset);
    memcpy(buf, data.data() + offset, n);
    return (long)n;
  }
};

TEST_F(Wire, LargeBlockStreamsFromTheStoreInPieces) {
  HashListEntry e = entry(10, 0x44, 123456);
  MemoryBlocks blocks;
  blocks.data = "0123456789";
  uint8_t piece[4];
  std::mutex lock;
  CURLcode res;
  vault.serve("putLargeBlock_ten");
  EXPECT_EQ(0, putLargeBlock(target.c_str(), &e, piece, sizeof piece, 77, &lock, &blocks, &res));
  EXPECT_EQ(3, blocks.reads);
  expectRequests();
}

struct XorCipher : FileDecryptor {
  int initWithToken(const uint8_t *h, size_t len, std::string *err) override {
    if (len != ENCRYPTION_HEADER_BYTES || h[0] != 'E') {
      *err = "length too small";
      return -1;
    }
    return 0;
  }
  int unitSize() const override { return 32; }
  int decrypt(const uint8_t *in, int *inBytes, uint8_t *out, int *outBytes, std::string *) override {
    for (int i = 0; i < *inBytes; i++) out[i] = in[i] ^ 0x5A;
    *outBytes -= *inBytes;
    *inBytes = 0;
    return 0;
  }
};

TEST_F(Wire, FilesAreSentWholeOrDecryptedAfterTheirHeader) {
  std::string path = box.path("hactar_5");
  box.write("hactar_5", "HACTAR-BYTES!");
  CURLcode res;
  vault.serve("putFiles_hactar", {{"PATH", path}});
  EXPECT_EQ(0, putFiles(target.c_str(), path.c_str(), 77, &res, 12));
  expectRequests();

  vault.serve("putFiles_405");
  EXPECT_EQ(-3, putFiles(target.c_str(), path.c_str(), 77, &res, 12));
  vault.finish();
  EXPECT_EQ(-1, putFiles(target.c_str(), box.path("missing").c_str(), 77, &res, 12));

  std::string plain = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!?";
  std::string file(ENCRYPTION_HEADER_BYTES, '\0');
  file[0] = 'E';
  for (char c : plain) file += (char)(c ^ 0x5A);
  std::string encPath = box.path("hactar_6");
  box.write("hactar_6", file);
  XorCipher cipher;
  vault.serve("putEncryptedFiles_hactar", {{"PATH", encPath}});
  EXPECT_EQ(0, putEncryptedFiles(target.c_str(), encPath.c_str(), 77, &res, 3, &cipher));
  expectRequests();

  // A header the cipher refuses, and a file shorter than a header: nothing sent.
  file[0] = 'X';
  box.write("hactar_6", file);
  EXPECT_EQ(-1, putEncryptedFiles(target.c_str(), encPath.c_str(), 77, &res, 3, &cipher));
  box.write("hactar_6", "short");
  EXPECT_EQ(-1, putEncryptedFiles(target.c_str(), encPath.c_str(), 77, &res, 3, &cipher));
}

}  // namespace
