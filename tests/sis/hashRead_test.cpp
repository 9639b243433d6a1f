// hashRead_test.cpp: hash locks between processes, SHA-512 hash contexts,
// and reading blocks held in the single instance store by hash.
#include "dedup/hashRead.h"

#include <sys/wait.h>

#include "pipeline/common.h"
#include "sis_fixture.h"

using namespace sis_test;

namespace {

HashValue lockRecord(uint64_t id, uint8_t flags = hashID_in) {
  HashValue r{};
  r.flags = flags;
  r.hashID = id;
  return r;
}

// A child process holding hash locks on command: 'X' exclusive on hash 5,
// 'S' shared on hash 5, 'U' unlock it, 'Q' quit. Each command is answered
// with one byte once done.
class LockHolder {
 public:
  LockHolder() {
    if (pipe(toChild_) != 0 || pipe(fromChild_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(toChild_[1]);
      close(fromChild_[0]);
      hashLockState *state = nullptr;
      HashValue five = lockRecord(5);
      char c;
      while (read(toChild_[0], &c, 1) == 1) {
        int rc = 0;
        if (c == 'X') rc = lockHashValuesExclusive(&state, &five, 1);
        if (c == 'S') rc = lockHashValuesShared(&state, &five, 1);
        if (c == 'U') rc = unlockHashValues(&state, &five, 1);
        if (c == 'Q') _exit(0);
        char answer = rc == 1 ? '1' : '0';
        if (write(fromChild_[1], &answer, 1) != 1) _exit(2);
      }
      _exit(0);
    }
    close(toChild_[0]);
    close(fromChild_[1]);
  }
  ~LockHolder() {
    tell('Q');
    close(toChild_[1]);
    close(fromChild_[0]);
    int status;
    if (pid_ > 0) waitpid(pid_, &status, 0);
  }
  bool tell(char c) { return write(toChild_[1], &c, 1) == 1; }
  // The child's answer: true when its lock call processed the record.
  bool answer() {
    char c = 0;
    return read(fromChild_[0], &c, 1) == 1 && c == '1';
  }
  bool run(char c) { return tell(c) && answer(); }

 private:
  int toChild_[2] = {-1, -1}, fromChild_[2] = {-1, -1};
  pid_t pid_ = -1;
};

}  // namespace

TEST(hashLocks, ExcludeOtherProcessesPerHashIdModulo2To30) {
  rpd::test::Sandbox box("rpd-hashlock");
  box.mkdirs("/dev/shm");
  LogCapture log;
  hashLockState *state = nullptr;
  HashValue one = lockRecord(5);
  EXPECT_EQ(lockHashValuesShared(nullptr, &one, 1), -1);
  EXPECT_TRUE(log.has("lockHashValuesShared(NULL,,)"));

  LockHolder holder;
  ASSERT_TRUE(holder.run('X'));

  // With a lock taken in the call, a busy byte ends it with the count so far.
  HashValue six = lockRecord(6), fiveAgain = lockRecord(5);
  HashValue pair[2] = {six, fiveAgain};
  EXPECT_EQ(lockHashValuesShared(&state, pair, 2), 1);
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(unlockHashValues(&state, pair, 1), 1);
  // 5 + 2^30 and 5 + 2^31 share hash 5's byte.
  HashValue aliases[3] = {six, lockRecord(5 + (1ULL << 30)), lockRecord(5 + (1ULL << 31))};
  EXPECT_EQ(lockHashValuesExclusive(&state, aliases, 3), 1);
  EXPECT_EQ(unlockHashValues(&state, aliases, 1), 1);
  // Records without hashID_in are not locked, and count stops the walk.
  HashValue skipped[3] = {lockRecord(5, hashID_out), six, fiveAgain};
  EXPECT_EQ(lockHashValuesExclusive(&state, skipped, 2), 2);
  EXPECT_EQ(unlockHashValues(&state, skipped, 2), 2);

  // Shared locks share; an exclusive request meets the shared holder.
  ASSERT_TRUE(holder.run('S'));
  EXPECT_EQ(lockHashValuesShared(&state, pair, 2), 2);
  EXPECT_EQ(unlockHashValues(&state, pair, 2), 2);
  EXPECT_EQ(lockHashValuesExclusive(&state, pair, 2), 1);
  EXPECT_EQ(unlockHashValues(&state, pair, 2), 2);

  // The first lock of a call waits for the holder to let go.
  ASSERT_TRUE(holder.tell('U'));
  EXPECT_EQ(lockHashValuesExclusive(&state, &fiveAgain, 1), 1);
  EXPECT_TRUE(holder.answer());
  // Now the child is the one that meets a busy byte: its first lock waits,
  // so let go before asking it.
  EXPECT_EQ(unlockHashValues(&state, &fiveAgain, 1), 1);
  EXPECT_TRUE(holder.run('X'));
  freeLockedHashState(&state);
  EXPECT_EQ(state, nullptr);
}

TEST(hashContexts, Sha512OfPiecesEqualsTheDigestOfTheWhole) {
  hashContext *ctx = nullptr;
  ASSERT_EQ(initializeHashContext(&ctx), 0);
  ASSERT_NE(ctx, nullptr);
  EXPECT_STREQ(ctx->typeName, "sha512");
  ASSERT_EQ(addToHashContext(ctx, "a", 1), 0);
  ASSERT_EQ(addToHashContext(ctx, "bc", 2), 0);
  ASSERT_EQ(hashFromHashContext(ctx), 0);
  char *hex = toHex(ctx->hashValue, 64);
  EXPECT_STREQ(hex,
               "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
               "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F");
  free(hex);
  // Initialising again starts a fresh digest in the same context.
  hashContext *same = ctx;
  ASSERT_EQ(initializeHashContext(&ctx), 0);
  EXPECT_EQ(ctx, same);
  ASSERT_EQ(hashFromHashContext(ctx), 0);
  hex = toHex(ctx->hashValue, 4);
  EXPECT_STREQ(hex, "CF83E135") << "digest of no data";
  free(hex);
  freeHashContext(ctx);

  LogCapture log;
  EXPECT_EQ(initializeHashContext(nullptr), -1);
  EXPECT_EQ(addToHashContext(nullptr, "x", 1), -1);
  EXPECT_EQ(hashFromHashContext(nullptr), -1);
  EXPECT_TRUE(log.has("initializeHashContext(NULL): Invalid argument"));
  HashValue r{};
  memcpy(r.hashType, "sha512", 6);
  EXPECT_EQ(hashSizeOfRecord(&r), 64);
  memcpy(r.hashType, "md5\0\0\0", 6);
  EXPECT_EQ(hashSizeOfRecord(&r), 0);
}

TEST_F(SISstore, ReadHashedContentsReturnsTheExactBytesOfStoreHeldBlocks) {
  makeStore({{"dev", 2}});
  std::vector<std::vector<uint8_t>> data = {compressibleBytes(30000, 11), randomBytes(20000, 12),
                                            compressibleBytes(70, 13)};
  std::vector<HashValue> records;
  {
    HandleGuard g{openShared()};
    ASSERT_NE(g.h, nullptr);
    for (size_t i = 0; i < data.size(); i++) {
      HashValue r{};
      r.flags = hashID_in | SISoffset_in;
      r.hashID = 100 + i;
      r.hashedLength = data[i].size();
      memcpy(r.hashType, "sha512", 6);
      ASSERT_EQ(SISappendBlock(g.h, data[i].data(), data[i].size(), true, &r.SISoffset,
                               &r.compressedLength),
                0);
      records.push_back(r);
    }
  }
  ASSERT_GT(records[0].compressedLength, 0u);
  ASSERT_EQ(records[1].compressedLength, 0u);

  hashedContentsPrivate *priv = nullptr;
  std::vector<uint8_t> out(40000);
  // The first read opens the store; a shared holder keeps it from scanning
  // the catalogue.
  {
    int fd = open(infoFile().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_SH), 0);
    EXPECT_EQ(readHashedContents(&priv, &records[0], out.data(), 40000, 0, 0), 30000)
        << "the request is cut to the block";
    close(fd);
  }
  ASSERT_NE(priv, nullptr);
  EXPECT_TRUE(std::equal(data[0].begin(), data[0].end(), out.begin()));
  for (size_t i = 0; i < data.size(); i++) {
    // In pieces from odd offsets, as the large-block sender reads.
    std::vector<uint8_t> whole;
    int64_t at = 0;
    while (at < int64_t(data[i].size())) {
      ssize_t n = readHashedContents(&priv, &records[i], out.data(), 4099, at, 0);
      ASSERT_GT(n, 0);
      whole.insert(whole.end(), out.begin(), out.begin() + n);
      at += n;
    }
    EXPECT_EQ(whole, data[i]) << "block " << i;
  }
  EXPECT_EQ(readHashedContents(&priv, &records[1], out.data(), 0, 0, 0), 0);
  EXPECT_EQ(readHashedContents(&priv, &records[1], out.data(), 10, 20000, 0), 0);
  LogCapture log;
  EXPECT_EQ(readHashedContents(&priv, &records[1], nullptr, 10, 0, 0), -1);
  EXPECT_EQ(readHashedContents(&priv, &records[1], out.data(), 10, -1, 0), -1);
  EXPECT_EQ(closeHashedContents(&priv), 0);
  EXPECT_EQ(priv, nullptr);
  EXPECT_EQ(closeHashedContents(&priv), -1);
  EXPECT_TRUE(log.has("closeHashedContents(NULL): Invalid argument"));
}
