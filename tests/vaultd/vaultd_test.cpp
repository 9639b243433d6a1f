// vaultd_test.cpp: the Vault stand-in, driven over HTTP like a client would.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "support/files.h"
#include "support/vaultd.h"
#include "vaultd/hactar.h"

using namespace vdtest;

namespace {

const char *kInstance = "6b1d3c9e-2f4a-4c1b-9d3e-7a8b9c0d1e2f";
const char *kOutOfOrderLine =
    "Warning: Failed to process metaData, tried to insert out of order backup sequence.\r\n";
const char *kRefusedLine = "Warning: Failed to process metaData\r\n";

std::string ubi(const char *instance, uint64_t start, uint64_t type) {
  return std::string(instance) + "_" + std::to_string(start) + "_" + std::to_string(type);
}

long started(const Reply &r) {
  EXPECT_EQ(r.curlCode, CURLE_OK);
  EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
  return strtol(r.body.c_str(), nullptr, 10);
}

CheckAnswer checkNumber(const std::string &base, long number) {
  return decodeCheck(backupCheck(base, "", number), 1);
}

void addFault(const VaultdProcess &v, const std::string &rule) {
  Reply r = controlPost(v.base(), "fault", rule);
  ASSERT_EQ(r.statusLine, "HTTP/1.1 200 OK") << r.body;
}

bool held(const VaultdProcess &v, const Block &b) {
  return controlGet(v.base(), "block?name=" + blockName(b.key)).body == "1";
}

// Writes a HaCTAR of the given pieces (literal text or a block) and
// returns its path; `archive` receives the bytes it stands for.
struct Piece {
  std::string literal;
  const Block *block = nullptr;
};
std::string writeHactar(const VaultdProcess &v, const std::string &name,
                        const std::vector<Piece> &pieces, std::string *archive) {
  std::string path = v.workDir() + "/" + name;
  FILE *f = fopen(path.c_str(), "wb");
  hactar::Writer w;
  EXPECT_EQ(w.begin(f), 0);
  archive->clear();
  for (const Piece &p : pieces) {
    if (p.block) {
      EXPECT_EQ(w.addBlock("sha512", p.block->key.hashedLength, p.block->key.hashValue), 0);
      *archive += p.block->data;
    } else {
      EXPECT_EQ(w.addLiteral(p.literal.data(), p.literal.size()), 0);
      *archive += p.literal;
    }
  }
  EXPECT_EQ(w.finish(), 0);
  fclose(f);
  return path;
}

}  // namespace

TEST(VaultdStartBackup, AssignsNumbersAndReportsThemToIdentityChecks) {
  VaultdProcess v({"--first-number", "100"});
  long a = started(startBackup(v.base(), metadataDocument(kInstance, 1000, 1)));
  long b = started(startBackup(v.base(), metadataDocument(kInstance, 2000, 3)));
  EXPECT_EQ(a, 100);
  EXPECT_EQ(b, 101);

  // By identity: the backup's number, building, with a CRC over the echo of
  // the identity (A = identity length with its NUL).
  std::string id = ubi(kInstance, 2000, 3);
  Reply r = backupCheck(v.base(), id, 0);
  ASSERT_EQ(r.body.size(), 24 + id.size() + 1 + 4);
  CheckAnswer c = decodeCheck(r, id.size() + 1);
  EXPECT_TRUE(c.crcOk);
  EXPECT_EQ(c.result, 101);
  EXPECT_EQ(c.status, 0x200u);
  EXPECT_EQ(c.properties, 0u);

  // Identity comparison ignores case; unknown identity 0; unknown number -1.
  std::string upper = id;
  for (char &ch : upper) ch = static_cast<char>(toupper(ch));
  EXPECT_EQ(decodeCheck(backupCheck(v.base(), upper, 0), upper.size() + 1).result, 101);
  EXPECT_EQ(decodeCheck(backupCheck(v.base(), ubi(kInstance, 3000, 1), 0), id.size() + 1).result, 0);
  EXPECT_EQ(decodeCheck(backupCheck(v.base(), "", 0), 1).result, 0);
  EXPECT_EQ(checkNumber(v.base(), 100).result, 100);
  EXPECT_EQ(checkNumber(v.base(), 555).result, -1);

  // A document that is not the metadata format is refused, nothing created.
  Reply bad = startBackup(v.base(), "<backup_metadata><systems/></backup_metadata>");
  EXPECT_TRUE(bad.hasHeaderLine(kRefusedLine));
  EXPECT_EQ(started(startBackup(v.base(), metadataDocument(kInstance, 3000, 3))), 102);
}

