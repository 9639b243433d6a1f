// util_e2e_test.cpp: "rpd util" commands run as processes against a real
// appliance: the block listing, counting and reading commands checked
// against the backup's archive, an incremental sharing most of its full's
// content, identities checked locally and on the Vault, and metadata
// exported from one catalogue and imported into another.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

std::string s(uint64_t v) { return std::to_string(v); }

// "name offset" lines of "rpd util list".
std::vector<std::pair<std::string, uint64_t>> listed(Appliance &a, uint64_t b, int distinct) {
  e2e::Run r = a.rpd({"util", "list", s(b), std::to_string(distinct)});
  EXPECT_EQ(r.status, 0);
  std::vector<std::pair<std::string, uint64_t>> out;
  std::istringstream in(r.out);
  std::string name;
  uint64_t offset;
  while (in >> name >> offset) out.emplace_back(name, offset);
  return out;
}

TEST(UtilCommands, ListCountAndBlockAgreeWithTheArchive) {
  Appliance a;
  auto chain = a.mkbackup({"--chain", "full,incr", "--size", "600k", "--file-size", "20k", "--share", "0.9"});
  ASSERT_EQ(chain.size(), 2u);
  std::map<std::string, std::string> bytesOf;  // block name -> its bytes
  std::set<std::string> names[2];
  for (int i = 0; i < 2; i++) {
    uint64_t b = chain[i];
    SCOPED_TRACE("backup " + s(b));
    ASSERT_EQ(a.appliance("fileDedup", {"-H" + s(b)}).status, 0);
    std::string archive = a.archiveBytes(b);
    ASSERT_FALSE(archive.empty());
    auto all = listed(a, b, 0), distinct = listed(a, b, 1);
    ASSERT_FALSE(all.empty());
    e2e::Run count = a.rpd({"util", "count", s(b)});
    EXPECT_EQ(count.status, 0);
    EXPECT_EQ(count.out, std::to_string(distinct.size()) + " " + std::to_string(all.size()) + "\n");
    for (auto &[name, offset] : distinct) names[i].insert(name);
    EXPECT_EQ(names[i].size(), distinct.size()) << "the distinct list repeats a block";
    std::set<std::string> allNames;
    for (auto &[name, offset] : all) allNames.insert(name);
    EXPECT_EQ(allNames, names[i]);
    // Every listed block reads back as the archive's bytes at its offset,
    // and a name always stands for the same bytes, in either backup.
    for (auto &[name, offset] : all) {
      e2e::Run block = a.rpd({"util", "block", name});
      ASSERT_EQ(block.status, 0) << name;
      ASSERT_FALSE(block.out.empty()) << name;
      ASSERT_LE(offset + block.out.size(), archive.size()) << name;
      EXPECT_TRUE(archive.compare(offset, block.out.size(), block.out) == 0) << name << " at " << offset;
      auto [it, fresh] = bytesOf.emplace(name, block.out);
      if (!fresh) EXPECT_TRUE(it->second == block.out) << name << " names two different contents";
    }
  }
  // The incremental took most of its content over from the full: it
  // lists blocks of the full and blocks of its own, and a block of its own
  // never has the content of one of the full's (same content, same name).
  size_t shared = 0;
  std::set<std::string> fullContents;
  for (const std::string &n : names[0]) fullContents.insert(bytesOf[n]);
  for (const std::string &n : names[1]) {
    if (names[0].count(n)) {
      shared++;
    } else {
      EXPECT_EQ(fullContents.count(bytesOf[n]), 0u) << n << " has the content of a block of the full";
    }
  }
  EXPECT_GT(shared, 0u);
  EXPECT_LT(shared, names[1].size());
}

