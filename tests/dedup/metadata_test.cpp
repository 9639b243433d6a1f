// Tests of the metadata store: layout of a new store, round trips of
// backups, hashes and references (in and out of order), reference walks,
// freeing and reuse, the hopscotch indexes, the free map, the file-lock
// stack and crash markers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <vector>

#include "dedup/metadata.h"
#include "storeFixture.h"

using namespace dedup_test;
using rpd::test::readFile;

namespace {

uint64_t le64(const std::string &s, size_t off) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | uint8_t(s[off + i]);
  return v;
}

struct Collected {
  std::vector<uint64_t> positions;
  std::vector<uint64_t> backups;
  std::vector<uint64_t> hashIDs;
  std::vector<uint64_t> others;
  int stopAfter = -1;
};

int64_t collect(void *ctx, HashListEntry *rec, int, int) {
  Collected &c = *static_cast<Collected *>(ctx);
  c.positions.push_back(rec->location.fileOffset);
  c.backups.push_back(rec->location.backupNo);
  c.hashIDs.push_back(rec->value.hashID);
  c.others.push_back(rec->value.locationID);
  if (c.stopAfter >= 0 && (int)c.positions.size() >= c.stopAfter) return -1;
  return (int64_t)rec->location.fileOffset + 1;
}

Collected walkBackup(metadataPrivate **h, uint64_t backup, uint64_t start = 0, uint64_t countOthers = 0) {
  Collected c;
  EXPECT_EQ(0, iterateHashesInBackup(h, backup, start, countOthers, collect, &c));
  EXPECT_EQ(0, metadataFileLockDepth(*h));
  return c;
}

void addHash(metadataPrivate **h, uint64_t backup, uint64_t seed, uint64_t position) {
  HashListEntry r = makeHash(seed, position);
  ASSERT_EQ(0, addHashToBackup(h, backup, &r)) << "seed " << seed << " position " << position;
  ASSERT_EQ(0, metadataFileLockDepth(*h)) << "every entry point pops what it pushed";
}

}  // namespace

