// Compression indexes: the two blocks a compress stream appends, decoded
// and checked against the unit boundaries found by walking the output;
// loading them back, positioning at every segment, and refusing damaged
// indexes with their reasons.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "lib/handles.h"
#include "store/compression.h"
#include "support/files.h"
#include "support/sandbox.h"

using rpd::test::Bytes;
using rpd::test::makeData;

namespace {

const size_t kBlock = 32 + 8192 * 8 + 32;
const size_t kMiB = 1 << 20;

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
int64_t le64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
  return (int64_t)v;
}

// Compresses with files: the stream reads `in` and writes `out`.
void compressFile(_VxCompressionEngineType engine, const std::string &in, const std::string &out, size_t segment) {
  VxCompressionState *st = CreateVxCompressionState(VX_COMPRESS, engine, 1, in.c_str(), out.c_str(), nullptr,
                                                    nullptr, -1, -1, 0, segment, nullptr, 0, nullptr, 0);
  ASSERT_EQ(st->_error, 0) << st->_errorDetails;
  ASSERT_EQ(VxCompressionClose(st), 0);
  FreeVxCompressionState(st);
}

// Start offsets of the LZ4 frames at the front of `out`, found by walking
// the frame format (header, sized blocks with checksums, end mark).
std::vector<int64_t> lz4FrameStarts(const Bytes &out, size_t *end) {
  std::vector<int64_t> starts;
  size_t pos = 0;
  while (pos + 4 <= out.size() && le32(&out[pos]) == 0x184D2204u) {
    starts.push_back((int64_t)pos);
    pos += 7;
    for (;;) {
      uint32_t size = le32(&out[pos]);
      pos += 4;
      if (size == 0) break;
      pos += (size & 0x7fffffffu) + 4;
    }
    pos += 4;
  }
  *end = pos;
  return starts;
}

// Start offsets of the gzip members at the front of `out`.
std::vector<int64_t> gzipMemberStarts(const Bytes &out, size_t *end) {
  std::vector<int64_t> starts;
  size_t pos = 0;
  while (pos + 2 <= out.size() && out[pos] == 0x1f && out[pos + 1] == 0x8b) {
    starts.push_back((int64_t)pos);
    z_stream z{};
    inflateInit2(&z, 16 + MAX_WBITS);
    z.next_in = const_cast<Bytef *>(&out[pos]);
    z.avail_in = (uInt)(out.size() - pos);
    uint8_t sink[65536];
    int rc;
    do {
      z.next_out = sink;
      z.avail_out = sizeof sink;
      rc = inflate(&z, Z_NO_FLUSH);
    } while (rc == Z_OK);
    pos += z.total_in;
    inflateEnd(&z);
  }
  *end = pos;
  return starts;
}

