// sis_test.cpp: the single instance store without a catalogue: lookup3, the
// info file layout, consistent hashing of spans to devices, writing and
// reading blocks plain and LZ4-compressed across span files, the one-block
// cache, and the failures of damaged blocks and files.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>

#include "sis_fixture.h"
#include "store/SIScompLZ4.h"

using namespace sis_test;

namespace {

uint64_t le64(const std::string &b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | uint8_t(b[at + i]);
  return v;
}
uint32_t le32(const std::string &b, size_t at) {
  return uint32_t(le64(b + std::string(4, '\0'), at) & 0xffffffffu);
}

struct Stored {
  uint64_t offset;
  uint64_t compressedLength;
  std::vector<uint8_t> data;
  HashValue record() const {
    HashValue r{};
    r.flags = hashID_in | SISoffset_in;
    r.hashID = offset + 1;
    r.hashedLength = data.size();
    r.compressedLength = compressedLength;
    r.SISoffset = offset;
    return r;
  }
};

// Reads a whole block the way callers do: readSISsubfile until done.
std::vector<uint8_t> readBlock(SIShandle *h, const Stored &s, size_t piece = 1 << 30) {
  HashValue r = s.record();
  std::vector<uint8_t> out(s.data.size());
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = readSISsubfile(h, out.data() + done, std::min(piece, out.size() - done),
                               s.offset + done, &r);
    if (n < 1) return {};
    done += size_t(n);
  }
  return out;
}

}  // namespace

TEST(lookup3, PublishedValuesAndWordFormMatchesByteForm) {
  // Values printed by the driver of the published lookup3.c.
  EXPECT_EQ(hashlittle("", 0, 0), 0xdeadbeefu);
  EXPECT_EQ(hashlittle("", 0, 0xdeadbeef), 0xbd5b7ddeu);
  EXPECT_EQ(hashlittle("Four score and seven years ago", 30, 0), 0x17770551u);
  EXPECT_EQ(hashlittle("Four score and seven years ago", 30, 1), 0xcd628161u);
  // On a little-endian machine hashword over n words equals hashlittle
  // over the same 4n bytes, for every tail length of the word loop.
  uint32_t words[9];
  for (int i = 0; i < 9; i++) words[i] = 0x9e3779b9u * uint32_t(i + 1);
  for (size_t n = 0; n <= 9; n++)
    EXPECT_EQ(hashword(words, n, 7), hashlittle(words, 4 * n, 7)) << n << " words";
}

