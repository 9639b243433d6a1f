// appliance.h: an appliance for the tests that run the stand-in programs:
// a private catalogue, a sandboxed system root whose etc/default/vx.ini
// names the installation directory usr/vx, its vxinit/master.ini
// ([fileDedup] with small sub-files, the metadata store in md/, the given
// generation), the device directory dev1/, and the stand-ins run as child
// processes. The test process's own configuration points at the same
// master.ini.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue.h"
#include "process.h"
#include "sandbox.h"

namespace rpd::test {

class Appliance {
 public:
  // `extraFileDedup` goes at the end of the [fileDedup] section, `moreIni`
  // (whole sections) after it. Generation 1 also lists dedupNT in the
  // platform capability file.
  explicit Appliance(int generation = 0, const std::string &extraFileDedup = "", const std::string &moreIni = "");
  ~Appliance();
  Appliance(const Appliance &) = delete;
  Appliance &operator=(const Appliance &) = delete;

  // Sets a key of master.ini (section Replication unless given).
  void set(const std::string &key, const std::string &value, const std::string &section = "Replication");
  // Runs a stand-in (RPD_BINARY_DIR/appliance/<program>); its standard
  // error is kept in <root>/appliance.err.
  Run program(const std::string &name, const std::vector<std::string> &args);
  // Runs mkbackup (on dev1/ unless args name a --dir); the backup numbers
  // it printed.
  std::vector<uint64_t> mkbackup(std::vector<std::string> args);
  // Path of backup b's archive file (plain or .gz), "" when there is none.
  std::string archive(uint64_t b) const;
  // The SIS info file with 64 MiB spans, so moved blocks stay small.
  void makeSmallSIS() const;

  ScopedTestDatabase db;
  Sandbox box{"rpd-appliance"};
  std::string vx, bin, dev, masterIni;
};

// The device monitor stand-in for the scope (it keeps the storage
// manager's tables for the catalogue's devices); ready once it printed
// its first line.
struct DeviceMonitor : Child {
  DeviceMonitor() : Child({program("appliance/devmonitor")}) {}
};
// "devmonitor ARG" to its end (--show, --create, --remove).
inline Run deviceMonitor(const std::string &arg) { return run({program("appliance/devmonitor"), arg}); }

}  // namespace rpd::test