TEST(metadataStore, RefusesForeignBlockZeroAndBusyLockFile) {
  {
    StoreSandbox sb;
    mkdir((sb.root() + "/md").c_str(), 0777);
    int fd = open(sb.store("metadataBlocks-0000000000000000").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(5, pwrite(fd, "junk!", 5, 100));
    close(fd);
    EXPECT_EQ(nullptr, allocateMetadataPrivate(0));
  }
  {
    // An interrupted exclusive user leaves the lock file non-empty.
    StoreSandbox sb;
    metadataPrivate *x = allocateMetadataPrivate(2);
    ASSERT_NE(nullptr, x);
    // Exclusive and shared users exclude each other through the flock...
    EXPECT_EQ(nullptr, allocateMetadataPrivate(0));
    freeMetadataPrivate(&x, 0);
    // ...and without mode 3 at the end the non-empty file keeps readers out.
    EXPECT_EQ(nullptr, allocateMetadataPrivate(0));
    x = allocateMetadataPrivate(1);
    ASSERT_NE(nullptr, x);
    freeMetadataPrivate(&x, 3);
    metadataPrivate *h = allocateMetadataPrivate(0);
    EXPECT_NE(nullptr, h);
    freeMetadataPrivate(&h, 0);
  }
}

TEST(metadataStore, BackupsRoundTripInPositionOrderWithOutOfOrderRings) {
  StoreSandbox sb;
  metadataPrivate *h = nullptr;
  // Not in the store: no call back, success.
  Collected none = walkBackup(&h, 77);
  EXPECT_TRUE(none.positions.empty());
  ASSERT_NE(nullptr, h);

  // Even positions in order over many leaves, then odd ones out of order
  // (descending), then some below every position, and a repeated hash.
  std::set<uint64_t> expected;
  for (uint64_t i = 1; i <= 150; i++) {
    addHash(&h, 7, i, i * 2 * 4096 + 100000);
    expected.insert(i * 2 * 4096 + 100000);
  }
  for (int64_t i = 149; i >= 1; i -= 4) {
    addHash(&h, 7, 1000 + i, (i * 2 + 1) * 4096 + 100000);
    expected.insert((i * 2 + 1) * 4096 + 100000);
  }
  for (uint64_t p : {5000ULL, 0ULL, 7000ULL, 3ULL}) {
    addHash(&h, 7, 3000 + p, p);
    expected.insert(p);
  }
  addHash(&h, 7, 1, 99999999);  // the first hash again at the end
  expected.insert(99999999);

  EXPECT_EQ((int64_t)expected.size(), getHashedBackupReferenceCount(&h, 7));
  EXPECT_EQ(0, getHashedBackupReferenceCount(&h, 8));
  Collected all = walkBackup(&h, 7);
  EXPECT_EQ(std::vector<uint64_t>(expected.begin(), expected.end()), all.positions);
  // The repeated hash has one hash ID for both occurrences.
  size_t firstOcc = std::find(all.positions.begin(), all.positions.end(), 2 * 4096 + 100000) - all.positions.begin();
  EXPECT_EQ(all.hashIDs[firstOcc], all.hashIDs.back());
  for (uint64_t b : all.backups) EXPECT_EQ(7u, b);

  // Starting in the middle, stopping early, starting beyond the end.
  uint64_t mid = 101 * 4096 + 100000;
  Collected tail = walkBackup(&h, 7, mid);
  std::vector<uint64_t> want;
  for (uint64_t p : expected)
    if (p >= mid) want.push_back(p);
  EXPECT_EQ(want, tail.positions);
  Collected one;
  one.stopAfter = 1;
  EXPECT_EQ(0, iterateHashesInBackup(&h, 7, 0, 0, collect, &one));
  EXPECT_EQ(std::vector<uint64_t>{0}, one.positions);
  EXPECT_TRUE(walkBackup(&h, 7, 100000000).positions.empty());
  EXPECT_EQ(0, metadataOutstandingPointers(h) - 1);  // only the super block stays mapped
  freeMetadataPrivate(&h, 0);
}

TEST(metadataStore, DeepTreesSplitListsAtBothEnds) {
  StoreSandbox sb("64k");
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  // 255 entries per list and 32 per leaf: 9000 positions need two levels
  // of lists; the keys below every key then split the first list.
  const uint64_t n = 9000;
  for (uint64_t i = 0; i < n; i++) addHash(&h, 3, i + 1, 1000 + i * 10);
  for (uint64_t i = 0; i < 40; i++) addHash(&h, 3, 20000 + i, 999 - i);
  Collected all = walkBackup(&h, 3);
  ASSERT_EQ(n + 40, all.positions.size());
  EXPECT_TRUE(std::is_sorted(all.positions.begin(), all.positions.end()));
  EXPECT_EQ(960u, all.positions.front());
  EXPECT_EQ(1000 + (n - 1) * 10, all.positions.back());
  Collected tail = walkBackup(&h, 3, 1000 + 8990 * 10);
  EXPECT_EQ(10u, tail.positions.size());
  freeMetadataPrivate(&h, 0);
}

TEST(metadataStore, ReferencesToAHashAcrossBackupsAndAssignedIDs) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  addHash(&h, 1, 42, 0);
  addHash(&h, 2, 42, 8192);
  addHash(&h, 3, 42, 4096);
  addHash(&h, 3, 43, 0);
  HashListEntry q = makeHash(42, 0);
  Collected refs;
  ASSERT_EQ(0, iterateReferencesToHash(&h, &q, collect, &refs));
  std::multiset<std::pair<uint64_t, uint64_t>> got, want = {{1, 0}, {2, 8192}, {3, 4096}};
  for (size_t i = 0; i < refs.backups.size(); i++) got.insert({refs.backups[i], refs.positions[i]});
  EXPECT_EQ(want, got);
  // The caller's record is completed from the detail.
  EXPECT_TRUE(q.value.flags & hashID_out);
  uint64_t id = q.value.hashID;
  EXPECT_TRUE(id & (1ULL << 62));

  // A store-assigned ID is resolved from the ID itself: the hash ID index
  // holds nothing for it.
  EXPECT_EQ(-1, metadataIndexSlotOf(h, MD_HASH_ID_INDEX, id));
  HashListEntry byID = {};
  byID.value.flags = hashID_in;
  byID.value.hashID = id;
  Collected refs2;
  ASSERT_EQ(0, iterateReferencesToHash(&h, &byID, collect, &refs2));
  EXPECT_EQ(3u, refs2.positions.size());
  EXPECT_EQ(0, memcmp(byID.value.hashValue, makeHash(42, 0).value.hashValue, 64));

  // Caller-given IDs go through the hash ID index.
  HashListEntry given = makeHash(500, 0);
  given.value.flags |= hashID_in;
  given.value.hashID = 0x1234;
  ASSERT_EQ(0, addHashToBackup(&h, 4, &given));
  EXPECT_GE(metadataIndexSlotOf(h, MD_HASH_ID_INDEX, 0x1234), 0);
  HashListEntry byGiven = {};
  byGiven.value.flags = hashID_in;
  byGiven.value.hashID = 0x1234;
  Collected refs3;
  ASSERT_EQ(0, iterateReferencesToHash(&h, &byGiven, collect, &refs3));
  EXPECT_EQ(std::vector<uint64_t>{4}, refs3.backups);

  // Unknown hash: no call back. Mismatching keys: an error.
  HashListEntry unknown = makeHash(9999, 0);
  Collected refs4;
  EXPECT_EQ(0, iterateReferencesToHash(&h, &unknown, collect, &refs4));
  EXPECT_TRUE(refs4.positions.empty());
  HashListEntry mixed = makeHash(43, 0);
  mixed.value.flags |= hashID_in;
  mixed.value.hashID = 0x1234;
  EXPECT_EQ(-1, iterateReferencesToHash(&h, &mixed, collect, &refs4));

  // Other backups' references are counted into the walk's records.
  Collected b3 = walkBackup(&h, 3, 0, 10);
  ASSERT_EQ(2u, b3.others.size());
  EXPECT_EQ(0u, b3.others[0]);  // hash 43 at position 0: only backup 3
  EXPECT_EQ(2u, b3.others[1]);  // hash 42: backups 1 and 2
  freeMetadataPrivate(&h, 0);
}

