// util_test.cpp: the archive header test, the SHA family, descriptor loops,
// the node name and the platform capability queries.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lib/config.h"
#include "lib/fdio.h"
#include "lib/is_tar.h"
#include "lib/logger.h"
#include "lib/platform_capabilites.h"
#include "lib/usha.h"
#include "support/files.h"
#include "support/sandbox.h"

using rpd::test::readFile;
using rpd::test::Sandbox;
using rpd::test::writeFile;

namespace {

// A 512-byte ustar header for a regular file of 10 bytes, with a correct
// checksum unless the caller changes bytes afterwards (then reseal it).
struct Header {
  char b[512];
  Header(const char *name = "dir/file.txt") {
    memset(b, 0, sizeof b);
    snprintf(b, 100, "%s", name);
    memcpy(b + 100, "0000644", 8);
    memcpy(b + 108, "0001750", 8);
    memcpy(b + 116, "0001750", 8);
    memcpy(b + 124, "00000000012", 12);
    memcpy(b + 136, "14712345670", 12);
    b[156] = '0';
    memcpy(b + 257, "ustar", 6);
    memcpy(b + 263, "00", 2);
    seal();
  }
  // Writes the checksum of the current bytes, summed as signed bytes.
  void seal(bool unsignedSum = false) {
    memset(b + 148, ' ', 8);
    long sum = 0;
    for (int i = 0; i < 512; i++)
      sum += unsignedSum ? (unsigned char)b[i] : (signed char)b[i];
    snprintf(b + 148, 8, "%06lo", sum & 0xffff);
  }
};

std::string hex(const uint8_t *d, int n) {
  static const char *digits = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < n; i++) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

}  // namespace

TEST(is_tar, AcceptsHeadersAndRejectsEverythingElse) {
  g_master_ini[0] = '\0';  // no INCL_TAR_COMPAT
  Header ok;
  EXPECT_EQ(is_tar(ok.b), 1);
  EXPECT_EQ(tarEntrySize(ok.b), 10.0);

  char zero[512] = {0};
  EXPECT_EQ(is_tar(zero), 0) << "all-zero block reads checksum 0";

  Header badSum;
  badSum.b[148 + 5]++;
  EXPECT_EQ(is_tar(badSum.b), 0);

  // A checksum of exactly 256 accepts the block at once (gid is NUL here).
  char empty[512] = {0};
  memcpy(empty + 148, "000400", 7);
  EXPECT_EQ(is_tar(empty), 1);

  // Bytes above 127 count as negative.
  Header high("caf\xe9.txt");
  EXPECT_EQ(is_tar(high.b), 1);
  high.seal(true);
  EXPECT_EQ(is_tar(high.b), 0);

  Header gidBlank;
  gidBlank.b[116] = ' ';
  gidBlank.seal();
  EXPECT_EQ(is_tar(gidBlank.b), 0);
  Header gidLetter;
  gidLetter.b[116] = '9';
  gidLetter.seal();
  EXPECT_EQ(is_tar(gidLetter.b), 0);

  // Extended header blocks are accepted whatever their name field holds.
  Header ext;
  ext.b[0] = 0;
  ext.b[1] = 'L';
  ext.b[2] = 0;
  ext.b[3] = 'x';
  ext.seal();
  EXPECT_EQ(is_tar(ext.b), 1);

  // "a", NUL, "b" in the name field.
  Header name;
  name.b[0] = 'a';
  name.b[1] = 0;
  name.b[2] = 'b';
  memset(name.b + 3, 0, 97);
  name.seal();
  EXPECT_EQ(is_tar(name.b), 0);
  // A name filling all 100 bytes is fine.
  Header full(std::string(100, 'n').c_str());
  memset(full.b, 'n', 100);
  full.seal();
  EXPECT_EQ(is_tar(full.b), 1);

  // Link names only on links.
  Header link;
  snprintf(link.b + 157, 100, "target");
  link.seal();
  EXPECT_EQ(is_tar(link.b), 0);
  link.b[156] = '2';
  link.seal();
  EXPECT_EQ(is_tar(link.b), 1);
  link.b[156] = '1';
  link.seal();
  EXPECT_EQ(is_tar(link.b), 1);
  link.b[156] = '0';
  memcpy(link.b + 293, "0000100", 7);  // bit 6
  link.seal();
  EXPECT_EQ(is_tar(link.b), 1);
  memcpy(link.b + 293, "0000077", 7);
  link.seal();
  EXPECT_EQ(is_tar(link.b), 0);

  // Base-256 sizes.
  Header big;
  memset(big.b + 124, 0, 12);
  big.b[124] = (char)0x80;
  big.b[131] = 1;  // 1 << 32
  big.seal();
  EXPECT_EQ(tarEntrySize(big.b), 4294967296.0);
}

