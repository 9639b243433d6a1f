// archive_test.cpp: the archive filter over plain, compressed (zlib and LZ4
// units with their index, as the compression streams write them) and
// encrypted archives (against the cryptodaemon stand-in), read whole and at
// random virtual offsets, byte-exact against the original data; the writer;
// misuse and damaged input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive_support.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "store/archiverw.h"
#include "store/compression.h"
#include "store/crypto.h"
#include "store/libCryptoDaemon.h"
#include "store/redup.h"
#include "support/cipher.h"
#include "support/sandbox.h"

using archivetest::Bytes;
using rpd::test::aes;

namespace {

// A sandbox whose master.ini the filter reads.
class ArchiveTest : public testing::Test {
 protected:
  rpd::test::Sandbox box{"rpd-archive"};
  std::string ini = box.path("master.ini");

  void SetUp() override {
    attachLogStream(stderr);
    setIni("");
  }
  void TearDown() override { g_master_ini[0] = 0; }
  void setIni(const std::string &text) {
    box.write("master.ini", text);
    snprintf(g_master_ini, sizeof g_master_ini, "%s", ini.c_str());
  }
  std::string file(const std::string &name, const Bytes &b) {
    std::string p = box.path(name);
    archivetest::writeFile(p, b);
    return p;
  }
};

// Small buffers so that reads and seeks cross buffer boundaries often.
const char *kSmallBuffers =
    "[Configuration Options]\ndevbufsize_archiverw=65536\nuserbufsize_archiverw=4096\n"
    "readAheadLowWaterMark_archiverw=1\ndecompressBlockSize_archiverw=3000\n"
    "decompressedBlockSize_archiverw=1000\n";

TEST_F(ArchiveTest, PlainArchivesReadWholeAndAtRandomOffsets) {
  Bytes data = archivetest::makeData(3 * 1048576 + 123, 7);
  std::string path = file("plain", data);
  for (const char *config : {"", kSmallBuffers}) {
    SCOPED_TRACE(config);
    setIni(config);
    // The compression bits only ask for detection: no known magic here.
    for (uint64_t props : {uint64_t(0), ARCH_PROP_COMPRESSED}) {
      archiveFilter *h = archive_open(path.c_str(), "r", props);
      ASSERT_NE(h, nullptr) << strerror(errno);
      EXPECT_EQ(archive_read(h, nullptr, 0), 0);
      EXPECT_EQ(archivetest::readAll(h), data);
      EXPECT_EQ(archive_read(h, data.data(), 10), 0);  // stays at the end
      archivetest::randomAccess(h, data, 11 + unsigned(props), 300);
      EXPECT_EQ(archive_close(h), 0);
    }
  }
}

TEST_F(ArchiveTest, SeekRulesAndMisuse) {
  Bytes data = archivetest::makeData(200000, 3);
  std::string path = file("plain", data);
  archiveFilter *h = archive_open(path.c_str(), "r", 0);
  ASSERT_NE(h, nullptr);
  // A seek to 0 waits; a following seek is the only one performed.
  EXPECT_EQ(archive_seek(h, 5000, SEEK_SET), 5000);
  EXPECT_EQ(archive_seek(h, 0, SEEK_SET), 0);
  EXPECT_EQ(archive_seek(h, 0, SEEK_CUR), 0);
  EXPECT_EQ(archive_seek(h, 700, SEEK_CUR), 700);
  EXPECT_EQ(archivetest::readSome(h, 100), Bytes(data.begin() + 700, data.begin() + 800));
  // A read after a seek to 0 starts at 0.
  EXPECT_EQ(archive_seek(h, 0, SEEK_SET), 0);
  EXPECT_EQ(archivetest::readSome(h, 10), Bytes(data.begin(), data.begin() + 10));
  errno = 0;
  EXPECT_EQ(archive_seek(h, 0, SEEK_END), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(archive_seek(h, -11, SEEK_CUR), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(archive_seek(h, 0, SEEK_CUR), 10);
  EXPECT_EQ(archive_write(h, "x", 1), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(archive_fcntl(h, 99, 0), -1);
  EXPECT_EQ(archive_close(h), 0);

  EXPECT_EQ(archive_open(path.c_str(), "a", 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(archive_open(box.path("missing").c_str(), "r", 0), nullptr);
  EXPECT_EQ(errno, ENOENT);
  // Writers create their file exclusively and cannot seek or read.
  EXPECT_EQ(archive_open(path.c_str(), "w", 0), nullptr);
  EXPECT_EQ(errno, EEXIST);
  archiveFilter *w = archive_open(box.path("new").c_str(), "w", 0);
  ASSERT_NE(w, nullptr);
  char c;
  EXPECT_EQ(archive_read(w, &c, 1), -1);
  EXPECT_EQ(archive_seek(w, 1, SEEK_SET), -1);
  EXPECT_EQ(archive_write(w, data.data(), data.size()), ssize_t(data.size()));
  EXPECT_EQ(archive_close(w), 0);
  EXPECT_EQ(archivetest::readFile(box.path("new")), data);
}

TEST_F(ArchiveTest, IoBlockSizeAndDirectReadsKeepTheBytes) {
  // 4096 * 37 + 1000: the last read is a partial block.
  Bytes data = archivetest::makeData(4096 * 37 + 1000, 5);
  std::string path = file("plain", data);
  archiveFilter *h = archive_open(path.c_str(), "r", ARCH_PROP_ODIRECT);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(archivetest::readAll(h, 3), data);
  archivetest::randomAccess(h, data, 4, 100);
  EXPECT_EQ(archive_close(h), 0);
  h = archive_open(path.c_str(), "r", 0);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(archive_fcntl(h, ARCHIVE_FCNTL_IOBLOCKSIZE, 3000), 0);
  ASSERT_EQ(archive_fcntl(h, ARCHIVE_FCNTL_LOWWATER, 0), 0);
  EXPECT_EQ(archivetest::readAll(h, 9), data);
  archivetest::randomAccess(h, data, 6, 100);
  EXPECT_EQ(archive_close(h), 0);
}

// Compresses `data` with the compression streams into a file (units of
// 64 KiB, index segments of 128 KiB).
std::string compressTo(const std::string &plainPath, const std::string &out, _VxCompressionEngineType engine) {
  VxCompressionState *st = CreateVxCompressionState(VX_COMPRESS, engine, 1, plainPath.c_str(), out.c_str(), nullptr,
                                                    nullptr, -1, -1, 65536, 131072, nullptr, 0, nullptr, 0);
  EXPECT_EQ(st->_error, 0) << st->_errorDetails;
  EXPECT_EQ(VxCompressionClose(st), 0);
  FreeVxCompressionState(st);
  return out;
}

TEST_F(ArchiveTest, CompressedArchivesEndAtTheirIndexAndSeekThroughIt) {
  Bytes data = archivetest::makeData(3 * 1048576 + 777, 21);
  std::string plain = file("plain", data);
  for (auto engine : {VX_ENGINE_ZLIB, VX_ENGINE_LZ4}) {
    for (const char *config : {"", kSmallBuffers}) {
      SCOPED_TRACE(std::to_string(engine) + std::string(" ") + config);
      setIni(config);
      std::string path = box.path("c" + std::to_string(engine));
      unlink(path.c_str());
      compressTo(plain, path, engine);
      Bytes raw = archivetest::readFile(path);
      ASSERT_EQ(getCompressionType(raw.data(), 4), engine == VX_ENGINE_ZLIB ? 2 : 3);
      archiveFilter *h = archive_open(path.c_str(), "r", 0x4);
      ASSERT_NE(h, nullptr);
      // The index behind the compressed data is not part of the archive.
      Bytes all = archivetest::readAll(h, 2);
      EXPECT_EQ(all.size(), data.size());
      EXPECT_TRUE(all == data);
      // A long backward seek loads the index and jumps to a segment.
      ASSERT_EQ(archive_seek(h, 2000000, SEEK_SET), 2000000);
      ASSERT_NE(h->positioner, nullptr);
      EXPECT_EQ(h->positioner->count, (data.size() + 131071) / 131072);
      EXPECT_EQ(archivetest::readSome(h, 5000), Bytes(data.begin() + 2000000, data.begin() + 2005000));
      archivetest::randomAccess(h, data, 31 + unsigned(engine), 150);
      EXPECT_EQ(archive_close(h), 0);
    }
  }
}

TEST_F(ArchiveTest, CompressedDataWithoutIndexIsReadFromTheStart) {
  Bytes data = archivetest::makeData(700000, 8);
  std::string path = box.path("plain.gz");
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, data.data(), unsigned(data.size())), int(data.size()));
  ASSERT_EQ(gzclose(gz), Z_OK);
  archiveFilter *h = archive_open(path.c_str(), "r", ARCH_PROP_COMPRESSED);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(archivetest::readAll(h), data);
  archivetest::randomAccess(h, data, 5, 40);
  EXPECT_EQ(h->positioner, nullptr);
  EXPECT_EQ(h->indexFailed, 1);
  EXPECT_EQ(archive_close(h), 0);
}

TEST_F(ArchiveTest, DamagedCompressedDataFails) {
  Bytes data = archivetest::makeData(400000, 4);
  std::string plain = file("plain", data);
  std::string path = compressTo(plain, box.path("c"), VX_ENGINE_LZ4);
  Bytes raw = archivetest::readFile(path);
  for (size_t i = 100000; i < 100064; i++) raw[i] ^= 0x5A;
  archivetest::writeFile(path, raw);
  archiveFilter *h = archive_open(path.c_str(), "r", ARCH_PROP_COMPRESSED);
  ASSERT_NE(h, nullptr);
  Bytes buf(data.size());
  ssize_t total = 0, r;
  while ((r = archive_read(h, buf.data(), 65536)) > 0) total += r;
  EXPECT_EQ(r, -1);
  EXPECT_EQ(errno, EBADMSG);
  EXPECT_LT(total, ssize_t(data.size()));
  EXPECT_EQ(archive_close(h), 0);
}

// Reads stop where the index begins: reaching the normal end of an LZ4
// archive logs no failure, while a unit whose magic is damaged in the middle
// of the data fails the read (it is not taken for the index).
TEST_F(ArchiveTest, LZ4ArchiveEndsQuietlyAtItsIndexAndBadMagicInsideFails) {
  Bytes data = archivetest::makeData(600000, 17);
  std::string plain = file("plain", data);
  std::string path = compressTo(plain, box.path("c.lz4"), VX_ENGINE_LZ4);
  std::string logPath = box.path("filter.log");
  auto readLogged = [&](bool *failed, int *err) {
    FILE *log = fopen(logPath.c_str(), "w");
    attachLogStream(log);
    archiveFilter *h = archive_open(path.c_str(), "r", ARCH_PROP_COMPRESSED);
    Bytes got;
    if (h) {
      Bytes buf(65536);
      ssize_t r;
      while ((r = archive_read(h, buf.data(), buf.size())) > 0) got.insert(got.end(), buf.begin(), buf.begin() + r);
      *failed = r < 0;
      *err = errno;
      archive_close(h);
    }
    attachLogStream(stderr);
    fclose(log);
    return got;
  };
  bool failed = false;
  int err = 0;
  Bytes got = readLogged(&failed, &err);
  EXPECT_FALSE(failed);
  EXPECT_TRUE(got == data);
  std::string text = box.read("filter.log");
  EXPECT_EQ(text.find("Not a LZ4 magic"), std::string::npos) << text;
  EXPECT_EQ(text.find("LOG0"), std::string::npos) << text;

  // Damage the magic of the second segment's first unit.
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char why[256];
  compressionIndex *idx = LoadCompressionIndex(fd, why, sizeof why);
  close(fd);
  ASSERT_NE(idx, nullptr) << why;
  ASSERT_GE(idx->count, 2u);
  size_t at = size_t(idx->entries[1]);
  FreeCompressionIndex(idx);
  Bytes raw = archivetest::readFile(path);
  ASSERT_EQ(getCompressionType(raw.data() + at, 4), 3);
  raw[at] ^= 0xFF;
  archivetest::writeFile(path, raw);
  got = readLogged(&failed, &err);
  EXPECT_TRUE(failed);
  EXPECT_EQ(err, EBADMSG);
  EXPECT_LT(got.size(), data.size());
  EXPECT_NE(box.read("filter.log").find("Not a LZ4 magic"), std::string::npos);
}

TEST_F(ArchiveTest, CompressingWriterProducesArchivesTheStoreIndexes) {
  Bytes data = archivetest::makeData(1500000, 12);
  for (const char *engine : {"zlib", "lz4"}) {
    SCOPED_TRACE(engine);
    setIni(std::string("[Configuration Options]\nCompressEngine=") + engine + "\nCompressionBlockKB=32\n");
    std::string path = box.path(std::string("w-") + engine);
    archiveFilter *w = archive_open(path.c_str(), "w", 0x2);
    ASSERT_NE(w, nullptr);
    for (size_t at = 0; at < data.size(); at += 77777)
      ASSERT_EQ(archive_write(w, data.data() + at, std::min<size_t>(77777, data.size() - at)),
                ssize_t(std::min<size_t>(77777, data.size() - at)));
    ASSERT_EQ(archive_close(w), 0);
    Bytes raw = archivetest::readFile(path);
    EXPECT_EQ(getCompressionType(raw.data(), 4), strcmp(engine, "lz4") == 0 ? 3 : 2);
    int fd = open(path.c_str(), O_RDONLY);
    char why[256] = "";
    compressionIndex *idx = LoadCompressionIndex(fd, why, sizeof why);
    close(fd);
    ASSERT_NE(idx, nullptr) << why;
    EXPECT_EQ(idx->count, (data.size() + size_t(idx->segmentSize) - 1) / size_t(idx->segmentSize));
    FreeCompressionIndex(idx);
    archiveFilter *h = archive_open(path.c_str(), "r", ARCH_PROP_COMPRESSED);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(archivetest::readAll(h), data);
    archivetest::randomAccess(h, data, 2, 60);
    EXPECT_EQ(archive_close(h), 0);
  }
}

TEST(TarSize, OctalAndSixBitForms) {
  uint64_t v = 0;
  EXPECT_EQ(parseTarSize("00000001000", &v), 0);
  EXPECT_EQ(v, 512u);
  EXPECT_EQ(parseTarSize("#3", &v), 0);  // '3' is digit 5
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(parseTarSize("#./", &v), 0);  // 0 + 1 * 64
  EXPECT_EQ(v, 64u);
  EXPECT_EQ(parseTarSize("#z-", &v), 0);  // ends at the first character outside the alphabet
  EXPECT_EQ(v, 63u);
  EXPECT_EQ(parseTarSize("abc", &v), -1);
  char field[12];
  for (uint64_t x : {0ULL, 1ULL, 77777777777ULL, 1ULL << 40, 0xFFFFFFFFFFFULL}) {
    formatTarSize(x, field);
    ASSERT_EQ(parseTarSize(field, &v), 0);
    EXPECT_EQ(v, x);
  }
}

// ---- Encrypted archives --------------------------------------------------------

class EncryptedArchiveTest : public ArchiveTest {
 protected:
  Bytes key;
  void SetUp() override {
    ArchiveTest::SetUp();
    for (int i = 0; i < 32; i++) key.push_back(uint8_t(i * 11 + 3));
    box.mkdirs("var/run");
    archivetest::writeFile(box.path("cd.key"), key);
    CDlibForgetState();
    cryptoResetProcessState();
  }
  void TearDown() override {
    CDlibForgetState();
    cryptoResetProcessState();
    ArchiveTest::TearDown();
  }
  // A token from the daemon for its key.
  Bytes token() {
    CDcryptCtx ctx = {};
    CDresult res;
    EXPECT_EQ(CDlibInitCryptWithArchiveKey(&ctx, &res), 0) << res.message;
    Bytes t(ARCH_MAX_TOKEN);
    int size = int(t.size());
    EXPECT_EQ(CDlibGetToken(t.data(), &size, &ctx, &res), 0) << res.message;
    CDlibReleaseCtx(&ctx);
    t.resize(size_t(size));
    return t;
  }
};

TEST_F(EncryptedArchiveTest, ReadsSkipTheLeadingEntryAndSeekByteExact) {
  // The platform offers software encryption, so this process decrypts with
  // the key the daemon hands out (the writer test below goes through the
  // daemon's own cryption).
  box.write("var/opt/kestrelon/platform_capabilities", "replication\nencryption\n");
  cryptoResetProcessState();
  rpd::test::CryptoDaemon daemon(box.path("cd.key"));
  ASSERT_TRUE(daemon.ready());
  Bytes data = archivetest::makeData(32 * 40000, 17);
  // Leading entries: a named one with 700 bytes of contents (skip 3 blocks)
  // and one with an empty name (skip 1 block).
  struct Lead {
    Bytes bytes;
    size_t skip;
  };
  Bytes named = archivetest::tarHeader("VOLUME.HDR", 700, '0');
  named.resize(512 * 3, 'v');
  Lead leads[] = {{named, 1536}, {archivetest::tarHeader("", 0, '0'), 512}};
  for (const Lead &lead : leads) {
    SCOPED_TRACE(lead.skip);
    Bytes plain = lead.bytes;
    plain.insert(plain.end(), data.begin(), data.end());
    Bytes file = token();
    ASSERT_GT(file.size(), 512u);
    EXPECT_EQ(file[156], 'E');
    Bytes cipher = aes(true, key, plain);
    file.insert(file.end(), cipher.begin(), cipher.end());
    std::string path = box.path("enc" + std::to_string(lead.skip));
    archivetest::writeFile(path, file);
    for (const char *config : {"", kSmallBuffers}) {
      setIni(config);
      archiveFilter *h = archive_open(path.c_str(), "r", ARCH_PROP_ENCRYPTED);
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(archivetest::readAll(h, 5), data);
      EXPECT_EQ(h->headerSkip, int64_t(lead.skip));
      archivetest::randomAccess(h, data, 19, 120);
      EXPECT_EQ(archive_close(h), 0);
    }
  }
}

TEST_F(EncryptedArchiveTest, WriterPutsATokenFirstAndEncryptsWithTheDaemonsKey) {
  rpd::test::CryptoDaemon daemon(box.path("cd.key"));
  ASSERT_TRUE(daemon.ready());
  Bytes plain = archivetest::tarHeader("", 0, '0');
  Bytes data = archivetest::makeData(32 * 9000, 23);
  plain.insert(plain.end(), data.begin(), data.end());
  std::string path = box.path("written");
  archiveFilter *w = archive_open(path.c_str(), "w", ARCH_PROP_ENCRYPTED);
  ASSERT_NE(w, nullptr);
  for (size_t at = 0; at < plain.size(); at += 1001)
    ASSERT_GT(archive_write(w, plain.data() + at, std::min<size_t>(1001, plain.size() - at)), 0);
  ASSERT_EQ(archive_close(w), 0);
  Bytes file = archivetest::readFile(path);
  ASSERT_GT(file.size(), plain.size());
  size_t tokenLen = file.size() - plain.size();
  EXPECT_EQ(file[156], 'E');
  Bytes cipher(file.begin() + long(tokenLen), file.end());
  EXPECT_EQ(aes(false, key, cipher), plain);
  archiveFilter *h = archive_open(path.c_str(), "r", ARCH_PROP_ENCRYPTED);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(archivetest::readAll(h), data);
  EXPECT_EQ(archive_close(h), 0);
}

TEST_F(EncryptedArchiveTest, DataWithoutATarHeaderOrTokenIsRefused) {
  rpd::test::CryptoDaemon daemon(box.path("cd.key"));
  ASSERT_TRUE(daemon.ready());
  Bytes junk = archivetest::makeData(32 * 100, 2);
  Bytes withToken = token();
  Bytes cipher = aes(true, key, junk);
  withToken.insert(withToken.end(), cipher.begin(), cipher.end());
  std::string bad = box.path("badheader");
  archivetest::writeFile(bad, withToken);
  archiveFilter *h = archive_open(bad.c_str(), "r", ARCH_PROP_ENCRYPTED);
  ASSERT_NE(h, nullptr);
  char buf[100];
  EXPECT_EQ(archive_read(h, buf, sizeof buf), -1);
  EXPECT_EQ(errno, EBADMSG);
  EXPECT_EQ(archive_close(h), 0);

  std::string noToken = file("notoken", archivetest::tarHeader("x", 0, '0'));
  h = archive_open(noToken.c_str(), "r", ARCH_PROP_ENCRYPTED);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(archive_read(h, buf, sizeof buf), -1);
  EXPECT_EQ(errno, EBADMSG);
  EXPECT_EQ(archive_close(h), 0);
}

}  // namespace
