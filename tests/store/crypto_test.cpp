// The CryptoDaemon client against the real cryptodaemon stand-in in a
// sandbox: status, contexts from the archive key and from tokens, crypt
// exchanges equal to AES-256-ECB with the key file's key (done here with
// OpenSSL directly), own cryption, and the failures of a missing, stale,
// damaged or misbehaving daemon.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "store/crypto.h"
#include "store/libCryptoDaemon.h"
#include "support/files.h"
#include "support/cipher.h"
#include "support/sandbox.h"

using rpd::test::aes;
using rpd::test::Bytes;

namespace {

class CryptoDaemonTest : public testing::Test {
 protected:
  rpd::test::SystemSandbox root{"rpd-store", ""};
  Bytes key;
  std::string keyFile = root.path("cd.key");

  void SetUp() override {
    for (int i = 0; i < 32; i++) key.push_back((uint8_t)(i * 7 + 1));
    rpd::test::writeBytes(keyFile, key);
    root.write("master.ini", "[Configuration Options]\ninlineCryption=true\n");
    CDlibForgetState();
    cryptoResetProcessState();
  }

  // Lets the process do its own cryption in software (the sandbox has no
  // interrupt table, so the capability file decides).
  void enableSoftware() {
    root.write("var/opt/kestrelon/platform_capabilities", "replication\nencryption\n");
    cryptoResetProcessState();
  }