TEST(SISinfo, HeaderDeviceRecordAndHashEntryRoundTrip) {
  SISinfoHeader in{0, 1700000000, 42, 8192, 0x800000000ULL, 0x123456789ULL, 72, 136, 8192, 5};
  uint8_t bytes[sisinfo::HEADER_BYTES];
  memset(bytes, 0xAA, sizeof bytes);
  encodeSISinfoHeader(bytes, &in);
  EXPECT_EQ(bytes[4], 0) << "reserved bytes are cleared";
  EXPECT_EQ(bytes[sisinfo::END_OFFSET], 0x89);
  EXPECT_EQ(bytes[sisinfo::END_OFFSET + 4], 0x01);
  SISinfoHeader out;
  decodeSISinfoHeader(bytes, &out);
  EXPECT_EQ(out.version, 0u);
  EXPECT_EQ(out.updateTime, in.updateTime);
  EXPECT_EQ(out.generation, in.generation);
  EXPECT_EQ(out.blockSize, in.blockSize);
  EXPECT_EQ(out.fileSize, in.fileSize);
  EXPECT_EQ(out.endOffset, in.endOffset);
  EXPECT_EQ(out.deviceList, in.deviceList);
  EXPECT_EQ(out.hashTable, in.hashTable);
  EXPECT_EQ(out.mappedLength, in.mappedLength);
  EXPECT_EQ(out.hashCount, in.hashCount);

  uint8_t rec[64] = {};
  SISdeviceRecord d{300, sisinfo::DEV_DELETED, "/dev1/SIS/"};
  encodeSISdevice(rec, &d);
  EXPECT_EQ(rec[0], 0x2C);
  EXPECT_EQ(rec[1], 0x01);
  EXPECT_EQ(rec[4], 1);
  EXPECT_STREQ(reinterpret_cast<char *>(rec + 5), "/dev1/SIS/");
  SISdeviceRecord back;
  ASSERT_TRUE(decodeSISdevice(rec, &back));
  EXPECT_EQ(back.weight, 300u);
  EXPECT_EQ(back.flags, sisinfo::DEV_DELETED);
  uint8_t term[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(decodeSISdevice(term, &back)) << "an empty path ends the list";
  // Next record at (start + path length + 15) rounded down to 8.
  EXPECT_EQ(SISdeviceStride(1), 16u);
  EXPECT_EQ(SISdeviceStride(10), 24u);
  EXPECT_EQ(SISdeviceStride(17), 32u);

  uint8_t e[16];
  memset(e, 0xFF, sizeof e);
  encodeSIShashEntry(e, {0x1122, 0xCAFEBABE});
  SIShashEntry eb;
  decodeSIShashEntry(e, &eb);
  EXPECT_EQ(eb.device, 0x1122u);
  EXPECT_EQ(eb.hash, 0xCAFEBABEu);
  EXPECT_EQ(le32(std::string(reinterpret_cast<char *>(e), 16), 12), 0u);
}

TEST_F(SISstore, DevicesAreOrderedByPathLengthAndOwnEntriesByWeight) {
  makeStore({{"a", 3}, {"longer-device", 5}, {"mid-dev", 2}});
  box_.mkdirs("gone");
  ASSERT_EQ(SISaddDevice(box_.path("gone").c_str(), 1, true), 0);
  std::string b = infoBytes();
  ASSERT_GE(b.size(), 4096u);
  EXPECT_EQ(le32(b, sisinfo::VERSION), 0u);
  EXPECT_EQ(le64(b, sisinfo::BLOCK_SIZE), kBlockSize);
  EXPECT_EQ(le64(b, sisinfo::FILE_SIZE), kSpan);
  EXPECT_EQ(le64(b, sisinfo::DEVICE_LIST), 72u);
  EXPECT_EQ(le32(b, sisinfo::MAPPED_LENGTH), b.size());
  EXPECT_EQ(b.size() % 4096, 0u);

  // Walk the list: non-increasing path length, the weights and flags given.
  std::map<std::string, std::pair<uint32_t, uint8_t>> found;
  std::map<uint64_t, std::string> byOffset;
  size_t at = 72, lastLength = SIZE_MAX;
  SISdeviceRecord d;
  while (decodeSISdevice(reinterpret_cast<const uint8_t *>(b.data()) + at, &d)) {
    EXPECT_LE(strlen(d.path), lastLength);
    lastLength = strlen(d.path);
    found[d.path] = {d.weight, d.flags};
    byOffset[at] = d.path;
    at += SISdeviceStride(strlen(d.path));
  }
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[sisDir("longer-device")].first, 5u);
  EXPECT_EQ(found[sisDir("a")].first, 3u);
  EXPECT_EQ(found[sisDir("a")].second, 0);
  EXPECT_EQ(found[sisDir("gone")].second & sisinfo::DEV_DELETED, sisinfo::DEV_DELETED);

  // The table starts after the terminator, holds one entry per weight
  // unit (deleted devices included), sorted, with hashword(k, lookup3(path)).
  uint64_t table = le64(b, sisinfo::HASH_TABLE);
  EXPECT_EQ(table, (at + 15) & ~uint64_t(7));
  uint32_t count = le32(b, sisinfo::HASH_COUNT);
  ASSERT_EQ(count, 3u + 5 + 2 + 1);
  std::map<std::string, std::set<uint32_t>> expected;
  for (auto &[path, wf] : found) {
    uint32_t h0 = hashlittle(path.data(), path.size(), 0);
    for (uint32_t k = 1; k <= wf.first; k++) expected[path].insert(hashword(&k, 1, h0));
  }
  uint32_t previous = 0;
  for (uint32_t i = 0; i < count; i++) {
    SIShashEntry e;
    decodeSIShashEntry(reinterpret_cast<const uint8_t *>(b.data()) + table + 16 * i, &e);
    EXPECT_GE(e.hash, previous);
    previous = e.hash;
    ASSERT_TRUE(byOffset.count(e.device)) << "entry points at a record";
    EXPECT_EQ(expected[byOffset[e.device]].erase(e.hash), 1u);
  }
  for (auto &[path, rest] : expected) EXPECT_TRUE(rest.empty()) << path;
  // Everything after the table is zero.
  EXPECT_EQ(b.find_first_not_of('\0', table + 16 * count), std::string::npos);
}

