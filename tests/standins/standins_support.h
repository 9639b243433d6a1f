// standins_support.h: an appliance for the stand-in tests: a private
// catalogue, a sandboxed system root with an installation directory and
// master.ini, the stand-in programs run as child processes, and the
// CryptoDaemon stand-in for encrypted archives.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "sandbox.h"
#include "support/cipher.h"
#include "support/files.h"
#include "support/process.h"
#include "pipeline/common.h"

struct hashedContentsPrivate;

namespace standins_test {

using rpd::test::CryptoDaemon;
using rpd::test::readFile;
using rpd::test::Run;

// Runs $RPD_BINARY_DIR/appliance/<program> with args; standard error goes
// to <sandbox>/stderr.log.
Run runProgram(const std::string &program, const std::vector<std::string> &args);
// Runs mkbackup and returns the backup numbers it printed.
std::vector<uint64_t> mkbackup(const std::vector<std::string> &args);

// An appliance: catalogue clone, sandbox, installation directory
// <root>/usr/vx with vxinit/master.ini ([fileDedup] small sub-files, the
// metadata store in <root>/md, the given generation), the device directory
// <root>/dev1. Generation 1 also lists dedupNT in the platform capability
// file. The test process's own configuration points at the same master.ini.
class Appliance {
 public:
  explicit Appliance(int generation = 0, const std::string &extraFileDedup = "");
  ~Appliance();
  rpd::test::ScopedTestDatabase db;
  rpd::test::Sandbox box{"rpd-standins"};
  std::string dev;  // device directory (dev_nr_name and dev_rw_name)
  std::string archive(uint64_t backupNo) const;  // existing archive path or ""
  // Makes the SIS info file with 64 MiB spans so moved blocks stay small.
  void makeSmallSIS() const;
};

}  // namespace standins_test

// Opens a HaCTAR for reading as plain bytes. The HaCTAR of an encrypted
// backup (a 1536-byte token header, then cipher units) is decrypted through
// the CryptoDaemon into a temporary file first. Null when it cannot be read.
FILE *openPlainHactar(const std::string &path);

// Rebuilds the archive from a HaCTAR: literal records as they stand, block
// references through `readBlock` (given the block's hash value record and
// the block reader's state). *blocks counts the block references; *error
// says why the HaCTAR could not be read to its end.
std::string rebuildFromHactar(
    const std::string &path, size_t *blocks, std::string *error,
    const std::function<std::string(hashedContentsPrivate **, const HashValue &)> &readBlock);
