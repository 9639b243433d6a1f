// standins_test.cpp: the appliance stand-ins against the real catalogue:
// mkbackup's rows and archives are what rpd's queries and readers expect;
// fileDedup's index yields the blocks in file order with the archive's
// bytes (from the archive or, once moved, from the single instance store);
// recipe's HaCTAR, decoded with vaultd's decoder and the blocks, rebuilds
// the archive byte for byte; locking answers 3.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "appliance/standin/standin.h"
#include "dedup/hashRead.h"
#include "dedup/hashValues.h"
#include "lib/handles.h"
#include "store/archiverw.h"
#include "store/compression.h"
#include "standins_support.h"
#include "vaultd/hactar.h"

using namespace standins_test;

namespace {

std::string str(uint64_t n) { return std::to_string(n); }

// Every entry of the backup's hash list, in the order the list gives them.
std::vector<HashListEntry> hashList(uint64_t backupNo, int distinct = 0) {
  std::vector<HashListEntry> all;
  hashListHandle *h = nullptr;
  EXPECT_EQ(createHashList(&h, backupNo, nullptr, 0, distinct), 0);
  std::vector<HashListEntry> batch(7);  // small batches cross fetch boundaries
  for (;;) {
    long n = getHashesFromList(&h, batch.data(), long(batch.size()));
    EXPECT_GE(n, 0);
    if (n <= 0) break;
    all.insert(all.end(), batch.begin(), batch.begin() + n);
  }
  destroyHashList(&h);
  return all;
}

// A block's data through the block reader, by the record's hash.
std::string readBlock(hashedContentsPrivate **priv, const HashValue &value) {
  HashValue record = value;
  std::string data(record.hashedLength, '\0');
  uint64_t got = 0;
  while (got < record.hashedLength) {
    ssize_t n = readHashedContents(priv, &record, data.data() + got, int64_t(record.hashedLength - got),
                                   int64_t(got), 1);
    if (n <= 0) return "<read failed at " + std::to_string(got) + ">";
    got += uint64_t(n);
  }
  return data;
}

// The decoded stream through rpd's archive filter.
std::string throughArchiveFilter(const std::string &path, uint64_t properties) {
  archiveFilter *f = archive_open(path.c_str(), "r", properties);
  if (!f) return "<open failed>";
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = archive_read(f, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  archive_close(f);
  return n < 0 ? "<read failed>" : out;
}

// The decoded stream through the stand-ins' own reader.
std::string throughStandinReader(const std::string &path, uint64_t properties) {
  standin::ArchiveReader r;
  if (r.open(path, properties) != 0) return "<open failed>";
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = r.read(buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  return n < 0 ? "<read failed>" : out;
}


// Offsets of the tar headers in a tar stream, with their names.
std::vector<std::pair<uint64_t, std::string>> tarHeaders(const std::string &tar) {
  std::vector<std::pair<uint64_t, std::string>> headers;
  uint64_t at = 0;
  while (at + 512 <= tar.size()) {
    const uint8_t *h = reinterpret_cast<const uint8_t *>(tar.data() + at);
    if (std::all_of(h, h + 512, [](uint8_t b) { return b == 0; })) break;
    headers.emplace_back(at, std::string(reinterpret_cast<const char *>(h), strnlen(tar.data() + at, 100)));
    uint64_t size = standin::tarHeaderSize(h);
    at += 512 + size + standin::tarPadding(size);
  }
  return headers;
}

}  // namespace

// ---- mkbackup ------------------------------------------------------------------------

TEST(mkbackup, ChainRowsAndArchivesAreWhatRpdReads) {
  Appliance a;
  std::vector<uint64_t> chain = a.mkbackup({"--dir", a.dev, "--device", "D2D-7", "--client", "alpha", "--app", "sql",
                                          "--chain", "full,diff,incr", "--size", "300k", "--start-time", "1000000",
                                          "--interval", "600", "--snapshot"});
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_LT(chain[0], chain[1]);
  EXPECT_LT(chain[1], chain[2]);

  // One client, one SQL instance (and the client's file-level instance) for
  // the whole chain, with the types of a full/diff/incr SQL chain.
  auto rows = a.db.rows("SELECT b.type, b.start_time, b.status, b.sync_status, b.tape_no, a.app_id, n.node_name "
                        "FROM vx.backups b JOIN vx.application_instances a USING (instance_id) JOIN vx.nodes n ON "
                        "(n.node_no = b.node_no) ORDER BY b.backup_no");
  ASSERT_EQ(rows.size(), 3u);
  const char *types[] = {"9", "10", "11"};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(rows[i][0], types[i]);
    EXPECT_EQ(rows[i][1], std::to_string(1000000 + 600 * i));
    EXPECT_EQ(rows[i][2], "1088");  // 0x440: finished successfully
    EXPECT_EQ(rows[i][3], "1");
    EXPECT_EQ(rows[i][4], "0");
    EXPECT_EQ(rows[i][5], "3");
    EXPECT_EQ(rows[i][6], "alpha");
  }
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.application_instances WHERE app_id = 1 AND key1 IS NULL"), 1);
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.successful_backups"), 3);
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.backup_snapshots"), 3);

  // The device and HaCTAR lookups rpd runs find this device and directory.
  EXPECT_EQ(a.db.value("SELECT dev_rw_name FROM vx.devices WHERE dev_name=(SELECT tape_drive_name FROM vx.filesets "
                       "WHERE fileset_no=(SELECT fileset_no FROM vx.backups WHERE backup_no=" + str(chain[2]) + "))"),
            a.dev);
  EXPECT_EQ(a.db.value("SELECT dedup::int || ':' || device_type || ':' || (capacity >= 134217728)::int FROM "
                       "vx.devices WHERE dev_name = 'D2D-7'"),
            "1:128:1");
  // The chain is one restore group.
  auto group = a.db.rows("SELECT t_backup_no FROM vx.vxGetRestoreGroupOptimized(" + str(chain[2]) +
                         ", ARRAY[9,10,11], '')");
  ASSERT_EQ(group.size(), 3u);

  for (uint64_t b : chain) {
    std::string archive = readFile(a.archive(b));
    ASSERT_FALSE(archive.empty()) << "backup " << b;
    EXPECT_EQ(a.archive(b), a.dev + "/backup_" + str(b));
    // total_megs is the archive's size in MiB, rounded up.
    EXPECT_EQ(a.db.number("SELECT total_megs FROM vx.backups WHERE backup_no = " + str(b)),
              (long long)((archive.size() + 1048575) / 1048576));
    // backup_files names every tar entry at its header offset / 512.
    auto headers = tarHeaders(archive);
    auto files = a.db.rows("SELECT blk_offset, fname FROM vx.backup_files WHERE backup_no = " + str(b) +
                           " ORDER BY blk_offset");
    ASSERT_EQ(files.size(), headers.size());
    for (size_t i = 0; i < files.size(); i++) {
      EXPECT_EQ(files[i][0], std::to_string(headers[i].first / 512));
      EXPECT_EQ(files[i][1], headers[i].second);
    }
    // The archive is about the asked size and ends with the tar end marker.
    EXPECT_GE(archive.size(), 300u * 1024);
    EXPECT_LT(archive.size(), 300u * 1024 + 256 * 1024);
    EXPECT_EQ(archive.substr(archive.size() - 1024), std::string(1024, '\0'));
  }

  // Later backups share files with the full backup: same names, same bytes.
  std::string full = readFile(a.archive(chain[0]));
  std::string incr = readFile(a.archive(chain[2]));
  std::set<std::string> fullNames;
  for (auto &h : tarHeaders(full)) fullNames.insert(h.second);
  int shared = 0;
  for (auto &h : tarHeaders(incr)) {
    if (!fullNames.count(h.second) || h.second == "data/") continue;
    shared++;
    uint64_t size = standin::tarHeaderSize(reinterpret_cast<const uint8_t *>(incr.data() + h.first));
    size_t inFull = full.find(incr.substr(h.first, 512));
    ASSERT_NE(inFull, std::string::npos);
    EXPECT_EQ(full.substr(inFull, 512 + size), incr.substr(h.first, 512 + size));
  }
  EXPECT_GT(shared, 0);
}

TEST(mkbackup, ApplicationRecordsImagesAndFinish) {
  Appliance a;
  auto bm = a.mkbackup({"--dir", a.dev, "--app", "baremetal", "--size", "100000"});
  auto sql = a.mkbackup({"--dir", a.dev, "--app", "legacysql", "--chain", "full,incr", "--size", "64k"});
  auto vm = a.mkbackup({"--dir", a.dev, "--app", "vmware", "--size", "64k", "--in-progress", "--sync", "0"});
  auto nas = a.mkbackup({"--dir", a.dev, "--app", "ndmp", "--client", "filer", "--chain", "full,incr", "--size", "64k"});
  ASSERT_EQ(bm.size(), 1u);
  ASSERT_EQ(sql.size(), 2u);
  ASSERT_EQ(vm.size(), 1u);
  ASSERT_EQ(nas.size(), 2u);

  // Image content: 512-byte multiples, no tar structure, type 1024.
  EXPECT_EQ(readFile(a.archive(bm[0])).size(), 100352u);
  EXPECT_EQ(a.db.value("SELECT type FROM vx.backups WHERE backup_no = " + str(bm[0])), "1024");
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.backup_files WHERE backup_no = " + str(bm[0])), 0);
  // Older SQL backups: type 4 with 0x80 and their sql_backups rows.
  EXPECT_EQ(a.db.value("SELECT type || ':' || properties FROM vx.backups WHERE backup_no = " + str(sql[1])), "4:128");
  EXPECT_EQ(a.db.value("SELECT sql_type FROM vx.sql_backups WHERE sql_ref = " + str(sql[1])), "3");
  EXPECT_EQ(readFile(a.archive(sql[0])).size() % 512, 0u);
  // VMware: snapshot records; in progress until finished.
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.vmware_snapshots WHERE backup_no = " + str(vm[0])), 1);
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.vmware_hardware_hashes WHERE backup_no = " + str(vm[0])), 1);
  EXPECT_EQ(a.db.value("SELECT status || ':' || sync_status FROM vx.backups WHERE backup_no = " + str(vm[0])), "512:0");
  EXPECT_EQ(a.program("mkbackup", {"finish", str(vm[0])}).status, 0);
  EXPECT_EQ(a.db.value("SELECT status FROM vx.backups WHERE backup_no = " + str(vm[0])), "1088");
  EXPECT_EQ(a.program("mkbackup", {"finish", str(vm[0]), "--status", "failed"}).status, 0);
  EXPECT_EQ(a.db.value("SELECT status FROM vx.backups WHERE backup_no = " + str(vm[0])), "4160");
  // NDMP: types 4098/4100 and the filer's NAS record, once.
  EXPECT_EQ(a.db.value("SELECT string_agg(type::text, ',' ORDER BY backup_no) FROM vx.backups WHERE node_no = "
                       "(SELECT node_no FROM vx.nodes WHERE node_name = 'filer')"),
            "4098,4100");
  EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.ndmp_nas"), 1);
  // Applications without differentials refuse one; bad arguments are usage errors.
  EXPECT_EQ(a.program("mkbackup", {"--dir", a.dev, "--app", "oracle", "--chain", "full,diff"}).status, 1);
  EXPECT_EQ(a.program("mkbackup", {"--dir", a.dev, "--compress", "gzip", "--encrypt"}).status, 2);
  EXPECT_EQ(a.program("mkbackup", {"--app", "nosuchapp"}).status, 2);
  EXPECT_EQ(a.program("mkbackup", {"finish", "999999"}).status, 1);
}

TEST(mkbackup, CompressedAndEncryptedArchivesDecodeToTheirPlainTwin) {
  Appliance a;
  CryptoDaemon daemon(a.box.path("cd.key"));
  ASSERT_TRUE(daemon.ready());
  for (const char *content : {"tar", "image"}) {
    SCOPED_TRACE(content);
    auto plain = a.mkbackup({"--dir", a.dev, "--content", content, "--size", "700k", "--seed", "5"});
    ASSERT_EQ(plain.size(), 1u);
    std::string expect = readFile(a.archive(plain[0]));
    struct Variant {
      std::vector<std::string> args;
      uint64_t property;
      uint8_t firstByte;
    } variants[] = {{{"--compress", "gzip"}, 0x2, 0x1F}, {{"--compress", "lz4"}, 0x4, 0x04}, {{"--encrypt"}, 0x100, 0}};
    for (auto &v : variants) {
      std::vector<std::string> args = {"--dir", a.dev, "--content", content, "--size", "700k", "--share", "1",
                                       "--share-with", str(plain[0])};
      args.insert(args.end(), v.args.begin(), v.args.end());
      auto twin = a.mkbackup(args);
      ASSERT_EQ(twin.size(), 1u);
      std::string path = a.archive(twin[0]);
      SCOPED_TRACE(path);
      EXPECT_EQ(a.db.number("SELECT properties FROM vx.backups WHERE backup_no = " + str(twin[0])), (long long)v.property);
      std::string raw = readFile(path);
      EXPECT_NE(raw, expect);
      if (v.property == 0x100) {
        EXPECT_EQ(raw[156], 'E');  // the token's header leads the file
      } else {
        EXPECT_EQ(path.substr(path.size() - 3), ".gz");
        EXPECT_EQ(uint8_t(raw[0]), v.firstByte);
        // A compression index ends the file.
        UniqueFd fd(open(path.c_str(), O_RDONLY));
        char why[128] = "";
        compressionIndex *index = LoadCompressionIndex(fd.get(), why, sizeof why);
        EXPECT_NE(index, nullptr) << why;
        if (index) FreeCompressionIndex(index);
      }
      EXPECT_TRUE(throughStandinReader(path, v.property) == expect);
      EXPECT_TRUE(throughArchiveFilter(path, v.property) == expect);
    }
  }
}

// ---- fileDedup ------------------------------------------------------------------------

class FileDedup : public ::testing::TestWithParam<int> {};

TEST_P(FileDedup, HashListGivesTheArchiveBlocksInFileOrder) {
  Appliance a(GetParam());
  auto chain = a.mkbackup({"--dir", a.dev, "--chain", "full,incr", "--size", "400k", "--file-size", "24k",
                         "--zero", "0.2"});
  auto image = a.mkbackup({"--dir", a.dev, "--app", "baremetal", "--size", "200000", "--zero", "0.3"});
  ASSERT_EQ(chain.size(), 2u);
  ASSERT_EQ(image.size(), 1u);
  chain.push_back(image[0]);
  for (uint64_t b : chain) EXPECT_EQ(a.program("fileDedup", {"-H" + str(b)}).status, 0) << "backup " << b;

  hashedContentsPrivate *priv = nullptr;
  std::set<std::string> digests[3];
  for (int k = 0; k < 3; k++) {
    uint64_t b = chain[size_t(k)];
    SCOPED_TRACE("backup " + str(b));
    EXPECT_EQ(a.db.number("SELECT properties & 1536 FROM vx.backups WHERE backup_no = " + str(b)), 1536);
    std::string archive = readFile(a.archive(b));
    auto list = hashList(b);
    ASSERT_FALSE(list.empty());
    uint64_t end = 0, covered = 0;
    for (const HashListEntry &e : list) {
      ASSERT_GE(e.location.fileOffset, end) << "blocks overlap or are out of order";
      ASSERT_LE(e.location.fileOffset + e.value.hashedLength, archive.size());
      ASSERT_GT(e.value.hashedLength, 0u);
      if (k < 2) {
        EXPECT_LE(e.value.hashedLength, 16384u);  // the configured sub-file limit
        EXPECT_GE(e.location.fileOffset, 512u);   // never a tar header
      } else {
        EXPECT_EQ(e.location.fileOffset % 32768, 0u);  // fixed image blocks
      }
      end = e.location.fileOffset + e.value.hashedLength;
      covered += e.value.hashedLength;
      std::string expect = archive.substr(e.location.fileOffset, e.value.hashedLength);
      uint8_t digest[64];
      standin::sha512(expect.data(), expect.size(), digest);
      EXPECT_EQ(memcmp(digest, e.value.hashValue, 64), 0) << "at " << e.location.fileOffset;
      EXPECT_TRUE(readBlock(&priv, e.value) == expect) << "at " << e.location.fileOffset;
      digests[k].insert(std::string(reinterpret_cast<const char *>(e.value.hashValue), 64));
    }
    if (k == 2) {
      EXPECT_EQ(covered, archive.size());  // an image is hashed whole
    } else {
      EXPECT_GT(covered, archive.size() * 3 / 4);  // file contents only
    }
    // All-zero files or units repeat: the distinct list is shorter.
    EXPECT_EQ(countHashesInBackup(b, 0), long(list.size()));
    EXPECT_EQ(countHashesInBackup(b, 1), long(digests[k].size()));
    EXPECT_LT(digests[k].size(), list.size());
    EXPECT_EQ(hashList(b, 1).size(), digests[k].size());
  }
  closeHashedContents(&priv);
  // The incremental overlaps its full backup: shared blocks are one hash.
  std::vector<std::string> common;
  std::set_intersection(digests[0].begin(), digests[0].end(), digests[1].begin(), digests[1].end(),
                        std::back_inserter(common));
  EXPECT_GT(common.size(), 2u);
  std::vector<uint64_t> excl = {chain[0]};
  hashListHandle *h = nullptr;
  ASSERT_EQ(createHashList(&h, chain[1], excl.data(), 1, 1), 0);
  std::vector<HashListEntry> batch(1000);
  long n = getHashesFromList(&h, batch.data(), 1000);
  destroyHashList(&h);
  EXPECT_EQ(n, long(digests[1].size() - common.size()));

  // Hashed already: nothing changes; forced: the same index again.
  long long rows = GetParam() == 0 ? a.db.number("SELECT count(*) FROM vx.backups_hash_values") : 0;
  long long values = GetParam() == 0 ? a.db.number("SELECT count(*) FROM vx.hash_values") : 0;
  EXPECT_EQ(a.program("fileDedup", {"-H" + str(chain[1])}).status, 0);
  EXPECT_EQ(a.program("fileDedup", {"-f", "-H", str(chain[1])}).status, 0);
  EXPECT_EQ(hashList(chain[1]).size(), size_t(countHashesInBackup(chain[1], 0)));
  EXPECT_EQ(countHashesInBackup(chain[1], 1), long(digests[1].size()));
  if (GetParam() == 0) {
    EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.backups_hash_values"), rows);
    EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.hash_values"), values);
  }
}

TEST_P(FileDedup, MovedBlocksAreReadFromTheSingleInstanceStore) {
  Appliance a(GetParam());
  a.makeSmallSIS();
  auto chain = a.mkbackup({"--dir", a.dev, "--chain", "full,incr", "--size", "200k", "--file-size", "20k"});
  ASSERT_EQ(chain.size(), 2u);
  std::vector<std::string> archives;
  for (uint64_t b : chain) {
    EXPECT_EQ(a.program("fileDedup", {"-s", "-H" + str(b)}).status, 0);
    archives.push_back(readFile(a.archive(b)));
  }
  if (GetParam() == 0) {
    EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.hash_values WHERE sis_offset IS NULL"), 0);
    EXPECT_EQ(a.db.number("SELECT count(*) FROM vx.backups_hash_values WHERE deduplicated IS NULL"), 0);
  }
  // With the archives gone every block still reads, from the store.
  for (uint64_t b : chain) ASSERT_EQ(unlink(a.archive(b).c_str()), 0);
  hashedContentsPrivate *priv = nullptr;
  std::set<uint64_t> offsets;
  for (size_t k = 0; k < chain.size(); k++) {
    for (const HashListEntry &e : hashList(chain[k])) {
      EXPECT_TRUE(e.value.flags & SISoffset_out);
      offsets.insert(e.value.SISoffset);
      EXPECT_TRUE(readBlock(&priv, e.value) == archives[k].substr(e.location.fileOffset, e.value.hashedLength))
          << "backup " << chain[k] << " at " << e.location.fileOffset;
    }
  }
  closeHashedContents(&priv);
  // Each distinct block is stored once.
  std::set<std::string> distinct;
  for (uint64_t b : chain)
    for (const HashListEntry &e : hashList(b)) distinct.insert(std::string((const char *)e.value.hashValue, 64));
  EXPECT_EQ(offsets.size(), distinct.size());
}

TEST_P(FileDedup, LockedBackupsAnswerThree) {
  Appliance a(GetParam());
  auto b = a.mkbackup({"--dir", a.dev, "--size", "64k", "--locked"});
  ASSERT_EQ(b.size(), 1u);
  std::string arg = "-H" + str(b[0]);
  EXPECT_EQ(a.program("fileDedup", {arg}).status, 3);
  EXPECT_EQ(a.program("mkbackup", {"unlock", str(b[0])}).status, 0);
  {
    // A writer holding the archive exclusively.
    UniqueFd fd(open(a.archive(b[0]).c_str(), O_RDONLY));
    ASSERT_EQ(flock(fd.get(), LOCK_EX), 0);
    EXPECT_EQ(a.program("fileDedup", {arg}).status, 3);
  }
  EXPECT_EQ(a.db.number("SELECT properties & 1536 FROM vx.backups WHERE backup_no = " + str(b[0])), 0);
  EXPECT_EQ(a.program("mkbackup", {"lock", str(b[0])}).status, 0);
  EXPECT_EQ(a.program("fileDedup", {arg}).status, 3);
  EXPECT_EQ(a.program("mkbackup", {"finish", str(b[0])}).status, 0);  // finishing unlocks
  EXPECT_EQ(a.program("fileDedup", {arg}).status, 0);
  EXPECT_EQ(a.db.number("SELECT properties & 1536 FROM vx.backups WHERE backup_no = " + str(b[0])), 1536);
  // Failures: unknown backup, a backup without archive, bad usage.
  EXPECT_EQ(a.program("fileDedup", {"-H999999"}).status, 1);
  ASSERT_EQ(unlink(a.archive(b[0]).c_str()), 0);
  EXPECT_EQ(a.program("fileDedup", {"-f", arg}).status, 1);
  EXPECT_EQ(a.program("fileDedup", {}).status, 2);
}

INSTANTIATE_TEST_SUITE_P(Generations, FileDedup, ::testing::Values(0, 1),
                         [](const auto &info) { return "generation" + std::to_string(info.param); });

// ---- recipe -----------------------------------------------------------------------------

class Recipe : public ::testing::TestWithParam<int> {};

TEST_P(Recipe, HactarAndBlocksRebuildTheArchiveExactly) {
  Appliance a(GetParam());
  CryptoDaemon daemon(a.box.path("cd.key"));
  ASSERT_TRUE(daemon.ready());
  // Blocks of plain archives are read back from the archives, those of
  // compressed and encrypted ones from the single instance store (they are
  // moved there), so the rebuild checks the HaCTAR against the decoded
  // stream the archive filter serves.
  struct Case {
    std::vector<std::string> args;
    bool move;
  } cases[] = {
      {{"--chain", "full,incr", "--size", "300k"}, false},
      {{"--app", "baremetal", "--size", "150000"}, false},
      {{"--chain", "full,incr", "--size", "150000"}, true},
      {{"--compress", "gzip", "--size", "300k"}, true},
      {{"--compress", "lz4", "--app", "baremetal", "--size", "150000"}, true},
      {{"--encrypt", "--size", "200k"}, true},
  };
  a.makeSmallSIS();
  for (const Case &c : cases) {
    std::vector<std::string> args = {"--dir", a.dev, "--file-size", "20k", "--zero", "0.2"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    for (uint64_t b : a.mkbackup(args)) {
      SCOPED_TRACE("backup " + str(b) + " " + c.args[0]);
      uint64_t props = uint64_t(a.db.number("SELECT properties FROM vx.backups WHERE backup_no = " + str(b)));
      std::string expect = throughArchiveFilter(a.archive(b), props);
      ASSERT_EQ(a.program("fileDedup", {c.move ? "-s" : "-S", "-H" + str(b)}).status, 0);
      ASSERT_EQ(a.program("recipe", {"-b", str(b)}).status, 0);
      std::string path = a.dev + "/hactar_" + str(b);
      size_t blocks = 0;
      std::string error;
      std::string rebuilt = rebuildFromHactar(path, &blocks, &error, [](hashedContentsPrivate **p, const HashValue &v) { return readBlock(p, v); });
      EXPECT_EQ(error, "");
      EXPECT_EQ(blocks, hashList(b).size());
      EXPECT_GT(blocks, 0u);
      EXPECT_TRUE(rebuilt == expect) << rebuilt.size() << " bytes rebuilt, " << expect.size() << " expected";
      // Deduplicated ranges are not in the HaCTAR.
      EXPECT_LT(readFile(path).size(), expect.size() / 4);
    }
  }
  EXPECT_EQ(a.program("recipe", {"-b", "999999"}).status, 1);
  EXPECT_EQ(a.program("recipe", {}).status, 2);
}

TEST_P(Recipe, RefusesAnIndexThatDisagreesWithTheArchive) {
  Appliance a(GetParam());
  auto b = a.mkbackup({"--dir", a.dev, "--size", "100k"});
  ASSERT_EQ(b.size(), 1u);
  ASSERT_EQ(a.program("fileDedup", {"-H" + str(b[0])}).status, 0);
  // Change one byte inside the second block's range.
  auto list = hashList(b[0]);
  ASSERT_GE(list.size(), 2u);
  std::string path = a.archive(b[0]);
  UniqueFd fd(open(path.c_str(), O_WRONLY));
  char x = 'X';
  ASSERT_EQ(pwrite(fd.get(), &x, 1, off_t(list[1].location.fileOffset + 3)), 1);
  EXPECT_EQ(a.program("recipe", {"-b", str(b[0])}).status, 1);
  EXPECT_NE(access((a.dev + "/hactar_" + str(b[0])).c_str(), F_OK), 0);
  EXPECT_NE(access((a.dev + "/hactar_" + str(b[0]) + ".new").c_str(), F_OK), 0);

  // Trusting the index, the changed byte goes unseen, but an archive that
  // ends inside its last range is still refused.
  std::string ini = a.box.path("usr/vx/vxinit/master.ini");
  a.box.write("usr/vx/vxinit/master.ini", readFile(ini) + "[recipe]\nVerifyBlocks=false\n");
  EXPECT_EQ(a.program("recipe", {"-b", str(b[0])}).status, 0);
  EXPECT_EQ(access((a.dev + "/hactar_" + str(b[0])).c_str(), F_OK), 0);
  const HashListEntry &last = list.back();
  ASSERT_EQ(truncate(path.c_str(), off_t(last.location.fileOffset + last.value.hashedLength - 1)), 0);
  EXPECT_EQ(a.program("recipe", {"-b", str(b[0])}).status, 1);
}

INSTANTIATE_TEST_SUITE_P(Generations, Recipe, ::testing::Values(0, 1),
                         [](const auto &info) { return "generation" + std::to_string(info.param); });

// ---- platformSupportsDedup -------------------------------------------------------------

TEST(platformSupportsDedup, ExitsWithTheConfiguredAnswer) {
  rpd::test::Sandbox box("rpd-psd");
  auto answer = [] { return rpd::test::run({rpd::test::program("appliance/platformSupportsDedup")}).status; };
  EXPECT_EQ(answer(), 0);
  box.write("var/opt/kestrelon/platformSupportsDedup", "2\n");
  EXPECT_EQ(answer(), 2);
  box.setEnv("PLATFORM_SUPPORTS_DEDUP", "4");
  EXPECT_EQ(answer(), 4);
  box.setEnv("PLATFORM_SUPPORTS_DEDUP", "two");
  EXPECT_EQ(answer(), 0);
}
