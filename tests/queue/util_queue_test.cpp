// The queue commands of utility mode, called as the dispatcher calls them,
// with their output and results.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/util_queue.h"
#include "queue/replicationQueue.h"
#include "support/fixture.h"
#include "sandbox.h"

namespace rpd::test {
namespace {

class UtilQueue : public QueueCatalogue {
 protected:
  // Runs handler with "rpd util <words...>", capturing standard output.
  int run(int (*handler)(int, char **), std::vector<std::string> words, std::string *out = nullptr) {
    std::vector<std::string> args = {"rpd", "util"};
    args.insert(args.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    int rc = handler((int)args.size(), argv.data());
    std::string captured = testing::internal::GetCapturedStdout();
    if (out) *out = captured;
    return rc;
  }
  static std::string s(long n) { return std::to_string(n); }

  // Runs the real "rpd util <words...>" against this test's catalogue in
  // a sandboxed system root; its exit status, standard output in *out.
  int rpd(std::vector<std::string> words, std::string *out) {
    if (box_ == nullptr) {
      box_ = std::make_unique<Sandbox>("rpd-queue-util");
      box_->write("/etc/default/vx.ini",
                  "[Location Information]\nVXDIR=" + box_->path("vx") + "\n");
      box_->mkdirs("vx/vxinit");
      box_->mkdirs("tmp");
    }
    std::string bin = std::string(RPD_BINARY_DIR) + "/daemon/rpd";
    std::string outFile = box_->path("stdout.txt");
    pid_t pid = fork();
    if (pid == 0) {
      setenv("RPD_SYSROOT", box_->root().c_str(), 1);
      setenv("VXDIR", box_->path("vx").c_str(), 1);
      setenv("VXLOGNAME", box_->path("tmp/rpd-util.log").c_str(), 1);
      setenv("RPD_CATALOGUE_DB", db_.name().c_str(), 1);
      int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      std::vector<std::string> args = {bin, "util"};
      args.insert(args.end(), words.begin(), words.end());
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(outFile);
    std::stringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::unique_ptr<Sandbox> box_;
};

TEST_F(UtilQueue, CreateQueueAndCreateTypes) {
  exec("DROP TABLE vx.replication_queue CASCADE");
  EXPECT_EQ(run(utilCreateQueue, {"createqueue"}), 0);
  EXPECT_EQ(number("SELECT count(*) FROM information_schema.tables WHERE table_schema = 'vx' AND "
                   "table_name = 'replication_queue'"),
            1);
  EXPECT_EQ(run(utilCreateQueue, {"createqueue"}), -1);  // exists now

  exec("DELETE FROM vx.operation_names WHERE name_id IN (6,7,8,9)");
  EXPECT_EQ(run(utilCreateTypes, {"createtypes"}), 0);
  EXPECT_EQ(value("SELECT string_agg(name_id || '=' || name_value, ',' ORDER BY name_id) FROM "
                  "vx.operation_names WHERE name_id IN (6,7,8,9)"),
            "6=prepare,7=replicate,8=wait,9=rebuild");
  // A second run fails as one statement (duplicate keys) but still gives 0.
  EXPECT_EQ(run(utilCreateTypes, {"createtypes"}), 0);
  EXPECT_EQ(number("SELECT count(*) FROM vx.operation_names WHERE name_id IN (6,7,8,9)"), 4);
}

TEST_F(UtilQueue, RealBinaryPeekEnqueueSwapAndUsage) {
  long m = addBackup({.type = 1}, 300), i1 = addBackup({.type = 3}, 301),
       i2 = addBackup({.type = 3}, 302);
  std::string out;

  EXPECT_EQ(rpd({"peek", "0"}, &out), 0);
  EXPECT_EQ(out, "0");

  EXPECT_EQ(rpd({"enqueue", s(i2), "vaultB"}, &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(queueOf("vaultB"), s(m) + ":1 " + s(i1) + ":1 " + s(i2) + ":1");

  // The exit status is the low byte of the backup number.
  EXPECT_EQ(rpd({"peek", "0"}, &out), 300 & 0xff);
  EXPECT_EQ(out, "300");
  EXPECT_EQ(rpd({"peek", "junk"}, &out), 300 & 0xff);  // atoi: offset 0
  EXPECT_EQ(rpd({"peek", "2"}, &out), 302 & 0xff);
  EXPECT_EQ(rpd({"peek", "3"}, &out), 0);

  EXPECT_EQ(rpd({"swap", s(m), "vaultB", s(i1), "vaultB"}, &out), 0);
  EXPECT_EQ(rpd({"peek", "0"}, &out), 301 & 0xff);
  EXPECT_EQ(rpd({"complete", s(i1), "vaultB"}, &out), 0);
  EXPECT_EQ(rpd({"cleanup", s(m), "vaultB"}, &out), 0);
  EXPECT_EQ(rpd({"remove", s(i2), "vaultB"}, &out), 0);
  EXPECT_EQ(queueOf("vaultB"), s(i1) + ":2 " + s(m) + ":32");

  // Enqueueing again brings the cleaned-up member back, leaves the
  // complete one and re-adds the removed one; an unknown backup fails.
  EXPECT_EQ(rpd({"enqueue", s(i2), "vaultB"}, &out), 0);
  EXPECT_EQ(queueOf("vaultB"), s(i1) + ":2 " + s(m) + ":1 " + s(i2) + ":1");
  EXPECT_EQ(rpd({"enqueue", "notanumber", "vaultB"}, &out), 255);

  // A wrong count prints the usage and changes nothing.
  EXPECT_EQ(rpd({"remove", s(i1)}, &out), 0);
  EXPECT_EQ(out.rfind("Usage:\n", 0), 0u) << out;
  EXPECT_EQ(queueOf("vaultB"), s(i1) + ":2 " + s(m) + ":1 " + s(i2) + ":1");
}

}  // namespace
}  // namespace rpd::test
