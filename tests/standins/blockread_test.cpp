// blockread_test.cpp: reading blocks by hash from the backup archives that
// still hold them (hashed, not moved to the single instance store), in
// every archive form (plain, gzip, LZ4, encrypted), both layouts (tar and
// image) and both index generations; the HaCTAR of such backups rebuilt
// with vaultd's decoder; where a block is read from (store before backups,
// the newest backup, the open backup first, another backup when one is
// gone); and read-ahead hits over a compressed archive.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "appliance/standin/standin.h"
#include "dedup/hashRead.h"
#include "dedup/hashValues.h"
#include "lib/handles.h"
#include "lib/logger.h"
#include "standins_support.h"
#include "vaultd/hactar.h"

using namespace standins_test;

namespace {

std::string str(uint64_t n) { return std::to_string(n); }

std::vector<HashListEntry> blocksOf(uint64_t backupNo) {
  std::vector<HashListEntry> all;
  hashListHandle *h = nullptr;
  EXPECT_EQ(createHashList(&h, backupNo, nullptr, 0, 0), 0);
  std::vector<HashListEntry> batch(64);
  long n;
  while ((n = getHashesFromList(&h, batch.data(), long(batch.size()))) > 0)
    all.insert(all.end(), batch.begin(), batch.begin() + n);
  EXPECT_EQ(n, 0);
  destroyHashList(&h);
  return all;
}

// A block's data by hash, read in pieces of `piece` bytes (the record as
// the hash list or the HaCTAR gives it).
std::string readByHash(hashedContentsPrivate **priv, const HashValue &value, size_t piece) {
  HashValue record = value;
  std::string data(record.hashedLength, '\0');
  uint64_t got = 0;
  while (got < record.hashedLength) {
    size_t want = std::min<uint64_t>(piece, record.hashedLength - got);
    ssize_t n = readHashedContents(priv, &record, data.data() + got, int64_t(want), int64_t(got), 1);
    if (n <= 0) return "<read failed at " + str(got) + ">";
    got += uint64_t(n);
  }
  return data;
}

// The decoded archive through the stand-ins' own reader (not rpd's filter).
std::string decoded(const std::string &path, uint64_t properties) {
  standin::ArchiveReader r;
  if (r.open(path, properties) != 0) return "<open failed>";
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = r.read(buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  return n < 0 ? "<read failed>" : out;
}


// Overwrites a whole file with `fill` bytes, keeping its size.
void overwrite(const std::string &path, char fill) {
  std::string old = readFile(path);
  UniqueFd fd(open(path.c_str(), O_WRONLY));
  ASSERT_GE(fd.get(), 0);
  std::string junk(old.size(), fill);
  ASSERT_EQ(pwrite(fd.get(), junk.data(), junk.size(), 0), ssize_t(junk.size()));
}

bool allBytes(const std::string &s, char c) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [c](char x) { return x == c; });
}

class BlockRead : public ::testing::TestWithParam<int> {};

}  // namespace

// Every block of archives that were hashed but not moved reads back from
// the archive as its decoded bytes, whole and in pieces; the HaCTAR of each
// backup rebuilds the decoded archive. Overlapping backups in different
// forms share blocks, so a block may be read from another backup's file of
// another form.
TEST_P(BlockRead, HashedArchivesOfEveryFormReadBackByHash) {
  Appliance a(GetParam());
  CryptoDaemon daemon(a.box.path("cd.key"));
  ASSERT_TRUE(daemon.ready());
  struct Case {
    const char *what;
    std::vector<std::string> args;
  } cases[] = {
      {"tar plain", {"--size", "300k"}},
      {"tar gzip", {"--compress", "gzip", "--size", "300k", "--share", "0.5"}},
      {"tar lz4", {"--compress", "lz4", "--size", "300k", "--share", "0.5"}},
      {"tar encrypted", {"--encrypt", "--size", "250k", "--share", "0.5"}},
      // A type the reduplicating reader does not know: hashed (0x400 set)
      // but read as the archive it is.
      {"tar type 8 gzip", {"--compress", "gzip", "--type", "8", "--size", "200k"}},
      {"image plain", {"--app", "baremetal", "--unit", "32768", "--size", "400000"}},
      {"image gzip", {"--app", "baremetal", "--unit", "32768", "--compress", "gzip", "--size", "400000", "--share", "0.5"}},
      {"image lz4", {"--app", "baremetal", "--unit", "32768", "--compress", "lz4", "--size", "400000", "--share", "0.5"}},
      {"image encrypted", {"--app", "baremetal", "--unit", "32768", "--encrypt", "--size", "300000", "--share", "0.5"}},
  };
  uint64_t tarBase = 0, imageBase = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    bool image = strncmp(c.what, "image", 5) == 0;
    std::vector<std::string> args = {"--dir", a.dev, "--file-size", "20k", "--zero", "0.1", "--seed", "9"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    uint64_t &base = image ? imageBase : tarBase;
    if (base && std::find(args.begin(), args.end(), "--share") != args.end()) {
      args.push_back("--share-with");
      args.push_back(str(base));
    }
    auto made = a.mkbackup(args);
    ASSERT_EQ(made.size(), 1u);
    uint64_t b = made[0];
    if (!base) base = b;
    uint64_t props = uint64_t(a.db.number("SELECT properties FROM vx.backups WHERE backup_no = " + str(b)));
    std::string archive = decoded(a.archive(b), props);
    ASSERT_GT(archive.size(), 100000u) << archive.substr(0, 40);
    ASSERT_EQ(a.program("fileDedup", {"-S", "-H" + str(b)}).status, 0);
    EXPECT_EQ(a.db.number("SELECT properties & 1536 FROM vx.backups WHERE backup_no = " + str(b)), 1536);

    auto list = blocksOf(b);
    ASSERT_GT(list.size(), 4u);
    hashedContentsPrivate *priv = nullptr;
    size_t mismatches = 0;
    for (const HashListEntry &e : list) {
      EXPECT_FALSE(e.value.flags & SISoffset_out) << "nothing was moved";
      std::string expect = archive.substr(e.location.fileOffset, e.value.hashedLength);
      // Whole, then in odd pieces through the read-ahead buffer.
      if (readByHash(&priv, e.value, e.value.hashedLength) != expect) mismatches++;
      if (readByHash(&priv, e.value, 3001) != expect) mismatches++;
    }
    EXPECT_EQ(mismatches, 0u) << "of " << list.size() << " blocks";
    EXPECT_EQ(closeHashedContents(&priv), 0);

    ASSERT_EQ(a.program("recipe", {"-b", str(b)}).status, 0);
    size_t blocks = 0;
    std::string error;
    std::string rebuilt = rebuildFromHactar(a.dev + "/hactar_" + str(b), &blocks, &error,
                                            [](hashedContentsPrivate **p, const HashValue &v) { return readByHash(p, v, 1 << 20); });
    EXPECT_EQ(error, "");
    EXPECT_EQ(blocks, list.size());
    EXPECT_TRUE(rebuilt == archive) << rebuilt.size() << " bytes rebuilt, " << archive.size() << " expected";
  }
}