TEST_F(SISstore, AddingADeviceMovesSpansOnlyToItAndOnlyABoundedShare) {
  makeStore({{"d1", 16}, {"d2", 16}, {"d3", 16}, {"d4", 16}});
  constexpr int kSpans = 4000;
  std::vector<std::string> before(kSpans);
  {
    HandleGuard g{openShared()};
    ASSERT_NE(g.h, nullptr);
    // The owner is the entry with the smallest hash >= the span's hash,
    // the first entry when the span's hash is above all of them.
    uint32_t count = le32(infoBytes(), sisinfo::HASH_COUNT);
    std::vector<SIShashEntry> entries(count);
    for (uint32_t i = 0; i < count; i++) decodeSIShashEntry(g.h->hashEntries + 16 * i, &entries[i]);
    int wrapped = 0;
    for (int i = 0; i < kSpans; i++) {
      uint64_t base = uint64_t(i) * kSpan;
      uint32_t words[2] = {uint32_t(base), uint32_t(base >> 32)};
      uint32_t hv = hashword(words, 2, 0);
      uint64_t want = entries[0].device;
      for (auto &e : entries)
        if (e.hash >= hv) {
          want = e.device;
          break;
        }
      if (hv > entries.back().hash) wrapped++;
      uint64_t owner = SISownerDevice(g.h, base);
      ASSERT_EQ(owner, want) << "span " << i;
      SISdeviceRecord d;
      decodeSISdevice(g.h->info + owner, &d);
      before[i] = d.path;
    }
    EXPECT_GT(wrapped, 0) << "some spans hash above every entry";
  }
  box_.mkdirs("d5");
  ASSERT_EQ(SISaddDevice(box_.path("d5").c_str(), 16, false), 0);
  HandleGuard g{openShared()};
  ASSERT_NE(g.h, nullptr);
  int moved = 0;
  std::map<std::string, int> share;
  for (int i = 0; i < kSpans; i++) {
    SISdeviceRecord d;
    decodeSISdevice(g.h->info + SISownerDevice(g.h, uint64_t(i) * kSpan), &d);
    share[d.path]++;
    if (before[i] != d.path) {
      moved++;
      EXPECT_EQ(std::string(d.path), sisDir("d5")) << "a span moved between old devices";
    }
  }
  // The new device takes about a fifth; nothing like a reshuffle.
  EXPECT_GT(moved, kSpans / 20);
  EXPECT_LT(moved, kSpans * 2 / 5);
  EXPECT_EQ(share.size(), 5u);
}