TEST(metadataStore, FreeingABackupDropsOrphanHashesAndReusesBlocks) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  for (uint64_t i = 0; i < 40; i++) addHash(&h, 1, 100 + i, i * 4096);  // two leaves
  addHash(&h, 1, 200, 5);                                                 // out of order
  addHash(&h, 2, 100, 0);                                                 // shared with backup 1
  int64_t b1 = findHashedBackup(&h, 1);
  ASSERT_GT(b1, 0);
  HashListEntry shared = makeHash(100, 0);
  HashListEntry orphan = makeHash(101, 0);
  Collected before;
  ASSERT_EQ(0, iterateReferencesToHash(&h, &orphan, collect, &before));
  uint64_t orphanDetail = orphan.value.hashID & ~(1ULL << 62);

  ASSERT_EQ(0, freeHashedBackup(&h, 1));
  EXPECT_EQ(0, findHashedBackup(&h, 1));
  EXPECT_EQ(0, metadataBlockInUse(h, (uint64_t)b1));
  EXPECT_TRUE(walkBackup(&h, 1).positions.empty());
  Collected sharedRefs, orphanRefs;
  ASSERT_EQ(0, iterateReferencesToHash(&h, &shared, collect, &sharedRefs));
  EXPECT_EQ(std::vector<uint64_t>{2}, sharedRefs.backups);
  HashListEntry orphanAgain = makeHash(101, 0);
  ASSERT_EQ(0, iterateReferencesToHash(&h, &orphanAgain, collect, &orphanRefs));
  EXPECT_TRUE(orphanRefs.positions.empty());
  EXPECT_FALSE(orphanAgain.value.flags & hashID_out);
  EXPECT_EQ(1u, walkBackup(&h, 2).positions.size());

  // The freed records and blocks are used again.
  ASSERT_GT(addHashedBackup(&h, 9), 0);
  EXPECT_EQ(b1, findHashedBackup(&h, 9));
  HashListEntry fresh = makeHash(101, 0);
  ASSERT_EQ(0, addHashToBackup(&h, 9, &fresh));
  EXPECT_EQ(std::vector<uint64_t>{0}, walkBackup(&h, 9).positions);
  // The orphan's old record is zero: its ID no longer resolves to it.
  HashListEntry stale = {};
  stale.value.flags = hashID_in;
  stale.value.hashID = orphanDetail | (1ULL << 62);
  Collected staleRefs;
  EXPECT_EQ(0, iterateReferencesToHash(&h, &stale, collect, &staleRefs));
  EXPECT_TRUE(staleRefs.positions.empty() || fresh.value.hashID == stale.value.hashID);
  freeMetadataPrivate(&h, 0);
}

