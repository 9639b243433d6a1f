// interop_test.cpp: compressed archives against tools written elsewhere.
// Streams our compressing writer produces, with their index blocks cut
// off, decompress with the system's gzip and lz4 to the original bytes;
// files those tools make read through the archive filter. Random-offset
// reads over compressed archives of both engines, with and without index,
// match the original everywhere; a long seek loads the index and restarts
// decompression at a segment instead of inflating from the start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive_support.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "store/archiverw.h"
#include "store/compression.h"
#include "support/sandbox.h"

using archivetest::Bytes;

namespace {

// Runs a shell command; its exit status (-1 when it did not exit).
int shell(const std::string &cmd) {
  int status = system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quote(const std::string &s) { return "'" + s + "'"; }

class Interop : public testing::Test {
 protected:
  rpd::test::Sandbox box{"rpd-interop"};

  void SetUp() override {
    attachLogStream(stderr);
    setIni("");
  }
  void TearDown() override { g_master_ini[0] = 0; }
  void setIni(const std::string &text) {
    std::string p = box.write("master.ini", text);
    snprintf(g_master_ini, sizeof g_master_ini, "%s", p.c_str());
  }
  std::string file(const std::string &name, const Bytes &b) {
    std::string p = box.path(name);
    archivetest::writeFile(p, b);
    return p;
  }
  // Writes data through the archive filter's compressing writer with the
  // given engine and segment size; the file ends with its index blocks.
  std::string writeCompressed(const std::string &name, const Bytes &data, const char *engine, int segmentKB) {
    setIni(std::string("[Configuration Options]\nCompressEngine=") + engine +
           "\nCompressionBlockKB=64\nCompressionSegmentKB=" + std::to_string(segmentKB) + "\n");
    std::string path = box.path(name);
    archiveFilter *w = archive_open(path.c_str(), "w", ARCH_PROP_COMPRESSED);
    EXPECT_NE(w, nullptr) << strerror(errno);
    if (!w) return path;
    for (size_t at = 0; at < data.size(); at += 100003) {
      size_t n = std::min<size_t>(100003, data.size() - at);
      EXPECT_EQ(archive_write(w, data.data() + at, n), ssize_t(n));
    }
    EXPECT_EQ(archive_close(w), 0);
    setIni("");
    return path;
  }
};

// Where the index blocks at the end of a compressed archive begin: the
// header of the earlier of the two blocks (or of the only one).
off_t indexStart(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  long long length;
  size_t segment;
  unsigned long checksum;
  char why[128];
  off_t start = -1;
  if (lseek(fd, 0, SEEK_END) > 0 && SeekToPriorIndex(fd, &length, &segment, &checksum, why, sizeof why) == 0) {
    start = lseek(fd, 0, SEEK_CUR);
    if (SeekToPriorIndex(fd, &length, &segment, &checksum, why, sizeof why) == 0) start = lseek(fd, 0, SEEK_CUR);
  }
  close(fd);
  return start;
}

// Collects what the filter logs.
class LogCapture {
 public:
  explicit LogCapture(int level) : f_(tmpfile()), saved_(log_level) {
    attachLogStream(f_);
    log_level = level;
  }
  ~LogCapture() {
    log_level = saved_;
    attachLogStream(stderr);
    fclose(f_);
  }
  std::string text() {
    fflush(f_);
    rewind(f_);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  FILE *f_;
  int saved_;
};

Bytes readWhole(const std::string &path, uint64_t properties) {
  archiveFilter *h = archive_open(path.c_str(), "r", properties);
  EXPECT_NE(h, nullptr) << strerror(errno);
  if (!h) return {};
  Bytes all = archivetest::readAll(h, 3);
  EXPECT_EQ(archive_close(h), 0);
  return all;
}

}  // namespace

// Our compressed streams are standard gzip members and LZ4 frames: with the
// index blocks cut off, gzip -d and lz4 -d restore the original bytes (and
// gzip finds no trailing garbage). The full files still read through the
// filter, which stops at the index.
TEST_F(Interop, OurCompressedStreamsDecompressWithTheSystemTools) {
  Bytes data = archivetest::makeData(2 * 1048576 + 4321, 17);
  std::string original = file("original", data);
  struct Engine {
    const char *name;
    const char *tool;
    uint8_t magic0;
  } engines[] = {{"zlib", "gzip -d -c", 0x1F}, {"lz4", "lz4 -d -c", 0x04}};
  for (const Engine &e : engines) {
    for (int segmentKB : {0, 256}) {
      SCOPED_TRACE(std::string(e.name) + " segment " + std::to_string(segmentKB));
      std::string path = writeCompressed(std::string("ours-") + e.name + std::to_string(segmentKB), data, e.name,
                                         segmentKB);
      Bytes raw = archivetest::readFile(path);
      ASSERT_GT(raw.size(), 4u);
      EXPECT_EQ(raw[0], e.magic0);
      off_t start = indexStart(path);
      ASSERT_GT(start, 0) << "no index blocks at the end";
      ASSERT_LT(size_t(start), raw.size());
      Bytes stream(raw.begin(), raw.begin() + start);
      std::string streamPath = file(std::string("stream-") + e.name, stream);
      std::string out = box.path("restored");
      ASSERT_EQ(shell(std::string(e.tool) + " < " + quote(streamPath) + " > " + quote(out) + " 2>" +
                      quote(box.path("tool.err"))),
                0)
          << archivetest::readFile(box.path("tool.err")).data();
      EXPECT_TRUE(archivetest::readFile(out) == data);
      if (e.magic0 == 0x1F) {
        EXPECT_EQ(shell("gzip -t < " + quote(streamPath)), 0) << "a clean stream without trailing data";
      }
      // The whole file, index included, and the stream alone both read
      // through the filter.
      EXPECT_TRUE(readWhole(path, ARCH_PROP_COMPRESSED) == data);
      EXPECT_TRUE(readWhole(streamPath, ARCH_PROP_COMPRESSED) == data);
    }
  }
}

// Files made by gzip and lz4 (one member or frame, several concatenated, a
// frame announcing its content size) read through the filter, whole and at
// random offsets without an index.
TEST_F(Interop, FilesMadeByTheSystemToolsReadThroughTheFilter) {
  Bytes a = archivetest::makeData(900000, 5), b = archivetest::makeData(300017, 6);
  std::string pa = file("a", a), pb = file("b", b);
  Bytes ab = a;
  ab.insert(ab.end(), b.begin(), b.end());
  struct Case {
    const char *what;
    std::string cmd;  // writes the compressed file to $OUT
    const Bytes *want;
  } cases[] = {
      {"gzip", "gzip -c " + quote(pa) + " > \"$OUT\"", &a},
      {"gzip -9 members", "gzip -9 -c " + quote(pa) + " > \"$OUT\" && gzip -1 -c " + quote(pb) + " >> \"$OUT\"", &ab},
      // The archive decoder reads LZ4 frames of independent blocks of at
      // most 64 KiB, each followed by its checksum, as our writers make
      // them: lz4 writes those with -B4 -BX (its defaults are 4 MiB blocks
      // without block checksums).
      {"lz4", "lz4 -q -B4 -BX -c " + quote(pa) + " > \"$OUT\"", &a},
      {"lz4 frames", "lz4 -q -B4 -BX -c " + quote(pa) + " > \"$OUT\" && lz4 -q -9 -B4 -BX -c " + quote(pb) +
                         " >> \"$OUT\"", &ab},
      {"lz4 content size", "lz4 -q -B4 -BX --content-size -c " + quote(pa) + " > \"$OUT\"", &a},
  };
  int k = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string out = box.path("tool" + std::to_string(k++));
    ASSERT_EQ(shell("OUT=" + quote(out) + "; " + c.cmd), 0);
    archiveFilter *h = archive_open(out.c_str(), "r", ARCH_PROP_COMPRESSED);
    ASSERT_NE(h, nullptr);
    Bytes all = archivetest::readAll(h, unsigned(k));
    EXPECT_EQ(all.size(), c.want->size());
    EXPECT_TRUE(all == *c.want);
    archivetest::randomAccess(h, *c.want, unsigned(40 + k), 25);
    EXPECT_EQ(h->positioner, nullptr) << "the tools write no index";
    EXPECT_EQ(archive_close(h), 0);
  }
}

// Random-offset reads over compressed archives of both engines, with their
// index and without it (the same stream cut before the index), equal the
// original at every offset tried. On a fresh handle a long forward seek
// loads the index and restarts decompression at the target's segment; the
// stream without index inflates from the start instead.
TEST_F(Interop, RandomReadsAndLongSeeksOverCompressedArchives) {
  Bytes data = archivetest::makeData(3 * 1048576 + 999, 23);
  const int64_t target = 2500000;
  for (const char *engine : {"zlib", "lz4"}) {
    SCOPED_TRACE(engine);
    std::string path = writeCompressed(std::string("rnd-") + engine, data, engine, 128);
    off_t start = indexStart(path);
    ASSERT_GT(start, 0);
    Bytes raw = archivetest::readFile(path);
    std::string bare = file(std::string("bare-") + engine, Bytes(raw.begin(), raw.begin() + start));

    {
      LogCapture log(4);
      archiveFilter *h = archive_open(path.c_str(), "r", ARCH_PROP_COMPRESSED);
      ASSERT_NE(h, nullptr);
      ASSERT_EQ(archive_seek(h, target, SEEK_SET), target);
      ASSERT_NE(h->positioner, nullptr);
      const int64_t segment = int64_t(h->positioner->segmentSize);
      EXPECT_EQ(segment, 131072);
      EXPECT_EQ(h->positioner->count, (data.size() + 131071) / 131072);
      int64_t chunk = target / segment;
      std::string text = log.text();
      char fast[128];
      snprintf(fast, sizeof fast, "Fast seek to physical offset %lld, virtual %lld",
               (long long)h->positioner->entries[chunk], (long long)(chunk * segment));
      EXPECT_NE(text.find(fast), std::string::npos) << text;
      char rest[128];
      snprintf(rest, sizeof rest, "Reading %lld bytes in archive to requested seek offset",
               (long long)(target - chunk * segment));
      EXPECT_NE(text.find(rest), std::string::npos) << "only the segment's head is inflated";
      EXPECT_EQ(archivetest::readSome(h, 7000), Bytes(data.begin() + target, data.begin() + target + 7000));
      archivetest::randomAccess(h, data, 101, 120);
      EXPECT_EQ(archive_close(h), 0);
    }
    {
      LogCapture log(4);
      archiveFilter *h = archive_open(bare.c_str(), "r", ARCH_PROP_COMPRESSED);
      ASSERT_NE(h, nullptr);
      ASSERT_EQ(archive_seek(h, target, SEEK_SET), target);
      EXPECT_EQ(h->positioner, nullptr);
      EXPECT_EQ(h->indexFailed, 1);
      EXPECT_EQ(log.text().find("Fast seek"), std::string::npos);
      EXPECT_EQ(archivetest::readSome(h, 7000), Bytes(data.begin() + target, data.begin() + target + 7000));
      archivetest::randomAccess(h, data, 202, 60);
      EXPECT_EQ(archive_close(h), 0);
    }
  }
}
