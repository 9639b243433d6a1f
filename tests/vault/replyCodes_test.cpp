// Every reply header the Vault may send, end to end: the operation's result
// code and the libcurl code handed back, over a real socket. The requests
// themselves are checked byte for byte in rest_test.cpp; here only the
// replies matter.
#include <gtest/gtest.h>

#include <string>

#include "support/responder.h"
#include "support/sandbox.h"
#include "vault/rest.h"

namespace {

struct ReplyCodes : ::testing::Test {
  rpd::test::SystemSandbox box{"rpd-vault"};
  vaulttest::Responder vault;
  std::string target = vault.target();
};

TEST_F(ReplyCodes, EachHeaderRowGivesItsResultAndTransferCode) {
  struct {
    const char *caseName;
    int result;
    CURLcode curl;
  } rows[] = {
      {"code_ok", 0, CURLE_OK},
      {"code_405", -3, CURLE_OK},
      {"code_503", -4, CURLE_OK},
      {"code_outOfOrder", -5, CURLE_OK},
      {"code_refused", -6, CURLE_OK},
      // Any other warning only stands for "accepted".
      {"code_otherWarning", 0, CURLE_OK},
      // The first Vault error wins; an ordinary warning yields to one.
      {"code_outOfOrderThenRefused", -5, CURLE_OK},
      {"code_otherThenRefused", -6, CURLE_OK},
      {"code_503ThenWarning", -4, CURLE_OK},
      // Other HTTP versions and reason phrases are ordinary lines: accepted.
      {"code_http10_405", 0, CURLE_OK},
      {"code_503_busy", 0, CURLE_OK},
      {"code_404", 0, CURLE_OK},
      // The 500 line aborts the transfer from the header callback, which
      // libcurl reports as a write error; the status stays 1, hence -1.
      {"code_500", -1, CURLE_WRITE_ERROR},
      // Only HTTP/1.1 500 aborts; under 1.0 it is an ordinary line.
      {"code_http10_500", 0, CURLE_OK},
      // No header at all: the status stays 1.
      {"code_drop", -1, CURLE_GOT_NOTHING},
  };
  for (const auto &r : rows) {
    vault.serve(r.caseName);
    CURLcode res = CURLE_FAILED_INIT;
    EXPECT_EQ(r.result, postEndBackup(target.c_str(), "u", "m", 1, &res)) << r.caseName;
    EXPECT_EQ(r.curl, res) << r.caseName << ": " << curl_easy_strerror(res);
    vault.finish();
  }
}

TEST_F(ReplyCodes, VaultErrorsPassThroughEveryStatusOnlyOperation) {
  // The same rows reach callers of the other status-only requests.
  const std::string file = box.path("hactar");
  box.write("hactar", "0123456789");
  struct {
    const char *caseName;
    int result;
  } rows[] = {{"code_503", -4}, {"code_405", -3}, {"code_500", -1}, {"code_ok", 0}};
  for (const auto &r : rows) {
    vault.serve(r.caseName);
    CURLcode res = CURLE_FAILED_INIT;
    EXPECT_EQ(r.result, putFiles(target.c_str(), file.c_str(), 5, &res, 1)) << r.caseName;
    vault.finish();
  }
}

TEST_F(ReplyCodes, BackupCheckReplyLengthsWithAndWithoutRequiredChecksum) {
  const char ubi[] = "0f8fad5b-d9cb-469f-a165-70867728950e_1700000000_1";
  struct {
    const char *caseName;
    bool requireChecksum;
    long result;
    uint64_t status, props;
  } rows[] = {
      {"backupCheck_15", false, -1, 0, 0},
      {"backupCheck_16", false, 31, 0x440, 0},
      {"backupCheck_23", false, 31, 0x440, 0},
      {"backupCheck_24", false, 31, 0x440, 0x600},
      {"backupCheck_crc2", false, 32, 0x1000, 0x200},
      {"backupCheck_15", true, -1, 0, 0},
      {"backupCheck_16", true, -1, 0, 0},
      {"backupCheck_23", true, -1, 0, 0},
      {"backupCheck_24", true, -1, 0, 0},
      {"backupCheck_crc2", true, 32, 0x1000, 0x200},
      {"backupCheck_badcrc", true, -1, 0, 0},
  };
  for (const auto &r : rows) {
    box.master(r.requireChecksum ? "[Replication]\nRequireChecksum=1\n" : "[Replication]\nRequireChecksum=0\n");
    vault.serve(r.caseName);
    uint64_t status = 0xDEAD, props = 0xBEEF;
    CURLcode res = CURLE_FAILED_INIT;
    long got = postBackupCheck(target.c_str(), ubi, sizeof ubi, 9, &status, &props, &res);
    std::string what = std::string(r.caseName) + (r.requireChecksum ? " with checksum" : " without checksum");
    EXPECT_EQ(r.result, got) << what;
    EXPECT_EQ(CURLE_OK, res) << what;
    if (r.result >= 0) {
      EXPECT_EQ(r.status, status) << what;
      EXPECT_EQ(r.props, props) << what;
    }
    vault.finish();
  }
}

}  // namespace