TEST(metadataStore, CallbacksMayMoveDataIntoTheSISButNothingElse) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  addHash(&h, 1, 10, 0);
  addHash(&h, 1, 11, 4096);
  addHash(&h, 2, 10, 0);
  struct Tweak {
    uint64_t sis;
  } tw = {0x500000};
  auto toSIS = [](void *ctx, HashListEntry *r, int, int) -> int64_t {
    r->value.SISoffset = static_cast<Tweak *>(ctx)->sis;
    r->value.compressedLength = 777;
    r->refFlags &= ~REF_FLAG_IN_FILE;
    return (int64_t)r->location.fileOffset + 1;
  };
  HashListEntry q = makeHash(10, 0);
  ASSERT_EQ(0, iterateReferencesToHash(&h, &q, toSIS, &tw));
  EXPECT_TRUE(q.value.flags & SISoffset_out);
  EXPECT_EQ(0x500000u, q.value.SISoffset);
  EXPECT_EQ(777u, q.value.compressedLength);
  int inSISseen = -1;
  auto seeSIS = [](void *ctx, HashListEntry *r, int inSIS, int) -> int64_t {
    *static_cast<int *>(ctx) = inSIS * 1000 + int(r->refFlags & REF_FLAG_IN_FILE);
    return -1;
  };
  ASSERT_EQ(0, iterateHashesInBackup(&h, 2, 0, 0, seeSIS, &inSISseen));
  EXPECT_EQ(2000, inSISseen);  // in the SIS, not in the file any more

  tw.sis = 0x100000;
  HashListEntry q2 = makeHash(11, 0);
  ASSERT_EQ(0, iterateReferencesToHash(&h, &q2, toSIS, &tw));
  std::vector<std::pair<uint64_t, uint64_t>> sis;
  auto listSIS = [](void *ctx, uint64_t off, uint64_t detail) -> int {
    static_cast<std::vector<std::pair<uint64_t, uint64_t>> *>(ctx)->push_back({off, detail});
    return 0;
  };
  ASSERT_EQ(0, iterateSISblocks(&h, 0, listSIS, &sis));
  ASSERT_EQ(2u, sis.size());
  EXPECT_EQ(0x100000u, sis[0].first);
  EXPECT_EQ(0x500000u, sis[1].first);

  // No reference of hash 10 keeps its data in a file: it cannot leave the SIS.
  auto leaveSIS = [](void *, HashListEntry *r, int, int) -> int64_t {
    r->value.SISoffset = ~0ULL;
    return -1;
  };
  HashListEntry q3 = makeHash(10, 0);
  EXPECT_EQ(-1, iterateReferencesToHash(&h, &q3, leaveSIS, nullptr));
  // Any other change is refused.
  auto corrupt = [](void *, HashListEntry *r, int, int) -> int64_t {
    r->value.hashedLength++;
    return -1;
  };
  HashListEntry q4 = makeHash(11, 0);
  EXPECT_EQ(-1, iterateReferencesToHash(&h, &q4, corrupt, nullptr));
  HashListEntry q5 = makeHash(11, 0);
  Collected c;
  ASSERT_EQ(0, iterateReferencesToHash(&h, &q5, collect, &c));
  EXPECT_EQ(4096u, q5.value.hashedLength);
  freeMetadataPrivate(&h, 0);
}