TEST(VaultdStartBackup, RefusesOutOfOrderBackupsUnlessForced) {
  VaultdProcess v;
  long later = started(startBackup(v.base(), metadataDocument(kInstance, 5000, 3)));
  Reply r = startBackup(v.base(), metadataDocument(kInstance, 4000, 1));
  EXPECT_TRUE(r.hasHeaderLine(kOutOfOrderLine));
  EXPECT_EQ(decodeCheck(backupCheck(v.base(), ubi(kInstance, 4000, 1), 0), 1).result, 0);

  // Types 4 and 1024 never make a backup out of order; nor do other instances.
  started(startBackup(v.base(), metadataDocument("11111111-2222-4333-8444-555555555555", 1, 1)));
  VaultdProcess w;
  started(startBackup(w.base(), metadataDocument(kInstance, 9000, 1024)));
  started(startBackup(w.base(), metadataDocument(kInstance, 8000, 4)));
  EXPECT_GT(started(startBackup(w.base(), metadataDocument(kInstance, 100, 1))), 0);

  // Forced: accepted, and the later backup is marked failed.
  long forced = started(startBackup(v.base(), metadataDocument(kInstance, 4000, 1), true));
  EXPECT_GT(forced, later);
  EXPECT_EQ(checkNumber(v.base(), later).status, 0x1000u);
  EXPECT_EQ(checkNumber(v.base(), forced).status, 0x200u);
}

TEST(VaultdBlocks, StoresOnlyBlocksWhoseDataMatchesTheirName) {
  VaultdProcess v;
  long no = started(startBackup(v.base(), metadataDocument(kInstance, 1000, 1)));
  Block good = randomBlock(5000, 1);
  Reply ok = putBlock(v.base(), no, good, 0);
  EXPECT_EQ(ok.statusLine, "HTTP/1.1 200 OK");
  EXPECT_TRUE(held(v, good));

  // Same name, one byte changed: refused and not held.
  Block forged = randomBlock(4096, 2);
  Block other = forged;
  other.data[100] ^= 1;
  Reply bad = putBlock(v.base(), no, Block{forged.key, other.data}, 0);
  EXPECT_EQ(bad.statusLine, "HTTP/1.1 405 Bad Request");
  EXPECT_FALSE(held(v, forged));
  // Data shorter than the name's length.
  Reply shortData = putBlock(v.base(), no, Block{forged.key, forged.data.substr(1)}, 0);
  EXPECT_EQ(shortData.statusLine, "HTTP/1.1 405 Bad Request");
  EXPECT_FALSE(held(v, forged));

  // Multi-block body: entries before a bad one are kept, the rest refused.
  Block m1 = randomBlock(300, 3), m2 = randomBlock(0, 4), m3 = randomBlock(700, 5);
  Block m2bad{m2.key, "x"};
  m2bad.key.hashedLength = 1;  // the name claims 1 byte but hashes the empty block
  Reply multi = putMulti(v.base(), no, {multiEntry(m1, 0), multiEntry(m2bad, 300), multiEntry(m3, 301)});
  EXPECT_EQ(multi.statusLine, "HTTP/1.1 405 Bad Request");
  EXPECT_TRUE(held(v, m1));
  EXPECT_FALSE(held(v, m3));
  // A correct body with an empty block in it is taken whole.
  Reply multiOk = putMulti(v.base(), no, {multiEntry(m2, 0), multiEntry(m3, 0)});
  EXPECT_EQ(multiOk.statusLine, "HTTP/1.1 200 OK");
  EXPECT_TRUE(held(v, m2));
  EXPECT_TRUE(held(v, m3));
  // X-ClusterAmt must match the entries present.
  Block m4 = randomBlock(10, 6);
  std::string body = multiEntry(m4, 0);
  Reply wrongCount = vaultRequest(v.base(), "PUT", "multiblock",
                                  {"X-Offset: 1", "X-Time: 5", "X-BackupNo: " + std::to_string(no),
                                   "X-BackupSize: " + std::to_string(body.size()),
                                   "X-ClusterAmt: 2", "X-Protocol: 1"},
                                  body);
  EXPECT_EQ(wrongCount.statusLine, "HTTP/1.1 405 Bad Request");
}


