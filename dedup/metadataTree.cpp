// metadataTree.cpp: the reference trees of the metadata store.
//
// A backup's references form a tree ordered by position: reference-list
// blocks ("#RefList") as interior nodes and hash reference blocks
// ("hashRef") as leaves; the SIS references form a tree of the same shape
// ordered by SIS offset ("SIS#Ref" leaves). Entries never move once written
// (hash reference chains and hash details point at them), so a leaf only
// ever grows at its end. A key that arrives in order is appended; one that
// does not joins the out-of-order ring of the in-tree entry with the
// greatest key not above it. Ring members live in separate overflow blocks
// that are never leaves of the tree, so a walk meets each of them exactly
// once, through its ring.
//
// Every in-tree entry carries ENTRY_FLAG_OCCUPIED for good: an entry whose
// record is later removed keeps its key and its ring, so the lowest key of
// a leaf never changes and the keys of interior nodes stay exact.
#include <string.h>

#include <algorithm>
#include <set>

#include "dedup/metadataInternal.h"
#include "dedup/metadataSignals.h"
#include "lib/logger.h"

namespace {
constexpr uint64_t ENTRY_FLAG_OCCUPIED = 8;  // in-tree entry (never cleared)
constexpr uint64_t RING_FLAGS = mdl::ENTRY_FLAG_RING_HEAD | mdl::ENTRY_FLAG_RING_MEMBER;

bool validOffset(uint64_t v) { return v != mdl::NONE && v != mdl::NONE2 && v != 0; }
uint64_t leafEntries(const metadataPrivate *h) { return h->blockSize / mdl::ENTRY_BYTES; }
uint64_t listEntries(const metadataPrivate *h) { return (h->blockSize - mdl::REFLIST_ENTRIES) / mdl::REFLIST_ENTRY_BYTES; }
uint64_t listKey(const uint8_t *p, uint64_t i) { return mdGet64(p, mdl::REFLIST_ENTRIES + mdl::REFLIST_ENTRY_BYTES * i); }
uint64_t listChild(const uint8_t *p, uint64_t i) { return mdGet64(p, mdl::REFLIST_ENTRIES + mdl::REFLIST_ENTRY_BYTES * i + 8); }
void setListEntry(uint8_t *p, uint64_t i, uint64_t key, uint64_t child) {
  mdPut64(p, mdl::REFLIST_ENTRIES + mdl::REFLIST_ENTRY_BYTES * i, key);
  mdPut64(p, mdl::REFLIST_ENTRIES + mdl::REFLIST_ENTRY_BYTES * i + 8, child);
}
uint64_t listCount(const metadataPrivate *h, const uint8_t *p) {
  uint64_t n = 0;
  while (n < listEntries(h) && validOffset(listChild(p, n))) n++;
  return n;
}
bool isList(const uint8_t *p) { return memcmp(p, mdl::REFLIST_SIGNATURE, 8) == 0; }
bool isLeaf(const uint8_t *p, const treeKind &kind) { return memcmp(p, kind.leafSignature, 8) == 0; }
uint8_t *entryAt(uint8_t *leaf, uint64_t i) { return leaf + i * mdl::ENTRY_BYTES; }
bool occupied(const uint8_t *e) { return mdGet64(e, mdl::ENTRY_FLAGS) & ENTRY_FLAG_OCCUPIED; }

struct pathStep {
  uint64_t list;   // offset of the reference-list block
  uint64_t index;  // child taken
};
}  // namespace

const treeKind kBackupTree = {mdl::HASHREF_SIGNATURE, 0, mdl::REF_POSITION};
const treeKind kSISTree = {mdl::SISREF_SIGNATURE, 1, mdl::SISREF_SIS_OFFSET};

bool entryHasDetail(const uint8_t *entry) { return validOffset(mdGet64(entry, mdl::ENTRY_DETAIL)); }

uint64_t entryRing(const uint8_t *entry) {
  uint64_t r = mdGet64(entry, mdl::ENTRY_RING);
  return validOffset(r) ? r : mdl::NONE;
}

int64_t newReferenceBlock(metadataPrivate *h, const treeKind &kind) {
  int64_t off = getMetadataBlock(h);
  if (off < 0) {
    LOG(0, "%s():  Can't get metadata block for hash references!", __func__);
    return -1;
  }
  blockRef b(h, (uint64_t)off);
  if (!b) return -1;
  for (uint64_t i = 0; i < leafEntries(h); i++) {
    uint8_t *e = entryAt(b.get(), i);
    memcpy(e, kind.leafSignature, 8);
    memset(e + 8, 0xFF, 40);
    mdPut64(e, mdl::ENTRY_RING, mdl::NONE);
  }
  return off;
}