TEST(metadataIndex, HopscotchWrapsAroundFillsNeighborhoodsAndDisplaces) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  uint64_t dummy;
  ASSERT_EQ(0, metadataIndexFind(h, MD_HASH_ID_INDEX, 1, &dummy));  // opens it: 1k slots
  const uint64_t size = 32768, lastSlot = size - 32;
  auto keysWithHome = [&](uint64_t home, size_t count, uint64_t from) {
    std::vector<uint64_t> keys;
    for (uint64_t k = from; keys.size() < count; k++)
      if (metadataIndexHome(h, MD_HASH_ID_INDEX, k) == home) keys.push_back(k);
    return keys;
  };
  // 128 keys whose home is the last slot: the neighborhood wraps to the start.
  std::vector<uint64_t> wrap = keysWithHome(lastSlot, 129, 1);
  for (size_t i = 0; i < 128; i++) ASSERT_EQ(0, metadataIndexInsert(h, MD_HASH_ID_INDEX, wrap[i], 1000 + i));
  EXPECT_EQ(-1, metadataIndexInsert(h, MD_HASH_ID_INDEX, wrap[128], 1)) << "neighborhood full";
  size_t atStart = 0;
  for (size_t i = 0; i < 128; i++) {
    uint64_t off = 0;
    ASSERT_EQ(1, metadataIndexFind(h, MD_HASH_ID_INDEX, wrap[i], &off));
    EXPECT_EQ(1000 + i, off);
    if (metadataIndexSlotOf(h, MD_HASH_ID_INDEX, wrap[i]) < (int64_t)lastSlot) atStart++;
  }
  EXPECT_EQ(127u, atStart);
  EXPECT_EQ(0, metadataIndexFind(h, MD_HASH_ID_INDEX, wrap[128], &dummy));
  for (size_t i = 0; i < 128; i++) ASSERT_EQ(1, metadataIndexRemove(h, MD_HASH_ID_INDEX, wrap[i]));

  // 120 keys of home slot 5 fill slots 5..124; 10 keys of home 0 then need
  // home-5 keys moved out beyond slot 127 to stay within reach.
  std::vector<uint64_t> five = keysWithHome(5 * 32, 120, 1);
  std::vector<uint64_t> zero = keysWithHome(0, 10, 1);
  for (uint64_t k : five) ASSERT_EQ(0, metadataIndexInsert(h, MD_HASH_ID_INDEX, k, k));
  for (uint64_t k : zero) ASSERT_EQ(0, metadataIndexInsert(h, MD_HASH_ID_INDEX, k, k));
  bool displaced = false;
  for (uint64_t k : five) {
    int64_t s = metadataIndexSlotOf(h, MD_HASH_ID_INDEX, k);
    ASSERT_GE(s, 5 * 32);
    ASSERT_LT(s, (5 + 128) * 32);
    if (s >= 128 * 32) displaced = true;
  }
  for (uint64_t k : zero) {
    int64_t s = metadataIndexSlotOf(h, MD_HASH_ID_INDEX, k);
    ASSERT_GE(s, 0);
    ASSERT_LT(s, 128 * 32);
  }
  EXPECT_TRUE(displaced);
  freeMetadataPrivate(&h, 0);
}

