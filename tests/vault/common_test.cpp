// Block names, hex helpers, the tuple hash and backup type names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "pipeline/common.h"

namespace {

HashValue sampleRecord(uint64_t length) {
  HashValue r;
  memset(&r, 0, sizeof r);
  strcpy(r.hashType, "sha512");
  r.hashedLength = length;
  for (int i = 0; i < 64; i++) r.hashValue[i] = (uint8_t)(0xA0 + i);  // A0 A1 ... DF
  return r;
}

std::string expectedHex() {
  std::string s;
  char b[3];
  for (int i = 0; i < 64; i++) {
    snprintf(b, sizeof b, "%02X", 0xA0 + i);
    s += b;
  }
  return s;
}

TEST(blockName, RendersTypeLengthAndAllHashBytesAndParsesBack) {
  HashValue r = sampleRecord(4096);
  char name[BLOCK_NAME_MAX];
  ASSERT_EQ(0, blockName(&r, name, sizeof name));
  EXPECT_EQ("b-sha512-4096-" + expectedHex(), std::string(name));

  HashValue back;
  ASSERT_EQ(0, parseBlockName(name, &back));
  EXPECT_STREQ("sha512", back.hashType);
  EXPECT_EQ(4096u, back.hashedLength);
  EXPECT_EQ(0, memcmp(r.hashValue, back.hashValue, 64));
  EXPECT_EQ(hashValue_in, back.flags);
  EXPECT_EQ(0u, back.hashID);

  // Length 0 renders as "0" and comes back as 0.
  HashValue zero = sampleRecord(0);
  ASSERT_EQ(0, blockName(&zero, name, sizeof name));
  EXPECT_EQ("b-sha512-0-" + expectedHex(), std::string(name));
  ASSERT_EQ(0, parseBlockName(name, &back));
  EXPECT_EQ(0u, back.hashedLength);

  // One byte short of room: refused.
  char small[20];
  EXPECT_EQ(-1, blockName(&r, small, sizeof small));
  std::string full = "b-sha512-4096-" + expectedHex();
  std::vector<char> exact(full.size());
  EXPECT_EQ(-1, blockName(&r, exact.data(), exact.size()));
}

TEST(parseBlockName, AcceptsHyphenRunsAndRefusesMalformedNames) {
  HashValue a, b;
  std::string hex = expectedHex();
  ASSERT_EQ(0, parseBlockName(("b-sha512-123-" + hex).c_str(), &a));
  ASSERT_EQ(0, parseBlockName(("b--sha512--123---" + hex).c_str(), &b));
  EXPECT_EQ(0, memcmp(&a, &b, sizeof a));

  // Lower-case hex is read as well.
  std::string lower = hex;
  for (auto &c : lower) c = (char)tolower(c);
  ASSERT_EQ(0, parseBlockName(("b-sha512-123-" + lower).c_str(), &b));
  EXPECT_EQ(0, memcmp(a.hashValue, b.hashValue, 64));

  // A short hash part fills the front and leaves the rest zero.
  ASSERT_EQ(0, parseBlockName("b-sha512-7-ABCD", &b));
  EXPECT_EQ(0xAB, b.hashValue[0]);
  EXPECT_EQ(0xCD, b.hashValue[1]);
  EXPECT_EQ(0, b.hashValue[2]);

  const char *bad[] = {
      "",                                   // nothing
      "c-sha512-1-AB",                      // not b
      "bb-sha512-1-AB",                     // first part not exactly b
      "b-sha512-1",                         // missing hash
      "b-sha512",                           // missing length and hash
      "b-sha512-x1-AB",                     // length not a number
      "b-sha512-12-ABC",                    // odd hex count
      "b-sha512-12-ZZ",                     // not hex
      "b-sha512xyz-12-AB",                  // hash type longer than 8
  };
  for (const char *t : bad) EXPECT_EQ(-1, parseBlockName(t, &b)) << t;
  std::string tooLong = "b-sha512-1-" + hex + "00";
  EXPECT_EQ(-1, parseBlockName(tooLong.c_str(), &b));
}

TEST(hex, RoundTripsBytesInUpperCase) {
  const uint8_t bytes[] = {0x00, 0x0F, 0xF0, 0xFF, 0x5A};
  char *h = toHex(bytes, sizeof bytes);
  ASSERT_NE(nullptr, h);
  EXPECT_STREQ("000FF0FF5A", h);
  uint8_t *back = fromHex(h);
  ASSERT_NE(nullptr, back);
  EXPECT_EQ(0, memcmp(bytes, back, sizeof bytes));
  free(back);
  free(h);

  char *empty = toHex(bytes, 0);
  ASSERT_NE(nullptr, empty);
  EXPECT_STREQ("", empty);
  free(empty);

  EXPECT_EQ(nullptr, fromHex("ABC"));
  EXPECT_EQ(nullptr, fromHex("G0"));
  uint8_t *mixed = fromHex("aBcD");
  ASSERT_NE(nullptr, mixed);
  EXPECT_EQ(0xAB, mixed[0]);
  EXPECT_EQ(0xCD, mixed[1]);
  free(mixed);
}

TEST(tupleHash, LaysOutDigestOffsetTypeAndLengthAndFoldsByXor) {
  HashValue r = sampleRecord(0x0102);
  BlockLocation loc{99, 0x1122334455667788ull};

  // Wider than the input: a plain copy of the 86 input bytes, zeros after.
  uint8_t wide[100];
  ASSERT_EQ(0, tupleHash(&r, &loc, wide, sizeof wide));
  EXPECT_EQ(0, memcmp(wide, r.hashValue, 64));
  const uint8_t off[8] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(0, memcmp(wide + 64, off, 8));
  EXPECT_EQ(0, memcmp(wide + 72, "sha512", 6));
  const uint8_t len[8] = {0x02, 0x01, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(wide + 78, len, 8));
  for (int i = 86; i < 100; i++) EXPECT_EQ(0, wide[i]) << i;

  // One byte: the XOR of every input byte.
  uint8_t x = 0;
  for (int i = 0; i < 86; i++) x ^= wide[i];
  uint8_t one = 0xEE;
  ASSERT_EQ(0, tupleHash(&r, &loc, &one, 1));
  EXPECT_EQ(x, one);

  // 64 bytes: the tail wraps onto the front.
  uint8_t folded[64];
  ASSERT_EQ(0, tupleHash(&r, &loc, folded, 64));
  for (int k = 0; k < 64; k++) {
    uint8_t e = wide[k];
    if (k + 64 < 86) e ^= wide[k + 64];
    EXPECT_EQ(e, folded[k]) << k;
  }

  // An unknown hash type contributes no digest bytes.
  strcpy(r.hashType, "md5");
  uint8_t u[19];
  ASSERT_EQ(0, tupleHash(&r, &loc, u, sizeof u));
  EXPECT_EQ(0, memcmp(u, off, 8));
  EXPECT_EQ(0, memcmp(u + 8, "md5", 3));
  EXPECT_EQ(0, memcmp(u + 11, len, 8));

  EXPECT_EQ(-1, tupleHash(&r, &loc, u, 0));
}

TEST(backupTypeName, NamesEveryKindAndFillsApplicationTypes) {
  char name[64];
  struct {
    long type;
    const char *atype;
    const char *expect;
  } cases[] = {
      {1, nullptr, "Master"},           {2, nullptr, "Differential"},
      {3, nullptr, "Incremental"},      {4, nullptr, "SQL"},
      {11, nullptr, "MSSQL Trans"},     {14, nullptr, "ESX VM Incr"},
      {1024, nullptr, "BareMetal"},     {1027, nullptr, "LocalDir"},
      {1033, nullptr, "Hyper-V Incr"},  {1038, nullptr, "System Metadata"},
      {1039, "Oracle", "Oracle Full"},  {4096, "DB2", "DB2 Diff"},
      {4097, nullptr, "Generic Incr"},  {4097, "", "Generic Incr"},
      {4100, nullptr, "NDMP Incr"},     {8, nullptr, "unknown"},
      {-1, nullptr, "unknown"},
  };
  for (const auto &c : cases) {
    backupTypeName(c.type, c.atype, name, sizeof name);
    EXPECT_STREQ(c.expect, name) << c.type;
  }
}

}  // namespace