TEST(UtilCommands, PeekIdentitiesAndMetadataIntoASecondCatalogue) {
  Appliance a;
  e2e::Run peek = a.rpd({"util", "peek", "0"});
  EXPECT_EQ(peek.status, 0);
  EXPECT_EQ(peek.out, "0");

  auto b = a.mkbackup({"--size", "200k"});
  ASSERT_EQ(b.size(), 1u);
  a.startDeviceMonitor();
  // Never replicated: no identity yet.
  EXPECT_EQ(a.rpd({"util", "export-ubi", s(b[0])}).out, "\n");
  a.queue(b[0]);
  ASSERT_EQ(a.rpd({"util", "replicate", s(b[0]), a.vault}).status, 0);
  ASSERT_EQ(a.queueState(b[0]), "2");
  e2e::Run ubi = a.rpd({"util", "export-ubi", s(b[0])});
  ASSERT_EQ(ubi.status, 0);
  ASSERT_GT(ubi.out.size(), 1u);
  std::string identity = ubi.out.substr(0, ubi.out.size() - 1);

  // Locally only backups received by replication answer to an identity;
  // on the Vault it names the Vault's complete backup.
  e2e::Run local = a.rpd({"util", "check-ubi", identity});
  EXPECT_EQ(local.status, 0);
  EXPECT_EQ(local.out, "0 0 0\n");
  long number = 0;
  unsigned long status = 0, properties = 0;
  e2e::Run remote = a.rpd({"util", "check-ubi", identity, a.vault});
  EXPECT_EQ(remote.status, 0);
  std::istringstream r(remote.out);
  r >> number >> status >> properties;
  EXPECT_GT(number, 0) << remote.out;
  EXPECT_NE(status & 0x440, 0u) << remote.out;
  EXPECT_EQ(remote.out.back(), '\n');
  // An identity nobody knows.
  e2e::Run unknown = a.rpd({"util", "check-ubi", "00000000-0000-0000-0000-000000000000_1_1", a.vault});
  EXPECT_EQ(unknown.status, 255) << unknown.out;

  e2e::Run doc = a.rpd({"util", "export-metadata", s(b[0])});
  ASSERT_EQ(doc.status, 0);
  ASSERT_NE(doc.out.find("<"), std::string::npos) << doc.out;
  std::string file = a.box.write("exported.xml", doc.out);
  std::string source = a.db.value("SELECT install_id FROM vx.state");
  std::string startTime = a.db.value("SELECT start_time FROM vx.backups WHERE backup_no = " + s(b[0]));
  {
    // The second appliance: its own catalogue, which takes backups from
    // the first, and a device to put them on.
    rpd::test::ScopedTestDatabase second;
    second.exec("UPDATE vx.state SET install_id = gen_random_uuid()::text");
    long device = (long)second.number(
        "INSERT INTO vx.devices (dev_name, dev_rw_name, dev_nr_name, dedup, capacity) VALUES ('VAULT-1', '" +
        a.dev + "', '" + a.dev + "', true, 268435456) RETURNING device_no");
    second.exec("INSERT INTO vx.systems (name, identity, role, device_no) VALUES ('first', '" + source +
                "', 'Replication Source', " + std::to_string(device) + ")");
    a.set("DefaultTapeDevice", std::to_string(device), "Configuration Options");
    long before = (long)second.number("SELECT count(*) FROM vx.backups");
    e2e::Run imported = a.rpd({"util", "import-metadata", file});
    EXPECT_EQ(imported.status, 0) << a.logs();
    long got = atol(imported.out.c_str());
    ASSERT_GT(got, 0) << imported.out;
    EXPECT_EQ(imported.out, std::to_string(got) + "\n");
    EXPECT_EQ(second.number("SELECT count(*) FROM vx.backups"), before + 1);
    EXPECT_EQ(second.number("SELECT count(*) FROM vx.nodes n JOIN vx.backups b USING (node_no) "
                            "WHERE b.backup_no = " + std::to_string(got)),
              1);
    EXPECT_EQ(second.number("SELECT count(*) FROM vx.application_instances i JOIN vx.backups b "
                            "ON b.instance_id = i.instance_id WHERE b.backup_no = " + std::to_string(got)),
              1);
    EXPECT_EQ(second.value("SELECT start_time FROM vx.backups WHERE backup_no = " + std::to_string(got)), startTime);
    // The second catalogue now knows the backup by the same identity.
    e2e::Run there = a.rpd({"util", "check-ubi", identity});
    EXPECT_EQ(there.status, 0);
    EXPECT_EQ(atol(there.out.c_str()), got) << there.out;
  }
}

}  // namespace
}  // namespace e2e
