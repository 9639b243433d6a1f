// Unit tests of the Pipeline: the fit rules of addBlock with real store
// reads, large blocks, failed reads, the buffer FIFOs and the deadlock
// test of the checkpoint wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "support/log_capture.h"
#include "support/vaultd.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "lib/syspath.h"
#include "pipeline/pipeline.h"
#include "store/SIS.h"
#include "support/sandbox.h"
#include "vault/rest.h"

namespace {

// A sandboxed store holding blocks, read by records whose hash id and
// store offset are known (no index lookup).
class StoreBlocks {
 public:
  StoreBlocks() {
    attachLogStream(stderr);
    box_.mkdirs("/dev/shm");
    box_.master("[fileDedup]\n", "usr/vx/vxinit/master.ini");
    EXPECT_EQ(0, SIScreateInfoFile(8192, 1 << 20));
    box_.mkdirs("/dev0");
    EXPECT_EQ(0, SISaddDevice(box_.path("/dev0").c_str(), 1, false));
  }
  ~StoreBlocks() {
    if (lockFd_ >= 0) close(lockFd_);
  }
  HashListEntry add(const vdtest::Block &b, uint64_t fileOffset) {
    HashListEntry e;
    memset(&e, 0, sizeof e);
    int fd = open(sysPath(g_SISinfoPath).c_str(), O_RDWR);
    EXPECT_EQ(0, flock(fd, LOCK_SH));
    SIShandle *h = openSIS();
    close(fd);
    EXPECT_NE(nullptr, h);
    if (!h) return e;
    EXPECT_EQ(0, SISappendBlock(h, b.data.data(), b.data.size(), false, &e.value.SISoffset,
                                &e.value.compressedLength));
    freeSIS(h);
    e.value.flags = hashID_out | SISoffset_out | hashValue_out;
    e.value.hashID = ++ids_;
    e.value.hashedLength = b.data.size();
    memcpy(e.value.hashType, b.key.hashType, 8);
    memcpy(e.value.hashValue, b.key.hashValue, 64);
    e.location.fileOffset = fileOffset;
    return e;
  }
  void freeze() {
    lockFd_ = open(sysPath(g_SISinfoPath).c_str(), O_RDWR);
    ASSERT_EQ(0, flock(lockFd_, LOCK_SH));
  }

 private:
  rpd::test::Sandbox box_{"rpd-pipeline-unit"};
  int lockFd_ = -1;
  uint64_t ids_ = 0;
};

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint64_t le64(const uint8_t *p) { return le32(p) | uint64_t(le32(p + 4)) << 32; }

}  // namespace

TEST(addBlock, FitsBlocksByHeaderAndSizeAndReadsTheirData) {
  StoreBlocks store;
  vdtest::Block big = vdtest::randomBlock(816, 1), b16 = vdtest::randomBlock(16, 2),
                b15 = vdtest::randomBlock(15, 3), b917 = vdtest::randomBlock(917, 4);
  HashListEntry eBig = store.add(big, 0), e16 = store.add(b16, 816), e15 = store.add(b15, 0x1122334455667788ULL),
                e917 = store.add(b917, 900);
  store.freeze();
  std::mutex storeLock;
  WorkBuffer buf(1000);
  ASSERT_EQ(1000u, buf.size);
  EXPECT_EQ(1, addBlock(&buf, &eBig, &storeLock));
  EXPECT_EQ(900u, buf.used);
  // 900 + 16 + 84 is not below 1000; 15 fits.
  EXPECT_EQ(0, addBlock(&buf, &e16, &storeLock));
  EXPECT_EQ(900u, buf.used);
  EXPECT_EQ(1, addBlock(&buf, &e15, &storeLock));
  EXPECT_EQ(999u, buf.used);
  EXPECT_EQ(2u, buf.blockCount);
  // The second entry's header and data.
  const uint8_t *h = buf.data + 900;
  EXPECT_EQ(0, memcmp(h, "sha512\0\0", 8));
  EXPECT_EQ(15u, le32(h + 8));
  EXPECT_EQ(0, memcmp(h + 12, b15.key.hashValue, 64));
  EXPECT_EQ(0x1122334455667788ULL, le64(h + 76));
  EXPECT_EQ(0, memcmp(h + 84, b15.data.data(), 15));
  EXPECT_EQ(0, memcmp(buf.data + 84, big.data.data(), 816));
  // A block too large for any buffer of this size makes a full buffer full.
  EXPECT_EQ(0, addBlock(&buf, &e917, &storeLock));

  resetWorkBuffer(&buf);
  EXPECT_EQ(0u, buf.used);
  EXPECT_EQ(0u, buf.blockCount);
  // ... and goes into an empty one as its large block, unread.
  EXPECT_EQ(1, addBlock(&buf, &e917, &storeLock));
  ASSERT_NE(nullptr, buf.largeBlock);
  EXPECT_EQ(e917.value.hashID, buf.largeBlock->value.hashID);
  EXPECT_EQ(1u, buf.blockCount);
  EXPECT_EQ(0u, buf.used);
  EXPECT_EQ(0, addBlock(&buf, &e15, &storeLock)) << "a large block fills the buffer";
}

