// cancel_backup_test.cpp: "rpd util cancel-backup <vault> <backup>" on the
// wire, against the raw-socket responder replaying the Vault cases of
// tests/vault/data: the request line, the headers in order and the 28-byte
// body, naming the backup by its UBI or, without one, by "tempUUID".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue.h"
#include "daemon/util.h"
#include "lib/config.h"
#include "lib/pghelper.h"
#include "sandbox.h"
#include "support/responder.h"

namespace rpd::test {
namespace {

TEST(CancelBackup, SendsTheTerminationWithTheBackupsUbiOrTempUUID) {
  ScopedTestDatabase db;
  SystemSandbox box("rpd-cancel");
  const std::string identity = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
  long node = db.number("INSERT INTO vx.nodes (node_name) VALUES ('client1') RETURNING node_no");
  long inst = db.number("INSERT INTO vx.application_instances (app_id, node_no, identity) VALUES (1, " +
                        std::to_string(node) + ", '" + identity + "') RETURNING instance_id");
  db.exec("INSERT INTO vx.backups (backup_no, type, status, start_time, tape_no, node_no, instance_id) VALUES "
          "(101, 3, 3136, 1700000000, 1, " + std::to_string(node) + ", " + std::to_string(inst) + ")");

  vaulttest::Responder vault;
  const struct {
    const char *backup, *caseName;
  } cases[] = {{"101", "cancelBackup_ubi"}, {"999", "postEndBackup_terminated"}};
  for (const auto &c : cases) {
    vault.serve(c.caseName, {{"UBI", identity + "_1700000000_3"}});
    std::vector<std::string> args = {"rpd", "util", "cancel-backup", vault.target(), c.backup};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    EXPECT_EQ(utilDispatch(utilCommands, utilCommandCount, (int)argv.size(), argv.data(), stdout), 0);
    std::vector<std::string> got = vault.finish();
    ASSERT_EQ(got.size(), 1u) << c.caseName;
    EXPECT_EQ(vaulttest::printable(vault.exchanges()[0].request), vaulttest::printable(got[0])) << c.caseName;
  }
  pgCloseAll();
}

}  // namespace
}  // namespace rpd::test