TEST(metadataIndex, CapacityNotationAndMissingKeys) {
  {
    StoreSandbox sb;
    FILE *f = fopen(sb.ini().c_str(), "w");
    fprintf(f, "[fileDedup]\nMetadataDirectory=%s/md\nmaxHashedBackups=0x10 k\n", sb.root().c_str());
    fclose(f);
    metadataPrivate *h = allocateMetadataPrivate(0);
    ASSERT_NE(nullptr, h);
    EXPECT_GT(addHashedBackup(&h, 1), 0);
    EXPECT_EQ(16u * 1024 * 32, readFile(sb.store("metadataBackupIndex")).size());
    HashListEntry r = makeHash(1, 0);
    EXPECT_EQ(-1, addHashToBackup(&h, 1, &r)) << "no maxHashedBlocks";
    freeMetadataPrivate(&h, 0);
  }
  {
    StoreSandbox sb;
    FILE *f = fopen(sb.ini().c_str(), "w");
    fprintf(f, "[fileDedup]\nMetadataDirectory=%s/md\nmaxHashedBackups=lots\n", sb.root().c_str());
    fclose(f);
    metadataPrivate *h = allocateMetadataPrivate(0);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(-1, addHashedBackup(&h, 1));
    freeMetadataPrivate(&h, 0);
  }
}

TEST(metadataFreeMap, BitsFollowAllocationInTheSharedFile) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  std::vector<int64_t> blocks;
  for (int i = 0; i < 70; i++) blocks.push_back(getMetadataBlock(h));
  std::set<int64_t> distinct(blocks.begin(), blocks.end());
  EXPECT_EQ(70u, distinct.size());
  for (int64_t b : blocks) {
    ASSERT_GT(b, 0);
    EXPECT_EQ(0, b % 4096);
    EXPECT_EQ(1, metadataBlockInUse(h, b));
  }
  ASSERT_EQ(0, freeMetadataBlock(h, blocks[65]));
  EXPECT_EQ(0, metadataBlockInUse(h, blocks[65]));
  std::string map = readFile(sb.store("metadataFreeMap"));
  uint64_t b65 = blocks[65] / 4096, b3 = blocks[3] / 4096;
  EXPECT_EQ(0, (le64(map, 8 * (b65 / 64)) >> (b65 % 64)) & 1);
  EXPECT_EQ(1u, (le64(map, 8 * (b3 / 64)) >> (b3 % 64)) & 1);
  EXPECT_EQ(1u, le64(map, 0) & 1) << "super block";
  // A freed block is handed out again first.
  EXPECT_EQ(blocks[65], getMetadataBlock(h));
  EXPECT_EQ(-1, freeMetadataBlock(h, 0));
  freeMetadataPrivate(&h, 0);
}

