// sis_catalogue_test.cpp: the single instance store's device scan from the
// catalogue's dedup devices, and reading blocks by hash through the
// catalogue index, from the store and from a backup's data file.
#include <sys/stat.h>
#include <unistd.h>

#include "catalogue.h"
#include "dedup/hashRead.h"
#include "dedup/hashValues.h"
#include "lib/pghelper.h"
#include "sis_fixture.h"

using namespace sis_test;

namespace {

constexpr long long kUnit = 134217728LL;  // KiB per unit of device weight

struct Device {
  std::string path;
  uint32_t weight;
  uint8_t flags;
};

// The device list as it is in the info file on disk.
std::vector<Device> devicesOnDisk(const std::string &info) {
  std::vector<Device> out;
  size_t at = 72;
  SISdeviceRecord d;
  while (at + 8 <= info.size() &&
         decodeSISdevice(reinterpret_cast<const uint8_t *>(info.data()) + at, &d)) {
    out.push_back({d.path, d.weight, d.flags});
    at += SISdeviceStride(strlen(d.path));
  }
  return out;
}

const Device *findDevice(const std::vector<Device> &list, const std::string &path) {
  for (const Device &d : list)
    if (d.path == path) return &d;
  return nullptr;
}

class SIScatalogue : public SISstore {
 protected:
  void SetUp() override {
    SISstore::SetUp();
    pgCloseAll();
    forgetMetadataGeneration();
  }
  void TearDown() override {
    pgCloseAll();
    SISstore::TearDown();
  }
  void addDevice(const std::string &name, int type, long long capacity, bool dedup, bool deleted) {
    db_.exec("INSERT INTO vx.devices (dev_nr_name, device_type, capacity, dedup, is_deleted) "
             "VALUES ('" + name + "', " + std::to_string(type) + ", " + std::to_string(capacity) +
             ", " + (dedup ? "TRUE" : "FALSE") + ", " + (deleted ? "TRUE" : "FALSE") + ")");
  }
  rpd::test::ScopedTestDatabase db_;
};

}  // namespace