TEST(addBlock, FailedStoreReadsLeaveTheBufferAsItWas) {
  StoreBlocks store;
  vdtest::Block a = vdtest::randomBlock(100, 5);
  HashListEntry ea = store.add(a, 0);
  store.freeze();
  std::mutex storeLock;
  WorkBuffer buf(4096);
  ASSERT_EQ(1, addBlock(&buf, &ea, &storeLock));
  HashListEntry beyond = ea;
  beyond.value.SISoffset += 1 << 30;  // nothing stored there
  beyond.value.hashID = 77;
  EXPECT_EQ(-1, addBlock(&buf, &beyond, &storeLock));
  EXPECT_EQ(184u, buf.used);
  EXPECT_EQ(1u, buf.blockCount);
  // A record whose length claims more than the store holds reads short.
  HashListEntry longer = ea;
  longer.value.hashedLength = 1000000;
  longer.value.hashID = 78;
  WorkBuffer wide(2 << 20);
  EXPECT_EQ(-1, addBlock(&wide, &longer, &storeLock));
  EXPECT_EQ(0u, wide.used);
}

TEST(pipeline, BuffersCycleInFirstInFirstOutOrder) {
  Pipeline p(3, 4096, 16, "http://vault", 5);
  EXPECT_EQ(16u, p.blockList->capacity);
  p.emptyLock();
  EXPECT_EQ(3u, p.emptySize());
  WorkBuffer *a = p.emptyPop(), *b = p.emptyPop(), *c = p.emptyPop();
  EXPECT_EQ(nullptr, p.emptyPop());
  p.emptyUnlock();
  p.fullPush(b);
  p.fullPush(a);
  p.fullPush(c);
  p.fullLock();
  EXPECT_EQ(b, p.fullPop());
  EXPECT_EQ(a, p.fullPop());
  EXPECT_EQ(c, p.fullPop());
  p.fullUnlock();
  p.emptyPush(a);
  p.emptyPush(b);
  p.emptyPush(c);
  // An error is never overwritten by a state change.
  p.setExitCode(-1);
  EXPECT_EQ(0, p.changeExitCode(1, 2));
  EXPECT_EQ(-1, p.getExitCode());
}

TEST(pipeline, CheckpointWaitReportsADeadlockInsteadOfHanging) {
  rpd::test::LogCapture log(0);
  Pipeline p(2, 1024, 4, "http://vault", 5);
  p.timeout = 1;
  p.totalThreads = 1;
  // One send thread idling on the full list; nothing will ever be sent.
  std::thread idle([&] {
    p.fullLock();
    while (p.getExitCode() >= 0) p.fullWait();
    p.fullUnlock();
  });
  p.totalSentLock();
  p.blocksToSend = 1;
  int rc = 0;
  while (p.blocksSent < p.blocksToSend && rc == 0) rc = p.waitForSent();
  p.totalSentUnlock();
  EXPECT_EQ(-1, rc);
  p.setExitCode(-1);
  p.wakeAll();
  idle.join();
  EXPECT_TRUE(log.has("Deadlock detected. 1 waiting threads, 1 total threads"));
}
