// Compression streams: round trips for both engines, the unit formats as
// independent decoders (zlib's gzip reader, the LZ4 library's frame
// decoder) see them, resumable close, creation checks and corrupt input.
#include <gtest/gtest.h>
#include <lz4frame.h>
#include <zlib.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "store/compression.h"
#include "support/files.h"
#include "support/sandbox.h"

using rpd::test::Bytes;
using rpd::test::makeData;

namespace {

const size_t kIndexBlockBytes = 32 + 8192 * 8 + 32;

// Uncompressed data across unit boundaries: compressible text mixed with
// incompressible runs, sized around the block boundary.
const size_t kSizes[] = {1, 4095, 65535, 65536, 65537, 131072, 3 * 131072 + 17};

// Inflates consecutive gzip members until the data stops being gzip (the
// index); returns the concatenated output and the member count.
Bytes gunzipMembers(const Bytes &in, size_t *members, size_t *consumed) {
  Bytes out;
  *members = 0;
  size_t pos = 0;
  while (pos + 2 <= in.size() && in[pos] == 0x1f && in[pos + 1] == 0x8b) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
    z.next_in = const_cast<Bytef *>(in.data() + pos);
    z.avail_in = (uInt)(in.size() - pos);
    int rc;
    do {
      uint8_t buf[65536];
      z.next_out = buf;
      z.avail_out = sizeof buf;
      rc = inflate(&z, Z_NO_FLUSH);
      out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    } while (rc == Z_OK);
    EXPECT_EQ(rc, Z_STREAM_END) << "member " << *members;
    pos += z.total_in;
    inflateEnd(&z);
    ++*members;
    if (rc != Z_STREAM_END) break;
  }
  *consumed = pos;
  return out;
}

// Decodes consecutive LZ4 frames with the LZ4 library (which checks the
// header, block and content checksums); stops at the first non-frame.
Bytes lz4fFrames(const Bytes &in, size_t *frames, size_t *consumed) {
  Bytes out;
  *frames = 0;
  size_t pos = 0;
  const uint8_t magic[4] = {0x04, 0x22, 0x4d, 0x18};
  while (pos + 4 <= in.size() && memcmp(in.data() + pos, magic, 4) == 0) {
    LZ4F_dctx *d = nullptr;
    EXPECT_FALSE(LZ4F_isError(LZ4F_createDecompressionContext(&d, LZ4F_VERSION)));
    size_t hint = 1;
    while (hint != 0 && pos < in.size()) {
      uint8_t buf[65536];
      size_t outSize = sizeof buf, inSize = in.size() - pos;
      hint = LZ4F_decompress(d, buf, &outSize, in.data() + pos, &inSize, nullptr);
      if (LZ4F_isError(hint)) {
        ADD_FAILURE() << LZ4F_getErrorName(hint);
        LZ4F_freeDecompressionContext(d);
        *consumed = pos;
        return out;
      }
      out.insert(out.end(), buf, buf + outSize);
      pos += inSize;
    }
    LZ4F_freeDecompressionContext(d);
    ++*frames;
  }
  *consumed = pos;
  return out;
}

// Runs a caller-driven compress stream over `data`, feeding it in pieces of
// `feed` bytes and draining at most `drain` bytes between calls.
Bytes compress(_VxCompressionEngineType engine, int level, const Bytes &data, size_t block,
               size_t segment, size_t feed = 100003, size_t drain = (size_t)-1) {
  VxCompressionState *st = CreateVxCompressionState(VX_COMPRESS, engine, level, nullptr, nullptr, nullptr,
                                                    nullptr, -1, -1, block, segment, nullptr, 0, nullptr, 0);
  EXPECT_NE(st, nullptr);
  EXPECT_EQ(st->_error, 0) << st->_errorDetails;
  Bytes out;
  auto take = [&] {
    uint8_t buf[8192];
    size_t budget = drain;
    while (budget > 0) {
      size_t n = VxCompressionTakeOutput(st, buf, std::min(sizeof buf, budget));
      if (n == 0) break;
      out.insert(out.end(), buf, buf + n);
      budget -= n;
    }
  };
  size_t pos = 0;
  int guard = 0;
  while (pos < data.size()) {
    pos += VxCompressionPutInput(st, data.data() + pos, std::min(feed, data.size() - pos));
    EXPECT_EQ(VxCompressionBlock(st), 0) << st->_errorDetails;
    take();
    if (++guard > 10000000) break;
  }
  VxCompressionInputEnd(st);
  int rc;
  while ((rc = VxCompressionClose(st)) == VX_COMP_PENDING) {
    take();
    if (++guard > 10000000) break;
  }
  EXPECT_EQ(rc, 0);
  take();
  EXPECT_EQ(st->_version, 0);
  FreeVxCompressionState(st);
  return out;
}

