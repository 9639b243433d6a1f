// harness.h: the daemon tests' appliance root (etc/default/vx.ini naming
// the installation directory vx/, var/run for the pid file, proc/ for the
// load) and the real rpd binary run in it.
#pragma once

#include "support/files.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace rpdtest {

using rpd::test::countOf;
using rpd::test::EnvChanges;
using rpd::test::eventually;
using rpd::test::exists;
using rpd::test::kUnset;
using rpd::test::mtimeOf;
using rpd::test::program;
using rpd::test::readFile;
using rpd::test::readTable;
using rpd::test::replaceFile;
using rpd::test::Run;
using rpd::test::run;
using rpd::test::spawn;
using rpd::test::setMtime;
using rpd::test::waitExit;
using rpd::test::writeFile;

struct Sandbox : rpd::test::Sandbox {
  std::string vx;

  Sandbox() : rpd::test::Sandbox("rpd-daemon-test") {
    vx = installDir("vx");
    mkdirs("var/run");
    mkdirs("proc");
    mkdirs("vx/vxinit");
  }
  std::string masterIni() const { return vx + "/vxinit/master.ini"; }
  std::string pidFile() const { return path("var/run/rpd.pid"); }

  // The environment of rpd run in this sandbox: the caller's, without its
  // log variables and without a catalogue (these runs must never touch a
  // shared database, and a daemon without one must keep looping).
  EnvChanges environment(const EnvChanges &extra = {}) const {
    EnvChanges env{{"LOG_LEVEL", kUnset},
                   {"VXLOGNAME", kUnset},
                   {"PGSERVICE", kUnset},
                   {"RPD_CATALOGUE_DB", kUnset},
                   {"RPD_SYSROOT", root()},
                   {"PGSERVICEFILE", path("no-such-pg_service.conf")},
                   {"VXDIR", vx}};
    for (const auto &kv : extra) env[kv.first] = kv.second;
    return env;
  }
};

// Starts rpd with `args` in the sandbox's environment; returns the pid.
inline pid_t spawnRpd(const Sandbox &box, const std::vector<std::string> &args, const std::string &outFile,
                      const std::string &errFile, const EnvChanges &extraEnv = {}) {
  std::vector<std::string> argv{program("daemon/rpd")};
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn(argv, outFile, errFile, box.environment(extraEnv));
}

// Runs rpd to completion; fills stdout/stderr texts and returns the status.
inline int runRpd(const Sandbox &box, const std::vector<std::string> &args, std::string *out = nullptr,
                  std::string *err = nullptr) {
  std::vector<std::string> argv{program("daemon/rpd")};
  argv.insert(argv.end(), args.begin(), args.end());
  Run r = run(argv, box.environment());
  if (out) *out = r.out;
  if (err) *err = r.err;
  return r.status;
}

}  // namespace rpdtest