TEST_F(SISstore, BlocksWrittenPlainAndCompressedReadBackExactlyAcrossSpans) {
  makeStore({{"dev-one", 4}, {"dev-two", 4}});
  HandleGuard g{openShared()};
  ASSERT_NE(g.h, nullptr);
  std::vector<Stored> blocks;
  std::mt19937_64 rng(7);
  while (blocks.size() < 60) {
    size_t n = 1 + rng() % 9000;
    bool text = rng() % 2;
    bool compress = rng() % 3 != 0;
    Stored s{};
    s.data = text ? compressibleBytes(n, rng()) : randomBytes(n, rng());
    ASSERT_EQ(SISappendBlock(g.h, s.data.data(), n, compress, &s.offset, &s.compressedLength), 0);
    if (!compress || !text) {
      EXPECT_EQ(s.compressedLength, 0u) << "random data and uncompressed writes are stored plain";
    } else if (n > 200) {
      EXPECT_GT(s.compressedLength, 8u);
      EXPECT_LT(s.compressedLength, n);
    }
    uint64_t stored = s.compressedLength ? s.compressedLength : n;
    EXPECT_LE(s.offset % kSpan + stored, kSpan) << "a block never straddles two files";
    blocks.push_back(std::move(s));
  }
  uint64_t end = le64(infoBytes(), sisinfo::END_OFFSET);
  const Stored &last = blocks.back();
  EXPECT_EQ(end, last.offset + (last.compressedLength ? last.compressedLength : last.data.size()));
  ASSERT_GE(end / kSpan, 2u) << "the blocks spread over at least three files";

  // Every block reads back byte for byte, whole and in odd pieces.
  for (const Stored &s : blocks) {
    EXPECT_EQ(readBlock(g.h, s), s.data) << "block at 0x" << std::hex << s.offset;
    EXPECT_EQ(readBlock(g.h, s, 777), s.data) << "pieces of block at 0x" << std::hex << s.offset;
  }

  // Each span file lies on the device that owns it and holds exactly one
  // span of data.
  for (uint64_t base = 0; base < end; base += kSpan) {
    SISdeviceRecord d;
    decodeSISdevice(g.h->info + SISownerDevice(g.h, base), &d);
    char name[17];
    snprintf(name, sizeof name, "%016lX", base);
    struct stat st;
    ASSERT_EQ(stat((std::string(d.path) + name).c_str(), &st), 0) << d.path << name;
    EXPECT_EQ(uint64_t(st.st_size), kSpan);
  }

  // Plain reads of the whole address space return the stored bytes (zeros
  // in the gaps before skipped span ends); each read stops at the end of
  // the current window and at the end offset.
  std::vector<uint8_t> image(end, 0);
  for (const Stored &s : blocks) {
    std::vector<uint8_t> stored = s.data;
    if (s.compressedLength) {
      stored.resize(s.data.size());
      stored.resize(SIScompressBlock(s.data.data(), stored.data(), s.data.size()));
      ASSERT_EQ(stored.size(), s.compressedLength);
    }
    std::copy(stored.begin(), stored.end(), image.begin() + long(s.offset));
  }
  std::vector<uint8_t> all(end + 100, 0xEE);
  uint64_t at = 0;
  while (at < end) {
    ssize_t n = readSIS(g.h, all.data() + at, all.size() - at, at);
    ASSERT_GT(n, 0) << "at 0x" << std::hex << at;
    EXPECT_LE(at % kSpan + uint64_t(n), kSpan) << "a read never passes the end of its window";
    at += uint64_t(n);
  }
  EXPECT_EQ(at, end);
  all.resize(end);
  EXPECT_TRUE(all == image);

  LogCapture log;
  char c;
  EXPECT_EQ(readSIS(g.h, &c, 1, end), -1);
  EXPECT_TRUE(log.has("readSIS(): offset 0x"));
  HashValue r = blocks[0].record();
  EXPECT_EQ(readSISsubfile(g.h, &c, 1, end + 5, &r), -1);
  EXPECT_TRUE(log.has("readSISsubfile(): offset 0x"));
  EXPECT_EQ(readSIS(g.h, nullptr, 10, 0), -1);
  EXPECT_EQ(readSIS(g.h, &c, 0, 0), -1);
}

TEST_F(SISstore, PartialReadsOfACompressedBlockDecompressItOnce) {
  makeStore({{"dev", 1}});
  HandleGuard g{openShared()};
  ASSERT_NE(g.h, nullptr);
  Stored a{}, b{};
  a.data = compressibleBytes(20000, 1);
  b.data = compressibleBytes(15000, 2);
  ASSERT_EQ(SISappendBlock(g.h, a.data.data(), a.data.size(), true, &a.offset, &a.compressedLength), 0);
  ASSERT_EQ(SISappendBlock(g.h, b.data.data(), b.data.size(), true, &b.offset, &b.compressedLength), 0);
  ASSERT_GT(a.compressedLength, 0u);
  ASSERT_GT(b.compressedLength, 0u);

  HashValue ra = a.record(), rb = b.record();
  std::vector<uint8_t> piece(5000);
  ASSERT_EQ(readSISsubfile(g.h, piece.data(), 5000, a.offset + 100, &ra), 5000);
  EXPECT_TRUE(std::equal(piece.begin(), piece.end(), a.data.begin() + 100));
  EXPECT_EQ(g.h->subfileHashID, ra.hashID);

  // Spoil the stored frame of block a: further pieces still come from the
  // cache, so the block is not decompressed again.
  char name[17];
  snprintf(name, sizeof name, "%016lX", a.offset - a.offset % kSpan);
  std::string file = sisDir("dev") + name;
  int fd = open(file.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  uint8_t junk[4] = {0xde, 0xad, 0xbe, 0xef};
  ASSERT_EQ(pwrite(fd, junk, 4, off_t(a.offset % kSpan)), 4);
  close(fd);
  // A piece running past the block's end is cut at the block's end.
  ASSERT_EQ(readSISsubfile(g.h, piece.data(), 5000, a.offset + 19000, &ra), 1000);
  EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + 1000, a.data.begin() + 19000));

  // Another block replaces the cache; block a then needs decompressing
  // again, which now fails on its spoiled magic number.
  ASSERT_EQ(readSISsubfile(g.h, piece.data(), 10, b.offset + 10, &rb), 10);
  EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + 10, b.data.begin() + 10));
  EXPECT_EQ(g.h->subfileHashID, rb.hashID);
  LogCapture log;
  EXPECT_EQ(readSISsubfile(g.h, piece.data(), 10, a.offset + 10, &ra), -1);
  EXPECT_TRUE(log.has("SISdecompressBlock, not legacy magic number 0xefbeadde"));
  EXPECT_TRUE(log.has("SISdecompressBlock(SIS @ 0x"));
}

