// The throttle of the body readers on a simulated clock: a body of known
// size is handed to libcurl no faster than each second's allowance permits,
// whatever the rate, the read sizes and where in a second it starts.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "support/sandbox.h"
#include "vault/blockOut.h"
#include "vault/transfer.h"

namespace {

// Simulated time in microseconds; sleeping advances it.
uint64_t g_fakeUs = 0;
std::vector<long> g_sleeps;
void fakeNow(struct timeval *tv) {
  tv->tv_sec = (time_t)(g_fakeUs / 1000000);
  tv->tv_usec = (suseconds_t)(g_fakeUs % 1000000);
}
void fakeSleep(long usec) {
  g_sleeps.push_back(usec);
  g_fakeUs += (uint64_t)usec;
}
const ThrottleClock kFake = {fakeNow, fakeSleep};

struct Delivery {
  std::map<uint64_t, uint64_t> perSecond;  // simulated second -> bytes handed over
  std::vector<uint8_t> bytes;
};

// Reads the whole body through memoryReader in pieces of at most `ask`.
Delivery deliver(const std::vector<uint8_t> &body, size_t ask) {
  Delivery d;
  ThreadCurlData *td = getThreadCurlData();
  EXPECT_NE(nullptr, td);
  if (!td) return d;
  td->second = 0;
  MemorySource src{body.data(), body.size()};
  td->source = &src;
  std::vector<char> out(ask);
  for (int guard = 0; guard < 100000; guard++) {
    uint64_t second = g_fakeUs / 1000000;
    size_t n = memoryReader(out.data(), 1, out.size(), td);
    if (n == 0) break;
    d.perSecond[second] += n;
    d.bytes.insert(d.bytes.end(), out.begin(), out.begin() + n);
  }
  td->source = nullptr;
  return d;
}

TEST(throttle, BodiesAreDeliveredNoFasterThanTheAllowance) {
  rpd::test::SystemSandbox box{"rpd-vault"};
  detachBandwidthTable();
  setThrottleClock(&kFake);
  struct {
    const char *periods;
    uint64_t rate;
    size_t size, ask;
    uint64_t startUs;
  } cases[] = {
      {"=4096", 4096, 10000, 16384, 5000000000ULL},
      {"=4096", 4096, 10000, 16384, 5000700000ULL},  // starts late in a second
      {"=10k", 10240, 100000, 3000, 7000000000ULL},  // reads smaller than the share
      {"=10k", 10240, 10240 * 3, 10240, 9000000000ULL},  // exact multiples
  };
  for (const auto &c : cases) {
    ASSERT_EQ(0, parseBlockOutPeriods(c.periods));
    std::vector<uint8_t> body(c.size);
    for (size_t i = 0; i < body.size(); i++) body[i] = (uint8_t)(i * 13 + 7);
    g_fakeUs = c.startUs;
    g_sleeps.clear();
    Delivery d = deliver(body, c.ask);
    EXPECT_EQ(body, d.bytes) << c.periods << " " << c.size;
    for (auto [second, bytes] : d.perSecond) EXPECT_LE(bytes, c.rate) << c.periods << " second " << second;
    // As fast as permitted: one second per full share, the rest in the last.
    uint64_t seconds = (c.size + c.rate - 1) / c.rate;
    EXPECT_EQ(seconds, d.perSecond.size()) << c.periods << " " << c.size;
    uint64_t first = c.startUs / 1000000;
    EXPECT_EQ(first, d.perSecond.begin()->first);
    EXPECT_EQ(first + seconds - 1, d.perSecond.rbegin()->first);
    // Each wait ends at the start of the next second.
    for (long s : g_sleeps) EXPECT_LE(s, 1000000) << c.periods;
  }

  // Unlimited: nothing waits.
  ASSERT_EQ(0, parseBlockOutPeriods(""));
  g_fakeUs = 1000000000ULL;
  g_sleeps.clear();
  std::vector<uint8_t> big(1 << 20, 0x5A);
  Delivery d = deliver(big, 65536);
  EXPECT_EQ(big, d.bytes);
  EXPECT_TRUE(g_sleeps.empty());
  EXPECT_EQ(1u, d.perSecond.size());

  setThrottleClock(nullptr);
}

// A limit that comes into force in the middle of an unlimited second (a
// settings reload, a blockout hour starting) holds from the next read on:
// the rest of that second carries only its share of the new rate, and
// every later second the rate itself.
TEST(throttle, ALimitTakingEffectMidSecondHoldsAtOnce) {
  rpd::test::SystemSandbox box{"rpd-vault"};
  detachBandwidthTable();
  setThrottleClock(&kFake);
  ASSERT_EQ(0, parseBlockOutPeriods(""));
  ThreadCurlData *td = getThreadCurlData();
  ASSERT_NE(nullptr, td);
  td->second = 0;
  std::vector<uint8_t> body(100000);
  for (size_t i = 0; i < body.size(); i++) body[i] = (uint8_t)(i * 7 + 1);
  MemorySource src{body.data(), body.size()};
  td->source = &src;
  std::vector<uint8_t> got;
  std::vector<char> out(10000);
  auto readOnce = [&](size_t ask) {
    size_t n = memoryReader(out.data(), 1, ask, td);
    got.insert(got.end(), out.begin(), out.begin() + n);
    return n;
  };
  const uint64_t first = 3000;
  g_fakeUs = first * 1000000 + 250000;
  g_sleeps.clear();
  for (int i = 0; i < 3; i++) EXPECT_EQ(10000u, readOnce(10000));
  EXPECT_TRUE(g_sleeps.empty());

  // Half-way through the second the rate becomes 10 KiB/s.
  g_fakeUs = first * 1000000 + 500000;
  ASSERT_EQ(0, parseBlockOutPeriods("=10k"));
  std::map<uint64_t, uint64_t> perSecond;
  for (int guard = 0; guard < 1000 && got.size() < body.size(); guard++) {
    uint64_t second = g_fakeUs / 1000000;
    size_t n = readOnce(4096);
    if (n == 0) break;
    perSecond[second] += n;
  }
  td->source = nullptr;
  EXPECT_EQ(body, got);
  EXPECT_FALSE(g_sleeps.empty());
  ASSERT_FALSE(perSecond.empty());
  EXPECT_LE(perSecond[first], 10240u / 2) << "the rest of the second the limit began in";
  for (auto [second, bytes] : perSecond) EXPECT_LE(bytes, 10240u) << "second " << second;
  // 70000 bytes at 10240 a second after the half second: seven more seconds.
  EXPECT_EQ(first + 7, perSecond.rbegin()->first);

  ASSERT_EQ(0, parseBlockOutPeriods(""));
  setThrottleClock(nullptr);
}

}  // namespace
