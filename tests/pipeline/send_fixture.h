// send_fixture.h: a backup ready to be sent, for the block sender tests.
//
// SendEnv builds, per test: a sandboxed system root with master.ini, a
// single instance store holding the backup's blocks, a private catalogue
// whose deduplication index (generation 0) lists the backup's blocks in
// file order, and a running vaultd with a backup announced on it. The
// senders then run for real: hash list from the catalogue, block data from
// the store, requests to vaultd.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/vaultd.h"
#include "support/catalogue.h"
#include "daemon/settings.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace pipetest {

// The senders' messages up to level 3.
struct LogCapture : rpd::test::LogCapture {
  LogCapture() : rpd::test::LogCapture(3) {}
};

// Entry of the backup built by SendEnv.
struct Placed {
  vdtest::Block block;
  uint64_t offset;
  uint64_t hashID;
};

class SendEnv {
 public:
  explicit SendEnv(std::vector<std::string> vaultdArgs = {});
  ~SendEnv();

  // Rewrites master.ini with [fileDedup] and the given [Replication] lines.
  void replicationIni(const std::string &lines);

  // Stores the block in the store and the index (once per distinct hash)
  // and returns its hash id.
  uint64_t storeBlock(const vdtest::Block &b, bool compress = false);
  // Adds the block to `backup` at the next file offset.
  void place(uint64_t backup, const vdtest::Block &b, bool compress = false);
  const std::vector<Placed> &placed(uint64_t backup);

  // Announces a backup on vaultd and returns its number there.
  long announce();

  // Takes the store's shared lock so readers never rescan the catalogue;
  // call once every block is stored.
  void freezeStore();
  // Cuts the store's span file to `bytes`.
  void truncateStore(uint64_t bytes);

  std::string target() const { return vaultd.base(); }
  // Blocks vaultd took in through multi-block bodies, by its log.
  long multiBlockEntries();
  // Requests vaultd counted for an endpoint ("block", "multiblock", ...).
  long requests(const std::string &endpoint);
  bool vaultHolds(const vdtest::Block &b);
  // vaultd refused a request body (a malformed or half-filled body).
  bool vaultRefusedSomething();
  uint64_t vaultBlockCount(long targetBackup);
  // Adds a fault rule to the running vaultd.
  void fault(const std::string &rule);

  rpd::test::Sandbox box{"rpd-pipeline"};
  rpd::test::ScopedTestDatabase db;
  vdtest::VaultdProcess vaultd;

 private:
  std::string sisFile();
  ReplicationSettings saved_;
  int lockFd_ = -1;
  uint64_t nextStart_ = 1700000000;
  std::vector<std::pair<uint64_t, std::vector<Placed>>> backups_;
  std::vector<std::pair<std::string, uint64_t>> stored_;  // digest prefix -> hash id
};

// Runs fn with standard output going to a string, which it returns.
std::string captureStdout(const std::function<void()> &fn);

// The 3-tuple of a block.
std::string tupleOf(const vdtest::Block &b);

}  // namespace pipetest
