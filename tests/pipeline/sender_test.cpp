// Tests of the block senders against the real vaultd: blocks from the
// store through the catalogue's hash list arrive once each, blocks the
// Vault holds stay home, and every fault (failed bodies, failed
// checkpoints, short check replies, dropped connections, store reads that
// fail part-way, memory that cannot be had) ends the send with its result.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>

#include "lib/pghelper.h"
#include "pipeline/common.h"
#include "pipeline/singleSender.h"
#include "pipeline/threadedSender.h"
#include "queue/progress.h"
#include "send_fixture.h"

using namespace pipetest;

namespace {

constexpr uint64_t kBackup = 10;
constexpr uint64_t kSecond = 11;

// Places n random blocks of assorted sizes (seeded from `seed`) in backup.
// Sizes run from 700 to 700 + span - 1 bytes.
std::vector<vdtest::Block> placeRandom(SendEnv &env, uint64_t backup, int n, unsigned seed, int span = 5000) {
  std::vector<vdtest::Block> out;
  for (int i = 0; i < n; i++) {
    vdtest::Block b = vdtest::randomBlock(700 + (size_t)((i * 1237) % span), seed * 1000 + (unsigned)i);
    env.place(backup, b, i % 3 == 0);
    out.push_back(b);
  }
  return out;
}

bool holdsAll(SendEnv &env, uint64_t backup) {
  for (const Placed &p : env.placed(backup))
    if (!env.vaultHolds(p.block)) return false;
  return true;
}

uint64_t totalBytes(SendEnv &env, uint64_t backup) {
  uint64_t n = 0;
  for (const Placed &p : env.placed(backup)) n += p.block.data.size();
  return n;
}

ProgressRecord progressFor(uint64_t backup) {
  ProgressRecord r;
  snprintf(r.name, sizeof r.name, "replicate");
  r.backupNo = backup;
  r.finalSize = 1 << 20;
  return r;
}

}  // namespace

TEST(threadedSend, EveryMissingBlockArrivesOnceAndHeldBlocksAreNotSentAgain) {
  SendEnv env;
  env.replicationIni("SendThreadCount=0\nThreadBufferCount=1\nMetaThreadTimeoutSeconds=5\n");
  g_settings.MaxBlocks = 16384;
  g_settings.MetaSize = 7;
  std::vector<vdtest::Block> blocks = placeRandom(env, kBackup, 30, 1);
  // A block too large for a work buffer, and a block that recurs in a
  // later batch.
  vdtest::Block large = vdtest::randomBlock(16384 - 84 + 1, 99);
  env.place(kBackup, large);
  env.place(kBackup, blocks[2]);
  env.freezeStore();
  long number = env.announce();

  LogCapture log;
  ProgressRecord progress = progressFor(kBackup);
  SendContext context{&progress, -1};
  uint64_t sentBefore = g_totalBytesSent;
  ASSERT_EQ(0, threadedSendBlocks(kBackup, env.target().c_str(), (uint64_t)number, &context));
  EXPECT_TRUE(log.has("SendThreadCount set to unexpected value:0, must be >=1. Setting internal SendThreadCount=1"));
  EXPECT_TRUE(log.has("Unadvised buffer count:1 setting to: 2"));
  EXPECT_TRUE(log.has("Threads created. Read:1, Send:1"));

  EXPECT_TRUE(holdsAll(env, kBackup));
  EXPECT_EQ(30, env.multiBlockEntries()) << "every small block once, the recurring one not again";
  EXPECT_EQ(1, env.requests("block")) << "the large block streamed by itself";
  EXPECT_EQ(32u, env.vaultBlockCount(number));
  EXPECT_FALSE(env.vaultRefusedSomething());
  EXPECT_EQ(totalBytes(env, kBackup), progress.currentSize);
  uint64_t unique = 0;
  for (const vdtest::Block &b : blocks) unique += b.data.size();
  // Bodies count with their 84-byte entry headers.
  EXPECT_EQ(unique + 30 * 84 + large.data.size(), g_totalBytesSent - sentBefore);

  // A later backup sharing most blocks sends only its own.
  for (int i = 0; i < 20; i++) env.place(kSecond, blocks[(size_t)i]);
  env.place(kSecond, large);
  std::vector<vdtest::Block> fresh = placeRandom(env, kSecond, 5, 2);
  long second = env.announce();
  ASSERT_EQ(0, threadedSendBlocks(kSecond, env.target().c_str(), (uint64_t)second));
  EXPECT_EQ(35, env.multiBlockEntries());
  EXPECT_EQ(1, env.requests("block"));
  EXPECT_EQ(26u, env.vaultBlockCount(second));
  EXPECT_TRUE(holdsAll(env, kSecond));

  // A backup without blocks ends at the first fill.
  long empty = env.announce();
  EXPECT_EQ(0, threadedSendBlocks(12, env.target().c_str(), (uint64_t)empty));
}

