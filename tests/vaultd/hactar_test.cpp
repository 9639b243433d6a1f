// hactar_test.cpp: the HaCTAR encoder and decoder.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>

#include "vaultd/hactar.h"

namespace {

std::string encode(void (*fill)(hactar::Writer &)) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  hactar::Writer w;
  EXPECT_EQ(w.begin(f), 0);
  fill(w);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

// Decodes a HaCTAR, rebuilding literals and naming blocks "[B<len>]";
// returns the decoder's final result.
int decode(const std::string &bytes, std::string *rebuilt, std::string *error) {
  FILE *f = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
  hactar::Reader r;
  hactar::Record rec;
  int res = r.open(f);
  while (res == 0 || res == 1) {
    if ((res = r.next(&rec)) != 1) break;
    if (rec.tag == hactar::kTagBlock) {
      *rebuilt += "[B" + std::to_string(rec.length) + ":" + rec.hashType + "@" +
                  std::to_string(rec.archiveOffset) + "]";
    } else if (rec.length > 2) {
      // Read part of the literal; the reader skips the rest itself.
      char two[2];
      EXPECT_EQ(r.readLiteral(two, 2), 2);
      *rebuilt += std::string(two, 2) + "~";
    } else {
      char b[2];
      long n = r.readLiteral(b, sizeof b);
      *rebuilt += std::string(b, static_cast<size_t>(n));
    }
  }
  *error = r.error;
  fclose(f);
  return res;
}

uint8_t kHash[64] = {1, 2, 3};

void sample(hactar::Writer &w) {
  w.addLiteral("ab", 2);
  w.addBlock("sha512", 4096, kHash);
  w.addLiteral("", 0);
  w.addLiteral("hello", 5);
  w.finish();
}

}  // namespace

TEST(Hactar, RoundTripsRecordsWithOffsetsAndLayout) {
  std::string bytes = encode(sample);
  // Header 16, literal 12+2, block 84, literal 12+5, end 24.
  ASSERT_EQ(bytes.size(), 16u + 14 + 84 + 17 + 24);
  EXPECT_EQ(bytes.substr(0, 8), "VXHACTAR");
  const uint8_t *p = reinterpret_cast<const uint8_t *>(bytes.data());
  EXPECT_EQ(hactar::decodeFixed32(p + 16), hactar::kTagLiteral);
  EXPECT_EQ(hactar::decodeFixed64(p + 20), 2u);
  EXPECT_EQ(hactar::decodeFixed32(p + 30), hactar::kTagBlock);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(p + 34)), "sha512");
  EXPECT_EQ(hactar::decodeFixed64(p + 42), 4096u);
  EXPECT_EQ(p[50], 1);
  const uint8_t *end = p + bytes.size() - 24;
  EXPECT_EQ(hactar::decodeFixed32(end), hactar::kTagEnd);
  EXPECT_EQ(hactar::decodeFixed64(end + 4), 2u + 4096 + 5);
  EXPECT_EQ(hactar::decodeFixed64(end + 12), 3u);
  EXPECT_EQ(hactar::decodeFixed32(end + 20), hactar::crc32Update(0, p, bytes.size() - 4));

  std::string rebuilt, error;
  EXPECT_EQ(decode(bytes, &rebuilt, &error), 0) << error;
  EXPECT_EQ(rebuilt, "ab[B4096:sha512@2]he~");
}

TEST(Hactar, RejectsDamagedTruncatedOrExtendedFiles) {
  std::string good = encode(sample);
  std::string rebuilt, error;
  for (size_t at : {size_t(3), size_t(20), size_t(40), good.size() - 10, good.size() - 1}) {
    std::string bad = good;
    bad[at] ^= 0x10;
    rebuilt.clear();
    EXPECT_EQ(decode(bad, &rebuilt, &error), -1) << "flipped byte " << at;
  }
  EXPECT_EQ(decode(good.substr(0, good.size() - 1), &rebuilt, &error), -1);
  EXPECT_EQ(error, "truncated HaCTAR");
  // Cut right after the last data record: no end record.
  EXPECT_EQ(decode(good.substr(0, good.size() - 24), &rebuilt, &error), -1);
  EXPECT_EQ(decode(good + "x", &rebuilt, &error), -1);
  EXPECT_EQ(error, "data after the HaCTAR end record");
}

TEST(Hactar, Crc32MatchesTheStandardCheckValue) {
  EXPECT_EQ(hactar::crc32Update(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(hactar::crc32Update(0, "", 0), 0u);
  // Continuation equals one pass.
  uint32_t part = hactar::crc32Update(0, "1234", 4);
  EXPECT_EQ(hactar::crc32Update(part, "56789", 5), 0xCBF43926u);
}

TEST(Hactar, Crc32AgreesWithZlibAtEveryAlignmentAndLength) {
  // The CRC runs eight bytes per step with a byte-wise tail: every start
  // alignment and every remainder must give zlib's value, and so must a
  // CRC continued across a split that falls inside a step.
  std::string data(4099, '\0');
  uint32_t x = 12345;
  for (char &c : data) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  const auto *bytes = reinterpret_cast<const uint8_t *>(data.data());
  for (size_t start = 0; start < 8; start++)
    for (size_t len : {size_t(0), size_t(1), size_t(7), size_t(8), size_t(9), size_t(63), size_t(64),
                       size_t(4091) - start})
      EXPECT_EQ(hactar::crc32Update(0, bytes + start, len), uint32_t(crc32(0L, bytes + start, uInt(len))))
          << "start " << start << " length " << len;
  for (size_t split : {size_t(1), size_t(5), size_t(8), size_t(13), size_t(4000)})
    EXPECT_EQ(hactar::crc32Update(hactar::crc32Update(0, bytes, split), bytes + split, data.size() - split),
              uint32_t(crc32(0L, bytes, uInt(data.size()))))
        << "split " << split;
}