TEST(SIScompLZ4, FramesRoundTripAndDamagedFramesFail) {
  std::vector<uint8_t> text = compressibleBytes(100000, 3), packed(text.size());
  size_t n = SIScompressBlock(text.data(), packed.data(), text.size());
  ASSERT_GT(n, 8u);
  EXPECT_EQ(le32(std::string(packed.begin(), packed.begin() + 8), 0), 0x184C2102u);
  EXPECT_EQ(le32(std::string(packed.begin(), packed.begin() + 8), 4), n - 8);
  std::vector<uint8_t> back(text.size());
  EXPECT_EQ(SISdecompressBlock(packed.data(), back.data(), n, back.size()), ssize_t(text.size()));
  EXPECT_EQ(back, text);

  std::vector<uint8_t> noise = randomBytes(4096, 4), out(4096);
  EXPECT_EQ(SIScompressBlock(noise.data(), out.data(), noise.size()), 0u) << "no gain: stored plain";

  LogCapture log;
  // Too small a destination: the decoder refuses instead of overrunning.
  std::vector<uint8_t> small(text.size() - 1);
  EXPECT_EQ(SISdecompressBlock(packed.data(), small.data(), n, small.size()), -1);
  EXPECT_TRUE(log.has("SISdecompressBlock, decoding failed"));
  // A frame announcing no data reads as 0 bytes.
  uint8_t empty[8] = {0x02, 0x21, 0x4C, 0x18, 0, 0, 0, 0};
  EXPECT_EQ(SISdecompressBlock(empty, back.data(), 8, back.size()), 0);
  EXPECT_TRUE(log.has("SISdecompressBlock, nothing to read"));
  uint8_t huge[16] = {0x02, 0x21, 0x4C, 0x18, 0x91, 0x80, 0x80, 0x00};
  EXPECT_EQ(SISdecompressBlock(huge, back.data(), 16, back.size()), -1);
  EXPECT_TRUE(log.has("SISdecompressBlock, cannot read block, size too large"));
  std::vector<uint8_t> bad = packed;
  bad[0] = 0x03;
  EXPECT_EQ(SISdecompressBlock(bad.data(), back.data(), n, back.size()), -1);
  EXPECT_TRUE(log.has("not legacy magic number 0x184c2103"));
  // Truncated data does not decode.
  EXPECT_EQ(SISdecompressBlock(packed.data(), back.data(), n / 2, back.size()), -1);
}