TEST(threadedSend, CheckpointsSendAgainOnlyWhatTheVaultLost) {
  SendEnv env;
  env.replicationIni("MetaThreadTimeoutSeconds=5\n");
  g_settings.MaxBlocks = 8192;
  g_settings.MetaSize = 6;
  g_settings.Checkpoint = 1;
  placeRandom(env, kBackup, 24, 3);
  env.freezeStore();
  long number = env.announce();
  // The second body arrives but its blocks are not kept.
  env.fault("endpoint=multiblock,count=2,kind=lose");
  LogCapture log;
  ASSERT_EQ(0, threadedSendBlocks(kBackup, env.target().c_str(), (uint64_t)number));
  EXPECT_TRUE(log.has("Checkpoint found mismatch, retry last batch of blocks"));
  EXPECT_TRUE(holdsAll(env, kBackup));
  EXPECT_EQ(24, env.multiBlockEntries()) << "kept bodies carry each block once";
  EXPECT_EQ(24u, env.vaultBlockCount(number));

  // A Vault that keeps nothing fails the checkpoints until the retries run out.
  g_settings.RetryCount = 1;
  placeRandom(env, kSecond, 6, 4);
  long second = env.announce();
  env.fault("endpoint=multiblock,count=1,times=0,kind=lose");
  ASSERT_EQ(-1, threadedSendBlocks(kSecond, env.target().c_str(), (uint64_t)second));
  EXPECT_TRUE(log.has("MetaThread: Checkpoint retry failed, too many retries attempted."));
}

TEST(threadedSend, FailedBodiesShortRepliesAndDroppedConnectionsEndTheSend) {
  SendEnv env;
  // One send thread, so consecutive failed requests are the same body's.
  env.replicationIni("MetaThreadTimeoutSeconds=5\nSendThreadCount=1\n");
  g_settings.MaxBlocks = 8192;
  g_settings.MetaSize = 5;
  placeRandom(env, kBackup, 12, 5);
  placeRandom(env, kSecond, 12, 6);
  placeRandom(env, 13, 12, 7);
  placeRandom(env, 14, 12, 8);
  env.freezeStore();
  LogCapture log;

  // One failed body is sent again.
  long first = env.announce();
  env.fault("endpoint=multiblock,count=1,kind=503");
  EXPECT_EQ(0, threadedSendBlocks(kBackup, env.target().c_str(), (uint64_t)first));
  EXPECT_TRUE(holdsAll(env, kBackup));

  // Two failures of the same body end the send.
  long second = env.announce();
  env.fault("endpoint=multiblock,count=1,times=2,kind=503");
  EXPECT_EQ(-1, threadedSendBlocks(kSecond, env.target().c_str(), (uint64_t)second));
  EXPECT_TRUE(log.has("SendThread: sendMultiBlock failed retry"));

  // A check reply one byte short.
  long third = env.announce();
  env.fault("endpoint=post-check-offset,count=2,kind=truncate,arg=4");
  EXPECT_EQ(-1, threadedSendBlocks(13, env.target().c_str(), (uint64_t)third));
  EXPECT_TRUE(log.has("postCheckOffset failed, unable to check blocks on target"));
  EXPECT_TRUE(log.has("MetaThread:Failed to populate block list"));

  // Connections dropped twice on the same body.
  long fourth = env.announce();
  env.fault("endpoint=multiblock,count=1,times=2,kind=drop");
  EXPECT_EQ(-1, threadedSendBlocks(14, env.target().c_str(), (uint64_t)fourth));
  EXPECT_TRUE(log.has("SendThread: sendMultiBlock failed (Curl status:"));
  EXPECT_FALSE(env.vaultRefusedSomething());
}

TEST(threadedSend, StoreReadFailingPartWayEndsWithoutSendingHalfFilledBuffers) {
  SendEnv env;
  env.replicationIni("MetaThreadTimeoutSeconds=5\n");
  g_settings.MaxBlocks = 8192;
  g_settings.MetaSize = 8;
  std::vector<vdtest::Block> blocks;
  for (int i = 0; i < 20; i++) {
    blocks.push_back(vdtest::randomBlock(2000, 500 + (unsigned)i));
    env.place(kBackup, blocks.back());
  }
  env.freezeStore();
  env.truncateStore(2000 * 10 + 100);
  long number = env.announce();
  LogCapture log;
  EXPECT_EQ(-1, threadedSendBlocks(kBackup, env.target().c_str(), (uint64_t)number));
  EXPECT_TRUE(log.has("Failed to read hashed contents"));
  EXPECT_TRUE(log.has("ReadThread: failed to add block to work buffer"));
  EXPECT_FALSE(env.vaultRefusedSomething());
  for (int i = 10; i < 20; i++) EXPECT_FALSE(env.vaultHolds(blocks[(size_t)i])) << i;
}