int64_t newHashReferenceList(metadataPrivate *h, const treeKind &kind) {
  int64_t off = getMetadataBlock(h);
  if (off < 0) {
    LOG(0, "%s():  Can't get metadata block for reference list!", __func__);
    return -1;
  }
  blockRef b(h, (uint64_t)off);
  if (!b) return -1;
  memcpy(b.get(), mdl::REFLIST_SIGNATURE, 8);
  b.get()[mdl::REFLIST_FLAGS] = kind.listFlag;
  for (uint64_t i = 0; i < listEntries(h); i++) setListEntry(b.get(), i, 0, mdl::NONE);
  return off;
}

// Lowers the lowest key recorded for the path's subtree at `level` and above
// while the step is the first child.
static int lowerPathKeys(metadataPrivate *h, const std::vector<pathStep> &path, int level, uint64_t key) {
  for (int l = level; l >= 0; l--) {
    blockRef b(h, path[l].list);
    if (!b) return -1;
    uint64_t i = path[l].index;
    if (listKey(b.get(), i) > key) setListEntry(b.get(), i, key, listChild(b.get(), i));
    if (i != 0) break;
  }
  return 0;
}

// Makes a new root list holding two children.
static int newRoot(metadataPrivate *h, const treeKind &kind, uint64_t *root, uint64_t k0, uint64_t c0,
                   uint64_t k1, uint64_t c1) {
  int64_t list = newHashReferenceList(h, kind);
  if (list < 0) return -1;
  blockRef b(h, (uint64_t)list);
  if (!b) return -1;
  setListEntry(b.get(), 0, k0, c0);
  setListEntry(b.get(), 1, k1, c1);
  *root = (uint64_t)list;
  return 0;
}

// Puts (key, child) at position pos of the list at path[level], splitting
// full lists upwards.
static int insertChild(metadataPrivate *h, const treeKind &kind, uint64_t *root, std::vector<pathStep> &path,
                       int level, uint64_t pos, uint64_t key, uint64_t child) {
  blockRef b(h, path[level].list);
  if (!b) return -1;
  uint8_t *p = b.get();
  uint64_t n = listCount(h, p);
  uint64_t cap = listEntries(h);
  if (n < cap) {
    memmove(p + mdl::REFLIST_ENTRIES + mdl::REFLIST_ENTRY_BYTES * (pos + 1),
            p + mdl::REFLIST_ENTRIES + mdl::REFLIST_ENTRY_BYTES * pos, mdl::REFLIST_ENTRY_BYTES * (n - pos));
    setListEntry(p, pos, key, child);
    if (pos == 0 && level > 0) return lowerPathKeys(h, path, level - 1, key);
    return 0;
  }
  int64_t r = newHashReferenceList(h, kind);
  if (r < 0) return -1;
  blockRef rb(h, (uint64_t)r);
  if (!rb) return -1;
  uint8_t *q = rb.get();
  if (pos == n) {
    // Appending at the right edge: a new sibling with the one child keeps
    // the full list full, which suits keys arriving in order.
    setListEntry(q, 0, key, child);
  } else {
    uint64_t half = n / 2;
    for (uint64_t i = half; i < n; i++) {
      setListEntry(q, i - half, listKey(p, i), listChild(p, i));
      setListEntry(p, i, 0, mdl::NONE);
    }
    uint8_t *target = pos <= half ? p : q;
    uint64_t tpos = pos <= half ? pos : pos - half;
    uint64_t tn = listCount(h, target);
    memmove(target + mdl::REFLIST_ENTRIES + mdl::REFLIST_ENTRY_BYTES * (tpos + 1),
            target + mdl::REFLIST_ENTRIES + mdl::REFLIST_ENTRY_BYTES * tpos, mdl::REFLIST_ENTRY_BYTES * (tn - tpos));
    setListEntry(target, tpos, key, child);
    if (pos == 0 && level > 0 && lowerPathKeys(h, path, level - 1, key) != 0) return -1;
  }
  uint64_t rLowest = listKey(q, 0);
  if (level == 0) return newRoot(h, kind, root, listKey(p, 0), path[0].list, rLowest, (uint64_t)r);
  return insertChild(h, kind, root, path, level - 1, path[level - 1].index + 1, rLowest, (uint64_t)r);
}

