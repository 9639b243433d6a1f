// redup_test.cpp: the reduplicating reader against a private catalogue: a
// CTAR archive whose deduplicated entries refer to blocks held by another
// backup's file is rebuilt byte-exact (whole and at random offsets), as is
// an image backup of the block layout; file names, types and damaged
// reference headers are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "archive_support.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "store/archiverw.h"
#include "store/redup.h"
#include "support/catalogue.h"
#include "support/sandbox.h"

using archivetest::Bytes;

namespace {

Bytes pad512(Bytes b) {
  b.resize((b.size() + 511) / 512 * 512, 0);
  return b;
}

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

void append(Bytes *to, const Bytes &b) { to->insert(to->end(), b.begin(), b.end()); }

class RedupTest : public testing::Test {
 protected:
  rpd::test::ScopedTestDatabase db;
  rpd::test::Sandbox box{"rpd-redup"};
  std::string dir;
  Bytes blockA, blockB, blockC;
  long hA = 0, hB = 0, hC = 0;
  long source = 0;

  void SetUp() override {
    attachLogStream(stderr);
    pgCloseAll();
    box.mkdirs("dev/shm");
    box.master("");
    dir = box.mkdirs("d2d1");
    db.exec("INSERT INTO vx.devices (dev_name, dev_nr_name, device_type) VALUES ('disk1', '" + dir + "', 128)");
    // The blocks live in the file of an ordinary (not deduplicated) backup.
    blockA = archivetest::makeData(10000, 1);
    blockB = archivetest::makeData(5000, 2);
    blockC = archivetest::makeData(700, 3);
    source = newBackup(1);
    Bytes file = blockA;
    append(&file, blockB);
    append(&file, blockC);
    archivetest::writeFile(dir + "/backup_" + std::to_string(source), file);
    hA = newHash(blockA.size());
    hB = newHash(blockB.size());
    hC = newHash(blockC.size());
    reference(source, 0, hA, false);
    reference(source, 10000, hB, false);
    reference(source, 15000, hC, false);
  }
  void TearDown() override { pgCloseAll(); }

  long newBackup(int type) {
    return db.number("INSERT INTO vx.backups (type, status) VALUES (" + std::to_string(type) +
                     ", 1088) RETURNING backup_no");
  }
  long newHash(size_t length) {
    return db.number("INSERT INTO vx.hash_values (hash_type, hashed_length, hash_value) VALUES ('sha512', " +
                     std::to_string(length) + ", sha512(random()::text::bytea)) RETURNING hash_id");
  }
  void reference(long backup, long offset, long hash, bool deduplicated) {
    db.exec("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id, deduplicated) VALUES (" +
            std::to_string(backup) + ", " + std::to_string(offset) + ", " + std::to_string(hash) + ", " +
            (deduplicated ? "TRUE" : "NULL") + ")");
  }
  void fileRow(long backup, int64_t headerOffset) {
    db.exec("INSERT INTO vx.backup_files (backup_no, blk_offset) VALUES (" + std::to_string(backup) + ", " +
            std::to_string(headerOffset / 512) + ")");
  }
  std::string path(long backup) { return dir + "/backup_" + std::to_string(backup); }
};

// Builds a CTAR archive (`archive`, as stored) and the archive it stands
// for (`rebuilt`) entry by entry.
struct Ctar {
  Bytes archive, rebuilt;
  std::vector<int64_t> headers;