TEST(VaultdBlocks, TrustingHashesStillRefusesWrongLengths) {
  VaultdProcess v({"--trust-hashes"});
  long no = started(startBackup(v.base(), metadataDocument(kInstance, 1000, 1)));
  // The data is not hashed, so a changed byte goes unnoticed...
  Block forged = randomBlock(4096, 2);
  Block other = forged;
  other.data[100] ^= 1;
  EXPECT_EQ(putBlock(v.base(), no, Block{forged.key, other.data}, 0).statusLine, "HTTP/1.1 200 OK");
  EXPECT_TRUE(held(v, forged));
  // ...but a length that differs from the name's is still refused, alone or in a multi-block body.
  Block shorter = randomBlock(2048, 3);
  EXPECT_EQ(putBlock(v.base(), no, Block{shorter.key, shorter.data.substr(1)}, 0).statusLine,
            "HTTP/1.1 405 Bad Request");
  EXPECT_FALSE(held(v, shorter));
  Block m1 = randomBlock(300, 4), m2 = randomBlock(500, 5);
  std::string cut = multiEntry(m2, 300);
  cut.pop_back();  // the body ends one byte inside the last block
  EXPECT_EQ(putMulti(v.base(), no, {multiEntry(m1, 0), cut}).statusLine, "HTTP/1.1 405 Bad Request");
  EXPECT_TRUE(held(v, m1));
  EXPECT_FALSE(held(v, m2));
}
TEST(VaultdBlocks, CheckOffsetAndBlockCountReflectWhatIsHeld) {
  VaultdProcess v;
  long no = started(startBackup(v.base(), metadataDocument(kInstance, 1000, 1)));
  Block a = randomBlock(1000, 10), b = randomBlock(2000, 11), c = randomBlock(3000, 12);
  std::vector<std::string> batch = {checkEntry(a.key, 0), checkEntry(b.key, 1000),
                                    checkEntry(c.key, 3000), checkEntry(a.key, 6000)};
  Reply first = checkOffsets(v.base(), no, batch);
  EXPECT_EQ(first.body, "0000");
  EXPECT_EQ(readU64(blockCount(v.base(), no).body, 0), 0u);

  ASSERT_EQ(putMulti(v.base(), no, {multiEntry(a, 0), multiEntry(b, 1000)}).statusLine,
            "HTTP/1.1 200 OK");
  EXPECT_EQ(checkOffsets(v.base(), no, batch).body, "1101");
  // Four references (a twice), three of them to held blocks.
  EXPECT_EQ(readU64(blockCount(v.base(), no).body, 0), 3u);
  // A block sent one by one after the check counts as soon as it is held.
  ASSERT_EQ(putBlock(v.base(), no, c, 3000).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(readU64(blockCount(v.base(), no).body, 0), 4u);
  // Without a backup number: every block held; a fresh backup holds none.
  EXPECT_EQ(readU64(blockCount(v.base(), 0).body, 0), 3u);
  long other = started(startBackup(v.base(), metadataDocument(kInstance, 2000, 3)));
  EXPECT_EQ(readU64(blockCount(v.base(), other).body, 0), 0u);
  // A check without a backup number answers but records nothing.
  EXPECT_EQ(checkOffsets(v.base(), 0, batch).body, "1111");

  // A body that is not X-Expect entries long is a bad request.
  Reply mismatch = vaultRequest(v.base(), "POST", "post-check-offset",
                                {"X-Expect:2", "X-Protocol: 1"}, checkEntry(a.key, 0));
  EXPECT_EQ(mismatch.statusLine, "HTTP/1.1 405 Bad Request");
}

TEST(VaultdBuild, CompletesOnlyWhenEveryReferencedBlockIsHeldAndExportsTheArchive) {
  VaultdProcess v;
  Block a = randomBlock(4096, 20), b = randomBlock(8192, 21);
  std::string archive;
  std::string hactarPath = writeHactar(
      v, "hactar_1", {{"header of the archive"}, {"", &a}, {std::string(3, '\0') + "mid"}, {"", &b}, {"", &a}, {"trailer"}},
      &archive);
  std::string id = ubi(kInstance, 1000, 1);

  // Block b never arrives: the build fails.
  long first = started(startBackup(v.base(), metadataDocument(kInstance, 1000, 1)));
  ASSERT_EQ(putBlock(v.base(), first, a, 21).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(putFile(v.base(), first, hactarPath).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(checkNumber(v.base(), first).status, 0x1000u);
  EXPECT_NE(vaultdExport(v.stateDir(), first, v.workDir() + "/none"),
            0);

  // Retried: the identity check shows the failed backup; a new start gives
  // a new number and with every block held the build completes.
  EXPECT_EQ(decodeCheck(backupCheck(v.base(), id, 0), id.size() + 1).status, 0x1000u);
  long second = started(startBackup(v.base(), metadataDocument(kInstance, 1000, 1)));
  EXPECT_NE(second, first);
  ASSERT_EQ(putBlock(v.base(), second, b, 4121).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(putFile(v.base(), second, hactarPath).statusLine, "HTTP/1.1 200 OK");
  CheckAnswer done = decodeCheck(backupCheck(v.base(), id, 0), id.size() + 1);
  EXPECT_EQ(done.result, second);
  EXPECT_EQ(done.status, 0x440u);
  EXPECT_EQ(done.properties, 0x600u);

  std::string out = v.workDir() + "/rebuilt";
  ASSERT_EQ(vaultdExport(v.stateDir(), second, out),
            0);
  EXPECT_EQ(rpd::test::readFile(out), archive);
  // Export only reads: a missing state directory is not created.
  std::string missing = v.workDir() + "/no-state";
  EXPECT_EQ(vaultdExport(missing, 1, out),
            2);
  EXPECT_FALSE(rpd::test::exists(missing));

  // A HaCTAR damaged in transit (one byte flipped) makes the build fail;
  // one for a backup that does not exist is refused.
  std::string damaged = rpd::test::readFile(hactarPath);
  damaged[30] ^= 0x40;
  std::string damagedPath = v.workDir() + "/hactar_damaged";
  FILE *f = fopen(damagedPath.c_str(), "wb");
  fwrite(damaged.data(), 1, damaged.size(), f);
  fclose(f);
  long third = started(startBackup(v.base(), metadataDocument(kInstance, 2000, 3)));
  EXPECT_EQ(putFile(v.base(), third, damagedPath).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(checkNumber(v.base(), third).status, 0x1000u);
  EXPECT_EQ(putFile(v.base(), 999, hactarPath).statusLine, "HTTP/1.1 405 Bad Request");
}

TEST(VaultdEndBackup, CancelsOrFailsTheNewestBackupOfTheIdentity) {
  VaultdProcess v;
  long a = started(startBackup(v.base(), metadataDocument(kInstance, 1000, 1)));
  long b = started(startBackup(v.base(), metadataDocument(kInstance, 2000, 3)));
  EXPECT_EQ(endBackup(v.base(), ubi(kInstance, 1000, 1),
                      std::string("backup operation terminated") + '\0').statusLine,
            "HTTP/1.1 200 OK");
  EXPECT_EQ(checkNumber(v.base(), a).status, 0x8000u);
  EXPECT_EQ(endBackup(v.base(), ubi(kInstance, 2000, 3), "Failed:").statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(checkNumber(v.base(), b).status, 0x1000u);
  // A finished backup keeps its outcome: the notice that follows a
  // cancelled build does not turn it into a failure.
  EXPECT_EQ(endBackup(v.base(), ubi(kInstance, 1000, 1), "CANCELL").statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(checkNumber(v.base(), a).status, 0x8000u);
  // Unknown identities ("tempUUID", empty) change nothing and are answered.
  EXPECT_EQ(endBackup(v.base(), "tempUUID", "Failed:").statusLine, "HTTP/1.1 200 OK");
}

TEST(VaultdFaults, DeliversEachKindOnTheRequestsAsked) {
  VaultdProcess v({"--fault", "endpoint=postBlockCount,count=2,times=2,kind=503"});
  // count=2,times=2: requests 2 and 3 fail, 1 and 4 do not.
  EXPECT_EQ(blockCount(v.base(), 0).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(blockCount(v.base(), 0).statusLine, "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(blockCount(v.base(), 0).statusLine, "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(blockCount(v.base(), 0).statusLine, "HTTP/1.1 200 OK");

  addFault(v, "endpoint=backup-block-count,count=1,kind=500");
  EXPECT_EQ(blockCount(v.base(), 0).statusLine, "HTTP/1.1 500 Internal Server Error");
  addFault(v, "endpoint=backup-block-count,count=1,kind=405");
  EXPECT_EQ(blockCount(v.base(), 0).statusLine, "HTTP/1.1 405 Bad Request");
  addFault(v, "endpoint=backup-block-count,count=1,kind=drop");
  EXPECT_EQ(blockCount(v.base(), 0).curlCode, CURLE_GOT_NOTHING);
  addFault(v, "endpoint=backup-block-count,count=1,kind=warning,text=Warning text, with comma");
  Reply warned = blockCount(v.base(), 0);
  EXPECT_TRUE(warned.hasHeaderLine("Warning: Warning text, with comma\r\n"));
  EXPECT_EQ(warned.body.size(), 8u);

  // Metadata refusals create no backup.
  addFault(v, "endpoint=postStartBackup,count=1,kind=refuse-order");
  addFault(v, "endpoint=postStartBackup,count=2,kind=refuse");
  EXPECT_TRUE(startBackup(v.base(), metadataDocument(kInstance, 1, 1)).hasHeaderLine(kOutOfOrderLine));
  EXPECT_TRUE(startBackup(v.base(), metadataDocument(kInstance, 1, 1)).hasHeaderLine(kRefusedLine));
  EXPECT_EQ(decodeCheck(backupCheck(v.base(), ubi(kInstance, 1, 1), 0), 1).result, 0);
  long no = started(startBackup(v.base(), metadataDocument(kInstance, 1, 1)));

  // drop-after: the Vault keeps the block although the reply is lost;
  // lose: the reply is fine but the block is not kept.
  Block a = randomBlock(100, 30), b = randomBlock(100, 31);
  addFault(v, "endpoint=putMultiBlocks,count=1,kind=drop-after");
  EXPECT_EQ(putMulti(v.base(), no, {multiEntry(a, 0)}).curlCode, CURLE_GOT_NOTHING);
  EXPECT_TRUE(held(v, a));
  addFault(v, "endpoint=multiblock,count=1,kind=lose");
  EXPECT_EQ(putMulti(v.base(), no, {multiEntry(b, 100)}).statusLine, "HTTP/1.1 200 OK");
  EXPECT_FALSE(held(v, b));

  // Reply shaping: one byte short, slow but whole, wrong CRC.
  std::vector<std::string> batch = {checkEntry(a.key, 0), checkEntry(b.key, 100)};
  addFault(v, "endpoint=post-check-offset,count=1,kind=truncate,arg=1");
  EXPECT_EQ(checkOffsets(v.base(), no, batch).body, "1");
  addFault(v, "endpoint=post-check-offset,count=1,kind=slow,arg=5");
  EXPECT_EQ(checkOffsets(v.base(), no, batch).body, "10");
  addFault(v, "endpoint=postCheckOffset,count=1,kind=slow-read,arg=1");
  EXPECT_EQ(checkOffsets(v.base(), no, batch).body, "10");
  addFault(v, "endpoint=backup-check,count=1,kind=badcrc");
  CheckAnswer bad = decodeCheck(backupCheck(v.base(), "", no), 1);
  EXPECT_EQ(bad.result, no);
  EXPECT_FALSE(bad.crcOk);

  // Builds: failed, cancelled, and building for two more checks.
  std::string archive;
  std::string path = writeHactar(v, "h", {{"x"}, {"", &a}}, &archive);
  addFault(v, "endpoint=file,count=1,kind=build-fail");
  addFault(v, "endpoint=file,count=2,kind=build-cancel");
  addFault(v, "endpoint=file,count=3,kind=build-wait,arg=2");
  EXPECT_EQ(putFile(v.base(), no, path).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(checkNumber(v.base(), no).status, 0x1000u);
  long n2 = started(startBackup(v.base(), metadataDocument(kInstance, 1, 1)));
  EXPECT_EQ(putFile(v.base(), n2, path).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(checkNumber(v.base(), n2).status, 0x8000u);
  long n3 = started(startBackup(v.base(), metadataDocument(kInstance, 1, 1)));
  EXPECT_EQ(putFile(v.base(), n3, path).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(checkNumber(v.base(), n3).status, 0x200u);
  EXPECT_EQ(checkNumber(v.base(), n3).status, 0x200u);
  EXPECT_EQ(checkNumber(v.base(), n3).status, 0x440u);

  // Rules can be cleared; bad rules are refused; requests are counted.
  addFault(v, "endpoint=any,count=1,times=0,kind=503");
  EXPECT_EQ(blockCount(v.base(), 0).statusLine, "HTTP/1.1 503 Service Unavailable");
  ASSERT_EQ(controlPost(v.base(), "clear-faults", "").statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(blockCount(v.base(), 0).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(controlPost(v.base(), "fault", "endpoint=nowhere,kind=503").statusLine,
            "HTTP/1.1 400 Bad Request");
  EXPECT_NE(controlGet(v.base(), "counters").body.find("backup-block-count 10\n"), std::string::npos);
}

TEST(VaultdProtocol, RefusesRequestsThatBreakTheHeaderRules) {
  VaultdProcess v;
  // Missing X-Protocol, wrong order, unknown endpoint, wrong method.
  EXPECT_EQ(vaultRequest(v.base(), "POST", "backup-block-count", {}, "").statusLine,
            "HTTP/1.1 405 Bad Request");
  EXPECT_EQ(vaultRequest(v.base(), "POST", "backup-block-count", {"X-BackupNo: 1", "X-Protocol: 1"}, "")
                .statusLine,
            "HTTP/1.1 405 Bad Request");
  EXPECT_EQ(vaultRequest(v.base(), "POST", "no-such-thing", {"X-Protocol: 1"}, "").statusLine,
            "HTTP/1.1 405 Bad Request");
  EXPECT_EQ(vaultRequest(v.base(), "PUT", "backup-block-count", {"X-Protocol: 1"}, "").statusLine,
            "HTTP/1.1 405 Bad Request");
  // The lenient server accepts any order but still wants X-Protocol 1.
  VaultdProcess lenient({"--lenient"});
  EXPECT_EQ(vaultRequest(lenient.base(), "POST", "backup-block-count",
                         {"X-BackupNo: 1", "X-Protocol: 1"}, "")
                .statusLine,
            "HTTP/1.1 200 OK");
  EXPECT_EQ(vaultRequest(lenient.base(), "POST", "backup-block-count", {"X-Protocol: 2"}, "").statusLine,
            "HTTP/1.1 405 Bad Request");
}

TEST(VaultdState, RestartKeepsBlocksBackupsReferencesAndNumbers) {
  VaultdProcess v;
  long no = started(startBackup(v.base(), metadataDocument(kInstance, 1000, 1)));
  Block a = randomBlock(1234, 40), b = randomBlock(4321, 41);
  checkOffsets(v.base(), no, {checkEntry(a.key, 0), checkEntry(b.key, 1234)});
  ASSERT_EQ(putMulti(v.base(), no, {multiEntry(a, 0)}).statusLine, "HTTP/1.1 200 OK");
  std::string archive;
  std::string path = writeHactar(v, "h", {{"lit"}, {"", &a}}, &archive);
  long built = started(startBackup(v.base(), metadataDocument(kInstance, 2000, 3)));
  ASSERT_EQ(putFile(v.base(), built, path).statusLine, "HTTP/1.1 200 OK");

  v.restart();
  EXPECT_TRUE(held(v, a));
  EXPECT_FALSE(held(v, b));
  EXPECT_EQ(readU64(blockCount(v.base(), no).body, 0), 1u);
  EXPECT_EQ(checkNumber(v.base(), no).status, 0x200u);
  CheckAnswer c = decodeCheck(backupCheck(v.base(), ubi(kInstance, 2000, 3), 0), 1);
  EXPECT_EQ(c.result, built);
  EXPECT_EQ(c.status, 0x440u);
  // The reference waiting for b is still known: it counts once b arrives.
  ASSERT_EQ(putBlock(v.base(), no, b, 1234).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(readU64(blockCount(v.base(), no).body, 0), 2u);
  EXPECT_EQ(started(startBackup(v.base(), metadataDocument(kInstance, 3000, 3))), built + 1);
  std::string out = v.workDir() + "/rebuilt";
  ASSERT_EQ(vaultdExport(v.stateDir(), built, out),
            0);
  EXPECT_EQ(rpd::test::readFile(out), archive);
}

TEST(VaultdState, RestartIgnoresIndexRecordsWithoutTheirData) {
  VaultdProcess v;
  long no = started(startBackup(v.base(), metadataDocument(kInstance, 1000, 1)));
  Block a = randomBlock(3000, 60), b = randomBlock(2000, 61), c = randomBlock(1000, 62);
  ASSERT_EQ(putMulti(v.base(), no, {multiEntry(a, 0), multiEntry(b, 3000)}).statusLine, "HTTP/1.1 200 OK");
  v.stop();
  // As a crash can leave them: b's data cut short in its pack, and half an
  // index record after the last whole one.
  std::string index = v.stateDir() + "/blocks/index";
  ASSERT_EQ(rpd::test::readFile(index).size(), 2u * 96u);
  std::string pack = v.stateDir() + "/blocks/pack-1";
  ASSERT_EQ(truncate(pack.c_str(), rpd::test::fileSize(pack) - 1), 0);
  rpd::test::writeFile(index, rpd::test::readFile(index) + rpd::test::readFile(index).substr(0, 50));
  v.start();
  EXPECT_TRUE(held(v, a));
  EXPECT_FALSE(held(v, b));
  EXPECT_EQ(controlGet(v.base(), "blocks").body, "1");
  // The torn record is gone, so what is stored now is found after a restart.
  ASSERT_EQ(putMulti(v.base(), no, {multiEntry(b, 3000), multiEntry(c, 5000)}).statusLine, "HTTP/1.1 200 OK");
  v.restart();
  EXPECT_TRUE(held(v, a));
  EXPECT_TRUE(held(v, b));
  EXPECT_TRUE(held(v, c));
  EXPECT_EQ(rpd::test::readFile(index).size(), 4u * 96u);
}

TEST(VaultdBlocks, ConcurrentUploadsOfTheSameBlocksCountForEveryBackup) {
  VaultdProcess v;
  std::vector<Block> blocks;
  for (unsigned i = 0; i < 20; i++) blocks.push_back(randomBlock(1000 + i, 50 + i));
  std::vector<long> numbers;
  std::vector<std::string> checks, entries;
  for (size_t i = 0; i < blocks.size(); i++) {
    checks.push_back(checkEntry(blocks[i].key, i * 4096));
    entries.push_back(multiEntry(blocks[i], i * 4096));
  }
  for (int t = 0; t < 4; t++) {
    numbers.push_back(started(startBackup(v.base(), metadataDocument(kInstance, 100 + t, 3))));
    ASSERT_EQ(checkOffsets(v.base(), numbers.back(), checks).body, std::string(20, '0'));
  }
  std::vector<std::thread> senders;
  std::vector<std::string> status(4);
  for (int t = 0; t < 4; t++)
    senders.emplace_back([&, t] { status[t] = putMulti(v.base(), numbers[t], entries).statusLine; });
  for (std::thread &s : senders) s.join();
  for (int t = 0; t < 4; t++) {
    EXPECT_EQ(status[t], "HTTP/1.1 200 OK");
    EXPECT_EQ(readU64(blockCount(v.base(), numbers[t]).body, 0), 20u);
  }
  EXPECT_EQ(readU64(blockCount(v.base(), 0).body, 0), 20u);
  // Each block stored once: 20 index records, and the packs hold exactly
  // the blocks' bytes (copies that lost the race were cut off again).
  EXPECT_EQ(rpd::test::readFile(v.stateDir() + "/blocks/index").size(), 20u * 96u);
  off_t packed = 0;
  for (const auto &e : std::filesystem::directory_iterator(v.stateDir() + "/blocks"))
    if (e.path().filename().string().rfind("pack-", 0) == 0) packed += rpd::test::fileSize(e.path());
  EXPECT_EQ(packed, 20190);
  EXPECT_TRUE(std::filesystem::is_empty(v.stateDir() + "/tmp"));
}
