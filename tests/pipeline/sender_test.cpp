// Tests of the block senders against the real vaultd: blocks from the
// store through the catalogue's hash list arrive once each, blocks the
// Vault holds stay home, and every fault (failed bodies, failed
// checkpoints, short check replies, dropped connections, store reads that
// fail part-way, memory that cannot be had) ends the send with its result;
// the faults are one table run through both senders.
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

// Both senders under the same kinds of fault. A row gives the sender, the
// fault rules vaultd is given (";" between rules), the settings, and the
// outcome: the send's result (1 stands for any positive transfer code),
// a line the sender logs, and whether every block arrived anyway.
struct FaultRow {
  const char *sender;
  const char *rules;
  int checkpoint, retries;
  int result;
  const char *logLine;
  bool arrives;
};

const FaultRow kFaultRows[] = {
    // One failed body is sent again; a second failure of it ends the send.
    {"threaded", "endpoint=multiblock,count=1,kind=503", 0, 3, 0, "", true},
    {"threaded", "endpoint=multiblock,count=1,times=2,kind=503", 0, 3, -1, "SendThread: sendMultiBlock failed retry", false},
    {"single", "endpoint=multiblock,count=2,times=2,kind=503", 0, 3, -1,
     "putMultiBlocks failed retry, abort replication job", false},
    // With checkpoints the shortfall is found and the send goes on.
    {"single", "endpoint=multiblock,count=2,times=2,kind=503", 1, 3, 0, "Recovered from curl error. setting ret=0", false},
    {"threaded", "endpoint=multiblock,count=2,kind=lose", 1, 3, 0, "Checkpoint found mismatch, retry last batch of blocks",
     true},
    {"single", "endpoint=multiblock,count=2,kind=lose", 1, 3, 0, "Checkpoint found mismatch, retry meta batch", false},
    // A Vault that keeps nothing fails the checkpoints until the retries run out.
    {"threaded", "endpoint=multiblock,count=1,times=0,kind=lose", 1, 1, -1,
     "MetaThread: Checkpoint retry failed, too many retries attempted.", false},
    {"single", "endpoint=multiblock,count=1,times=0,kind=lose", 1, 1, -1,
     "Checkpoint retry failed, too many tries attempted.", false},
    // A check reply one byte short, and dropped connections.
    {"threaded", "endpoint=post-check-offset,count=2,kind=truncate,arg=4", 0, 3, -1,
     "postCheckOffset failed, unable to check blocks on target", false},
    {"single", "endpoint=post-check-offset,count=1,kind=truncate,arg=4", 0, 3, -1, "Failed to check with POST", false},
    {"threaded", "endpoint=multiblock,count=1,times=2,kind=drop", 0, 3, -1,
     "SendThread: sendMultiBlock failed (Curl status:", false},
    {"single", "endpoint=post-check-offset,count=1,kind=drop", 0, 3, 1, "Curl status: ", false},
};

int send(const std::string &sender, uint64_t backup, const std::string &target, long number) {
  return sender == "threaded" ? threadedSendBlocks(backup, target.c_str(), (uint64_t)number)
                              : sendBufferBlocks(backup, target.c_str(), (uint64_t)number);
}

TEST(bothSenders, FaultsEndOrRepairTheSendAsEachRowSays) {
  SendEnv env;
  // One send thread, so consecutive failed requests are the same body's.
  env.replicationIni("MetaThreadTimeoutSeconds=5\nSendThreadCount=1\n");
  g_settings.MaxBlocks = 8192;
  g_settings.MetaSize = 5;
  uint64_t backup = kBackup;
  for (size_t i = 0; i < std::size(kFaultRows); i++) placeRandom(env, backup + i, 12, 20 + (unsigned)i);
  env.freezeStore();
  for (const FaultRow &row : kFaultRows) {
    SCOPED_TRACE(std::string(row.sender) + " " + row.rules);
    vdtest::controlPost(env.target(), "clear-faults", "");
    g_settings.Checkpoint = row.checkpoint;
    g_settings.RetryCount = row.retries;
    long number = env.announce();
    std::string rules = row.rules;
    for (size_t at = 0; at < rules.size();) {
      size_t end = rules.find(';', at);
      env.fault(rules.substr(at, end == std::string::npos ? std::string::npos : end - at));
      at = end == std::string::npos ? rules.size() : end + 1;
    }
    LogCapture log;
    int result = send(row.sender, backup, env.target(), number);
    EXPECT_EQ(row.result, result > 0 ? 1 : result);
    if (*row.logLine) {
      EXPECT_TRUE(log.has(row.logLine)) << log.text().substr(0, 3000);
    }
    if (row.arrives) {
      EXPECT_TRUE(holdsAll(env, backup));
    }
    EXPECT_FALSE(env.vaultRefusedSomething()) << "a half-filled or malformed body";
    backup++;
  }
}

// A store read that fails part-way fails the send, and no buffer filled
// only in part is sent: the blocks from the failing one on never arrive.
TEST(bothSenders, StoreReadFailingPartWayFailsWithoutSendingHalfFilledBuffers) {
  SendEnv env;
  env.replicationIni("MetaThreadTimeoutSeconds=5\n");
  g_settings.MaxBlocks = 8192;
  g_settings.MetaSize = 8;
  std::vector<vdtest::Block> blocks;
  for (int i = 0; i < 24; i++) {
    blocks.push_back(vdtest::randomBlock(2000, 500 + (unsigned)i));
    env.place(i < 12 ? kBackup : kSecond, blocks.back());
  }
  env.freezeStore();
  // The second backup's blocks lie after the first's in the span file.
  env.truncateStore(2000 * 18 + 100);
  struct {
    const char *sender;
    uint64_t backup;
    const char *logLine;
  } rows[] = {{"threaded", kSecond, "ReadThread: failed to add block to work buffer"},
              {"single", kSecond, "readHashedContents failed"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.sender);
    long number = env.announce();
    LogCapture log;
    EXPECT_EQ(-1, send(row.sender, row.backup, env.target(), number));
    EXPECT_TRUE(log.has(row.logLine));
    EXPECT_FALSE(env.vaultRefusedSomething());
    for (int i = 18; i < 24; i++) EXPECT_FALSE(env.vaultHolds(blocks[(size_t)i])) << i;
  }
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