// Where a block is read from: the store when it holds the data, even while
// a backup's file still has it; otherwise a backup file that holds it, the
// open one first, the newest for generation 0, and another one when a file
// is gone.
TEST_P(BlockRead, BlocksComeFromTheStoreOrTheRightBackupFile) {
  Appliance a(GetParam());
  a.makeSmallSIS();
  // Four byte-for-byte copies; the fourth is hashed last.
  auto first = a.mkbackup({"--dir", a.dev, "--size", "120k", "--file-size", "16k", "--zero", "0", "--seed", "3"});
  ASSERT_EQ(first.size(), 1u);
  std::vector<uint64_t> copies = first;
  for (int i = 0; i < 2; i++) {
    auto c = a.mkbackup({"--dir", a.dev, "--size", "120k", "--file-size", "16k", "--zero", "0", "--seed", "3",
                       "--share", "1", "--share-with", str(first[0])});
    ASSERT_EQ(c.size(), 1u);
    copies.push_back(c[0]);
  }
  auto fourth = a.mkbackup({"--dir", a.dev, "--size", "120k", "--file-size", "16k", "--zero", "0", "--seed", "3",
                          "--share", "1", "--share-with", str(first[0])});
  ASSERT_EQ(fourth.size(), 1u);
  std::string original = readFile(a.archive(copies[0]));
  ASSERT_EQ(readFile(a.archive(fourth[0])), original);
  for (uint64_t b : copies) {
    ASSERT_EQ(readFile(a.archive(b)), original);
    ASSERT_EQ(a.program("fileDedup", {"-S", "-H" + str(b)}).status, 0);
  }
  auto list = blocksOf(copies[0]);
  ASSERT_GT(list.size(), 4u);
  const HashListEntry &probe = list[1];
  std::string truth = original.substr(probe.location.fileOffset, probe.value.hashedLength);

  // Mark each older copy's file so that its bytes tell where a read went.
  overwrite(a.archive(copies[0]), 'A');
  overwrite(a.archive(copies[1]), 'B');
  hashedContentsPrivate *priv = nullptr;
  std::string got = readByHash(&priv, probe.value, 100000);
  if (GetParam() == 0) {
    EXPECT_EQ(got, truth) << "generation 0 prefers the newest backup";
  } else {
    EXPECT_TRUE(got == truth || allBytes(got, 'A') || allBytes(got, 'B')) << got.substr(0, 20);
  }
  closeHashedContents(&priv);

  // The newest file gone: another backup that holds the block serves it,
  // and stays preferred for later blocks while open, even once the newest
  // is back.
  std::string newest = a.archive(copies[2]);
  ASSERT_EQ(rename(newest.c_str(), (newest + ".away").c_str()), 0);
  got = readByHash(&priv, probe.value, 100000);
  ASSERT_TRUE(allBytes(got, 'A') || allBytes(got, 'B')) << got.substr(0, 20);
  char openOne = got[0];
  if (GetParam() == 0) {
    EXPECT_EQ(openOne, 'B') << "the newer of the remaining two";
  }
  ASSERT_EQ(rename((newest + ".away").c_str(), newest.c_str()), 0);
  const HashListEntry &other = list[3];
  std::string fromOpen = readByHash(&priv, other.value, 100000);
  EXPECT_TRUE(allBytes(fromOpen, openOne)) << fromOpen.substr(0, 20);
  closeHashedContents(&priv);

  // A block the store holds is read from there while backup files (all of
  // them now marked) still hold it in their index: move the blocks of the
  // fourth copy, hashed after the others.
  overwrite(newest, 'C');
  ASSERT_EQ(a.program("fileDedup", {"-s", "-H" + str(fourth[0])}).status, 0);
  overwrite(a.archive(fourth[0]), 'D');
  if (GetParam() == 0) {
    EXPECT_GT(a.db.number("SELECT count(*) FROM vx.backups_hash_values WHERE deduplicated IS NULL"), 0);
  }
  size_t fromStore = 0;
  for (const HashListEntry &e : blocksOf(copies[0])) {
    std::string want = original.substr(e.location.fileOffset, e.value.hashedLength);
    std::string read = readByHash(&priv, e.value, 7000);
    EXPECT_TRUE(read == want) << "at " << e.location.fileOffset << ": " << read.substr(0, 20);
    fromStore += read == want;
  }
  EXPECT_EQ(fromStore, list.size());
  closeHashedContents(&priv);
}

