// The BlockOutPeriods parser, the shared segment and the allowance.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

#include "support/sandbox.h"
#include "vault/blockOut.h"

namespace {

constexpr uint64_t U = BANDWIDTH_UNLIMITED;
constexpr uint64_t K = 1024, M = 1048576;

struct BlockOut : ::testing::Test {
  rpd::test::SystemSandbox box{"rpd-vault"};
  void SetUp() override {
    detachBandwidthTable();
    ASSERT_EQ(0, parseBlockOutPeriods(""));
  }
  void TearDown() override {
    detachBandwidthTable();
    parseBlockOutPeriods("");
  }
  static uint64_t at(const uint64_t *t, int day, int hour) { return t[day * 24 + hour]; }
};

// A time whose local weekday and hour are the given ones.
time_t localTimeAt(int wday, int hour) {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  tmv.tm_mday += (wday - tmv.tm_wday + 7) % 7;
  tmv.tm_hour = hour;
  tmv.tm_min = 30;
  tmv.tm_sec = 0;
  tmv.tm_isdst = -1;
  return mktime(&tmv);
}

// Expected table described by (day, hour) -> rate exceptions over a default.
struct Expect {
  const char *text;
  int result;
  uint64_t fill;  // every entry not listed below
  std::vector<std::tuple<int, int, uint64_t>> entries;
};

TEST_F(BlockOut, ParsesPeriodsRatesAndWrapAround) {
  std::vector<std::tuple<int, int, uint64_t>> friToMonNights;
  for (int d : {5, 6, 0, 1})
    for (int h : {22, 23, 0, 1, 2}) friToMonNights.emplace_back(d, h, 1 * M);
  std::vector<std::tuple<int, int, uint64_t>> weekdayOffice;
  for (int d = 1; d <= 5; d++)
    for (int h = 8; h <= 17; h++) weekdayOffice.emplace_back(d, h, 4096);
  std::vector<std::tuple<int, int, uint64_t>> lateHours;
  for (int d = 0; d < 7; d++)
    for (int h : {23, 0, 1}) lateHours.emplace_back(d, h, 4096);
  std::vector<std::tuple<int, int, uint64_t>> sunday;
  for (int h = 0; h < 24; h++) sunday.emplace_back(0, h, 4096);
  std::vector<std::tuple<int, int, uint64_t>> running;
  for (int d = 0; d < 7; d++) {
    running.emplace_back(d, 8, 4096);
    running.emplace_back(d, 9, 2 * M);
    running.emplace_back(d, 10, 2 * M);
    running.emplace_back(d, 11, 3 * M);
    running.emplace_back(d, 12, 2 * M);
  }

  const Expect cases[] = {
      {"", 0, U, {}},
      {"   ", 0, U, {}},
      {"1-5:8-17", 0, U, weekdayOffice},
      {" 1 - 5 : 8 - 17 ", 0, U, weekdayOffice},
      {"=10m 5-1:22-2=1m", 0, 10 * M, friToMonNights},
      {"=512", 0, 4096, {}},
      {"=2K", 0, 4096, {}},
      {"=5k", 0, 5 * K, {}},
      {"=1G", 0, 1024 * M, {}},
      {"=0x10000", 0, 65536, {}},
      {"23-1", 0, U, lateHours},
      {"0:", 0, U, sunday},
      {"0x1:010", 0, U, {{1, 8, 4096}}},
      {"3:4=8k, 3:4=16k", 0, U, {{3, 4, 16 * K}}},
      {"8 =2m 9-10, 11=3m 12", 0, U, running},
      {"default 1:2", 0, U, {}},
      {"=5m default", -1, U, {}},
      {"7:0-3", -1, U, {}},
      {"1-5:24", -1, U, {}},
      {"25", -1, U, {}},
      {"abc", -1, U, {}},
      {"1:2=", -1, U, {}},
      {"1:2=x", -1, U, {}},
      {"1:2=5q", -1, U, {}},
      {"=zz 1:2", -1, U, {}},
      {"1:2 3;4", -1, U, {}},
  };
  uint64_t table[BANDWIDTH_ENTRIES];
  for (const Expect &c : cases) {
    // Start from a limited table so a failure visibly resets it.
    ASSERT_EQ(0, parseBlockOutPeriods("=7k"));
    EXPECT_EQ(c.result, parseBlockOutPeriods(c.text)) << c.text;
    copyBandwidthTable(table);
    std::vector<uint64_t> expect(BANDWIDTH_ENTRIES, c.fill);
    for (auto [d, h, v] : c.entries) expect[d * 24 + h] = v;
    for (int i = 0; i < BANDWIDTH_ENTRIES; i++)
      ASSERT_EQ(expect[i], table[i]) << "'" << c.text << "' day " << i / 24 << " hour " << i % 24;
  }
}

TEST_F(BlockOut, AllowanceFollowsTheTableOfTheCurrentHour) {
  ASSERT_EQ(0, parseBlockOutPeriods("=10m 2:13=1m"));
  EXPECT_EQ(1 * M, getBandwidthAllowance(localTimeAt(2, 13)));
  EXPECT_EQ(10 * M, getBandwidthAllowance(localTimeAt(2, 14)));
  EXPECT_EQ(10 * M, getBandwidthAllowance(localTimeAt(3, 13)));
  ASSERT_EQ(0, parseBlockOutPeriods(""));
  EXPECT_EQ(U, getBandwidthAllowance(localTimeAt(2, 13)));
}

TEST_F(BlockOut, SharedRateIsSplitAmongAttachedSenders) {
  ASSERT_EQ(0, createBandwidthTable());
  int id = getBandwidthTableId();
  ASSERT_GE(id, 0);
  ASSERT_EQ(0, parseBlockOutPeriods("=1m"));
  // Only the creator is attached: it gets the full rate.
  EXPECT_EQ(1 * M, getBandwidthAllowance(time(nullptr)));

  std::barrier sync(2);
  uint64_t got[2] = {0, 0};
  int attached[2] = {-1, -1}, reparse[2] = {0, 0};
  std::vector<std::thread> senders;
  for (int i = 0; i < 2; i++)
    senders.emplace_back([&, i] {
      attached[i] = parseBlockOutPeriods(("attach:" + std::to_string(id)).c_str());
      sync.arrive_and_wait();  // both attached
      got[i] = getBandwidthAllowance(time(nullptr));
      reparse[i] = parseBlockOutPeriods("=2m");  // read-only: refused
      sync.arrive_and_wait();
      detachBandwidthTable();
    });
  for (auto &t : senders) t.join();
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(0, attached[i]);
    EXPECT_EQ(512 * K, got[i]);
    EXPECT_EQ(-1, reparse[i]);
  }
  // The creator's table still reads 1 MiB/s: the senders wrote nothing.
  uint64_t table[BANDWIDTH_ENTRIES];
  copyBandwidthTable(table);
  EXPECT_EQ(1 * M, table[0]);