TEST(singleSend, MultiBlockBodiesWithTheBufferFitRuleAndLargeBlocks) {
  SendEnv env;
  g_settings.MaxBlocks = 4096;
  g_settings.MetaSize = 4;
  g_settings.Cluster = 1;
  vdtest::Block fits = vdtest::randomBlock(3584, 1), tooLarge = vdtest::randomBlock(3585, 2);
  env.place(kBackup, fits);
  env.place(kBackup, tooLarge);
  placeRandom(env, kBackup, 9, 9, 2500);
  env.freezeStore();
  long number = env.announce();
  LogCapture log;
  ProgressRecord progress = progressFor(kBackup);
  ASSERT_EQ(0, sendBufferBlocks(kBackup, env.target().c_str(), (uint64_t)number, &progress));
  EXPECT_EQ(1, env.requests("block")) << "3585 + 512 exceeds the buffer";
  EXPECT_EQ(10, env.multiBlockEntries());
  EXPECT_TRUE(holdsAll(env, kBackup));
  EXPECT_EQ(11u, env.vaultBlockCount(number));
  EXPECT_FALSE(env.vaultRefusedSomething());
  EXPECT_TRUE(log.has("Total unique blocks sent 11, blocks not sent (already found on target) 0."));
  EXPECT_EQ(totalBytes(env, kBackup), progress.currentSize);

  // Sending the same backup again finds everything on the Vault.
  long bodies = env.requests("multiblock");
  ASSERT_EQ(0, sendBufferBlocks(kBackup, env.target().c_str(), (uint64_t)number));
  EXPECT_EQ(bodies, env.requests("multiblock"));
  EXPECT_EQ(1, env.requests("block"));
  EXPECT_TRUE(log.has("Total unique blocks sent 0, blocks not sent (already found on target) 11."));
}

TEST(singleSend, OneRequestPerBlockWithoutClustering) {
  SendEnv env;
  g_settings.MaxBlocks = 65536;
  g_settings.MetaSize = 5;
  g_settings.Cluster = 0;
  std::vector<vdtest::Block> blocks = placeRandom(env, kBackup, 12, 11);
  env.freezeStore();
  // Four of them are on the Vault already.
  long earlier = env.announce();
  for (int i = 0; i < 4; i++) vdtest::putBlock(env.target(), earlier, blocks[(size_t)i * 3], 0);
  long number = env.announce();
  ASSERT_EQ(0, sendBufferBlocks(kBackup, env.target().c_str(), (uint64_t)number));
  EXPECT_EQ(4 + 8, env.requests("block"));
  EXPECT_EQ(0, env.requests("multiblock"));
  EXPECT_TRUE(holdsAll(env, kBackup));
  EXPECT_EQ(12u, env.vaultBlockCount(number));
}

TEST(singleSend, FailuresOfBodiesChecksAndCheckpoints) {
  SendEnv env;
  g_settings.MaxBlocks = 8192;
  g_settings.MetaSize = 5;
  for (uint64_t b = kBackup; b < kBackup + 5; b++) placeRandom(env, b, 10, 20 + (unsigned)b);
  env.freezeStore();
  LogCapture log;

  // Without checkpoints a body that fails twice aborts the job.
  long n1 = env.announce();
  env.fault("endpoint=multiblock,count=2,times=2,kind=503");
  EXPECT_EQ(-1, sendBufferBlocks(kBackup, env.target().c_str(), (uint64_t)n1));
  EXPECT_TRUE(log.has("putMultiBlocks failed retry, abort replication job"));

  // With checkpoints the next checkpoint finds the shortfall and the send
  // goes on.
  g_settings.Checkpoint = 1;
  long n2 = env.announce();
  env.fault("endpoint=multiblock,count=2,times=2,kind=503");
  EXPECT_EQ(0, sendBufferBlocks(kBackup + 1, env.target().c_str(), (uint64_t)n2));
  EXPECT_TRUE(log.has("Checkpoint found mismatch, retry meta batch"));
  EXPECT_TRUE(log.has("Recovered from curl error. setting ret=0"));

  // A Vault that keeps nothing: more than RetryCount mismatches fail (three
  // batches, so a checkpoint comes after the second mismatch).
  g_settings.RetryCount = 1;
  g_settings.MetaSize = 4;
  long n3 = env.announce();
  env.fault("endpoint=multiblock,count=1,times=0,kind=lose");
  EXPECT_EQ(-1, sendBufferBlocks(kBackup + 2, env.target().c_str(), (uint64_t)n3));
  EXPECT_TRUE(log.has("Checkpoint retry failed, too many tries attempted."));
  EXPECT_TRUE(log.has("Checkpoint metaBuffer location:0 hashID:"));
  vdtest::controlPost(env.target(), "clear-faults", "");
  g_settings.Checkpoint = 0;
  g_settings.MetaSize = 5;

  // A short check reply, and a dropped check.
  long n4 = env.announce();
  env.fault("endpoint=post-check-offset,count=1,kind=truncate,arg=4");
  EXPECT_EQ(-1, sendBufferBlocks(kBackup + 3, env.target().c_str(), (uint64_t)n4));
  EXPECT_TRUE(log.has("Failed to check with POST"));
  env.fault("endpoint=post-check-offset,count=1,kind=drop");
  EXPECT_GT(sendBufferBlocks(kBackup + 3, env.target().c_str(), (uint64_t)n4), 0) << "the transfer's code";
  EXPECT_TRUE(log.has("Curl status: "));
  EXPECT_FALSE(env.vaultRefusedSomething());
}

