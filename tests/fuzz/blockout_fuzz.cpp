// blockout_fuzz.cpp: BlockOutPeriods values.
//
// Whatever the text, the table afterwards holds only "no limit" or rates
// of at least the minimum, and a refused value leaves it wholly unlimited.
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "vault/blockOut.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::quietLog();
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(strlen(text.c_str()));
  // "attach:<id>" attaches to whatever segment has that id on this machine.
  if (text.find("attach") != std::string::npos) return 0;
  int rc = parseBlockOutPeriods(text.c_str());
  FUZZ_CHECK(rc == 0 || rc == -1);
  uint64_t table[BANDWIDTH_ENTRIES];
  copyBandwidthTable(table);
  for (uint64_t rate : table) {
    if (rc != 0) FUZZ_CHECK(rate == BANDWIDTH_UNLIMITED);
    FUZZ_CHECK(rate == BANDWIDTH_UNLIMITED || rate >= BANDWIDTH_MIN_RATE);
  }
  uint64_t allowance = getBandwidthAllowance((time_t)size * 3600);
  FUZZ_CHECK(allowance == BANDWIDTH_UNLIMITED || allowance >= BANDWIDTH_MIN_RATE);
  return 0;
}