// A free entry of the overflow block (a new block when it has none).
static int64_t allocOverflowEntry(metadataPrivate *h, const treeKind &kind, uint64_t *overflow) {
  if (validOffset(*overflow)) {
    blockRef b(h, *overflow);
    if (!b) return -1;
    for (uint64_t i = 0; i < leafEntries(h); i++) {
      uint8_t *e = entryAt(b.get(), i);
      if (!entryHasDetail(e) && (mdGet64(e, mdl::ENTRY_FLAGS) & (RING_FLAGS | ENTRY_FLAG_OCCUPIED)) == 0 &&
          entryRing(e) == mdl::NONE)
        return (int64_t)(*overflow + i * mdl::ENTRY_BYTES);
    }
  }
  int64_t blk = newReferenceBlock(h, kind);
  if (blk < 0) return -1;
  *overflow = (uint64_t)blk;
  return blk;
}

static int64_t ringInsert(metadataPrivate *h, const treeKind &kind, uint64_t head, uint64_t *overflow,
                          uint64_t key, void (*fill)(void *, uint8_t *), void *ctx) {
  int64_t m = allocOverflowEntry(h, kind, overflow);
  if (m < 0) return -1;
  blockRef mb(h, (uint64_t)m);
  blockRef hb(h, head);
  if (!mb || !hb) return -1;
  fill(ctx, mb.get());
  mdPut64(mb.get(), kind.keyOffset, key);
  mdPut64(mb.get(), mdl::ENTRY_FLAGS, mdGet64(mb.get(), mdl::ENTRY_FLAGS) | mdl::ENTRY_FLAG_RING_MEMBER);
  // Ring members follow their head in ascending key order.
  uint64_t prev = head;
  uint64_t cur = entryRing(hb.get());
  if (cur == mdl::NONE) cur = head;
  while (cur != head) {
    blockRef cb(h, cur);
    if (!cb) return -1;
    if (mdGet64(cb.get(), kind.keyOffset) > key) break;
    prev = cur;
    cur = entryRing(cb.get());
    if (cur == mdl::NONE) cur = head;
  }
  mdPut64(mb.get(), mdl::ENTRY_RING, cur);
  {
    blockRef pb(h, prev);
    if (!pb) return -1;
    mdPut64(pb.get(), mdl::ENTRY_RING, (uint64_t)m);
  }
  mdPut64(hb.get(), mdl::ENTRY_FLAGS, mdGet64(hb.get(), mdl::ENTRY_FLAGS) | mdl::ENTRY_FLAG_RING_HEAD);
  return m;
}

// Writes a new in-tree entry at entry offset e.
static void placeEntry(uint8_t *e, const treeKind &kind, uint64_t key, void (*fill)(void *, uint8_t *), void *ctx) {
  fill(ctx, e);
  mdPut64(e, kind.keyOffset, key);
  mdPut64(e, mdl::ENTRY_RING, mdl::NONE);
  uint64_t flags = mdGet64(e, mdl::ENTRY_FLAGS);
  mdPut64(e, mdl::ENTRY_FLAGS, (flags & ~RING_FLAGS) | ENTRY_FLAG_OCCUPIED);
}