TEST_F(SIScatalogue, ScanTakesDedupDevicesByCapacityAndDropsVanishedOnes) {
  // A deleted device stays listed while its SIS directory exists.
  for (const char *d : {"big", "small/SIS", "tiny/SIS", "off/SIS", "backups"}) box_.mkdirs(d);
  box_.write("plain-file", "x");
  addDevice(box_.path("big"), 128, kUnit * 300, true, false);
  addDevice(box_.path("small"), 128, kUnit * 2 + 5, true, false);
  addDevice(box_.path("tiny"), 128, kUnit - 1, true, false);
  addDevice(box_.path("off") + "/", 128, kUnit * 5, true, true);
  addDevice(box_.path("missing"), 128, kUnit, true, false);
  addDevice(box_.path("plain-file"), 128, kUnit, true, false);
  addDevice(box_.path("tape"), 1, kUnit, true, false);
  addDevice(box_.path("big"), 128, kUnit, false, false);

  LogCapture log;
  {
    // The first opener of a fresh info file sets it up and scans.
    HandleGuard g{openSIS()};
    ASSERT_NE(g.h, nullptr) << log.text();
    EXPECT_EQ(getDeduplicationBlockSize(g.h), 2 * uint64_t(sysconf(_SC_PAGESIZE)));
  }
  EXPECT_TRUE(log.has("is not a directory"));
  EXPECT_TRUE(log.has("stat64(" + box_.path("missing") + "): No such file or directory"));
  std::string info = infoBytes();
  SISinfoHeader hd;
  decodeSISinfoHeader(reinterpret_cast<const uint8_t *>(info.data()), &hd);
  EXPECT_EQ(hd.fileSize, 0x800000000ULL);
  EXPECT_GT(hd.updateTime, 0u);
  std::vector<Device> list = devicesOnDisk(info);
  ASSERT_EQ(list.size(), 4u) << log.text();
  EXPECT_FALSE(log.has("Removing"));
  const Device *big = findDevice(list, sisDir("big")), *small = findDevice(list, sisDir("small"));
  const Device *tiny = findDevice(list, sisDir("tiny")), *off = findDevice(list, sisDir("off"));
  ASSERT_TRUE(big && small && tiny && off);
  EXPECT_EQ(big->weight, 256u) << "weights are capped at 256";
  EXPECT_EQ(small->weight, 2u);
  EXPECT_EQ(tiny->weight, 1u);
  EXPECT_EQ(off->weight, 5u);
  EXPECT_EQ(big->flags & sisinfo::DEV_DELETED, 0);
  EXPECT_EQ(small->flags & sisinfo::DEV_DELETED, 0);
  EXPECT_NE(tiny->flags & sisinfo::DEV_DELETED, 0) << "below 128 GiB counts as deleted";
  EXPECT_NE(off->flags & sisinfo::DEV_DELETED, 0);
  EXPECT_EQ(hd.hashCount, 256u + 2 + 1 + 5);
  uint64_t generation = hd.generation;

  // Later: the deleted device's directory is gone, small is deleted in the
  // catalogue, tiny's row is gone (its directory stays).
  ASSERT_EQ(rmdir(box_.path("off/SIS").c_str()), 0);
  db_.exec("UPDATE vx.devices SET is_deleted = TRUE WHERE dev_nr_name = '" + box_.path("small") + "'");
  db_.exec("DELETE FROM vx.devices WHERE dev_nr_name = '" + box_.path("tiny") + "'");
  {
    HandleGuard g{openSIS()};
    ASSERT_NE(g.h, nullptr) << log.text();
  }
  EXPECT_TRUE(log.has("Removing " + sisDir("off") + " from our device list"));
  info = infoBytes();
  decodeSISinfoHeader(reinterpret_cast<const uint8_t *>(info.data()), &hd);
  list = devicesOnDisk(info);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(findDevice(list, sisDir("off")), nullptr);
  ASSERT_NE(findDevice(list, sisDir("small")), nullptr);
  EXPECT_NE(findDevice(list, sisDir("small"))->flags & sisinfo::DEV_DELETED, 0);
  EXPECT_NE(findDevice(list, sisDir("tiny"))->flags & sisinfo::DEV_DELETED, 0);
  EXPECT_EQ(hd.hashCount, 256u + 2 + 1);
  EXPECT_GT(hd.generation, generation);

  // New span files go only to devices in force.
  {
    HandleGuard g{openSIS()};
    ASSERT_NE(g.h, nullptr);
    std::vector<uint8_t> data = randomBytes(1000, 1);
    uint64_t offset, compressed;
    ASSERT_EQ(SISappendBlock(g.h, data.data(), data.size(), false, &offset, &compressed), 0);
    EXPECT_EQ(offset, 0u);
    struct stat st;
    EXPECT_EQ(stat((sisDir("big") + "0000000000000000").c_str(), &st), 0);
  }
}