  // Rewriting in place reaches an attached sender at its next question
  // (the creator and one sender: the sender gets the whole rate).
  ASSERT_EQ(0, parseBlockOutPeriods("=6m"));
  uint64_t after = 0;
  std::thread late([&] {
    ASSERT_EQ(0, attachBandwidthTable(id));
    after = getBandwidthAllowance(time(nullptr));
  });
  late.join();
  EXPECT_EQ(6 * M, after);
}

TEST_F(BlockOut, AttachFailuresFallBackToNoLimit) {
  std::thread t([] {
    EXPECT_EQ(-1, attachBandwidthTable(-5));
    EXPECT_EQ(-1, getBandwidthTableId());
    EXPECT_EQ(U, getBandwidthAllowance(time(nullptr)));
    EXPECT_EQ(-1, parseBlockOutPeriods("attach:12x"));
    EXPECT_EQ(-1, parseBlockOutPeriods("attach:"));
    EXPECT_EQ(-1, getBandwidthTableId());
  });
  t.join();
  uint64_t table[BANDWIDTH_ENTRIES];
  copyBandwidthTable(table);
  for (uint64_t e : table) ASSERT_EQ(U, e);
}

TEST_F(BlockOut, CreatedSegmentStartsFromThePeriodsAlreadyParsed) {
  ASSERT_EQ(0, parseBlockOutPeriods("=3m"));
  ASSERT_EQ(0, createBandwidthTable());
  int id = getBandwidthTableId();
  uint64_t seen = 0;
  std::thread t([&] {
    ASSERT_EQ(0, attachBandwidthTable(id));
    uint64_t table[BANDWIDTH_ENTRIES];
    copyBandwidthTable(table);
    seen = table[100];
  });
  t.join();
  EXPECT_EQ(3 * M, seen);
  detachBandwidthTable();
  EXPECT_EQ(-1, getBandwidthTableId());
}

}  // namespace
