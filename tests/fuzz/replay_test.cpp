// replay_test.cpp: every fuzz target's entry point over its seeds and over
// each input that once found a fault, as a unit test of the normal build.
// A target's broken check aborts the program with the check's text.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define FUZZ_TARGET(name) extern "C" int replay_##name(const uint8_t *, size_t);
FUZZ_TARGET(ini)
FUZZ_TARGET(blockout)
FUZZ_TARGET(blockname)
FUZZ_TARGET(vault_reply)
FUZZ_TARGET(metadata_import)
FUZZ_TARGET(lz4_frame)
FUZZ_TARGET(lz4_legacy)
FUZZ_TARGET(compression_index)
FUZZ_TARGET(is_tar)
FUZZ_TARGET(hactar)
FUZZ_TARGET(vaultd_multiblock)

namespace {

namespace fs = std::filesystem;

struct Target {
  const char *name;
  int (*entry)(const uint8_t *, size_t);
};

const Target kTargets[] = {
    {"ini", replay_ini},
    {"blockout", replay_blockout},
    {"blockname", replay_blockname},
    {"vault_reply", replay_vault_reply},
    {"metadata_import", replay_metadata_import},
    {"lz4_frame", replay_lz4_frame},
    {"lz4_legacy", replay_lz4_legacy},
    {"compression_index", replay_compression_index},
    {"is_tar", replay_is_tar},
    {"hactar", replay_hactar},
    {"vaultd_multiblock", replay_vaultd_multiblock},
};

// Runs every file under dir through entry; returns how many there were.
int replayDirectory(const Target &t, const fs::path &dir) {
  int count = 0;
  if (!fs::is_directory(dir)) return 0;
  for (const auto &e : fs::directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    SCOPED_TRACE(e.path().string());
    std::ifstream in(e.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(t.entry(bytes.data(), bytes.size()), 0);
    count++;
  }
  return count;
}

TEST(FuzzReplay, EveryTargetPassesItsSeedsAndPastFaults) {
  fs::path root = fs::path(RPD_SOURCE_DIR) / "tests" / "fuzz";
  for (const Target &t : kTargets) {
    SCOPED_TRACE(t.name);
    int seeds = replayDirectory(t, root / "corpus" / t.name);
    EXPECT_GT(seeds, 0) << "no seeds for " << t.name;
    replayDirectory(t, root / "regressions" / t.name);
  }
}

}  // namespace
