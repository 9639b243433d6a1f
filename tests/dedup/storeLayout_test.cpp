// The metadata store's files byte by byte (new store, records as written,
// the fan-out of reference lists and reference blocks), and the store
// shared by real processes: two writers at once, and a writer killed in the
// middle of a change.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "dedup/metadata.h"
#include "storeFixture.h"

using namespace dedup_test;
using rpd::test::readFile;

namespace {

uint64_t get64(const uint8_t *p, size_t off) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[off + i];
  return v;
}

uint64_t get64(const std::string &s, size_t off) { return get64(reinterpret_cast<const uint8_t *>(s.data()), off); }

bool allZero(const uint8_t *p, size_t from, size_t to) {
  for (size_t i = from; i < to; i++)
    if (p[i] != 0) return false;
  return true;
}

long fileSize(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

// Log lines of the code under test go to a temporary file for the test's
// scope.
struct LogCapture {
  FILE *f = tmpfile();
  LogCapture() { attachLogStream(f); }
  ~LogCapture() {
    attachLogStream(stderr);
    fclose(f);
  }
  std::string text() {
    fflush(f);
    std::string s;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
  }
};

struct Walk {
  std::vector<uint64_t> positions, backups, ids;
};

int64_t record(void *ctx, HashListEntry *rec, int, int) {
  Walk &w = *static_cast<Walk *>(ctx);
  w.positions.push_back(rec->location.fileOffset);
  w.backups.push_back(rec->location.backupNo);
  w.ids.push_back(rec->value.hashID);
  return (int64_t)rec->location.fileOffset + 1;
}

// Shape of a backup's reference tree as it stands in the block file.
struct TreeShape {
  int lists = 0, leaves = 0;
  size_t maxChildren = 0, maxLeafEntries = 0, entries = 0;
  bool badSignature = false;
};

void shapeOf(metadataPrivate *h, uint64_t node, TreeShape *s) {
  const uint8_t *p = blockOffsetToPtr(h, node);
  ASSERT_NE(nullptr, p);
  if (memcmp(p, mdl::REFLIST_SIGNATURE, 8) == 0) {
    s->lists++;
    if (p[mdl::REFLIST_FLAGS] & 1) s->badSignature = true;  // a backup's tree, not the SIS tree
    std::vector<uint64_t> children;
    for (size_t off = mdl::REFLIST_ENTRIES; off + 16 <= 4096; off += 16) {
      uint64_t child = get64(p, off + 8);
      if (child != mdl::NONE && child != mdl::NONE2) children.push_back(child);
    }
    freeBlockPtr(h, p);
    s->maxChildren = std::max(s->maxChildren, children.size());
    for (uint64_t c : children) shapeOf(h, c, s);
    return;
  }
  if (memcmp(p, mdl::HASHREF_SIGNATURE, 8) == 0) {
    s->leaves++;
    size_t used = 0;
    for (size_t e = 0; e < 4096 / mdl::ENTRY_BYTES; e++) {
      uint64_t detail = get64(p, e * mdl::ENTRY_BYTES + mdl::ENTRY_DETAIL);
      if (detail != mdl::NONE && detail != mdl::NONE2) used++;
    }
    freeBlockPtr(h, p);
    s->maxLeafEntries = std::max(s->maxLeafEntries, used);
    s->entries += used;
    return;
  }
  s->badSignature = true;
  freeBlockPtr(h, p);
}

TreeShape treeOf(metadataPrivate *h, uint64_t backupNo) {
  TreeShape s;
  int64_t boff = findHashedBackup(&h, backupNo);
  EXPECT_GT(boff, 0);
  if (boff <= 0) return s;
  const uint8_t *b = blockOffsetToPtr(h, (uint64_t)boff);
  uint64_t root = get64(b, mdl::BACKUP_ROOT);
  freeBlockPtr(h, b);
  if (root != mdl::NONE) shapeOf(h, root, &s);
  return s;
}

}  // namespace

