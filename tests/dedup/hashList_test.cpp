// Tests of the hash lists of both generations: file-offset order across
// fetches, distinct lists, exclusion lists, counts and value lookups.
// Generation 1 runs on a sandboxed metadata store, generation 0 on a
// private copy of the real catalogue.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalogue.h"
#include "dedup/hashValues.h"
#include "storeFixture.h"

using namespace dedup_test;

namespace {

struct Listed {
  std::vector<uint64_t> positions;
  std::vector<uint64_t> hashIDs;
  std::vector<std::string> values;  // first 8 digest bytes, to compare hashes
  int fetches = 0;
  bool flagsOk = true;
};

// Reads a whole list in batches of `batch`.
Listed readList(uint64_t backup, std::vector<uint64_t> exclusions, int distinct, long batch = 2) {
  Listed out;
  hashListHandle *list = nullptr;
  EXPECT_EQ(0, createHashList(&list, backup, exclusions.data(), (int)exclusions.size(), distinct));
  if (!list) return out;
  std::vector<HashListEntry> recs(batch);
  long n;
  while ((n = getHashesFromList(&list, recs.data(), batch)) > 0) {
    out.fetches++;
    EXPECT_LE(n, batch);
    for (long i = 0; i < n; i++) {
      const HashListEntry &e = recs[i];
      out.positions.push_back(e.location.fileOffset);
      out.hashIDs.push_back(e.value.hashID);
      out.values.push_back(std::string(reinterpret_cast<const char *>(e.value.hashValue), 8));
      // Delivered records carry out bits only, and their hash.
      if ((e.value.flags & HASH_IN_BITS) || !(e.value.flags & hashID_out) || !(e.value.flags & hashValue_out) ||
          memcmp(e.value.hashType, "sha512", 7) != 0 || e.value.hashedLength != 4096)
        out.flagsOk = false;
    }
  }
  EXPECT_EQ(0, n);
  destroyHashList(&list);
  EXPECT_EQ(nullptr, list);
  return out;
}

std::string key8(uint64_t seed) {
  HashListEntry r = makeHash(seed, 0);
  return std::string(reinterpret_cast<const char *>(r.value.hashValue), 8);
}

// The same backups in both generations: backup 10 holds hashes A(1)@0,
// B(2)@4096, A@8192, C(3)@12288, D(4)@16384 and E(5)@2048 (added last, out of
// order); backup 20 holds D@0; backup 30 holds nothing.
struct Occurrence {
  uint64_t backup, seed, position;
};
const Occurrence kLayout[] = {{10, 1, 0},     {10, 2, 4096},  {10, 1, 8192}, {10, 3, 12288},
                              {10, 4, 16384}, {10, 5, 2048},  {20, 4, 0}};

void expectLists(const char *generation) {
  SCOPED_TRACE(generation);
  Listed all = readList(10, {}, 0);
  EXPECT_EQ((std::vector<uint64_t>{0, 2048, 4096, 8192, 12288, 16384}), all.positions);
  EXPECT_TRUE(all.flagsOk);
  EXPECT_EQ(3, all.fetches);
  EXPECT_EQ(key8(1), all.values[0]);
  EXPECT_EQ(key8(1), all.values[3]);
  EXPECT_EQ(all.hashIDs[0], all.hashIDs[3]);

  Listed distinct = readList(10, {}, 1);
  std::vector<std::string> want = {key8(1), key8(5), key8(2), key8(3), key8(4)};
  std::vector<std::string> got = distinct.values;
  std::vector<uint64_t> wantPos = {0, 2048, 4096, 12288, 16384};
  if (std::string(generation) == "catalogue") {
    // The catalogue orders a distinct list by hash ID; compare as sets,
    // each hash at its first occurrence.
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    std::vector<uint64_t> pos = distinct.positions;
    std::sort(pos.begin(), pos.end());
    EXPECT_EQ(wantPos, pos);
  } else {
    EXPECT_EQ(wantPos, distinct.positions);
  }
  EXPECT_EQ(want, got);

  // The store's exclusion list delivers A once; the catalogue's lists its
  // repeat at 8192 too.
  Listed excluded = readList(10, {99, 20}, 0);
  if (std::string(generation) == "store")
    EXPECT_EQ((std::vector<uint64_t>{0, 2048, 4096, 12288}), excluded.positions);
  else
    EXPECT_EQ((std::vector<uint64_t>{0, 2048, 4096, 8192, 12288}), excluded.positions);
  Listed both = readList(10, {20}, 1, 25);
  EXPECT_EQ(4u, both.positions.size());
  for (const std::string &v : both.values) EXPECT_NE(key8(4), v);

  Listed empty = readList(30, {}, 0);
  EXPECT_TRUE(empty.positions.empty());
  EXPECT_EQ(0, empty.fetches);

  EXPECT_EQ(5, countHashesInBackup(10, 1));
  EXPECT_EQ(6, countHashesInBackup(10, 0));
  EXPECT_EQ(1, countHashesInBackup(20, 0));
  EXPECT_EQ(-1, countHashesInBackup(0, 0));

  // Value lookups by hash value and by hash ID.
  hashValuesPrivate *priv = nullptr;
  HashValue recs[3] = {makeHash(3, 0).value, {}, makeHash(777, 0).value};
  recs[1].flags = hashID_in;
  recs[1].hashID = all.hashIDs[1];  // E
  ASSERT_EQ(0, getHashValues(&priv, recs, 3));
  EXPECT_TRUE(recs[0].flags & hashID_out);
  EXPECT_EQ(all.hashIDs[4], recs[0].hashID);  // C at 12288
  EXPECT_TRUE(recs[1].flags & hashValue_out);
  EXPECT_EQ(0, memcmp(recs[1].hashValue, makeHash(5, 0).value.hashValue, 64));
  EXPECT_EQ(4096u, recs[1].hashedLength);
  EXPECT_FALSE(recs[2].flags & (hashID_out | hashValue_out)) << "unknown hash stays unfilled";
  freeHashValuesPrivate(priv);
}

}  // namespace