TEST(metadataLocks, StackIsLifoBoundedAndExcludesOtherProcesses) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  int fd = metadataRecordLockFd(h);
  ASSERT_GE(fd, 0);
  struct flock locks[13];
  for (int i = 0; i < 13; i++) {
    memset(&locks[i], 0, sizeof locks[i]);
    locks[i].l_type = F_WRLCK;
    locks[i].l_whence = SEEK_SET;
    locks[i].l_start = 4096 + i * 256;
    locks[i].l_len = 256;
  }
  for (int i = 0; i < 12; i++) ASSERT_EQ(0, pushFileLock(h, fd, nullptr, F_SETLK, &locks[i])) << i;
  EXPECT_EQ(-1, pushFileLock(h, fd, nullptr, F_SETLK, &locks[12]));
  EXPECT_EQ(12, metadataFileLockDepth(h));
  EXPECT_EQ(-1, popFileLock(h, fd, &locks[3])) << "not the most recent";
  EXPECT_EQ(-1, popFileLock(h, fd, &locks[12])) << "not on the stack";

  // Another process finds the locked records busy and the others free.
  pid_t pid = fork();
  if (pid == 0) {
    int cfd = open((sb.root() + "/dev/shm/.metadataBlockLockFile").c_str(), O_RDWR);
    struct flock probe = locks[5];
    probe.l_type = F_RDLCK;
    bool busy = fcntl(cfd, F_SETLK, &probe) != 0;
    struct flock freeRange = locks[12];
    freeRange.l_type = F_RDLCK;
    bool freeOk = fcntl(cfd, F_SETLK, &freeRange) == 0;
    _exit(busy && freeOk ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int i = 11; i >= 0; i--) ASSERT_EQ(0, popFileLock(h, fd, &locks[i])) << i;
  EXPECT_EQ(0, metadataFileLockDepth(h));
  freeMetadataPrivate(&h, 0);
}

TEST(metadataLocks, CrashMarkersBlockRecordsUntilRepaired) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  addHash(&h, 4, 1, 0);
  int64_t b4 = findHashedBackup(&h, 4);
  ASSERT_GT(b4, 0);
  // A writer that dies in the middle of a change leaves its marker behind.
  ASSERT_EQ(0, checkMetadataLockShadow(h, (uint64_t)b4, 1));
  EXPECT_EQ(1, checkMetadataLockShadow(h, (uint64_t)b4, 1)) << "already marked";
  freeMetadataPrivate(&h, 0);

  std::string shadow = readFile(sb.store("metadataBlockLockShadow"));
  EXPECT_EQ(1u, le64(shadow, 0) & 0xFFFFFFFF);  // high-water mark
  EXPECT_EQ((uint64_t)b4 | 1, le64(shadow, 64));
  EXPECT_EQ((uint64_t)getpid(), le64(shadow, 72));
  EXPECT_NE(0, shadow[64 + 24]);  // command line

  h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  Collected c;
  EXPECT_EQ(-1, iterateHashesInBackup(&h, 4, 0, 0, collect, &c));
  EXPECT_TRUE(c.positions.empty());
  EXPECT_EQ(-1, getHashedBackupReferenceCount(&h, 4));
  EXPECT_EQ(0, metadataFileLockDepth(h)) << "failed entry points pop their locks";
  ASSERT_EQ(0, clearMetadataLockShadow(h, (uint64_t)b4));
  EXPECT_EQ(1u, walkBackup(&h, 4).positions.size());

  // A marked super block keeps the whole store closed.
  ASSERT_EQ(0, checkMetadataLockShadow(h, 0, 1));
  freeMetadataPrivate(&h, 0);
  EXPECT_EQ(nullptr, allocateMetadataPrivate(0));
}

TEST(metadataMapping, WindowsAreReusedAndCountsBalance) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(1, metadataMappedWindows(h));
  uint8_t *a = blockOffsetToPtr(h, 4096 * 10);
  uint8_t *b = blockOffsetToPtr(h, 4096 * 2000);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(1, metadataMappedWindows(h)) << "blocks 0..2047 share one window";
  EXPECT_EQ(3, metadataOutstandingPointers(h));
  uint8_t *c = blockOffsetToPtr(h, 4096ULL * 5000);
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(2, metadataMappedWindows(h));
  memcpy(c, "written", 7);
  freeBlockPtr(h, a);
  freeBlockPtr(h, b);
  freeBlockPtr(h, c);
  EXPECT_EQ(1, metadataOutstandingPointers(h));
  freeMetadataPrivate(&h, 0);
  std::string blocks = readFile(sb.store("metadataBlocks-0000000000000000"));
  ASSERT_GT(blocks.size(), 4096ULL * 5000 + 7);
  EXPECT_EQ(0, memcmp(blocks.data() + 4096ULL * 5000, "written", 7));
}