// A block larger than the read-ahead buffer in a compressed archive: a
// piece that starts in the buffer and ends beyond it takes the buffered
// part and reads the rest from the archive; pieces far away seek through
// the archive's compression index.
TEST_P(BlockRead, ReadAheadOverACompressedArchive) {
  Appliance a(GetParam());
  // One image block of 12 MiB: more than the read-ahead buffer holds.
  std::string ini = a.box.path("usr/vx/vxinit/master.ini");
  std::string text = readFile(ini);
  size_t at = text.find("imageBlockBytes=32768");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, strlen("imageBlockBytes=32768"), "imageBlockBytes=12582912");
  a.box.write("usr/vx/vxinit/master.ini", text);
  for (const char *engine : {"gzip", "lz4"}) {
    SCOPED_TRACE(engine);
    auto made = a.mkbackup({"--dir", a.dev, "--app", "baremetal", "--unit", "12m", "--size", "13m", "--compress",
                          engine, "--zero", "0", "--seed", "4"});
    ASSERT_EQ(made.size(), 1u);
    uint64_t b = made[0];
    uint64_t props = uint64_t(a.db.number("SELECT properties FROM vx.backups WHERE backup_no = " + str(b)));
    std::string archive = decoded(a.archive(b), props);
    ASSERT_EQ(archive.size(), 13u << 20);
    ASSERT_EQ(a.program("fileDedup", {"-S", "-H" + str(b)}).status, 0);
    auto list = blocksOf(b);
    ASSERT_EQ(list.size(), 2u);
    ASSERT_EQ(list[0].value.hashedLength, 12u << 20);
    HashValue big = list[0].value;

    int savedLevel = log_level;
    log_level = 5;
    FILE *capture = tmpfile();
    attachLogStream(capture);
    hashedContentsPrivate *priv = nullptr;
    std::string out(4000, '\0');
    // Reads n bytes at `at` of the block; `expect` bytes must come back.
    auto piece = [&](int64_t at, int64_t n, int64_t expect) {
      HashValue r = big;
      ssize_t got = readHashedContents(&priv, &r, out.data(), n, at, 1);
      EXPECT_EQ(got, expect) << "at " << at;
      return got == expect && memcmp(out.data(), archive.data() + at, size_t(expect)) == 0;
    };
    EXPECT_TRUE(piece(100, 1000, 1000));  // fills 10 MiB from offset 100
    EXPECT_TRUE(piece(5000000, 4000, 4000));
    EXPECT_TRUE(piece(100 + 10485760 - 700, 2000, 2000));  // 700 buffered, the rest read
    EXPECT_TRUE(piece((12 << 20) - 3000, 4000, 3000)) << "cut at the block's end";
    EXPECT_TRUE(piece(50, 40, 40)) << "before the buffer";
    closeHashedContents(&priv);
    attachLogStream(stderr);
    log_level = savedLevel;
    fflush(capture);
    rewind(capture);
    std::string log;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, capture)) > 0) log.append(buf, n);
    fclose(capture);
    EXPECT_NE(log.find("Data buffered (10485760 bytes), transfer 1000 bytes"), std::string::npos);
    EXPECT_NE(log.find("Data found in buffer, transfer 4000 bytes"), std::string::npos);
    EXPECT_NE(log.find("Partial data found in buffer, transfer 700 bytes."), std::string::npos);
    EXPECT_NE(log.find("Fast seek to physical offset"), std::string::npos) << "the index serves long seeks";
  }
}

INSTANTIATE_TEST_SUITE_P(Generations, BlockRead, ::testing::Values(0, 1),
                         [](const auto &info) { return "generation" + std::to_string(info.param); });