TEST(hashList, StoreGenerationListsInFileOffsetOrder) {
  StoreSandbox sb;
  sb.write("var/opt/kestrelon/platform_capabilities", "dedupNT\n");
  forgetMetadataGeneration();
  ASSERT_EQ(1, getMetadataGeneration());
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  for (const Occurrence &o : kLayout) {
    HashListEntry r = makeHash(o.seed, o.position);
    ASSERT_EQ(0, addHashToBackup(&h, o.backup, &r));
  }
  freeMetadataPrivate(&h, 0);
  expectLists("store");
  forgetMetadataGeneration();
}

TEST(hashList, CatalogueGenerationListsInFileOffsetOrder) {
  StoreSandbox sb;  // no capability file: generation 0
  forgetMetadataGeneration();
  ASSERT_EQ(0, getMetadataGeneration());
  rpd::test::ScopedTestDatabase db;
  uint64_t ids[6] = {};
  for (uint64_t seed = 1; seed <= 5; seed++) {
    HashListEntry r = makeHash(seed, 0);
    std::string hex;
    char b[3];
    for (int i = 0; i < 64; i++) {
      snprintf(b, sizeof b, "%02x", r.value.hashValue[i]);
      hex += b;
    }
    ids[seed] = (uint64_t)db.number("INSERT INTO vx.hash_values (hash_type, hashed_length, hash_value, sis_offset) "
                                    "VALUES ('sha512', 4096, '\\x" + hex + "', " +
                                    (seed == 3 ? std::string("65536") : std::string("NULL")) + ") RETURNING hash_id");
  }
  for (const Occurrence &o : kLayout)
    db.exec("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id) VALUES (" +
            std::to_string(o.backup) + ", " + std::to_string(o.position) + ", " + std::to_string(ids[o.seed]) + ")");
  // Unhashed rows are never listed or counted.
  db.exec("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id) VALUES (10, 20480, NULL)");
  expectLists("catalogue");
  // Incomplete rows are not listed.
  db.exec("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id, hash_incomplete) VALUES (10, 24576, " +
          std::to_string(ids[2]) + ", true)");
  EXPECT_EQ(6u, readList(10, {}, 0, 25).positions.size());

  // The SIS offset comes with the details.
  hashValuesPrivate *priv = nullptr;
  HashValue c = makeHash(3, 0).value;
  ASSERT_EQ(0, getHashValues(&priv, &c, 1));
  EXPECT_TRUE(c.flags & SISoffset_out);
  EXPECT_EQ(65536u, c.SISoffset);
  freeHashValuesPrivate(priv);
  forgetMetadataGeneration();
}
