// sisCrypt_test.cpp: SIS files that carry an encryption token, read through
// the real CryptoDaemon stand-in at unaligned offsets.
#include <signal.h>
#include <sys/wait.h>

#include "lib/is_tar.h"
#include "sis_fixture.h"
#include "support/cipher.h"
#include "store/crypto.h"

using namespace sis_test;

namespace {

// Gives a token the name encrypted SIS files carry and a fresh checksum.
void nameToken(uint8_t *header) {
  memset(header, 0, 100);
  snprintf(reinterpret_cast<char *>(header), 100, "Kestrelon encrypted TAR v1");
  memset(header + 148, ' ', 8);
  unsigned sum = 0;
  for (int i = 0; i < 512; i++) sum += header[i];
  snprintf(reinterpret_cast<char *>(header) + 148, 8, "%06o", sum);
}

}  // namespace

TEST_F(SISstore, EncryptedSpanFilesDecryptExactlyTheRequestedBytes) {
  box_.write("/keys/cd.key", std::string(32, '\x17'));
  CDlibForgetState();
  cryptoResetProcessState();
  rpd::test::CryptoDaemon daemon(box_.path("/keys/cd.key"));
  ASSERT_TRUE(daemon.ready());

  // A token from the daemon and the span's data encrypted under it.
  CDcryptCtx ctx{};
  CDresult result{};
  ASSERT_EQ(CDlibInitCryptWithArchiveKey(&ctx, &result), 0) << result.message;
  std::vector<uint8_t> token(4096);
  int tokenSize = int(token.size());
  ASSERT_EQ(CDlibGetToken(token.data(), &tokenSize, &ctx, &result), 0) << result.message;
  token.resize(size_t(tokenSize));
  nameToken(token.data());
  ASSERT_EQ(is_tar(reinterpret_cast<const char *>(token.data())), 1);
  std::vector<uint8_t> plain = randomBytes(kSpan, 99), cipher(kSpan);
  ctx.nextDataInPtr = plain.data();
  ctx.dataInBytes = int32_t(kSpan);
  ctx.nextDataOutPtr = cipher.data();
  ctx.dataOutBytes = int32_t(kSpan);
  ASSERT_EQ(CDlibCrypt(CD_OP_ENCRYPT, &ctx, &result), 0) << result.message;
  ASSERT_EQ(ctx.dataInBytes, 0);
  CDlibReleaseCtx(&ctx);
  ASSERT_NE(plain, cipher);

  makeStore({{"dev", 1}});
  std::string file(cipher.begin(), cipher.end());
  file.append(token.begin(), token.end());
  box_.write("dev/SIS/0000000000000000", file);
  // The store's end lies at the end of this span.
  int fd = open(infoFile().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  uint8_t end[8] = {0, 0, 1, 0, 0, 0, 0, 0};  // 0x10000, little-endian
  ASSERT_EQ(pwrite(fd, end, 8, sisinfo::END_OFFSET), 8);
  close(fd);

  HandleGuard g{openShared()};
  ASSERT_NE(g.h, nullptr);
  struct Range {
    uint64_t offset;
    size_t length;
  } ranges[] = {{45, 1000}, {64, 128}, {33, 7}, {31, 2}, {kSpan - 70, 70}, {100, 32}, {0, kSpan}};
  for (const Range &r : ranges) {
    std::vector<uint8_t> out(r.length + 16, 0xEE);
    ASSERT_EQ(readSIS(g.h, out.data(), r.length, r.offset), ssize_t(r.length)) << r.offset;
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + long(r.length), plain.begin() + long(r.offset)))
        << "range at " << r.offset << " of " << r.length;
    EXPECT_EQ(out[r.length], 0xEE) << "nothing written past the request";
  }
  EXPECT_EQ(g.h->tokenLength, token.size());
}