TEST(storeLayout, NewStoreFilesAreExactlyTheEmptyLayout) {
  // Capacities in each notation: 2k hash slots, 0x400 backup slots.
  StoreSandbox sb("2k");
  FILE *f = fopen(sb.ini().c_str(), "w");
  fprintf(f, "[fileDedup]\nMetadataDirectory=%s/md\nmaxHashedBlocks=2k\nmaxHashedBackups=0x400\n",
          sb.root().c_str());
  fclose(f);
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  // The indexes are made on first use: find in each of them.
  EXPECT_EQ(0, findHashedBackup(&h, 77));
  HashListEntry q = makeHash(1, 0);
  Walk none;
  EXPECT_EQ(0, iterateReferencesToHash(&h, &q, record, &none));
  q = {};
  q.value.flags = hashID_in;
  q.value.hashID = 0x55;
  EXPECT_EQ(0, iterateReferencesToHash(&h, &q, record, &none));
  EXPECT_TRUE(none.positions.empty());
  freeMetadataPrivate(&h, 0);

  std::string blocks = readFile(sb.store("metadataBlocks-0000000000000000"));
  ASSERT_GE(blocks.size(), 4096u);
  std::string expect(4096, '\0');
  memcpy(&expect[0], "#MSuper\0", 8);
  expect[8] = 2;
  memset(&expect[16], 0xFF, 32);
  EXPECT_EQ(expect, blocks.substr(0, 4096)) << "super block";

  // Block 0 is in use in the free map; no other block is.
  std::string freeMap = readFile(sb.store("metadataFreeMap"));
  ASSERT_GE(freeMap.size(), 8u);
  EXPECT_EQ(1u, get64(freeMap, 0));
  for (size_t i = 8; i < freeMap.size(); i++) ASSERT_EQ(0, freeMap[i]) << i;

  // Capacity x 32 bytes, every slot empty.
  for (const char *name : {"metadataHashIDindex", "metadataHashValueIndex"}) {
    std::string ix = readFile(sb.store(name));
    EXPECT_EQ(2048u * 32, ix.size()) << name;
    EXPECT_EQ(std::string(ix.size(), '\0'), ix) << name;
  }
  std::string backups = readFile(sb.store("metadataBackupIndex"));
  EXPECT_EQ(1024u * 32, backups.size());
  EXPECT_EQ(std::string(backups.size(), '\0'), backups);

  std::string shadow = readFile(sb.store("metadataBlockLockShadow"));
  std::string expectShadow(32768, '\0');
  expectShadow[4] = 1;
  EXPECT_EQ(expectShadow, shadow);
  EXPECT_EQ(0, fileSize(sb.store("metadataLock")));
  EXPECT_EQ(0, fileSize(sb.root() + "/dev/shm/.metadataBlockLockFile"));

  // Mode 0600 for the files the store makes.
  struct stat st;
  ASSERT_EQ(0, stat(sb.store("metadataBlocks-0000000000000000").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST(storeLayout, CapacitiesAreRoundedToTheBlockSizeAndReadInCNotation) {
  struct {
    const char *value;
    long bytes;
  } cases[] = {{"1k", 32768}, {"3", 4096}, {"0x81", 8192}, {"0200", 4096}, {"1K", 32768}, {"1m", 32L << 20}};
  for (const auto &c : cases) {
    StoreSandbox sb(c.value);
    metadataPrivate *h = allocateMetadataPrivate(0);
    ASSERT_NE(nullptr, h) << c.value;
    HashListEntry q = makeHash(1, 0);
    Walk none;
    EXPECT_EQ(0, iterateReferencesToHash(&h, &q, record, &none)) << c.value;
    freeMetadataPrivate(&h, 0);
    EXPECT_EQ(c.bytes, fileSize(sb.store("metadataHashValueIndex"))) << c.value;
  }
}

TEST(storeLayout, VersionOneSuperBlockIsRefusedNamingBothVersions) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  freeMetadataPrivate(&h, 0);
  int fd = open(sb.store("metadataBlocks-0000000000000000").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  uint8_t one[8] = {1};
  ASSERT_EQ(8, pwrite(fd, one, 8, 8));
  close(fd);
  LogCapture log;
  EXPECT_EQ(nullptr, allocateMetadataPrivate(0));
  std::string text = log.text();
  EXPECT_NE(std::string::npos, text.find("Super block version mismatch:  1 != 2")) << text;
  EXPECT_NE(std::string::npos, text.find("You must remove and rebuild your metadata")) << text;
  // Refused, not repaired: the version on disk is still 1.
  EXPECT_EQ(1u, get64(readFile(sb.store("metadataBlocks-0000000000000000")), 8));
}

TEST(storeLayout, RecordsAreWrittenFieldByField) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  int64_t boff = addHashedBackup(&h, 7);
  ASSERT_GT(boff, 0);
  ASSERT_EQ(0, boff % 4096) << "a hashed backup starts a block of its own";
  {
    const uint8_t *b = blockOffsetToPtr(h, (uint64_t)boff);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(0, memcmp(b, "#dBackup", 8));
    EXPECT_EQ(7u, get64(b, 8));
    EXPECT_EQ(mdl::NONE, get64(b, 16)) << "no hash yet";
    EXPECT_EQ(mdl::NONE, get64(b, 24));
    EXPECT_EQ(0u, get64(b, 32));
    EXPECT_TRUE(allZero(b, 40, 128));
    freeBlockPtr(h, b);
  }

  HashListEntry r = makeHash(11, 8192, 3000);
  ASSERT_EQ(0, addHashToBackup(&h, 7, &r));
  ASSERT_TRUE(r.value.hashID & mdl::ASSIGNED_ID_BIT) << "the store assigns the ID";
  uint64_t detailOff = r.value.hashID & ~mdl::ASSIGNED_ID_BIT;
  ASSERT_EQ(0u, detailOff % 256);
  uint64_t refOff;
  {
    const uint8_t *d = blockOffsetToPtr(h, detailOff);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(0, memcmp(d, "hashDtal", 8));
    EXPECT_EQ(r.value.hashID, get64(d, 8));
    refOff = get64(d, 16);
    EXPECT_NE(mdl::NONE, refOff);
    EXPECT_EQ(mdl::NONE, get64(d, 24));
    EXPECT_EQ(mdl::NONE, get64(d, 32));
    EXPECT_EQ(mdl::NONE, get64(d, 40)) << "alone in its collision list";
    EXPECT_EQ(0, memcmp(d + 48, "sha512\0\0", 8));
    EXPECT_EQ(3000u, get64(d, 56));
    EXPECT_EQ(0, memcmp(d + 64, makeHash(11, 0).value.hashValue, 64));
    EXPECT_EQ(0u, get64(d, 128));
    EXPECT_EQ(mdl::NONE, get64(d, 144));
    EXPECT_EQ(0u, get64(d, 160));
    EXPECT_EQ(0u, get64(d, 168) & mdl::DETAIL_FLAG_SIS) << "no SIS offset was given";
    EXPECT_TRUE(allZero(d, 176, 256));
    freeBlockPtr(h, d);
  }
  {
    const uint8_t *blk = blockOffsetToPtr(h, refOff & ~4095ULL);
    ASSERT_NE(nullptr, blk);
    size_t used = 0;
    for (size_t e = 0; e < 32; e++) {
      const uint8_t *ent = blk + e * 128;
      ASSERT_EQ(0, memcmp(ent, "hashRef\0", 8)) << "every entry is signed, entry " << e;
      if ((refOff & 4095) == e * 128) {
        used++;
        EXPECT_EQ(7u, get64(ent, 8));
        EXPECT_EQ(8192u, get64(ent, 16));
        EXPECT_EQ(0u, get64(ent, 32));
        EXPECT_EQ(detailOff, get64(ent, 40));
        EXPECT_EQ(mdl::NONE, get64(ent, 56)) << "the only reference to its hash";
        EXPECT_EQ(mdl::NONE, get64(ent, 72)) << "in order: no ring";
        EXPECT_EQ(4u, get64(ent, 80) & 7) << "data still in the backup file";
      } else {
        for (size_t off = 8; off < 48; off += 8) EXPECT_EQ(mdl::NONE, get64(ent, off)) << e << "@" << off;
      }
    }
    EXPECT_EQ(1u, used);
    freeBlockPtr(h, blk);
  }
  {
    const uint8_t *b = blockOffsetToPtr(h, (uint64_t)boff);
    EXPECT_EQ(1u, get64(b, 32)) << "reference count";
    EXPECT_NE(mdl::NONE, get64(b, 16)) << "the backup has a tree now";
    freeBlockPtr(h, b);
  }
  // The backup index slot names the record: key, offset, in use.
  int64_t slot = metadataIndexSlotOf(h, MD_BACKUP_INDEX, 7);
  ASSERT_GE(slot, 0);
  freeMetadataPrivate(&h, 0);
  std::string ix = readFile(sb.store("metadataBackupIndex"));
  size_t at = (size_t)slot;  // byte position of the slot
  EXPECT_EQ(7u, get64(ix, at));
  EXPECT_EQ((uint64_t)boff, get64(ix, at + 8));
  EXPECT_EQ(1u, get64(ix, at + 24) & 3);
  // Home of backup 7: (7 x 96) mod 32768 = byte 672; it sits in that
  // neighborhood of 128 slots.
  EXPECT_GE(at, 672u);
  EXPECT_LT(at, 672u + 128 * 32);
}

TEST(storeLayout, ListsHoldTwoHundredFiftyFiveChildrenAndLeavesThirtyTwoEntries) {
  StoreSandbox sb("64k");
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  size_t maxChildren = 0, maxLeaf = 0;
  int deepest = 0;
  const uint64_t n = 32 * 255 + 64;
  for (uint64_t i = 0; i < n; i++) {
    HashListEntry r = makeHash(i + 1, i * 4096);
    ASSERT_EQ(0, addHashToBackup(&h, 3, &r)) << i;
    if ((i + 1) % 32 == 0 || i + 1 == n) {
      TreeShape s = treeOf(h, 3);
      ASSERT_FALSE(s.badSignature) << "after " << i + 1;
      ASSERT_EQ(i + 1, s.entries) << "every reference is in a leaf";
      ASSERT_LE(s.maxChildren, 255u);
      ASSERT_LE(s.maxLeafEntries, 32u);
      maxChildren = std::max(maxChildren, s.maxChildren);
      maxLeaf = std::max(maxLeaf, s.maxLeafEntries);
      deepest = std::max(deepest, s.lists);
    }
  }
  // The capacities are reached before anything splits.
  EXPECT_EQ(255u, maxChildren);
  EXPECT_EQ(32u, maxLeaf);
  EXPECT_GE(deepest, 2) << "more than 255 x 32 references need a second list";
  freeMetadataPrivate(&h, 0);
}

TEST(storeProcesses, TwoWritersAtOnceLoseNoUpdate) {
  StoreSandbox sb("16k");
  { // The store exists before the writers race for it.
    metadataPrivate *h = allocateMetadataPrivate(0);
    ASSERT_NE(nullptr, h);
    freeMetadataPrivate(&h, 0);
  }
  const uint64_t n = 600;
  int go[2];
  ASSERT_EQ(0, pipe(go));
  pid_t kids[2];
  for (int k = 0; k < 2; k++) {
    kids[k] = fork();
    if (kids[k] == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(3);  // wait for the start (pipe closed)
      metadataPrivate *h = allocateMetadataPrivate(0);
      if (!h) _exit(2);
      // Both writers add the same hashes (seeds 1..n) to their own backup,
      // in opposite orders of seed, and each a few of its own.
      for (uint64_t i = 0; i < n; i++) {
        uint64_t seed = k == 0 ? i + 1 : n - i;
        HashListEntry r = makeHash(seed, i * 4096);
        if (addHashToBackup(&h, 100 + k, &r) != 0) _exit(1);
        if (i % 50 == 0) {
          HashListEntry own = makeHash(100000 * (k + 1) + i, i * 4096 + 1);
          if (addHashToBackup(&h, 100 + k, &own) != 0) _exit(1);
        }
      }
      freeMetadataPrivate(&h, 0);
      _exit(0);
    }
  }
  close(go[0]);
  close(go[1]);  // both start now
  for (pid_t p : kids) {
    int st = 0;
    ASSERT_EQ(p, waitpid(p, &st, 0));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  }

  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ((int64_t)(n + n / 50), getHashedBackupReferenceCount(&h, 100 + k));
    Walk w;
    ASSERT_EQ(0, iterateHashesInBackup(&h, 100 + k, 0, 0, record, &w));
    ASSERT_EQ(n + n / 50, w.positions.size());
    EXPECT_TRUE(std::is_sorted(w.positions.begin(), w.positions.end()));
  }
  // Each shared hash has one detail, referenced from both backups.
  std::set<uint64_t> ids;
  for (uint64_t seed = 1; seed <= n; seed++) {
    HashListEntry q = makeHash(seed, 0);
    Walk refs;
    ASSERT_EQ(0, iterateReferencesToHash(&h, &q, record, &refs)) << seed;
    std::multiset<uint64_t> got(refs.backups.begin(), refs.backups.end());
    ASSERT_EQ((std::multiset<uint64_t>{100, 101}), got) << "seed " << seed;
    ids.insert(q.value.hashID);
  }
  EXPECT_EQ(n, ids.size()) << "distinct hashes have distinct IDs";
  freeMetadataPrivate(&h, 0);
}

TEST(storeProcesses, WriterKilledInTheMiddleOfAChangeLeavesItsMarker) {
  StoreSandbox sb;
  metadataPrivate *h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  HashListEntry first = makeHash(5, 0);
  ASSERT_EQ(0, addHashToBackup(&h, 8, &first));
  ASSERT_EQ(0, addHashedBackup(&h, 9) > 0 ? 0 : -1);
  uint64_t detailOff = first.value.hashID & ~mdl::ASSIGNED_ID_BIT;
  freeMetadataPrivate(&h, 0);

  // Hold the hash detail's record lock, so a writer adding that hash to
  // backup 9 stops inside its change (backup 9 write-locked and marked).
  int lockFd = open((sb.root() + "/dev/shm/.metadataBlockLockFile").c_str(), O_RDWR);
  ASSERT_GE(lockFd, 0);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = (off_t)detailOff;
  fl.l_len = 256;
  ASSERT_EQ(0, fcntl(lockFd, F_SETLK, &fl));

  pid_t child = fork();
  if (child == 0) {
    close(lockFd);
    metadataPrivate *c = allocateMetadataPrivate(0);
    if (!c) _exit(2);
    HashListEntry r = makeHash(5, 4096);
    addHashToBackup(&c, 9, &r);
    _exit(0);
  }
  // Wait until the child's marker is in the shadow file, then kill it.
  std::string shadowPath = sb.store("metadataBlockLockShadow");
  bool marked = false;
  uint64_t markedOffset = 0;
  for (int tries = 0; tries < 20000 && !marked; tries++) {
    std::string shadow = readFile(shadowPath);
    for (size_t s = 0; s < 511 && shadow.size() == 32768; s++) {
      size_t at = 64 + 64 * s;
      if ((get64(shadow, at) & 1) && get64(shadow, at + 8) == (uint64_t)child) {
        marked = true;
        markedOffset = get64(shadow, at) & ~1ULL;
      }
    }
    if (!marked) usleep(1000);
  }
  ASSERT_TRUE(marked) << "the writer never started its change";
  kill(child, SIGKILL);
  int st = 0;
  ASSERT_EQ(child, waitpid(child, &st, 0));
  ASSERT_TRUE(WIFSIGNALED(st));
  fl.l_type = F_UNLCK;
  fcntl(lockFd, F_SETLK, &fl);
  close(lockFd);

  // The next opener sees the marker: backup 9 is refused, backup 8 is fine.
  LogCapture log;
  h = allocateMetadataPrivate(0);
  ASSERT_NE(nullptr, h);
  int64_t b9 = findHashedBackup(&h, 9);
  EXPECT_EQ((uint64_t)b9, markedOffset) << "the marker names backup 9's record";
  EXPECT_EQ(1, checkMetadataLockShadow(h, markedOffset, 0));
  Walk w9;
  EXPECT_EQ(-1, iterateHashesInBackup(&h, 9, 0, 0, record, &w9));
  EXPECT_TRUE(w9.positions.empty());
  EXPECT_NE(std::string::npos, log.text().find("Backup 9 is locked -- repair metadata")) << log.text();
  Walk w8;
  EXPECT_EQ(0, iterateHashesInBackup(&h, 8, 0, 0, record, &w8));
  EXPECT_EQ(std::vector<uint64_t>{0}, w8.positions);
  freeMetadataPrivate(&h, 0);
}
