// e2e_support.h: a whole appliance for the end-to-end tests: a private
// catalogue, a sandboxed system root with an installation directory, the
// appliance stand-ins installed in its bin directory, the device monitor's
// shared tables, the real vaultd, and the real rpd binary run as a child
// process (utility commands and the daemon itself).
//
// Waits are bounded only so that a hang fails the test; nothing asserts on
// how long anything takes.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/appliance.h"
#include "support/vaultd.h"
#include "sandbox.h"
#include "support/files.h"
#include "support/process.h"

namespace e2e {

using rpd::test::eventually;
using rpd::test::Run;

class Appliance : public rpd::test::Appliance {
 public:
  Appliance();
  ~Appliance();
  Appliance(const Appliance &) = delete;
  Appliance &operator=(const Appliance &) = delete;

  Run appliance(const std::string &name, const std::vector<std::string> &args) { return program(name, args); }
  // Creates the device monitor's tables for the catalogue's devices (once
  // the devices exist); they are removed when the appliance ends.
  void startDeviceMonitor();

  // Runs "rpd <args>" to its end.
  Run rpd(const std::vector<std::string> &args);
  // Starts "rpd <args>" in the background (standard output and error into
  // the sandbox); returns its pid.
  pid_t spawnRpd(const std::vector<std::string> &args);
  // Waits for a child started by spawnRpd; its exit status, or -1 when it
  // did not exit normally within the bound (it is then killed).
  int waitRpd(pid_t pid, int boundSeconds = 120);
  // Starts the daemon in the foreground (-d); stopDaemon sends SIGTERM and
  // returns its exit status.
  pid_t startDaemon();
  int stopDaemon(pid_t pid);

  // Text of every log file rpd and its workers wrote so far.
  std::string logs() const;
  // The Vault's number for local backup b: the backup's identity from
  // "rpd util export-ubi", looked up on the Vault with "rpd util
  // check-ubi"; 0 when the Vault does not know it.
  long vaultNumber(uint64_t b);
  // Number of distinct blocks the Vault stores.
  long vaultBlocks() const;
  // The Vault's rebuilt byte stream of its backup `number` (vaultd export).
  std::string exported(long number);
  // The local archive's bytes (plain archives: the decoded stream itself).
  std::string archiveBytes(uint64_t b) const { return rpd::test::readFile(archive(b)); }

  // Vault requests of one endpoint so far (vaultd's counters).
  long requests(const std::string &endpoint);
  // Installs a fault rule in vaultd.
  void fault(const std::string &rule);
  std::string describe(long number);

  // Adds the queue entry (b, vault) in state 1.
  void queue(uint64_t b);
  std::string queueState(uint64_t b);
  long syncStatus(uint64_t b);
  std::string statsOf(uint64_t b);

  vdtest::VaultdProcess vaultd;
  std::string logDir, vault;

 private:
  bool deviceMonitor_ = false;
  int spawned_ = 0;
};

}  // namespace e2e