int64_t treeInsertImpl(metadataPrivate *h, const treeKind &kind, uint64_t *root, uint64_t *overflow,
                       uint64_t key, void (*fill)(void *ctx, uint8_t *entry), void *ctx) {
  if (!validOffset(*root)) {
    int64_t leaf = newReferenceBlock(h, kind);
    if (leaf < 0) return -1;
    blockRef b(h, (uint64_t)leaf);
    if (!b) return -1;
    placeEntry(b.get(), kind, key, fill, ctx);
    *root = (uint64_t)leaf;
    return leaf;
  }
  std::vector<pathStep> path;
  uint64_t cur = *root;
  for (;;) {
    blockRef b(h, cur);
    if (!b) return -1;
    if (isLeaf(b.get(), kind)) break;
    if (!isList(b.get())) {
      LOG(0, "%s():  Unrecognized block at offset 0x%lX", __func__, (unsigned long)cur);
      return -1;
    }
    uint64_t n = listCount(h, b.get());
    if (n == 0) {
      LOG(0, "%s():  Unrecognized block at offset 0x%lX", __func__, (unsigned long)cur);
      return -1;
    }
    uint64_t i = 0;
    for (uint64_t j = 0; j < n; j++)
      if (listKey(b.get(), j) <= key) i = j;
    path.push_back({cur, i});
    cur = listChild(b.get(), i);
  }
  blockRef leaf(h, cur);
  if (!leaf) return -1;
  int64_t last = -1, best = -1;
  uint64_t bestKey = 0;
  for (uint64_t i = 0; i < leafEntries(h); i++) {
    uint8_t *e = entryAt(leaf.get(), i);
    if (!occupied(e)) continue;
    last = (int64_t)i;
    uint64_t k = mdGet64(e, kind.keyOffset);
    if (k <= key && (best < 0 || k >= bestKey)) {
      best = (int64_t)i;
      bestKey = k;
    }
  }
  if (best >= 0 && best == last && bestKey < key) {
    if ((uint64_t)last + 1 < leafEntries(h)) {
      placeEntry(entryAt(leaf.get(), last + 1), kind, key, fill, ctx);
      return (int64_t)(cur + (last + 1) * mdl::ENTRY_BYTES);
    }
    int64_t nl = newReferenceBlock(h, kind);
    if (nl < 0) return -1;
    {
      blockRef nb(h, (uint64_t)nl);
      if (!nb) return -1;
      placeEntry(nb.get(), kind, key, fill, ctx);
    }
    int rc = path.empty() ? newRoot(h, kind, root, mdGet64(entryAt(leaf.get(), 0), kind.keyOffset), cur, key,
                                    (uint64_t)nl)
                          : insertChild(h, kind, root, path, int(path.size()) - 1, path.back().index + 1, key,
                                        (uint64_t)nl);
    return rc == 0 ? nl : -1;
  }
  if (best >= 0) return ringInsert(h, kind, cur + best * mdl::ENTRY_BYTES, overflow, key, fill, ctx);
  if (last < 0) {
    // An empty leaf (never left behind by this code, but tolerated).
    placeEntry(entryAt(leaf.get(), 0), kind, key, fill, ctx);
    if (!path.empty() && lowerPathKeys(h, path, int(path.size()) - 1, key) != 0) return -1;
    return (int64_t)cur;
  }
  // Below every key of the tree: a new leading leaf.
  int64_t nl = newReferenceBlock(h, kind);
  if (nl < 0) return -1;
  {
    blockRef nb(h, (uint64_t)nl);
    if (!nb) return -1;
    placeEntry(nb.get(), kind, key, fill, ctx);
  }
  int rc = path.empty() ? newRoot(h, kind, root, key, (uint64_t)nl, mdGet64(entryAt(leaf.get(), 0), kind.keyOffset), cur)
                        : insertChild(h, kind, root, path, int(path.size()) - 1, path.back().index, key, (uint64_t)nl);
  return rc == 0 ? nl : -1;
}

// ---------------------------------------------------------------------------
// Walking.
// ---------------------------------------------------------------------------

namespace {
struct walkState {
  metadataPrivate *h;
  const treeKind *kind;
  treeVisitor visit;
  void *ctx;
  bool withSignals;
  uint64_t position;  // lowest key still wanted
  bool stop;
  int rc;
};

void visitEntry(walkState &w, uint64_t off, uint8_t *e) {
  if (mdGet64(e, w.kind->keyOffset) < w.position) return;
  int64_t next = w.visit(w.ctx, off, e);
  if (next < 0) {
    w.stop = true;
  } else {
    w.position = (uint64_t)next;
  }
}

void traverseOOOlist(walkState &w, uint64_t first) {
  uint64_t cur = first;
  do {
    blockRef b(w.h, cur);
    if (!b) {
      LOG(0, "%s():  Can't map out of order reference at offset 0x%lX", __func__, (unsigned long)cur);
      w.rc = -1;
      w.stop = true;
      return;
    }
    uint8_t *e = b.get();
    if (memcmp(e, w.kind->leafSignature, 8) != 0 ||
        (!entryHasDetail(e) && (mdGet64(e, mdl::ENTRY_FLAGS) & RING_FLAGS) == 0)) {
      LOG(0, "%s():  Invalid out of order reference at offset 0x%lX", __func__, (unsigned long)cur);
      w.rc = -1;
      w.stop = true;
      return;
    }
    if (entryHasDetail(e)) visitEntry(w, cur, e);
    if (w.stop) return;
    cur = entryRing(e);
  } while (cur != mdl::NONE && cur != first);
}

void walkNode(walkState &w, uint64_t off) {
  blockRef b(w.h, off);
  if (!b) {
    w.rc = -1;
    w.stop = true;
    return;
  }
  uint8_t *p = b.get();
  if (isList(p)) {
    if (w.withSignals && metadataSignalReceived()) {
      w.rc = -1;
      w.stop = true;
      return;
    }
    uint64_t n = listEntries(w.h);
    for (uint64_t i = 0; i < n && !w.stop; i++) {
      if (!validOffset(listChild(p, i))) continue;
      // The wanted keys lie further on when the next child starts below them.
      if (i + 1 < n && validOffset(listChild(p, i + 1)) && listKey(p, i + 1) < w.position) continue;
      walkNode(w, listChild(p, i));
    }
  } else if (isLeaf(p, *w.kind)) {
    for (uint64_t i = 0; i < leafEntries(w.h) && !w.stop; i++) {
      uint8_t *e = entryAt(p, i);
      uint64_t eoff = off + i * mdl::ENTRY_BYTES;
      if (memcmp(e, w.kind->leafSignature, 8) != 0) {
        LOG(0, "%s():  Hash reference not signed at 0x%lX", __func__, (unsigned long)eoff);
        w.rc = -1;
        w.stop = true;
        return;
      }
      if (entryRing(e) != mdl::NONE && (mdGet64(e, mdl::ENTRY_FLAGS) & mdl::ENTRY_FLAG_RING_HEAD))
        traverseOOOlist(w, eoff);
      else if (entryHasDetail(e))
        visitEntry(w, eoff, e);
    }
  } else {
    LOG(0, "%s():  Unrecognized block at offset 0x%lX", __func__, (unsigned long)off);
  }
}
}  // namespace