TEST(singleSend, StoreReadFailingPartWayFailsTheSend) {
  SendEnv env;
  g_settings.MaxBlocks = 8192;
  g_settings.MetaSize = 8;
  std::vector<vdtest::Block> blocks;
  for (int i = 0; i < 12; i++) {
    blocks.push_back(vdtest::randomBlock(2000, 700 + (unsigned)i));
    env.place(kBackup, blocks.back());
  }
  env.freezeStore();
  env.truncateStore(2000 * 6 + 100);
  long number = env.announce();
  LogCapture log;
  EXPECT_EQ(-1, sendBufferBlocks(kBackup, env.target().c_str(), (uint64_t)number));
  EXPECT_TRUE(log.has("readHashedContents failed"));
  EXPECT_FALSE(env.vaultRefusedSomething());
  for (int i = 6; i < 12; i++) EXPECT_FALSE(env.vaultHolds(blocks[(size_t)i])) << i;
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define RPD_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define RPD_UNDER_SANITIZER 1
#endif
#endif

// Buffers shrink when memory cannot be had at the configured sizes. The
// sends run in a child whose address space is limited.
TEST(bothSenders, BuffersShrinkWhenMemoryIsShort) {
  constexpr unsigned long kMargin = 1008UL << 20;  // of address space, see below
#ifdef RPD_UNDER_SANITIZER
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  SendEnv env;
  env.replicationIni("MetaThreadTimeoutSeconds=5\n");
  placeRandom(env, kBackup, 12, 40);
  placeRandom(env, kSecond, 12, 41);
  env.freezeStore();
  long first = env.announce(), second = env.announce();
  std::string logFile = env.box.path("/child.log");
  pgCloseAll();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    FILE *f = fopen(logFile.c_str(), "w");
    attachLogStream(f);
    log_level = 3;
    std::ifstream status("/proc/self/status");
    std::string line;
    unsigned long vmKb = 0;
    while (std::getline(status, line))
      if (line.rfind("VmSize:", 0) == 0) vmKb = strtoul(line.c_str() + 7, nullptr, 10);
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = vmKb * 1024 + kMargin;
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(10);
    // A buffer that shrinks takes the largest half-size that fits, so what
    // is left after it is known: from a margin of 1008 MiB the threaded
    // sender's four buffers get 512, 256, 128 and 64 MiB and leave 48 MiB
    // for thread stacks, connections and the hash list (each step at least
    // 16 MiB from the next size up, so small changes in what the process
    // already uses do not move them). The single sender's buffer then gets
    // 512 MiB, and its batch, asked for 600 MiB, shrinks once to 300 and
    // leaves about 200 MiB.
    g_settings.MaxBlocks = 1UL << 40;
    g_settings.MetaSize = 4096;
    int a = threadedSendBlocks(kBackup, env.target().c_str(), (uint64_t)first);
    g_settings.MetaSize = long((600UL << 20) / (sizeof(HashListEntry) + sizeof(SendTableSlot)));
    int b = sendBufferBlocks(kSecond, env.target().c_str(), (uint64_t)second);
    fflush(f);
    _exit(a == 0 && b == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  std::string log = rpd::test::readFile(logFile);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
  EXPECT_NE(std::string::npos, log.find("Cannot get memory: 1099511627776. Resizing"));
  EXPECT_NE(std::string::npos, log.find("Resizing buffers"));
  EXPECT_TRUE(holdsAll(env, kBackup));
  EXPECT_TRUE(holdsAll(env, kSecond));
  EXPECT_EQ(12u, env.vaultBlockCount(first));
  EXPECT_EQ(12u, env.vaultBlockCount(second));
#endif
}
