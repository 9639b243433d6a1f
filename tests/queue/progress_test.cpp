// Progress rows in vx.operation_progress: the rate limits, the
// UPDATE-then-INSERT path and the one-hour purge, checked row by row.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

#include "queue/progress.h"
#include "support/fixture.h"

namespace rpd::test {
namespace {

class Progress : public QueueCatalogue {
 protected:
  void SetUp() override {
    QueueCatalogue::SetUp();
    exec("INSERT INTO vx.operation_names (name_id, name_value) VALUES (7, 'replicate') "
         "ON CONFLICT DO NOTHING");
    backup_ = addBackup({});
    strcpy(rec_.name, "replicate");
    rec_.startTime = time(nullptr) - 10;
    rec_.finalSize = 500ull * 1048576;
    rec_.pid = 4321;
    strcpy(rec_.onBehalfOf, "O'Brien-PC");  // a quote must not break the statement
    strcpy(rec_.source, "appliance1");
    strcpy(rec_.destination, "vault1");
    rec_.backupNo = backup_;
    strcpy(rec_.backupType, "Master");
  }
  std::string row() {
    auto r = rows("SELECT name_id, start_time, final_size, current_size, pid_to_kill, "
                  "on_behalf_of, source, destination, backup_no, backup_type FROM "
                  "vx.operation_progress");
    if (r.size() != 1) return "rows: " + std::to_string(r.size());
    std::string out;
    for (auto &v : r[0]) out += (out.empty() ? "" : "|") + v;
    return out;
  }
  std::string expected(long currentMiB) {
    return "7|" + std::to_string(rec_.startTime) + "|500|" + std::to_string(currentMiB) +
           "|4321|O'Brien-PC|appliance1|vault1|" + std::to_string(backup_) + "|Master";
  }
  long backup_ = 0;
  ProgressRecord rec_;
};

TEST_F(Progress, FirstUpdateInsertsThenUpdatesTheSameRow) {
  long before = time(nullptr);
  rec_.currentSize = 3 * 1048576 + 5;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(row(), expected(3));
  EXPECT_GE(rec_.snapshotTime, before);
  EXPECT_EQ(rec_.nextUpdateTime, rec_.snapshotTime + 5);
  EXPECT_EQ(rec_.nextSizeThreshold, rec_.currentSize + rec_.finalSize / 100);
  EXPECT_EQ(number("SELECT snapshot_time FROM vx.operation_progress"), rec_.snapshotTime);

  // The next write updates the row in place.
  rec_.nextUpdateTime = 0;
  rec_.currentSize = 200ull * 1048576;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(row(), expected(200));

  // Someone removed the row: the next write inserts it again.
  exec("DELETE FROM vx.operation_progress");
  rec_.nextUpdateTime = 0;
  rec_.currentSize = 300ull * 1048576;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(row(), expected(300));
}

TEST_F(Progress, RateLimitsSkipWritesByTimeAndBySize) {
  rec_.currentSize = 10ull * 1048576;
  ASSERT_EQ(updateProgress(rec_), 0);
  const int64_t snapshot = rec_.snapshotTime;
  const uint64_t threshold = rec_.nextSizeThreshold;

  // Within the 5 seconds: skipped, the row and the record stay.
  rec_.currentSize = 400ull * 1048576;
  rec_.nextUpdateTime = time(nullptr) + 3600;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(row(), expected(10));
  EXPECT_EQ(rec_.snapshotTime, snapshot);

  // Time allows, but the size grew by less than the step, which itself is
  // under 1 MiB away: skipped.
  rec_.nextUpdateTime = 0;
  rec_.nextSizeThreshold = rec_.currentSize + 1000;
  rec_.currentSize += 10;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(row(), expected(10));
  EXPECT_EQ(rec_.nextUpdateTime, 0);

  // A step of 1 MiB or more away does not hold the write back.
  rec_.nextSizeThreshold = rec_.currentSize + 1048576;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(row(), expected(400));
  EXPECT_NE(rec_.nextSizeThreshold, threshold);

  // A current size of 0 is never held back by size.
  rec_.nextUpdateTime = 0;
  rec_.currentSize = 0;
  rec_.nextSizeThreshold = 1024;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(row(), expected(0));
}

TEST_F(Progress, SizeStepFollowsFinalOrCurrentSize) {
  rec_.finalSize = 50;  // too small to give a step: the current size does
  rec_.currentSize = 20000;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(rec_.nextSizeThreshold, 20000u + 200u);

  rec_.nextUpdateTime = 0;
  rec_.currentSize = 50;  // neither is above 100: the step stays
  rec_.nextSizeThreshold = 0;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(rec_.nextSizeThreshold, 0u);
}

TEST_F(Progress, UnknownOperationNameGivesNullNameId) {
  strcpy(rec_.name, "no_activity");
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(value("SELECT name_id FROM vx.operation_progress"), "<null>");
  // Such a row cannot be matched by the update (NULL never equals): the
  // next write inserts another.
  rec_.nextUpdateTime = 0;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(number("SELECT count(*) FROM vx.operation_progress"), 2);
}

TEST_F(Progress, DeleteRemovesOwnRowAndRowsStaleForAnHour) {
  rec_.currentSize = 1048576;
  ASSERT_EQ(updateProgress(rec_), 0);

  // Rows of other processes: one fresh, one just over an hour old, one
  // just under an hour old.
  long now = time(nullptr);
  auto other = [&](const std::string &client, long snapshot) {
    exec("INSERT INTO vx.operation_progress (name_id, start_time, snapshot_time, final_size, "
         "current_size, pid_to_kill, on_behalf_of, source, destination, backup_no, backup_type) "
         "VALUES (7, 1, " + std::to_string(snapshot) + ", 1, 0, 99, '" + client +
         "', 'appliance1', 'vault1', " + std::to_string(backup_) + ", 'Master')");
  };
  other("fresh", now);
  other("stale", now - 3700);
  other("almost", now - 3500);

  ASSERT_EQ(deleteProgress(rec_), 0);
  EXPECT_EQ(value("SELECT string_agg(on_behalf_of, ',' ORDER BY on_behalf_of) FROM "
                  "vx.operation_progress"),
            "almost,fresh");
  // The record stays as it was; deleting again is harmless.
  EXPECT_EQ(rec_.backupNo, (uint64_t)backup_);
  EXPECT_EQ(deleteProgress(rec_), 0);
}

TEST_F(Progress, ForkedChildOpensItsOwnConnection) {
  ASSERT_EQ(updateProgress(rec_), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ProgressRecord child = rec_;
    strcpy(child.onBehalfOf, "child");
    child.nextUpdateTime = 0;
    _exit(updateProgress(child) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The parent's connection still works after the child went away.
  rec_.nextUpdateTime = 0;
  rec_.currentSize = 7ull * 1048576;
  ASSERT_EQ(updateProgress(rec_), 0);
  EXPECT_EQ(value("SELECT string_agg(on_behalf_of || ':' || current_size, ',' ORDER BY "
                  "on_behalf_of) FROM vx.operation_progress"),
            "O'Brien-PC:7,child:0");
}

}  // namespace
}  // namespace rpd::test