TEST(is_tar, LogsDecisionsAndThinsRepeats) {
  Sandbox sb;
  std::string logFile = sb.root() + "/tar.log";
  log_level = 5;
  log_simple = 0;
  ASSERT_EQ(openLog(logFile.c_str()), 0);
  Header ok;
  EXPECT_EQ(is_tar(ok.b), 1);
  char zero[512] = {0};
  for (int i = 0; i < 600; i++) EXPECT_EQ(is_tar(zero), 0);
  Header name;
  name.b[50] = 'z';
  name.seal();
  EXPECT_EQ(is_tar(name.b), 0);
  close_log();
  log_level = 0;
  std::string text = readFile(logFile);
  EXPECT_NE(text.find("File: dir/file.txt sz:[10] linkflag:[0]\n"), std::string::npos);
  EXPECT_NE(text.find("Not a header because checksum\n"), std::string::npos);
  EXPECT_NE(text.find("checksum [0 != 256]\n"), std::string::npos);
  EXPECT_NE(text.find("Not a header because checksum (repeated 2 times)\n"), std::string::npos);
  EXPECT_NE(text.find("Not a header because checksum (repeated 3 times)\n"), std::string::npos);
  EXPECT_EQ(text.find("(repeated 4 times)"), std::string::npos);
  EXPECT_NE(text.find("Not a header because checksum (repeated 512 times)\n"), std::string::npos);
  // Four checksum rejections logged of 600; the count goes on across reasons.
  size_t count = 0;
  for (size_t p = 0; (p = text.find("Not a header because checksum", p)) != std::string::npos; p++)
    count++;
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(text.find("Non-blank name"), std::string::npos);
}

