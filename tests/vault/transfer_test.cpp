// Reply header rules, collectors, socket settings and the body readers.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/config.h"
#include "support/sandbox.h"
#include "vault/blockOut.h"
#include "vault/transfer.h"

namespace {

int feed(ReplyStatus *stat, const std::vector<std::string> &lines, size_t *abortedAt = nullptr) {
  for (size_t i = 0; i < lines.size(); i++) {
    std::string l = lines[i];
    size_t r = replyHeaderCallback(l.data(), 1, l.size(), stat);
    if (r != l.size()) {
      if (abortedAt) *abortedAt = i;
      break;
    }
  }
  return stat->errorCode;
}

// Which reply lines carry a code, and which code wins among several, is
// checked over a socket by the wire cases (code_*.case); here only what a
// socket cannot show: lines cut short or carrying a NUL, the line on which
// the transfer is aborted, and interim replies.
TEST(replyHeader, OnlyExactLinesHaveACodeAndTheInternalErrorAbortsAtItsLine) {
  struct {
    const char *line;
    int code;
  } cases[] = {
      {"HTTP/1.1 503 Service Unavailable", 0},
      {"HTTP/1.1 503 Service Unavailable\n", 0},
      {"HTTP/1.1 500 Internal Server Error", 0},
      {"Warning: Failed to process metaData\r\nX", 0},
      {"HTTP/1.1 500 Internal Server Error\r\n", 1},
  };
  for (const auto &c : cases) EXPECT_EQ(c.code, headerLineCode(c.line, strlen(c.line))) << c.line;
  // Compared as a C string: a NUL ends the line.
  std::string withNul("HTTP/1.1 405 Bad Request\r\n\0junk", 31);
  EXPECT_EQ(-3, headerLineCode(withNul.data(), withNul.size()));

  // The internal-server-error line aborts at once and leaves the status.
  ReplyStatus s;
  size_t at = 99;
  EXPECT_EQ(1, feed(&s, {"HTTP/1.1 500 Internal Server Error\r\n", "Content-Length: 0\r\n"}, &at));
  EXPECT_EQ(0u, at);
  ReplyStatus t;
  EXPECT_EQ(0, feed(&t, {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 500 Internal Server Error\r\n"}, &at));
  EXPECT_EQ(1u, at);
  // An interim 100 Continue is not the reply: a 500 after it still fails.
  ReplyStatus u;
  EXPECT_EQ(1, feed(&u, {"HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.1 500 Internal Server Error\r\n"}));
  ReplyStatus v;
  EXPECT_EQ(-4, feed(&v, {"HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.1 503 Service Unavailable\r\n"}));
  // A status line after a Vault error does not clear it.
  ReplyStatus w;
  EXPECT_EQ(-6, feed(&w, {"Warning: Failed to process metaData\r\n", "HTTP/1.1 200 OK\r\n"}));
  EXPECT_EQ(-1, operationResult(1));
  EXPECT_EQ(0, operationResult(0));
  for (int c = -6; c <= -3; c++) EXPECT_EQ(c, operationResult(c));
}

TEST(replyCollector, AppendsChunksAndKeepsATerminatingNul) {
  ReplyBuffer r;
  char a[] = "12345", b[] = "678";
  EXPECT_EQ(5u, replyCollector(a, 1, 5, &r));
  EXPECT_EQ(3u, replyCollector(b, 1, 3, &r));
  ASSERT_EQ(8u, r.len);
  EXPECT_STREQ("12345678", r.data);
  char *owned = r.release();
  EXPECT_STREQ("12345678", owned);
  EXPECT_EQ(nullptr, r.data);
  EXPECT_EQ(0u, r.len);
  free(owned);
}

int intOpt(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  getsockopt(fd, level, name, &v, &len);
  return v;
}

TEST(socketSettings, LoadKeepsRemovedKeysAndAppliesOptionsToConnections) {
  rpd::test::SystemSandbox box{"rpd-vault"};
  box.master("[Replication]\nSOCKET_TIMEOUT=7\nSOCKET_KEEPALIVE=true\nTCP_KEEPCNT=3\nTCP_KEEPIDLE=40\nTCP_KEEPINTVL=11\n");
  loadSocketSettings(g_master_ini);
  SocketSettings s = currentSocketSettings();
  EXPECT_EQ(7, s.socketTimeout);
  EXPECT_EQ(1, s.socketKeepalive);
  EXPECT_EQ(3, s.tcpKeepcnt);
  EXPECT_EQ(40, s.tcpKeepidle);
  EXPECT_EQ(11, s.tcpKeepintvl);
  EXPECT_EQ(1, s.applyKeepalive);

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  // Sockets other than the connection socket are left alone.
  EXPECT_EQ(CURL_SOCKOPT_OK, sockoptCallback(nullptr, fd, CURLSOCKTYPE_ACCEPT));
  EXPECT_EQ(0, intOpt(fd, SOL_SOCKET, SO_KEEPALIVE));
  EXPECT_EQ(CURL_SOCKOPT_OK, sockoptCallback(nullptr, fd, CURLSOCKTYPE_IPCXN));
  EXPECT_EQ(1, intOpt(fd, SOL_SOCKET, SO_KEEPALIVE));
  EXPECT_EQ(3, intOpt(fd, IPPROTO_TCP, TCP_KEEPCNT));
  EXPECT_EQ(40, intOpt(fd, IPPROTO_TCP, TCP_KEEPIDLE));
  EXPECT_EQ(11, intOpt(fd, IPPROTO_TCP, TCP_KEEPINTVL));
  struct timeval tv = {};
  socklen_t len = sizeof tv;
  getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  EXPECT_EQ(7, tv.tv_sec);
  getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
  EXPECT_EQ(7, tv.tv_sec);
  close(fd);

  // Removed keys keep their values; keepalive off keeps the apply flag and
  // the keepalive values are not read.
  box.master("[Replication]\nSOCKET_KEEPALIVE=false\nTCP_KEEPCNT=9\n");
  loadSocketSettings(g_master_ini);
  s = currentSocketSettings();
  EXPECT_EQ(7, s.socketTimeout);
  EXPECT_EQ(0, s.socketKeepalive);
  EXPECT_EQ(3, s.tcpKeepcnt);
  EXPECT_EQ(1, s.applyKeepalive);

  // Keepalive on with all three values 0: on, with system parameters.
  box.master("[Replication]\nSOCKET_TIMEOUT=0\nSOCKET_KEEPALIVE=1\nTCP_KEEPCNT=0\nTCP_KEEPIDLE=0\nTCP_KEEPINTVL=0\n");
  loadSocketSettings(g_master_ini);
  s = currentSocketSettings();
  EXPECT_EQ(0, s.applyKeepalive);
  fd = socket(AF_INET, SOCK_STREAM, 0);
  int idleBefore = intOpt(fd, IPPROTO_TCP, TCP_KEEPIDLE);
  EXPECT_EQ(CURL_SOCKOPT_OK, sockoptCallback(nullptr, fd, CURLSOCKTYPE_IPCXN));
  EXPECT_EQ(1, intOpt(fd, SOL_SOCKET, SO_KEEPALIVE));
  EXPECT_EQ(idleBefore, intOpt(fd, IPPROTO_TCP, TCP_KEEPIDLE));
  close(fd);

  // Neither timeout nor keepalive: no callback is installed.
  CURL *h = curl_easy_init();
  EXPECT_EQ(1, installSockoptCallback(h));
  box.master("[Replication]\nSOCKET_TIMEOUT=0\nSOCKET_KEEPALIVE=no\n");
  loadSocketSettings(g_master_ini);
  EXPECT_EQ(0, installSockoptCallback(h));
  curl_easy_cleanup(h);

  // Back to the initial values for the other tests of this process.
  box.master("[Replication]\nSOCKET_TIMEOUT=0\nSOCKET_KEEPALIVE=1\nTCP_KEEPCNT=6\nTCP_KEEPIDLE=600\nTCP_KEEPINTVL=300\n");
  loadSocketSettings(g_master_ini);
}

TEST(readers, MemoryReaderIsHeldToTheAllowanceOfEachSecond) {
  rpd::test::SystemSandbox box{"rpd-vault"};
  detachBandwidthTable();
  ASSERT_EQ(0, parseBlockOutPeriods("=4096"));  // every second allows 4096 bytes
  std::vector<uint8_t> body(10000);
  for (size_t i = 0; i < body.size(); i++) body[i] = (uint8_t)(i * 7);
  ThreadCurlData *td = getThreadCurlData();
  ASSERT_NE(nullptr, td);
  td->second = 0;  // force a fresh second
  MemorySource src{body.data(), body.size()};
  td->source = &src;
  std::vector<char> out(16384);
  std::vector<uint8_t> sent;
  std::vector<size_t> pieces;
  for (;;) {
    size_t n = memoryReader(out.data(), 1, out.size(), td);
    if (n == 0) break;
    pieces.push_back(n);
    sent.insert(sent.end(), out.begin(), out.begin() + n);
  }
  td->source = nullptr;
  // 4096 per second: the allowance is used up exactly, so each read waits
  // for the next second before handing over the next piece.
  EXPECT_EQ((std::vector<size_t>{4096, 4096, 1808}), pieces);
  EXPECT_EQ(body, sent);
  ASSERT_EQ(0, parseBlockOutPeriods(""));

  // Unlimited: one read takes all that libcurl asks for.
  td->second = 0;
  MemorySource all{body.data(), body.size()};
  td->source = &all;
  EXPECT_EQ(body.size(), memoryReader(out.data(), 1, out.size(), td));
  EXPECT_EQ(0u, memoryReader(out.data(), 1, out.size(), td));
  td->source = nullptr;
}

// A block source over an in-memory block; records each read.
struct TestBlocks : BlockSource {
  std::vector<uint8_t> data;
  std::vector<std::pair<uint64_t, size_t>> reads;
  long failAt = -1;  // offset at which a read fails
  long readBlock(HashListEntry *, uint8_t *buf, size_t len, uint64_t offset) override {
    reads.emplace_back(offset, len);
    if ((long)offset == failAt) return -1;
    size_t n = std::min(len, data.size() - offset);
    memcpy(buf, data.data() + offset, n);
    return (long)n;
  }
};

TEST(readers, LargeBlockReaderFillsPiecesAtTheBufferEnd) {
  TestBlocks blocks;
  for (int i = 0; i < 10; i++) blocks.data.push_back((uint8_t)(0x30 + i));
  HashListEntry e = {};
  e.value.hashedLength = 10;
  uint8_t piece[4];
  LargeBlockSource src{&e, piece, sizeof piece, 0, 0, &blocks};
  ThreadCurlData *td = getThreadCurlData();
  td->source = &src;
  std::string got;
  char out[3];
  for (size_t n; (n = largeBlockReader(out, 1, sizeof out, td)) > 0;) got.append(out, n);
  EXPECT_EQ("0123456789", got);
  std::vector<std::pair<uint64_t, size_t>> expect = {{0, 4}, {4, 4}, {8, 2}};
  EXPECT_EQ(expect, blocks.reads);
  EXPECT_EQ(10u, src.sent);

  // A failing store read ends the body early.
  TestBlocks failing = blocks;
  failing.reads.clear();
  failing.failAt = 4;
  LargeBlockSource bad{&e, piece, sizeof piece, 0, 0, &failing};
  td->source = &bad;
  got.clear();
  for (size_t n; (n = largeBlockReader(out, 1, sizeof out, td)) > 0;) got.append(out, n);
  EXPECT_EQ("0123", got);

  td->source = nullptr;
  EXPECT_EQ(0u, largeBlockReader(out, 1, sizeof out, td));
}

// Cipher of the test: XOR with 0x5A in 32-byte units.
struct XorCipher : FileDecryptor {
  int failOnCall = -1, calls = 0, leaveIn = 0;
  int initWithToken(const uint8_t *, size_t len, std::string *) override {
    return len == ENCRYPTION_HEADER_BYTES ? 0 : -1;
  }
  int unitSize() const override { return 32; }
  int decrypt(const uint8_t *in, int *inBytes, uint8_t *out, int *outBytes, std::string *error) override {
    if (calls++ == failOnCall) {
      *error = "decryption failed";
      return -1;
    }
    int n = *inBytes - leaveIn;
    for (int i = 0; i < n; i++) out[i] = in[i] ^ 0x5A;
    *inBytes -= n;
    *outBytes -= n;
    return 0;
  }
};

TEST(readers, DecryptReaderHandsWholeUnitsAndStopsOnFailure) {
  rpd::test::SystemSandbox box{"rpd-vault"};
  std::string plain;
  for (int i = 0; i < 96; i++) plain += (char)('a' + i % 26);
  std::string enc = plain;
  for (auto &c : enc) c ^= 0x5A;
  box.write("enc.bin", enc);
  FILE *fp = fopen(box.path("enc.bin").c_str(), "rb");
  ASSERT_NE(nullptr, fp);
  XorCipher cipher;
  std::vector<uint8_t> buf(64);
  DecryptSource src{fp, buf.data(), buf.size(), &cipher, nullptr, 0, 96};
  ThreadCurlData *td = getThreadCurlData();
  td->second = 0;
  td->source = &src;
  char out[100];
  // 40 asked: one whole unit of 32.
  EXPECT_EQ(32u, decryptReader(out, 1, 40, td));
  EXPECT_EQ(plain.substr(0, 32), std::string(out, 32));
  // 100 asked: limited by the 64-byte read buffer.
  EXPECT_EQ(64u, decryptReader(out, 1, 100, td));
  EXPECT_EQ(plain.substr(32, 64), std::string(out, 64));
  EXPECT_EQ(0u, decryptReader(out, 1, 100, td));  // all sent

  rewind(fp);
  XorCipher failing;
  failing.failOnCall = 1;
  DecryptSource bad{fp, buf.data(), buf.size(), &failing, nullptr, 0, 96};
  td->source = &bad;
  EXPECT_EQ(64u, decryptReader(out, 1, 64, td));
  EXPECT_EQ(0u, decryptReader(out, 1, 64, td));

  rewind(fp);
  XorCipher partial;
  partial.leaveIn = 32;
  DecryptSource left{fp, buf.data(), buf.size(), &partial, nullptr, 0, 96};
  td->source = &left;
  EXPECT_EQ(0u, decryptReader(out, 1, 64, td));
  td->source = nullptr;
  fclose(fp);
}

}  // namespace
