// standins_support.h: the stand-in tests' appliance (tests/support) and
// the reading of a HaCTAR back into the archive it stands for.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/appliance.h"
#include "support/cipher.h"
#include "support/files.h"
#include "support/process.h"
#include "pipeline/common.h"

struct hashedContentsPrivate;

namespace standins_test {

using rpd::test::CryptoDaemon;
using rpd::test::readFile;

using rpd::test::Appliance;

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