// Decodes LZ4 frames of `in` with a decompress stream (input not ended).
Bytes lz4Decode(const Bytes &in) {
  VxCompressionState *st = CreateVxCompressionState(VX_DECOMPRESS, VX_ENGINE_LZ4, 0, nullptr, nullptr, nullptr,
                                                    nullptr, -1, -1, 65536, 0, nullptr, 0, nullptr, 0);
  Bytes out;
  size_t pos = 0;
  for (int rounds = 0; rounds < 100000; rounds++) {
    pos += VxCompressionPutInput(st, in.data() + pos, in.size() - pos);
    EXPECT_EQ(VxCompressionBlock(st), 0) << st->_errorDetails;
    uint8_t buf[65536];
    size_t n;
    while ((n = VxCompressionTakeOutput(st, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    if (pos == in.size() && st->inpput.buf.p == st->inpput.buf.low) break;
  }
  VxCompressionClose(st);
  FreeVxCompressionState(st);
  return out;
}

Bytes inflateMembers(const uint8_t *p, size_t n) {
  Bytes out;
  size_t pos = 0;
  while (pos < n) {
    z_stream z{};
    inflateInit2(&z, 16 + MAX_WBITS);
    z.next_in = const_cast<Bytef *>(p + pos);
    z.avail_in = (uInt)(n - pos);
    int rc;
    do {
      uint8_t buf[65536];
      z.next_out = buf;
      z.avail_out = sizeof buf;
      rc = inflate(&z, Z_NO_FLUSH);
      out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    } while (rc == Z_OK);
    pos += z.total_in;
    inflateEnd(&z);
    if (rc != Z_STREAM_END) break;
  }
  return out;
}

class CompressionIndexTest : public testing::Test {
 protected:
  rpd::test::Sandbox dir{"rpd-store"};
  std::string archive = dir.path("archive");

  // Loads the archive's index; the error text goes to `why`.
  compressionIndex *load(std::string *why = nullptr) {
    UniqueFd fd(open(archive.c_str(), O_RDONLY));
    char text[256] = "";
    compressionIndex *ix = LoadCompressionIndex(fd.get(), text, sizeof text);
    if (why) *why = text;
    return ix;
  }
};

TEST_F(CompressionIndexTest, BlocksListEverySegmentAndEveryTenMiB) {
  // 1 MiB segments and units: 22 segments, the coarse block lists 0, 10, 20.
  Bytes data = makeData(21 * kMiB + 12345, 7);
  rpd::test::writeBytes(dir.path("plain"), data);
  compressFile(VX_ENGINE_LZ4, dir.path("plain"), archive, kMiB);
  Bytes out = rpd::test::readBytes(archive);
  size_t unitsEnd = 0;
  std::vector<int64_t> starts = lz4FrameStarts(out, &unitsEnd);
  ASSERT_EQ(starts.size(), 22u);
  ASSERT_EQ(out.size(), unitsEnd + 2 * kBlock);

  for (int b = 0; b < 2; b++) {
    SCOPED_TRACE(b);
    const uint8_t *block = &out[unitsEnd + b * kBlock];
    std::vector<int64_t> want;
    for (size_t i = 0; i < starts.size(); i += (b == 0 ? 1 : 10)) want.push_back(starts[i]);
    VxIndexHeader h;
    ASSERT_EQ(decodeIndexHeader(block, &h, nullptr), 0);
    EXPECT_EQ(std::string((const char *)block, 17), b == 0 ? "ae9b771048576 111" : "ae9b7710485760111");
    EXPECT_EQ(h.segmentOctets, b == 0 ? kMiB : 10 * kMiB);
    std::vector<int64_t> got;
    for (size_t i = 0; i < 8192; i++) {
      int64_t v = le64(block + 32 + 8 * i);
      if (i < want.size())
        got.push_back(v);
      else
        ASSERT_EQ(v, 0) << "padding entry " << i;
    }
    EXPECT_EQ(got, want);
    VxIndexTrailer t;
    ASSERT_EQ(decodeIndexTrailer(block + kBlock - 32, &t, nullptr), 0);
    EXPECT_STREQ(t.magic, "ae9b77");
    EXPECT_EQ(t.length, 64 + 8 * want.size());
    EXPECT_EQ(t.checksum, indexChecksum(want.data(), want.size()));
  }

  // Loading picks the full block.
  std::string why;
  compressionIndex *ix = load(&why);
  ASSERT_NE(ix, nullptr) << why;
  EXPECT_EQ(ix->segmentSize, (long long)kMiB);
  EXPECT_EQ(std::vector<int64_t>(ix->entries, ix->entries + ix->count), starts);

  // Positioning at each segment reproduces the data from there on.
  UniqueFd fd(open(archive.c_str(), O_RDONLY));
  for (size_t i = 0; i < starts.size(); i++) {
    SCOPED_TRACE(i);
    off_t pos = SeekToCompressedOffset(fd.get(), ix, (long long)(i * kMiB + 777));
    ASSERT_EQ(pos, starts[i]);
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), starts[i]);
    size_t to = i + 2 < starts.size() ? (size_t)starts[i + 2] : unitsEnd;
    Bytes units(out.begin() + starts[i], out.begin() + (long)to);
    size_t dataEnd = std::min(data.size(), (i + 2) * kMiB);
    EXPECT_TRUE(lz4Decode(units) == Bytes(data.begin() + (long)(i * kMiB), data.begin() + (long)dataEnd));
  }
  // The last byte lies in the last chunk; one chunk beyond is out of range.
  EXPECT_EQ(SeekToCompressedOffset(fd.get(), ix, (long long)data.size() - 1), starts.back());
  errno = 0;
  EXPECT_EQ(SeekToCompressedOffset(fd.get(), ix, 22LL * (long long)kMiB), -1);
  EXPECT_EQ(errno, ERANGE);
  errno = 0;
  EXPECT_EQ(SeekToCompressedOffset(fd.get(), nullptr, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  FreeCompressionIndex(ix);
}

TEST_F(CompressionIndexTest, ZlibSegmentsStartAtTheirMembers) {
  // 64 KiB units inside 128 KiB segments: every other member starts one.
  Bytes data = makeData(5 * 131072 + 999, 8);
  VxCompressionState *st = nullptr;
  rpd::test::writeBytes(dir.path("plain"), data);
  st = CreateVxCompressionState(VX_COMPRESS, VX_ENGINE_ZLIB, 1, dir.path("plain").c_str(), archive.c_str(), nullptr,
                                nullptr, -1, -1, 65536, 131072, nullptr, 0, nullptr, 0);
  ASSERT_EQ(st->_error, 0);
  ASSERT_EQ(VxCompressionClose(st), 0);
  FreeVxCompressionState(st);
  Bytes out = rpd::test::readBytes(archive);
  size_t unitsEnd = 0;
  std::vector<int64_t> members = gzipMemberStarts(out, &unitsEnd);
  ASSERT_EQ(members.size(), 11u);
  compressionIndex *ix = load();
  ASSERT_NE(ix, nullptr);
  ASSERT_EQ(ix->count, 6u);
  UniqueFd fd(open(archive.c_str(), O_RDONLY));
  for (size_t i = 0; i < ix->count; i++) {
    EXPECT_EQ(ix->entries[i], members[2 * i]);
    off_t pos = SeekToCompressedOffset(fd.get(), ix, (long long)(i * 131072));
    ASSERT_GE(pos, 0);
    Bytes tail = inflateMembers(&out[(size_t)pos], unitsEnd - (size_t)pos);
    EXPECT_TRUE(tail == Bytes(data.begin() + (long)(i * 131072), data.end())) << i;
  }
  FreeCompressionIndex(ix);
}

TEST_F(CompressionIndexTest, DamagedIndexesAreRefusedWithTheirReason) {
  Bytes data = makeData(3 * 131072, 9);
  rpd::test::writeBytes(dir.path("plain"), data);
  compressFile(VX_ENGINE_LZ4, dir.path("plain"), archive, 0);
  const Bytes good = rpd::test::readBytes(archive);
  const size_t full = good.size() - 2 * kBlock;  // start of the full block
  auto trailerWith = [&](unsigned length, unsigned long sum) {
    VxIndexTrailer t{};
    memcpy(t.magic, "ae9b77", 6);
    t.length = length;
    t.checksum = sum;
    Bytes b(32);
    encodeIndexTrailer(t, b.data());
    return b;
  };
  const int64_t firstEntries[3] = {le64(&good[full + 32]), le64(&good[full + 40]), le64(&good[full + 48])};
  const uint64_t sum = indexChecksum(firstEntries, 3);

  struct Case {
    const char *name;
    std::function<void(Bytes &)> mutate;
    const char *reason;  // null: loads
  } cases[] = {
      {"entry changed", [&](Bytes &b) { b[full + 40] ^= 1; }, "bad index checksum"},
      {"sum divided by 100", [&](Bytes &b) {
         Bytes t = trailerWith(88, sum / 100);
         std::copy(t.begin(), t.end(), b.begin() + (long)(full + kBlock - 32));
       }, nullptr},
      {"sum off by one", [&](Bytes &b) {
         Bytes t = trailerWith(88, sum + 1);
         std::copy(t.begin(), t.end(), b.begin() + (long)(full + kBlock - 32));
       }, "bad index checksum"},
      {"only the full block", [&](Bytes &b) { b.resize(b.size() - kBlock); }, nullptr},
      {"no index", [&](Bytes &b) { b.resize(full); }, "bad magic"},
      {"length too small", [&](Bytes &b) {
         Bytes t = trailerWith(60, 0);
         std::copy(t.begin(), t.end(), b.end() - 32);
       }, "bad index file size"},
      {"header magic", [&](Bytes &b) { b[b.size() - kBlock + 5] = '6'; }, "bad index header magic"},
      {"header version", [&](Bytes &b) { b[b.size() - kBlock + 16] = '2'; }, "bad index version"},
      {"file shorter than an index", [&](Bytes &b) { b.erase(b.begin(), b.end() - (long)kBlock + 100); },
       "seek to start of index failed: lseek64(, -100, SEEK_SET): Invalid argument"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = good;
    c.mutate(bytes);
    unlink(archive.c_str());
    rpd::test::writeBytes(archive, bytes);
    std::string why;
    compressionIndex *ix = load(&why);
    if (c.reason == nullptr) {
      ASSERT_NE(ix, nullptr) << why;
      EXPECT_EQ(ix->count, 3u);
      EXPECT_EQ(ix->entries[1], firstEntries[1]);
    } else {
      EXPECT_EQ(ix, nullptr);
      EXPECT_EQ(why, c.reason);
    }
    FreeCompressionIndex(ix);
  }
}

}  // namespace
