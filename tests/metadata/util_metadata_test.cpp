// The identity and metadata commands of utility mode, called as the
// dispatcher calls them, with their standard output and results.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "daemon/util_metadata.h"
#include "lib/config.h"
#include "metadata_fixture.h"
#include "support/sandbox.h"

using namespace mdtest;

namespace {

int run(int (*handler)(int, char **), std::vector<std::string> words, std::string *out) {
  std::vector<std::string> args = {"rpd", "util"};
  args.insert(args.end(), words.begin(), words.end());
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  int rc = handler((int)args.size(), argv.data());
  *out = testing::internal::GetCapturedStdout();
  return rc;
}

TEST(utilMetadata, ExportUbiAndMetadataPrintWhatTheCatalogueHolds) {
  ScopedTestDatabase db;
  long node = addNode(db, {.name = "alpha"});
  long inst = addInstance(db, node, 1);
  long b = addBackup(db, {.node = node, .instance = inst, .type = 2, .startTime = 1700000042});
  std::string out;
  EXPECT_EQ(0, run(utilExportUbi, {"export-ubi", std::to_string(b)}, &out));
  EXPECT_EQ("\n", out);  // never replicated: no identity yet

  EXPECT_EQ(0, run(utilExportMetadata, {"export-metadata", std::to_string(b)}, &out));
  ASSERT_GT(out.size(), 1u);
  EXPECT_EQ('\n', out.back());
  Doc d(out.substr(0, out.size() - 1));
  ASSERT_TRUE(d.parsed()) << out;
  EXPECT_EQ("alpha", d.text("nodes/node_name"));
  // The export gave the instance its identity; the document and the
  // command's output agree on it.
  EXPECT_EQ(0, run(utilExportUbi, {"export-ubi", std::to_string(b)}, &out));
  EXPECT_EQ(d.text("application_instances/instance-uuid") + "_1700000042_2\n", out);

  EXPECT_EQ(0, run(utilExportMetadata, {"export-metadata", "999999"}, &out));
  EXPECT_EQ("", out);
  EXPECT_EQ(0, run(utilExportUbi, {"export-ubi", "nonsense"}, &out));
  EXPECT_EQ("\n", out);
}

TEST(utilMetadata, ImportMetadataUsesTheDefaultDeviceAndCheckUbiFindsTheResult) {
  ScopedTestDatabase db;
  rpd::test::Sandbox box("rpd-metadata-util");
  addDevice(db, 5);
  long dev = addDevice(db, 6);
  permitSource(db, "origin", kSourceUuid);
  box.master("[Configuration Options]\nDefaultTapeDevice=" + std::to_string(dev) + "\n");

  std::string file = box.write("doc.xml", makeDoc({.type = 3, .startTime = 1700000777}));
  std::string out;
  EXPECT_EQ(0, run(utilImportMetadata, {"import-metadata", file}, &out));
  long b = atol(out.c_str());
  EXPECT_EQ(std::to_string(b) + "\n", out);
  EXPECT_EQ(6, db.number("SELECT tape_no FROM vx.backups WHERE backup_no = " + std::to_string(b)));

  // The received backup answers to its UBI (identity case ignored).
  std::string ubi = std::string(kInstanceUuid) + "_1700000777_3";
  EXPECT_EQ(0, run(utilCheckUbi, {"check-ubi", ubi}, &out));
  EXPECT_EQ(std::to_string(b) + " 512 20480\n", out);
  for (auto &c : ubi) c = (char)toupper(c);
  EXPECT_EQ(0, run(utilCheckUbi, {"check-ubi", ubi}, &out));
  EXPECT_EQ(std::to_string(b) + " 512 20480\n", out);
  EXPECT_EQ(0, run(utilCheckUbi, {"check-ubi", std::string(kInstanceUuid) + "_1700000778_3"}, &out));
  EXPECT_EQ("0 0 0\n", out);

  // The same backup again is accepted; an older one is refused.
  EXPECT_EQ(0, run(utilImportMetadata, {"import-metadata", file}, &out));
  std::string older = box.write("older.xml", makeDoc({.type = 3, .startTime = 1600000000}));
  EXPECT_EQ(-1, run(utilImportMetadata, {"import-metadata", older}, &out));
  EXPECT_EQ("", out);
  EXPECT_EQ(-1, run(utilImportMetadata, {"import-metadata", box.path("missing.xml")}, &out));
  EXPECT_EQ(2, db.number("SELECT count(*) FROM vx.backups"));
}

}  // namespace