  // Runs data through CDlibCrypt; returns the output, the result record in r.
  Bytes crypt(CDcryptCtx &ctx, int op, const Bytes &in, CDresult &r, int *rc, int *left = nullptr) {
    Bytes out(in.size());
    ctx.nextDataInPtr = const_cast<uint8_t *>(in.data());
    ctx.dataInBytes = (int32_t)in.size();
    ctx.nextDataOutPtr = out.data();
    ctx.dataOutBytes = (int32_t)out.size();
    *rc = CDlibCrypt(op, &ctx, &r);
    out.resize((size_t)(ctx.nextDataOutPtr - out.data()));
    if (left) *left = ctx.dataInBytes;
    return out;
  }
};

TEST_F(CryptoDaemonTest, DaemonCryptionEqualsAesWithTheKey) {
  rpd::test::CryptoDaemon d(keyFile);
  ASSERT_GT(d.port(), 0);
  CDresult r{};
  uint32_t bits = 0;
  ASSERT_EQ(CDgetStatusBitmask(&bits, &r), 0) << r.message;
  EXPECT_EQ(bits, 7u);

  CDcryptCtx ctx{};
  ASSERT_EQ(CDlibInitCryptWithArchiveKey(&ctx, &r), 0) << r.message;
  ASSERT_NE(ctx.cdlibData, nullptr);
  EXPECT_EQ(ctx.cryptUnitSize, 32);
  EXPECT_EQ(ctx.cdlibData->doOurOwnCryption, 0) << "no card, no threads, no capability";
  EXPECT_EQ(Bytes(ctx.cdlibData->archiveKey, ctx.cdlibData->archiveKey + ctx.cdlibData->archiveKeyLength), key);

  // 100 bytes: 96 are processed, 4 stay.
  Bytes plain = rpd::test::makeData(100, 1);
  int rc = 0, left = 0;
  Bytes cipher = crypt(ctx, CD_OP_ENCRYPT, plain, r, &rc, &left);
  ASSERT_EQ(rc, 0) << r.message;
  EXPECT_EQ(left, 4);
  EXPECT_EQ(cipher, aes(true, key, plain.data(), 96));
  // More than one exchange's worth (65,536 bytes each), in sequence.
  Bytes big = rpd::test::makeData(200000, 2);
  big.resize(200000 / 32 * 32);
  Bytes bigCipher = crypt(ctx, CD_OP_ENCRYPT, big, r, &rc);
  ASSERT_EQ(rc, 0) << r.message;
  EXPECT_EQ(bigCipher, aes(true, key, big.data(), big.size()));
  EXPECT_EQ(crypt(ctx, CD_OP_DECRYPT, bigCipher, r, &rc), big);
  EXPECT_EQ(rc, 0);
  CDlibReleaseCtx(&ctx);
  EXPECT_EQ(ctx.cdlibData, nullptr);
}

TEST_F(CryptoDaemonTest, TokensOpenContextsAndOwnCryptionMatchesTheDaemon) {
  rpd::test::CryptoDaemon d(keyFile);
  CDresult r{};
  CDcryptCtx writer{};
  ASSERT_EQ(CDlibInitCryptWithArchiveKey(&writer, &r), 0) << r.message;
  uint8_t token[2048];
  int size = sizeof token;
  ASSERT_EQ(CDlibGetToken(token, &size, &writer, &r), 0) << r.message;
  ASSERT_GT(size, 512);
  EXPECT_EQ(token[156], 'E');
  EXPECT_EQ(strtol((const char *)token + 124, nullptr, 8), size - 512);
  int small = size - 1;
  EXPECT_EQ(CDlibGetToken(token, &small, &writer, &r), -1);
  EXPECT_STREQ(r.message, "length too small");
  CDlibReleaseCtx(&writer);
  ASSERT_EQ(CDlibInitCryptWithArchiveKey(&writer, &r), 0);
  size = sizeof token;
  ASSERT_EQ(CDlibGetToken(token, &size, &writer, &r), 0);
  Bytes plain = rpd::test::makeData(4096, 3);
  int rc = 0;
  Bytes byDaemon = crypt(writer, CD_OP_ENCRYPT, plain, r, &rc);
  ASSERT_EQ(rc, 0);
  CDlibReleaseCtx(&writer);

  // A reader with own cryption decrypts what the daemon encrypted.
  enableSoftware();
  CDcryptCtx reader{};
  ASSERT_EQ(CDlibInitCryptWithToken(token, size, &reader, &r), 0) << r.message;
  EXPECT_EQ(reader.cdlibData->doOurOwnCryption, 1);
  EXPECT_EQ(reader.cdlibData->archiveKeyLength, 32);
  EXPECT_EQ(crypt(reader, CD_OP_DECRYPT, byDaemon, r, &rc), plain);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(crypt(reader, CD_OP_ENCRYPT, plain, r, &rc), byDaemon);
  CDlibReleaseCtx(&reader);

  // inlineCryption off leaves the work to the daemon.
  root.write("master.ini", "[Configuration Options]\ninlineCryption=false\n");
  ASSERT_EQ(CDlibInitCryptWithToken(token, size, &reader, &r), 0) << r.message;
  EXPECT_EQ(reader.cdlibData->doOurOwnCryption, 0);
  EXPECT_EQ(crypt(reader, CD_OP_DECRYPT, byDaemon, r, &rc), plain);
  CDlibReleaseCtx(&reader);

  // A token that names another key is refused and leaves no context.
  token[512 + 40] ^= 0xff;
  EXPECT_EQ(CDlibInitCryptWithToken(token, size, &reader, &r), -1);
  EXPECT_STREQ(r.message, "unknown token");
  EXPECT_EQ(reader.cdlibData, nullptr);
  EXPECT_EQ(CDlibInitCryptWithToken(token, 512, &reader, &r), -1);
  EXPECT_STREQ(r.message, "length too small");
}

TEST_F(CryptoDaemonTest, ArgumentChecksOfCrypt) {
  rpd::test::CryptoDaemon d(keyFile);
  CDresult r{};
  CDcryptCtx ctx{};
  Bytes in(64), out(64);
  int rc = 0;
  crypt(ctx, CD_OP_ENCRYPT, in, r, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(r.message, "CDlibData not initialized");
  ASSERT_EQ(CDlibInitCryptWithArchiveKey(&ctx, &r), 0);
  crypt(ctx, CD_OP_ENCRYPT, Bytes(31), r, &rc);
  EXPECT_STREQ(r.message, "dataInBytes < 32");
  ctx.nextDataInPtr = in.data();
  ctx.dataInBytes = 64;
  ctx.nextDataOutPtr = nullptr;
  EXPECT_EQ(CDlibCrypt(CD_OP_ENCRYPT, &ctx, &r), -1);
  EXPECT_STREQ(r.message, "nextDataOutPtr == NULL");
  ctx.nextDataOutPtr = out.data();
  ctx.dataOutBytes = 0;
  EXPECT_EQ(CDlibCrypt(CD_OP_ENCRYPT, &ctx, &r), -1);
  EXPECT_STREQ(r.message, "dataOutBytes <= 0");
  ctx.dataOutBytes = 64;
  EXPECT_EQ(CDlibCrypt(6, &ctx, &r), -1);
  EXPECT_STREQ(r.message, "confused about what to do");
  EXPECT_EQ(CDlibCrypt(CD_OP_ENCRYPT, nullptr, &r), -1);
  EXPECT_STREQ(r.message, "NULL pointer");
  CDlibReleaseCtx(&ctx);
}

TEST_F(CryptoDaemonTest, MissingStaleDamagedOrVanishedDaemon) {
  CDresult r{};
  uint32_t bits = 0;
  CDcryptCtx ctx{};
  EXPECT_EQ(CDgetStatusBitmask(&bits, &r), -1);
  EXPECT_STREQ(r.message, "CryptoDaemon's not running or we're unprivileged");
  EXPECT_EQ(CDlibInitCryptWithArchiveKey(&ctx, &r), -1);
  EXPECT_STREQ(r.message, "CryptoDaemon's not running or we're unprivileged");

  {
    rpd::test::CryptoDaemon d(keyFile);
    ASSERT_EQ(CDgetStatusBitmask(&bits, &r), 0) << r.message;
    ASSERT_EQ(CDlibInitCryptWithArchiveKey(&ctx, &r), 0);
    // Killed without cleaning up: the state file stays behind.
    d.stop(SIGKILL);
  }
  Bytes in(64), out(64);
  ctx.nextDataInPtr = in.data();
  ctx.dataInBytes = 64;
  ctx.nextDataOutPtr = out.data();
  ctx.dataOutBytes = 64;
  EXPECT_EQ(CDlibCrypt(CD_OP_ENCRYPT, &ctx, &r), -1) << "the process survives the broken connection";
  EXPECT_TRUE(strcmp(r.message, "short write") == 0 || strcmp(r.message, "short read") == 0) << r.message;
  CDlibReleaseCtx(&ctx);
  EXPECT_EQ(CDgetStatusBitmask(&bits, &r), -1);
  EXPECT_STREQ(r.message, "Can't connect to CryptoDaemon: Connection refused");

  // A restarted daemon writes a newer state file, which is read again.
  {
    rpd::test::CryptoDaemon d(keyFile);
    EXPECT_EQ(CDgetStatusBitmask(&bits, &r), 0) << r.message;
  }
  // A damaged state file.
  root.write("var/run/cryptoDaemonState", std::string(535, 'x'));
  CDlibForgetState();
  EXPECT_EQ(CDgetStatusBitmask(&bits, &r), -1);
  EXPECT_STREQ(r.message, "state size 535 != 536");
}

TEST_F(CryptoDaemonTest, ReplyOutOfSequenceIsRefused) {
  rpd::test::CryptoDaemon d(keyFile, {"-F", "seq"});
  CDresult r{};
  CDcryptCtx ctx{};
  ASSERT_EQ(CDlibInitCryptWithArchiveKey(&ctx, &r), 0) << r.message;
  int rc = 0;
  crypt(ctx, CD_OP_ENCRYPT, Bytes(64), r, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(r.message, "outta sync: 0x2 != 0x1");
  CDlibReleaseCtx(&ctx);
}

TEST(CryptoLayouts, StateFileAndMessagesRoundTrip) {
  CDstate s;
  for (size_t i = 0; i < sizeof s.credential; i++) s.credential[i] = (uint8_t)i;
  s.port = 0x1234;
  uint8_t file[kCDStateFileSize];
  encodeCDstate(s, file);
  EXPECT_EQ(file[520], 0x12);  // network byte order
  EXPECT_EQ(file[521], 0x34);
  EXPECT_EQ(file[4], 0);
  EXPECT_EQ(file[5], 1);
  CDstate back;
  decodeCDstate(file, &back);
  EXPECT_EQ(back.port, 0x1234);
  EXPECT_EQ(memcmp(back.credential, s.credential, sizeof s.credential), 0);

  uint8_t h[kCDCryptHeaderSize];
  encodeCDcryptHeader(CDcryptHeader{5, 0x01020304, 65536}, h);
  EXPECT_EQ(h[8], 5);
  EXPECT_EQ(h[80], 4);
  EXPECT_EQ(h[83], 1);
  EXPECT_EQ(h[92], 0);
  EXPECT_EQ(h[94], 1);
  CDresult r;
  setCDresult(&r, -1, "outta sync: 0x%X != 0x%X", 3u, 2u);
  uint8_t wire[kCDResultSize];
  encodeCDresult(r, wire);
  EXPECT_EQ(wire[8], 0xff);
  EXPECT_EQ(wire[15], 0xff);
  CDresult rb;
  decodeCDresult(wire, &rb);
  EXPECT_EQ(rb.code, -1);
  EXPECT_STREQ(rb.message, "outta sync: 0x3 != 0x2");
}

}  // namespace