  void plain(const std::string &name, const Bytes &contents) {
    headers.push_back(int64_t(archive.size()));
    Bytes entry = archivetest::tarHeader(name, contents.size(), '0');
    append(&entry, pad512(contents));
    append(&archive, entry);
    append(&rebuilt, entry);
  }
  // A deduplicated entry of `size` bytes whose references are `refs`
  // (their text) and whose contents are `contents`.
  void dedup(const std::string &name, uint64_t size, const std::string &refs, const Bytes &contents,
             int64_t claimedOffset = -1) {
    int64_t at = int64_t(archive.size());
    headers.push_back(at);
    char head[64];
    snprintf(head, sizeof head, "recipe,0x%llx,0,dedup;", (unsigned long long)(claimedOffset < 0 ? at : claimedOffset));
    Bytes data = text(head + refs);
    data.resize((size + 511) / 512 * 512, 0);
    append(&archive, archivetest::tarHeader(name, size, 'D'));
    append(&archive, data);
    // The rebuilt header: the type flag from before deduplication and the
    // checksum recomputed as seven octal digits and a NUL.
    Bytes header = archivetest::tarHeader(name, size, 'D');
    header[156] = '0';
    unsigned sum = 8 * ' ';
    for (int i = 0; i < 512; i++)
      if (i < 148 || i >= 156) sum += header[i];
    snprintf(reinterpret_cast<char *>(&header[148]), 8, "%07o", sum);
    append(&rebuilt, header);
    Bytes body = contents;
    body.resize((size + 511) / 512 * 512, 0);
    append(&rebuilt, body);
  }
  void end() {
    archive.resize(archive.size() + 1024, 0);
    rebuilt.resize(rebuilt.size() + 1024, 0);
  }
};

TEST_F(RedupTest, CtarArchivesAreRebuiltByteExact) {
  long backup = newBackup(1);
  Ctar t;
  t.plain("etc/a.txt", archivetest::makeData(1000, 9));
  Bytes big = blockA;
  append(&big, blockB);
  append(&big, blockC);
  t.dedup("data/big.bin", big.size(),
          std::to_string(blockA.size()) + "," + std::to_string(hA) + ";0x1388,0x" + [&] {
            char b[32];
            snprintf(b, sizeof b, "%lx", hB);
            return std::string(b);
          }() + ";" + std::to_string(blockC.size()) + "," + std::to_string(hC) + ";",
          big);
  // References covering fewer bytes than the entry: zero bytes follow.
  t.dedup("data/short.bin", 9000, "5000," + std::to_string(hB) + ";", blockB);
  t.plain("z", archivetest::makeData(600, 10));
  // A reference list spanning several 512-byte blocks.
  std::string many;
  Bytes manyContents;
  char ref[64];
  for (int i = 0; i < 80; i++) {
    snprintf(ref, sizeof ref, "700,0x%016lx;", hC);
    many += ref;
    append(&manyContents, blockC);
  }
  t.dedup("data/many.bin", manyContents.size(), many, manyContents);
  t.end();
  archivetest::writeFile(path(backup), t.archive);
  for (int64_t h : t.headers) fileRow(backup, h);

  archiveFilter *h = archive_open(path(backup).c_str(), "r", ARCH_PROP_DEDUPLICATED);
  ASSERT_NE(h, nullptr) << strerror(errno);
  Bytes all = archivetest::readAll(h, 4);
  ASSERT_EQ(all.size(), t.rebuilt.size());
  EXPECT_TRUE(all == t.rebuilt) << "first difference at "
                                << (std::mismatch(all.begin(), all.end(), t.rebuilt.begin()).first - all.begin());
  // A read starting inside a reference, and one going back within the
  // deduplicated entry (the walk restarts from its first reference).
  int64_t inB = t.headers[1] + 512 + 10000 + 1234;
  ASSERT_EQ(archive_seek(h, inB, SEEK_SET), inB);
  EXPECT_EQ(archivetest::readSome(h, 100), Bytes(blockB.begin() + 1234, blockB.begin() + 1334));
  ASSERT_EQ(archive_seek(h, -9000, SEEK_CUR), inB + 100 - 9000);
  EXPECT_EQ(archivetest::readSome(h, 50), Bytes(blockA.begin() + 1234 + 100 + 1000, blockA.begin() + 2384));
  archivetest::randomAccess(h, t.rebuilt, 7, 200);
  EXPECT_EQ(archive_close(h), 0);
}

TEST_F(RedupTest, BlockLayoutFillsTheIndexedRangesFromTheStore) {
  long image = newBackup(1024);
  Bytes want = archivetest::makeData(60000, 12);
  Bytes stored = want;
  // Deduplicated ranges hold nothing of their own in the file.
  std::copy(blockA.begin(), blockA.end(), want.begin() + 4096);
  std::fill(stored.begin() + 4096, stored.begin() + 4096 + 10000, 0);
  std::copy(blockB.begin(), blockB.end(), want.begin() + 30000);
  std::fill(stored.begin() + 30000, stored.begin() + 35000, 0);
  std::copy(blockC.begin(), blockC.end(), want.begin() + 35000);
  std::fill(stored.begin() + 35000, stored.begin() + 35700, 0);
  archivetest::writeFile(path(image), stored);
  reference(image, 4096, hA, true);
  reference(image, 30000, hB, true);
  reference(image, 35000, hC, true);
  reference(image, 50000, hC, false);  // still in the file: read from there

  archiveFilter *h = archive_open(path(image).c_str(), "r", ARCH_PROP_DEDUPLICATED);
  ASSERT_NE(h, nullptr) << strerror(errno);
  EXPECT_EQ(archivetest::readAll(h, 3), want);
  archivetest::randomAccess(h, want, 9, 150);
  EXPECT_EQ(archive_close(h), 0);
}

TEST_F(RedupTest, NamesTypesAndDamagedReferenceHeadersAreRefused) {
  long backup = newBackup(1);
  // Names: "backup_<n>" with nothing or ".gz" after the number.
  Ctar ok;
  ok.plain("f", text("x"));
  ok.end();
  archivetest::writeFile(path(backup) + ".gz", ok.archive);
  archiveFilter *h = archive_open((path(backup) + ".gz").c_str(), "r", ARCH_PROP_DEDUPLICATED);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(archivetest::readAll(h), ok.rebuilt);
  EXPECT_EQ(archive_close(h), 0);
  for (const std::string &bad : {path(backup) + ".tar", dir + "/copy_" + std::to_string(backup), dir + "/backup_x"}) {
    archivetest::writeFile(bad, ok.archive);
    errno = 0;
    EXPECT_EQ(archive_open(bad.c_str(), "r", ARCH_PROP_DEDUPLICATED), nullptr) << bad;
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(redupOpen(path(backup).c_str(), "r", 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  // A backup the catalogue does not know, and a type with no layout.
  archivetest::writeFile(dir + "/backup_999999", ok.archive);
  EXPECT_EQ(archive_open((dir + "/backup_999999").c_str(), "r", ARCH_PROP_DEDUPLICATED), nullptr);
  EXPECT_EQ(errno, EINVAL);
  long odd = newBackup(8);
  archivetest::writeFile(path(odd), ok.archive);
  EXPECT_EQ(archive_open(path(odd).c_str(), "r", ARCH_PROP_DEDUPLICATED), nullptr);
  EXPECT_EQ(errno, EINVAL);

  // A reference header that names another header offset.
  long damaged = newBackup(2);
  Ctar t;
  t.plain("first", archivetest::makeData(100, 1));
  t.dedup("second", blockC.size(), "700," + std::to_string(hC) + ";", blockC, 0x12345);
  t.end();
  archivetest::writeFile(path(damaged), t.archive);
  h = archive_open(path(damaged).c_str(), "r", ARCH_PROP_DEDUPLICATED);
  ASSERT_NE(h, nullptr);
  Bytes buf(t.rebuilt.size());
  ssize_t first = archive_read(h, buf.data(), buf.size());
  EXPECT_EQ(first, 1024);  // the entry before the damaged one
  errno = 0;
  EXPECT_EQ(archive_read(h, buf.data(), buf.size()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(archive_close(h), 0);
}

}  // namespace