TEST(usha, KnownVectors) {
  const char *abc[] = {
      "a9993e364706816aba3e25717850c26c9cd0d89d",
      "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7",
      "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
      "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca13"
      "4c825a7",
      "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a"
      "3feebbd454d4423643ce80e2a9ac94fa54ca49f",
  };
  int sizes[] = {20, 28, 32, 48, 64}, blocks[] = {64, 64, 64, 128, 128};
  for (int v = 0; v <= 4; v++) {
    USHAContext c;
    uint8_t d[USHAMaxHashSize];
    ASSERT_EQ(USHAReset(&c, v), shaSuccess);
    ASSERT_EQ(USHAInput(&c, (const uint8_t *)"ab", 2), shaSuccess);
    ASSERT_EQ(USHAInput(&c, (const uint8_t *)"c", 1), shaSuccess);
    ASSERT_EQ(USHAResult(&c, d), shaSuccess);
    EXPECT_EQ(hex(d, USHAHashSize(v)), abc[v]) << v;
    EXPECT_EQ(USHAHashSize(v), sizes[v]);
    EXPECT_EQ(USHABlockSize(v), blocks[v]);
    EXPECT_EQ(USHAHashSizeBits(v), sizes[v] * 8);
    // Input after the result is a state error; a reset starts over.
    EXPECT_EQ(USHAInput(&c, (const uint8_t *)"x", 1), shaStateError);
    ASSERT_EQ(USHAReset(&c, v), shaSuccess);
    ASSERT_EQ(USHAInput(&c, (const uint8_t *)"abc", 3), shaSuccess);
    ASSERT_EQ(USHAResult(&c, d), shaSuccess);
    EXPECT_EQ(hex(d, USHAHashSize(v)), abc[v]) << v;
  }
  EXPECT_EQ(USHAHashSize(9), 64);
  EXPECT_EQ(USHABlockSize(9), 128);
  EXPECT_EQ(USHAHashSizeBits(9), 512);

  // A million "a" fed in uneven pieces.
  std::string a(1000000, 'a');
  USHAContext c;
  ASSERT_EQ(USHAReset(&c, SHA1), shaSuccess);
  for (size_t off = 0; off < a.size();) {
    size_t n = std::min<size_t>(7919, a.size() - off);
    ASSERT_EQ(USHAInput(&c, (const uint8_t *)a.data() + off, n), shaSuccess);
    off += n;
  }
  uint8_t d[USHAMaxHashSize];
  ASSERT_EQ(USHAResult(&c, d), shaSuccess);
  EXPECT_EQ(hex(d, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");

  ASSERT_EQ(USHAHash(SHA256, "", 0, d), shaSuccess);
  EXPECT_EQ(hex(d, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  USHAContext bad;
  EXPECT_EQ(USHAReset(&bad, 5), shaBadParam);
  EXPECT_EQ(USHAReset(nullptr, SHA1), shaNull);
  EXPECT_EQ(USHAInput(&bad, (const uint8_t *)"x", 1), shaNull);
  EXPECT_EQ(USHAResult(nullptr, d), shaNull);
}

namespace {
std::atomic<int> g_signals{0};
void onSignal(int) { g_signals++; }
}  // namespace

TEST(fdio, LoopsOverPipes) {
  signal(SIGPIPE, SIG_IGN);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  // More than the pipe holds: writes are partial, reads are short.
  std::vector<char> out(1 << 20);
  for (size_t i = 0; i < out.size(); i++) out[i] = (char)(i * 131 + i / 4099);
  std::vector<char> in(out.size() + 100);
  ssize_t got = -2;
  std::thread reader([&] { got = readFull(p[0], in.data(), in.size()); });
  EXPECT_EQ(writeAll(p[1], out.data(), out.size()), (ssize_t)out.size());
  close(p[1]);
  reader.join();
  // End of file ends the read with the count so far.
  ASSERT_EQ(got, (ssize_t)out.size());
  EXPECT_EQ(memcmp(in.data(), out.data(), out.size()), 0);
  EXPECT_EQ(readFull(p[0], in.data(), 10), 0);
  EXPECT_EQ(readFullStrict(p[0], in.data(), 10), 0);
  close(p[0]);

  // Errors.
  EXPECT_EQ(readFull(p[0], in.data(), 10), -1);
  EXPECT_EQ(readFullStrict(p[0], in.data(), 10), -1);
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  EXPECT_EQ(writeAll(p[1], "abc", 3), 0);
  EXPECT_EQ(writeAllStrict(p[1], "abc", 3), -1);
  close(p[1]);

  // The strict read gives up on an interrupted read; the plain one goes on.
  struct sigaction sa = {}, old = {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked read fails with EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  ASSERT_EQ(pipe(p), 0);
  std::atomic<bool> done{false};
  ssize_t strictResult = -2;
  std::thread strict([&] {
    strictResult = readFullStrict(p[0], in.data(), 10);
    done = true;
  });
  // Nothing is ever written: only a signal can end this read.
  while (!done) {
    pthread_kill(strict.native_handle(), SIGUSR1);
    usleep(1000);
  }
  strict.join();
  EXPECT_EQ(strictResult, -1);

  done = false;
  ssize_t plainResult = -2;
  std::thread plain([&] {
    plainResult = readFull(p[0], in.data(), 6);
    done = true;
  });
  int before = g_signals;
  while (g_signals < before + 50) {
    pthread_kill(plain.native_handle(), SIGUSR1);
    usleep(1000);
  }
  EXPECT_FALSE(done);
  ASSERT_EQ(writeAll(p[1], "abc", 3), 3);
  pthread_kill(plain.native_handle(), SIGUSR1);
  ASSERT_EQ(writeAll(p[1], "def", 3), 3);
  plain.join();
  EXPECT_EQ(plainResult, 6);
  EXPECT_EQ(std::string(in.data(), 6), "abcdef");
  close(p[0]);
  close(p[1]);
  sigaction(SIGUSR1, &old, nullptr);
}

TEST(mynodename, ShortHostName) {
  char host[256] = {0};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string shortName = std::string(host).substr(0, std::string(host).find('.'));
  char buf[256];
  memset(buf, 'x', sizeof buf);
  ASSERT_EQ(mynodename(buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), shortName);
  char tiny[3];
  memset(tiny, 'x', sizeof tiny);
  ASSERT_EQ(mynodename(tiny, sizeof tiny), 0);
  EXPECT_EQ(tiny[2], '\0');
  EXPECT_EQ(std::string(tiny), shortName.substr(0, 2));
}

TEST(platformCapabilities, CapabilityFileAndProgram) {
  Sandbox sb;
  std::string caps = sb.path("var/opt/kestrelon/platform_capabilities");
  EXPECT_EQ(platformSupportsReplication(), 0) << "missing file";
  EXPECT_EQ(platformSupportsDedupNT(), 0) << "missing file";

  struct Case {
    const char *text;
    int replication;
    int dedupNT;
  } cases[] = {
      {"dedupNT\nreplication\n", 1, 1},
      {"virtual_machine\n  replication\t\n", 1, 0},
      {"virtual_machine replication", 1, 0},
      {"noreplication\nreplication_x\n", 0, 0},
      {" dedupNT\n", 0, 0},
      {"dedupNTx\nxdedupNT\n", 0, 0},
      {"dedupNT virtual_machine\n", 0, 1},
  };
  for (const Case &c : cases) {
    writeFile(caps, c.text);
    EXPECT_EQ(platformSupportsReplication(), c.replication) << c.text;
    EXPECT_EQ(platformSupportsDedupNT(), c.dedupNT) << c.text;
  }
  // A word split across the 4094-character pieces of a long line is not
  // seen whole; one inside the first piece is.
  writeFile(caps, std::string(4090, 'x') + " replication\n");
  EXPECT_EQ(platformSupportsReplication(), 0);
  writeFile(caps, std::string(4000, 'x') + " replication\n");
  EXPECT_EQ(platformSupportsReplication(), 1);

  std::string bin = sb.path("usr/vx/bin/x");
  bin.resize(bin.size() - 2);
  snprintf(g_bindir, sizeof g_bindir, "%s", bin.c_str());
  std::string prog = bin + "/platformSupportsDedup";
  EXPECT_EQ(platformSupportsDedup(), 0) << "missing program";
  for (int status : {0, 1, 2, 4, 5, 127}) {
    writeFile(prog, "#!/bin/sh\nexit " + std::to_string(status) + "\n");
    chmod(prog.c_str(), 0755);
    EXPECT_EQ(platformSupportsDedup(), status <= 4 ? status : 0) << status;
  }
  writeFile(prog, "#!/bin/sh\nkill -KILL $$\n");
  EXPECT_EQ(platformSupportsDedup(), 0);
  g_bindir[0] = '\0';
}