TEST_F(SIScatalogue, ReadHashedContentsCompletesRecordsAndReadsStoreOrBackupFile) {
  box_.mkdirs("dev");
  addDevice(box_.path("dev"), 128, kUnit * 4, true, false);
  ASSERT_EQ(SIScreateInfoFile(kBlockSize, 1 << 20), 0);
  std::vector<uint8_t> a = compressibleBytes(30000, 21);   // in the store, compressed
  std::vector<uint8_t> b = randomBytes(11 << 20, 22);       // only in backup 7's file
  std::vector<uint8_t> c = randomBytes(5000, 23);           // in the store and in the file
  std::vector<uint8_t> cStale(c.size(), 0x5A);              // what the file holds for c
  uint64_t aOffset, aCompressed, cOffset, cCompressed;
  {
    HandleGuard g{openSIS()};
    ASSERT_NE(g.h, nullptr);
    ASSERT_EQ(SISappendBlock(g.h, a.data(), a.size(), true, &aOffset, &aCompressed), 0);
    ASSERT_EQ(SISappendBlock(g.h, c.data(), c.size(), true, &cOffset, &cCompressed), 0);
  }
  ASSERT_GT(aCompressed, 0u);
  auto hashRow = [&](int id, size_t length, const std::string &sis, const std::string &compressed) {
    db_.exec("INSERT INTO vx.hash_values (hash_id, hash_type, hashed_length, hash_value, sis_offset, "
             "compressed_length) VALUES (" + std::to_string(id) + ", 'sha512', " +
             std::to_string(length) + ", decode(repeat('" + std::to_string(id % 10) +
             "a', 64), 'hex'), " + sis + ", " + compressed + ")");
  };
  hashRow(1, a.size(), std::to_string(aOffset), std::to_string(aCompressed));
  hashRow(2, b.size(), "NULL", "NULL");
  hashRow(3, c.size(), std::to_string(cOffset), std::to_string(cCompressed));
  db_.exec("INSERT INTO vx.backups (backup_no) VALUES (7)");
  db_.exec("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id) VALUES "
           "(7, 4096, 2), (7, " + std::to_string(4096 + b.size()) + ", 3)");
  std::string file(4096, 'h');
  file.append(b.begin(), b.end());
  file.append(cStale.begin(), cStale.end());
  box_.write("dev/backup_7", file);

  auto record = [](uint64_t id) {
    HashValue r{};
    r.flags = hashID_in;
    r.hashID = id;
    return r;
  };
  hashedContentsPrivate *priv = nullptr;
  std::vector<uint8_t> out(a.size());
  HashValue ra = record(1);
  ASSERT_EQ(readHashedContents(&priv, &ra, out.data(), int64_t(out.size()), 0, 1), ssize_t(a.size()));
  EXPECT_EQ(out, a);
  EXPECT_EQ(ra.compressedLength, aCompressed) << "the record was completed from the index";

  // A block held by the store is read from there even though a backup
  // still holds it.
  HashValue rc = record(3);
  out.assign(c.size(), 0);
  ASSERT_EQ(readHashedContents(&priv, &rc, out.data(), int64_t(c.size()), 0, 1), ssize_t(c.size()));
  EXPECT_EQ(out, c);

  // A block only in a backup file, read in pieces through the read-ahead
  // buffer, which holds at most 10 MiB of it.
  int savedLevel = log_level;
  log_level = 3;
  LogCapture log;
  HashValue rb = record(2);
  out.assign(4000, 0);
  ASSERT_EQ(readHashedContents(&priv, &rb, out.data(), 1000, 0, 1), 1000) << log.text();
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 1000, b.begin()));
  EXPECT_TRUE(log.has("Data buffered (10485760 bytes), transfer 1000 bytes"));
  ASSERT_EQ(readHashedContents(&priv, &rb, out.data(), 3000, 5000, 0), 3000);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 3000, b.begin() + 5000));
  EXPECT_TRUE(log.has("Data found in buffer, transfer 3000 bytes"));
  int64_t edge = 10485760 - 500;
  ASSERT_EQ(readHashedContents(&priv, &rb, out.data(), 2000, edge, 0), 2000);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 2000, b.begin() + edge));
  EXPECT_TRUE(log.has("Partial data found in buffer, transfer 500 bytes."));
  // The last bytes of the block, past the buffer.
  int64_t tail = int64_t(b.size()) - 100;
  ASSERT_EQ(readHashedContents(&priv, &rb, out.data(), 4000, tail, 0), 100);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 100, b.begin() + tail));
  log_level = savedLevel;

  // Unknown hashes give nothing to read.
  HashValue unknown = record(99);
  EXPECT_EQ(readHashedContents(&priv, &unknown, out.data(), 10, 0, 1), -1);
  EXPECT_TRUE(log.has("ERROR: Can't get hash value."));
  EXPECT_EQ(closeHashedContents(&priv), 0);

  // With its backup file gone and no copy in the store, the block cannot
  // be read.
  ASSERT_EQ(unlink(box_.path("dev/backup_7").c_str()), 0);
  HashValue again = record(2);
  EXPECT_EQ(readHashedContents(&priv, &again, out.data(), 10, 0, 1), -1);
  EXPECT_TRUE(log.has("Couldn't find a backup to open with hash ID 0x2"));
  closeHashedContents(&priv);
}