TEST_F(SISstore, DamagedSpanFilesFailWithTheirMessages) {
  makeStore({{"dev", 1}});
  HandleGuard g{openShared()};
  ASSERT_NE(g.h, nullptr);
  // Fill two spans and start a third.
  std::vector<Stored> blocks;
  for (int i = 0; i < 20; i++) {
    Stored s{};
    s.data = randomBytes(8000, uint64_t(i));
    ASSERT_EQ(SISappendBlock(g.h, s.data.data(), s.data.size(), false, &s.offset, &s.compressedLength), 0);
    blocks.push_back(s);
  }
  auto fileOf = [&](uint64_t offset) {
    char name[17];
    snprintf(name, sizeof name, "%016lX", offset - offset % kSpan);
    return sisDir("dev") + name;
  };
  std::vector<uint8_t> buf(8000);
  LogCapture log;

  // A stored frame that claims to be compressed but holds no data.
  Stored z{};
  z.data = {0x02, 0x21, 0x4C, 0x18, 0, 0, 0, 0};
  ASSERT_EQ(SISappendBlock(g.h, z.data.data(), 8, false, &z.offset, &z.compressedLength), 0);
  HashValue rz = z.record();
  rz.hashedLength = 100;
  rz.compressedLength = 8;
  EXPECT_EQ(readSISsubfile(g.h, buf.data(), 100, z.offset, &rz), 0);

  // A file that was truncated under an open window faults the copy.
  const Stored &first = blocks[0];
  ASSERT_EQ(readSIS(g.h, buf.data(), 10, first.offset), 10);
  ASSERT_EQ(truncate(fileOf(first.offset).c_str(), 4096), 0);
  EXPECT_EQ(readSIS(g.h, buf.data(), 100, 3 * 4096 + 5), -1);
  EXPECT_TRUE(log.has("faulted"));
  // Opened again, the short file has no valid encryption token.
  ASSERT_EQ(readSIS(g.h, buf.data(), 10, blocks.back().offset), 10);
  EXPECT_EQ(readSIS(g.h, buf.data(), 10, 0), -1);
  EXPECT_TRUE(log.has("Bad encryption token at 0x10000 in " + fileOf(0)));

  // A file of size 0 that nobody is setting up.
  ASSERT_EQ(truncate(fileOf(kSpan).c_str(), 0), 0);
  EXPECT_EQ(readSIS(g.h, buf.data(), 10, kSpan + 1), -1);
  EXPECT_TRUE(log.has("ERROR:  LOCK_EX is not held and device not fully setup."));

  // A token whose header is not an 'E' entry of the right size.
  std::string tokenFile = fileOf(2 * kSpan);
  {
    char header[512] = {};
    snprintf(header, sizeof header, "Kestrelon encrypted TAR v1");
    FILE *f = fopen(tokenFile.c_str(), "r+");
    ASSERT_NE(f, nullptr);
    fseek(f, long(kSpan), SEEK_SET);
    fwrite(header, 1, sizeof header, f);
    fwrite(header, 1, 100, f);
    fclose(f);
  }
  EXPECT_EQ(readSIS(g.h, buf.data(), 10, 2 * kSpan), -1);
  EXPECT_TRUE(log.has("Bad encryption token at 0x10000 in " + tokenFile));

  // A missing file is looked for on every device and then given up.
  ASSERT_EQ(unlink(fileOf(kSpan).c_str()), 0);
  EXPECT_EQ(readSIS(g.h, buf.data(), 10, kSpan + 1), -1);
  EXPECT_TRUE(log.has("Can't find existing single instance store file for offset 0x10001, canCreate(0)"));
  EXPECT_TRUE(log.has("Can't find single instance store file for offset 0x10001"));
}

TEST_F(SISstore, OpeningAStoreThatIsNotSetUpFailsForLaterOpeners) {
  box_.write("/backups/SISinfo", "");
  LogCapture log;
  EXPECT_EQ(openShared(), nullptr);
  EXPECT_TRUE(log.has("The single instance store isn't ready -- empty info file."));

  std::string page(4096, '\0');
  page[sisinfo::FILE_SIZE] = 1;
  box_.write("/backups/SISinfo", page);
  EXPECT_EQ(openShared(), nullptr);
  EXPECT_TRUE(log.has("The single instance store isn't ready -- block size = 0."));
  page[sisinfo::BLOCK_SIZE] = 1;
  page[sisinfo::FILE_SIZE] = 0;
  box_.write("/backups/SISinfo", page);
  EXPECT_EQ(openShared(), nullptr);
  EXPECT_TRUE(log.has("The single instance store isn't ready -- file size limit = 0."));
  page[sisinfo::VERSION] = 2;
  box_.write("/backups/SISinfo", page);
  EXPECT_EQ(openShared(), nullptr);
  EXPECT_TRUE(log.has("Can't handle single instance store version 0x00000002"));

  freeSIS(nullptr);
  EXPECT_TRUE(log.has("NULL argument to freeSIS()"));
  EXPECT_EQ(getDeduplicationBlockSize(nullptr), ~uint64_t(0));
  EXPECT_TRUE(log.has("NULL argument to getDeduplicationBlockSize()"));
  EXPECT_EQ(generateSISoffset_smgrKey(nullptr, 5), 0u);
  EXPECT_TRUE(log.has("generateSISoffset_smgrKey(): Invalid argument"));
}

TEST_F(SISstore, BlockSizeAndStorageKeysComeFromTheHeader) {
  makeStore({{"dev", 1}});
  HandleGuard g{openShared()};
  ASSERT_NE(g.h, nullptr);
  EXPECT_EQ(getDeduplicationBlockSize(g.h), kBlockSize);
  // Upper 32 bits of the span base, XOR 0x73000000.
  EXPECT_EQ(generateSISoffset_smgrKey(g.h, 0x1234ULL << 32 | (kSpan + 7)), 0x1234u ^ 0x73000000u);
  EXPECT_EQ(generateSISoffset_smgrKey(g.h, 5), 0x73000000u);
}