int treeWalk(metadataPrivate *h, const treeKind &kind, uint64_t root, uint64_t start, treeVisitor visit,
             void *ctx, bool withSignals) {
  if (!validOffset(root)) return 0;
  walkState w = {h, &kind, visit, ctx, withSignals, start, false, 0};
  walkNode(w, root);
  return w.rc;
}

static int collect(metadataPrivate *h, const treeKind &kind, uint64_t off, std::set<uint64_t> &blocks) {
  blockRef b(h, off);
  if (!b) return -1;
  blocks.insert(off);
  uint8_t *p = b.get();
  if (isList(p)) {
    for (uint64_t i = 0; i < listEntries(h); i++)
      if (validOffset(listChild(p, i)) && collect(h, kind, listChild(p, i), blocks) != 0) return -1;
    return 0;
  }
  if (!isLeaf(p, kind)) return 0;
  for (uint64_t i = 0; i < leafEntries(h); i++) {
    uint8_t *e = entryAt(p, i);
    uint64_t first = off + i * mdl::ENTRY_BYTES;
    for (uint64_t cur = entryRing(e); cur != mdl::NONE && cur != first;) {
      blocks.insert(cur - cur % h->blockSize);
      blockRef cb(h, cur);
      if (!cb) return -1;
      cur = entryRing(cb.get());
    }
  }
  return 0;
}

int treeCollectBlocks(metadataPrivate *h, const treeKind &kind, uint64_t root, std::vector<uint64_t> *blocks) {
  std::set<uint64_t> set;
  if (validOffset(root) && collect(h, kind, root, set) != 0) return -1;
  blocks->assign(set.begin(), set.end());
  return 0;
}

int treeRemoveEntry(metadataPrivate *h, uint64_t entryOffset) {
  blockRef b(h, entryOffset);
  if (!b) return -1;
  uint8_t *e = b.get();
  uint64_t flags = mdGet64(e, mdl::ENTRY_FLAGS);
  if ((flags & mdl::ENTRY_FLAG_RING_MEMBER) == 0) {
    mdPut64(e, mdl::ENTRY_DETAIL, mdl::NONE);
    return 0;
  }
  // Find the predecessor in the ring and bridge over the entry.
  uint64_t prev = entryOffset;
  for (uint64_t cur = entryRing(e); cur != mdl::NONE && cur != entryOffset;) {
    blockRef cb(h, cur);
    if (!cb) return -1;
    prev = cur;
    cur = entryRing(cb.get());
  }
  uint64_t next = entryRing(e);
  {
    blockRef pb(h, prev);
    if (!pb) return -1;
    uint8_t *pe = pb.get();
    if (next == prev && (mdGet64(pe, mdl::ENTRY_FLAGS) & mdl::ENTRY_FLAG_RING_HEAD)) {
      // The head is left alone: the ring is gone.
      mdPut64(pe, mdl::ENTRY_RING, mdl::NONE);
      mdPut64(pe, mdl::ENTRY_FLAGS, mdGet64(pe, mdl::ENTRY_FLAGS) & ~mdl::ENTRY_FLAG_RING_HEAD);
    } else {
      mdPut64(pe, mdl::ENTRY_RING, next);
    }
  }
  const char *sig = reinterpret_cast<const char *>(e);
  char signature[8];
  memcpy(signature, sig, 8);
  memset(e, 0, mdl::ENTRY_BYTES);
  memcpy(e, signature, 8);
  memset(e + 8, 0xFF, 40);
  mdPut64(e, mdl::ENTRY_RING, mdl::NONE);
  return 0;
}
