// Tests of the block senders at their edges, against the real vaultd:
// blocks whose size sits at the work buffer's limit, a block that moves into
// the single instance store while its batch is on the way, the batch that
// follows a checkpoint mismatch, and a Cluster setting that is neither of
// the two request forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pipeline/singleSender.h"
#include "pipeline/threadedSender.h"
#include "queue/progress.h"
#include "send_fixture.h"
#include "support/log_capture.h"

using namespace pipetest;

namespace {

constexpr uint64_t kBackup = 10;
constexpr uint64_t kBuffer = 16384;  // MaxBlocks: the size of each work buffer

struct Sender {
  const char *name;
  int (*send)(uint64_t backup, const char *target, uint64_t number, ProgressRecord *progress);
  // Blocks of kBuffer - 85, - 84 and - 83 bytes that the sender streams
  // one per request; the rest go in multi-block bodies.
  long largeRequests;
};

void PrintTo(const Sender &sender, std::ostream *out) { *out << sender.name; }

int threaded(uint64_t backup, const char *target, uint64_t number, ProgressRecord *progress) {
  SendContext context{progress, -1};
  return threadedSendBlocks(backup, target, number, &context);
}

int single(uint64_t backup, const char *target, uint64_t number, ProgressRecord *progress) {
  return sendBufferBlocks(backup, target, number, progress);
}

// Makes the index say that the block's data is still in the backup's file,
// and installs a trigger that moves it into the store (as the appliance's
// hashing does) at the sender's first progress write. Both senders write
// progress after the first batch was fetched and before its blocks are
// read: the threaded one right after the fill, with the block list still
// locked; the single one after streaming the batch's first large block.
void moveIntoStoreAtFirstProgressWrite(SendEnv &env, uint64_t hashID) {
  std::string id = std::to_string(hashID);
  long long sisOffset = env.db.number("SELECT sis_offset FROM vx.hash_values WHERE hash_id = " + id);
  env.db.exec("UPDATE vx.hash_values SET sis_offset = NULL WHERE hash_id = " + id);
  env.db.exec("UPDATE vx.backups_hash_values SET deduplicated = NULL WHERE hash_id = " + id);
  env.db.exec("CREATE FUNCTION vx.move_block_into_store() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
              "UPDATE vx.hash_values SET sis_offset = " + std::to_string(sisOffset) + " WHERE hash_id = " + id +
              "; UPDATE vx.backups_hash_values SET deduplicated = true WHERE hash_id = " + id +
              "; RETURN NULL; END $$");
  env.db.exec("CREATE TRIGGER move_block AFTER INSERT OR UPDATE ON vx.operation_progress FOR EACH STATEMENT "
              "EXECUTE FUNCTION vx.move_block_into_store()");
}

class bothSenders : public ::testing::TestWithParam<Sender> {};

}  // namespace

TEST_P(bothSenders, BlocksAtTheBufferLimitAndABlockMovedIntoTheStoreArrive) {
  const Sender &sender = GetParam();
  SendEnv env;
  env.replicationIni("MetaThreadTimeoutSeconds=5\n");
  g_settings.MaxBlocks = kBuffer;
  g_settings.MetaSize = 8;
  std::vector<vdtest::Block> blocks;
  for (uint64_t less : {85, 84, 83}) blocks.push_back(vdtest::randomBlock(kBuffer - less, 800 + (unsigned)less));
  blocks.push_back(vdtest::randomBlock(3000, 900));
  for (const vdtest::Block &b : blocks) env.place(kBackup, b);
  env.freezeStore();
  uint64_t moving = env.placed(kBackup).back().hashID;
  moveIntoStoreAtFirstProgressWrite(env, moving);
  long number = env.announce();

  ProgressRecord progress;  // its first write moves the block
  progress.backupNo = kBackup;
  ASSERT_EQ(0, sender.send(kBackup, env.target().c_str(), (uint64_t)number, &progress));
  EXPECT_NE("<null>", env.db.value("SELECT sis_offset FROM vx.hash_values WHERE hash_id = " +
                                   std::to_string(moving)))
      << "the block moved during the send";
  for (size_t i = 0; i < blocks.size(); i++) EXPECT_TRUE(env.vaultHolds(blocks[i])) << i;
  EXPECT_EQ(4u, env.vaultBlockCount(number));
  EXPECT_EQ(sender.largeRequests, env.requests("block"));
  EXPECT_FALSE(env.vaultRefusedSomething());
}

// The threaded sender fits a block with its 84-byte header below the
// buffer's size and streams the others; the single sender keeps 512 bytes
// free in every fill.
INSTANTIATE_TEST_SUITE_P(pipeline, bothSenders,
                         ::testing::Values(Sender{"threaded", threaded, 2}, Sender{"single", single, 3}),
                         [](const ::testing::TestParamInfo<Sender> &info) { return std::string(info.param.name); });

TEST(singleSend, CheckpointMismatchGoesOnWithTheNextBatchAndOtherClusterValuesAreRefused) {
  SendEnv env;
  g_settings.MaxBlocks = kBuffer;
  g_settings.MetaSize = 2;
  g_settings.Checkpoint = 1;
  std::vector<vdtest::Block> blocks;
  for (int i = 0; i < 6; i++) {
    blocks.push_back(vdtest::randomBlock(1000 + (size_t)i, 300 + (unsigned)i));
    env.place(kBackup, blocks.back());
  }
  env.freezeStore();
  long number = env.announce();
  // The first batch's body arrives but its blocks are not kept: the next
  // checkpoint finds two blocks missing, and the send goes on with the
  // second batch, not the first again.
  env.fault("endpoint=multiblock,count=1,kind=lose");
  rpd::test::LogCapture log;
  ASSERT_EQ(0, sendBufferBlocks(kBackup, env.target().c_str(), (uint64_t)number));
  EXPECT_TRUE(log.has("Checkpoint found mismatch, retry meta batch"));
  EXPECT_EQ(3, env.requests("post-check-offset")) << "each batch asked about once";
  EXPECT_EQ(3, env.requests("multiblock"));
  for (size_t i = 0; i < blocks.size(); i++) EXPECT_EQ(i >= 2, env.vaultHolds(blocks[i])) << i;
  EXPECT_EQ(4u, env.vaultBlockCount(number));

  // Cluster other than 0 and 1 sends nothing and says why.
  g_settings.Checkpoint = 0;
  g_settings.Cluster = 2;
  long other = env.announce();
  EXPECT_EQ(-1, sendBufferBlocks(kBackup, env.target().c_str(), (uint64_t)other));
  EXPECT_TRUE(log.has("Cluster set to unexpected value:2, must be 0 or 1. Not sending backup 10"));
  EXPECT_EQ(3, env.requests("post-check-offset"));
  EXPECT_EQ(0u, env.vaultBlockCount(other));
}
