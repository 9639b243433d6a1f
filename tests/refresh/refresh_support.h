// refresh_support.h: helpers of the refresh and termination tests: a log
// capture, a fake "recipe" command, HaCTAR devices in the catalogue, and
// settings that each test restores.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "daemon/settings.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "support/fixture.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace rpd::test {


// The refresh and termination tests' catalogue: rows, a device and a bin
// directory for the recipe command.
class RefreshCatalogue : public DeviceCatalogue {
 protected:
  void SetUp() override {
    DeviceCatalogue::SetUp();
    sandbox_.mkdirs("tmp");  // the logger's fallback file lives here
  }
  void writeRecipe(const std::string &body) { writeCommand("recipe", body); }
};

}  // namespace rpd::test