// Decompresses LZ4 units with a decompress stream, feeding odd-sized
// pieces; returns the output and the result that ended it.
Bytes lz4Decompress(const Bytes &in, int *result, std::string *details = nullptr, size_t feed = 7777,
                    bool endInput = true) {
  VxCompressionState *st = CreateVxCompressionState(VX_DECOMPRESS, VX_ENGINE_LZ4, 0, nullptr, nullptr, nullptr,
                                                    nullptr, -1, -1, 65536, 0, nullptr, 0, nullptr, 0);
  EXPECT_EQ(st->_error, 0);
  Bytes out;
  size_t pos = 0;
  int rc = 0;
  for (;;) {
    if (pos < in.size())
      pos += VxCompressionPutInput(st, in.data() + pos, std::min(feed, in.size() - pos));
    else if (endInput)
      VxCompressionInputEnd(st);
    rc = VxCompressionBlock(st);
    uint8_t buf[16384];
    size_t n;
    while ((n = VxCompressionTakeOutput(st, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    if (rc != 0) break;
    if (pos >= in.size() && (!endInput || (st->inpput._eof && st->inpput.buf.p == st->inpput.buf.low)))
      break;
  }
  *result = rc;
  if (details) *details = st->_errorDetails;
  EXPECT_EQ(VxCompressionClose(st), 0);
  FreeVxCompressionState(st);
  return out;
}

TEST(VxCompression, ZlibUnitsAreGzipMembersThatRoundTrip) {
  for (size_t size : kSizes) {
    SCOPED_TRACE(size);
    Bytes data = makeData(size, (unsigned)size);
    Bytes out = compress(VX_ENGINE_ZLIB, 6, data, 65536, 131072);
    size_t members = 0, used = 0;
    EXPECT_EQ(gunzipMembers(out, &members, &used), data);
    EXPECT_EQ(members, (size + 65535) / 65536);
    // Fixed member header: deflate, no name, no time, Unix.
    const uint8_t header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    EXPECT_EQ(memcmp(out.data(), header, 10), 0);
    // Then exactly the two index blocks.
    EXPECT_EQ(out.size() - used, 2 * kIndexBlockBytes);
  }
}

TEST(VxCompression, Lz4UnitsAreChecksummedFramesThatRoundTrip) {
  for (int level : {1, 9}) {
    for (size_t size : kSizes) {
      SCOPED_TRACE(testing::Message() << "level " << level << " size " << size);
      Bytes data = makeData(size, (unsigned)size + 1);
      Bytes out = compress(VX_ENGINE_LZ4, level, data, 131072, 131072, 50001);
      size_t frames = 0, used = 0;
      EXPECT_EQ(lz4fFrames(out, &frames, &used), data);
      EXPECT_EQ(frames, (size + 131071) / 131072);
      EXPECT_EQ(out[4], 0x74);
      EXPECT_EQ(out[5], 0x40);
      EXPECT_EQ(out.size() - used, 2 * kIndexBlockBytes);
      int rc = 0;
      std::string why;
      EXPECT_EQ(lz4Decompress(out, &rc, &why), data);
      EXPECT_EQ(rc, VX_COMP_NOTLZ4) << "the index ends the LZ4 data";
    }
  }
}

TEST(VxCompression, Lz4DecodesFramesOfTheLz4Library) {
  // Independent blocks with checksums, as the library writes them.
  Bytes data = makeData(300000, 5);
  LZ4F_preferences_t prefs{};
  prefs.frameInfo.blockMode = LZ4F_blockIndependent;
  prefs.frameInfo.blockChecksumFlag = LZ4F_blockChecksumEnabled;
  prefs.frameInfo.contentChecksumFlag = LZ4F_contentChecksumEnabled;
  prefs.frameInfo.contentSize = data.size();  // exercises the skipped size field
  Bytes frame(LZ4F_compressFrameBound(data.size(), &prefs));
  size_t n = LZ4F_compressFrame(frame.data(), frame.size(), data.data(), data.size(), &prefs);
  ASSERT_FALSE(LZ4F_isError(n));
  frame.resize(n);
  int rc = -100;
  EXPECT_EQ(lz4Decompress(frame, &rc), data);
  EXPECT_EQ(rc, 0);
}

TEST(VxCompression, IncompressibleLz4BlockIsStoredAndReadBack) {
  Bytes data = makeData(65536, 9, /*random=*/true);
  Bytes out = compress(VX_ENGINE_LZ4, 1, data, 65536, 131072);
  uint32_t size = out[7] | out[8] << 8 | out[9] << 16 | (uint32_t)out[10] << 24;
  EXPECT_EQ(size, 0x80000000u | 65536u);
  EXPECT_EQ(Bytes(out.begin() + 11, out.begin() + 11 + 65536), data);
  int rc = 0;
  EXPECT_EQ(lz4Decompress(out, &rc), data);
}

TEST(VxCompression, EmptyInputGivesOnlyTheTwoIndexBlocks) {
  for (auto engine : {VX_ENGINE_ZLIB, VX_ENGINE_LZ4}) {
    Bytes out = compress(engine, 1, Bytes(), 0, 0);
    ASSERT_EQ(out.size(), 2 * kIndexBlockBytes);
    for (int b = 0; b < 2; b++) {
      const uint8_t *block = out.data() + b * kIndexBlockBytes;
      VxIndexHeader h;
      VxIndexTrailer t;
      ASSERT_EQ(decodeIndexHeader(block, &h, nullptr), 0);
      ASSERT_EQ(decodeIndexTrailer(block + kIndexBlockBytes - 32, &t, nullptr), 0);
      EXPECT_STREQ(h.magic, "ae9b77");
      EXPECT_EQ(h.segmentOctets, b == 0 ? 131072u : 10485760u);
      EXPECT_EQ(t.length, 64u);
      EXPECT_EQ(t.checksum, 0u);
      for (size_t i = 32; i < kIndexBlockBytes - 32; i++) ASSERT_EQ(block[i], 0) << i;
    }
  }
}

TEST(VxCompression, ResumableCloseGivesTheSameBytesWhateverTheDrainSize) {
  Bytes data = makeData(700000, 3);
  for (auto engine : {VX_ENGINE_ZLIB, VX_ENGINE_LZ4}) {
    Bytes whole = compress(engine, 1, data, 65536, 131072);
    Bytes trickled = compress(engine, 1, data, 65536, 131072, 4099, 1000);
    EXPECT_EQ(trickled, whole);
  }
}

TEST(VxCompression, FileChannelsProduceTheSameStreamAsCallerChannels) {
  rpd::test::Sandbox dir{"rpd-store"};
  Bytes data = makeData(500000, 11);
  rpd::test::writeBytes(dir.path("in"), data);
  // 64 KiB segments give a 64 KiB input buffer, which the large-read rule
  // alone would leave short of a whole LZ4 block.
  for (size_t segment : {(size_t)0, (size_t)65536}) {
    for (auto engine : {VX_ENGINE_ZLIB, VX_ENGINE_LZ4}) {
      SCOPED_TRACE(testing::Message() << "engine " << engine << " segment " << segment);
      VxCompressionState *st =
          CreateVxCompressionState(VX_COMPRESS, engine, 1, dir.path("in").c_str(), dir.path("out").c_str(),
                                   nullptr, nullptr, -1, -1, 0, segment, nullptr, 0, nullptr, 0);
      ASSERT_EQ(st->_error, 0) << st->_errorDetails;
      EXPECT_EQ(VxCompressionBlock(st), 0);
      EXPECT_EQ(VxCompressionClose(st), 0);
      FreeVxCompressionState(st);
      EXPECT_EQ(rpd::test::readBytes(dir.path("out")), compress(engine, 1, data, 0, segment));
    }
  }
  // A pipe delivers short reads; the stream still gathers whole blocks.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    for (size_t pos = 0; pos < data.size(); pos += 40000)
      if (write(fds[1], data.data() + pos, std::min<size_t>(40000, data.size() - pos)) < 0) break;
    close(fds[1]);
  });
  VxCompressionState *piped = CreateVxCompressionState(VX_COMPRESS, VX_ENGINE_LZ4, 1, nullptr,
                                                       dir.path("piped").c_str(), nullptr, nullptr, fds[0], -1, 0,
                                                       65536, nullptr, 0, nullptr, 0);
  ASSERT_EQ(piped->_error, 0);
  EXPECT_EQ(VxCompressionClose(piped), 0) << "the stream stopped reading";
  FreeVxCompressionState(piped);
  writer.join();
  close(fds[0]);
  EXPECT_EQ(rpd::test::readBytes(dir.path("piped")), compress(VX_ENGINE_LZ4, 1, data, 0, 65536));
  // Pass copies without an index.
  VxCompressionState *st = CreateVxCompressionState(VX_PASS, VX_ENGINE_NONE, 0, dir.path("in").c_str(),
                                                    dir.path("copy").c_str(), nullptr, nullptr, -1, -1, 0, 0,
                                                    nullptr, 0, nullptr, 0);
  ASSERT_EQ(st->_error, 0);
  EXPECT_EQ(VxCompressionClose(st), 0);
  FreeVxCompressionState(st);
  EXPECT_EQ(rpd::test::readBytes(dir.path("copy")), data);
}

TEST(VxCompression, CreationRejectsBadArguments) {
  struct Case {
    VxCompressionOp op;
    size_t segment;
    bool smallOut, overlap;
    int code;
    const char *text;
  } cases[] = {
      {(VxCompressionOp)4, 0, false, false, VX_COMP_INVALID, "CreateVxCompressionState op=4\n"},
      {VX_COMPRESS, 3000000, false, false, VX_COMP_INCONSISTENT,
       "CreateVxCompressionState Index segment size must be a factor of 10MB\n"},
      {VX_COMPRESS, 0, true, false, VX_COMP_INVALID, "CreateVxCompressionState outoctets=4096\n"},
      {VX_DECOMPRESS, 0, false, true, VX_COMP_INVALID, nullptr},
  };
  static char buffer[8192];
  for (const Case &c : cases) {
    VxCompressionState *st = CreateVxCompressionState(
        c.op, VX_ENGINE_LZ4, 1, nullptr, nullptr, nullptr, nullptr, -1, -1, 0, c.segment,
        c.overlap ? buffer : nullptr, c.overlap ? 4096 : 0, (c.smallOut || c.overlap) ? buffer + 1024 : nullptr,
        (c.smallOut || c.overlap) ? 4096 : 0);
    EXPECT_EQ(st->_error, c.code);
    if (c.text) {
      EXPECT_STREQ(st->_errorDetails, c.text);
    }
    FreeVxCompressionState(st);
  }
  // 1 MiB segments are fine; a destroyed state refuses every call.
  VxCompressionState *st = CreateVxCompressionState(VX_COMPRESS, VX_ENGINE_ZLIB, 1, nullptr, nullptr, nullptr,
                                                    nullptr, -1, -1, 0, 1 << 20, nullptr, 0, nullptr, 0);
  EXPECT_EQ(st->_error, 0);
  EXPECT_EQ(st->_engine._blockoctets, 1u << 20);
  EXPECT_EQ(DestroyVxCompressionState(st), 0);
  EXPECT_EQ(VxCompressionBlock(st), VX_COMP_INVALID);
  EXPECT_EQ(VxCompressionClose(st), VX_COMP_INVALID);
  FreeVxCompressionState(st);
  // Unsupported combinations fail in the engine step.
  st = CreateVxCompressionState(VX_DECOMPRESS, VX_ENGINE_ZLIB, 1, nullptr, nullptr, nullptr, nullptr, -1, -1, 0,
                                0, nullptr, 0, nullptr, 0);
  VxCompressionPutInput(st, "abcd", 4);
  EXPECT_EQ(VxCompressionBlock(st), VX_COMP_INCONSISTENT);
  EXPECT_STREQ(st->_errorDetails, "VxCompressionBlock op=2 not supported by engine (2)\n");
  EXPECT_EQ(VxCompressionClose(st), 0);  // a failed stream closes (and is destroyed)
  EXPECT_EQ(st->_version, 0);
  FreeVxCompressionState(st);
}

TEST(VxCompression, HardwareEngineIsAbsentOrUnsupported) {
  rpd::test::SystemSandbox root{"rpd-store", ""};
  VxCompressionState *st = CreateVxCompressionState(VX_COMPRESS, VX_ENGINE_RX9, 1, nullptr, nullptr, nullptr,
                                                    nullptr, -1, -1, 0, 0, nullptr, 0, nullptr, 0);
  EXPECT_EQ(st->_error, VX_COMP_IO);
  EXPECT_NE(strstr(st->_errorDetails, "open(/dev/rx9, 2) failed errno=2"), nullptr) << st->_errorDetails;
  FreeVxCompressionState(st);
  // A device file that is not the card: the engine step refuses.
  rpd::test::writeBytes(root.path("dev/rx9"), Bytes());
  st = CreateVxCompressionState(VX_COMPRESS, VX_ENGINE_RX9, 1, nullptr, nullptr, nullptr, nullptr, -1, -1, 0, 0,
                                nullptr, 0, nullptr, 0);
  ASSERT_EQ(st->_error, 0);
  EXPECT_EQ(st->_engine._blockoctets, 32768u);
  EXPECT_STREQ(st->_index._magic, "ae9b76");
  VxCompressionPutInput(st, "0123456789", 10);
  VxCompressionInputEnd(st);
  EXPECT_EQ(VxCompressionBlock(st), VX_COMP_INCONSISTENT);
  FreeVxCompressionState(st);
}

// Rewrites the frame's header checksum after the test changed FLG or BD.
void fixHeaderChecksum(Bytes &frame) { frame[6] = (uint8_t)((vxXxh32(frame.data() + 4, 2) >> 8) & 0xff); }

TEST(VxCompression, CorruptOrTruncatedLz4FailsCleanly) {
  Bytes data = makeData(200000, 21);
  Bytes good = compress(VX_ENGINE_LZ4, 1, data, 131072, 131072);
  good.resize(good.size() - 2 * kIndexBlockBytes);  // frames only
  struct Case {
    const char *name;
    void (*mutate)(Bytes &);
    const char *text;
  } cases[] = {
      {"data byte", [](Bytes &b) { b[100] ^= 0x40; }, "LZ4 block hash failed.\n"},
      {"content checksum", [](Bytes &b) {
         // The first frame's last 4 bytes; its end lies before the second
         // frame's magic.
         const uint8_t magic[4] = {0x04, 0x22, 0x4d, 0x18};
         size_t second = 0;
         for (size_t i = 7; i + 4 <= b.size(); i++)
           if (memcmp(&b[i], magic, 4) == 0) { second = i; break; }
         b[second - 1] ^= 1;
       }, "LZ4 stream hash failed.\n"},
      {"FLG bit 0", [](Bytes &b) { b[4] |= 1; fixHeaderChecksum(b); }, "Invalid LZ4 stream FLG version: 40 != 0x40\n"},
      {"BD reserved", [](Bytes &b) { b[5] |= 0x01; fixHeaderChecksum(b); }, "Invalid LZ4 stream BD reserved bits: 1\n"},
      {"header checksum", [](Bytes &b) { b[6] ^= 0xff; }, "LZ4 header checksum error\n"},
      {"not LZ4", [](Bytes &b) { b[0] = 'x'; }, "Not a LZ4 magic number: 78224d18\n"},
      {"truncated", [](Bytes &b) { b.resize(5000); }, "Truncated LZ4 stream: 4993 bytes left\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bad = good;
    c.mutate(bad);
    int rc = 0;
    std::string why;
    lz4Decompress(bad, &rc, &why, 1 << 20);
    EXPECT_EQ(rc, strcmp(c.name, "not LZ4") == 0 ? VX_COMP_NOTLZ4 : VX_COMP_CORRUPT);
    EXPECT_EQ(why, c.text);
  }
  // A block cut short is only waiting while more input may come.
  Bytes cut(good.begin(), good.begin() + 5000);
  int rc = -100;
  Bytes partial = lz4Decompress(cut, &rc, nullptr, 1 << 20, /*endInput=*/false);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(partial.empty());
}

TEST(CompressionNames, TypeDetectionAndEngineNames) {
  const uint8_t gz[4] = {0x1f, 0x8b, 8, 0}, lz[4] = {0x04, 0x22, 0x4d, 0x18}, other[4] = {'u', 's', 't', 'a'};
  EXPECT_EQ(getCompressionType(gz, 4), 2);
  EXPECT_EQ(getCompressionType(lz, 4), 3);
  EXPECT_EQ(getCompressionType(other, 4), 0);
  EXPECT_EQ(getCompressionType(lz, 3), 0);
  EXPECT_EQ(getCompressionType(nullptr, 4), 0);
  struct {
    const char *name;
    int engine;
  } names[] = {{"ugz", 2}, {"LZ4", 3}, {"Zlib", 2}, {"rx9", 1}, {"NONE", 0}, {"auto", 2}, {nullptr, 2},
               {"gzip", 0}, {"lz4hc", 0}};
  for (auto &n : names) EXPECT_EQ(parseCompressEngine(n.name), n.engine) << (n.name ? n.name : "(null)");
}

TEST(CompressionNames, Xxh32KnownValues) {
  // Published values for seed 0.
  EXPECT_EQ(vxXxh32("", 0), 0x02CC5D05u);
  // Incremental updates in odd pieces equal the one-shot digest.
  Bytes data = makeData(1000, 2);
  VxXxh32State s;
  vxXxh32Reset(&s);
  for (size_t pos = 0; pos < data.size(); pos += 13)
    vxXxh32Update(&s, data.data() + pos, std::min<size_t>(13, data.size() - pos));
  EXPECT_EQ(vxXxh32Digest(&s), vxXxh32(data.data(), data.size()));
}

}  // namespace
