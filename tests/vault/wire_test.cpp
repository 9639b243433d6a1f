// wire_test.cpp: every Vault request on the wire, run from the case files
// in tests/vault/data. A case file holds the exact request bytes the client
// must send, the reply bytes the responder answers, and one or more
//   %call <request> [name=value ...]
//   %expect name=value ...
// pairs: the request function to call with its arguments, and what it must
// return (result, the libcurl code, and the values it hands back). Each
// pair replays the exchanges once; a new case needs no code here.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "support/responder.h"
#include "support/sandbox.h"
#include "vault/rest.h"

namespace {

using Args = std::map<std::string, std::string>;

// name=value words; a value may be double-quoted to hold blanks.
Args parseArgs(std::istream &in) {
  Args out;
  std::string word;
  while (in >> word) {
    size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    std::string value = word.substr(eq + 1);
    if (!value.empty() && value[0] == '"') {
      value.erase(0, 1);
      while (value.empty() || value.back() != '"') {
        std::string more;
        if (!(in >> more)) break;
        value += " " + more;
      }
      if (!value.empty() && value.back() == '"') value.pop_back();
    }
    out[word.substr(0, eq)] = value;
  }
  return out;
}

struct Call {
  std::string request;
  Args args, expect;
  int line = 0;
};

std::vector<Call> loadCalls(const std::string &name) {
  std::ifstream in(std::string(RPD_SOURCE_DIR) + "/tests/vault/data/" + name + ".case");
  std::vector<Call> calls;
  std::string line;
  for (int n = 1; std::getline(in, line); n++) {
    std::istringstream words(line);
    std::string directive;
    words >> directive;
    if (directive == "%call") {
      calls.emplace_back();
      calls.back().line = n;
      words >> calls.back().request;
      calls.back().args = parseArgs(words);
    } else if (directive == "%expect" && !calls.empty()) {
      calls.back().expect = parseArgs(words);
    }
  }
  return calls;
}

std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  std::string dir = std::string(RPD_SOURCE_DIR) + "/tests/vault/data";
  DIR *d = opendir(dir.c_str());
  for (dirent *e; d && (e = readdir(d)) != nullptr;) {
    std::string n = e->d_name;
    if (n.size() > 5 && n.compare(n.size() - 5, 5, ".case") == 0) names.push_back(n.substr(0, n.size() - 5));
  }
  if (d) closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

long num(const Args &a, const char *key, long fallback) {
  auto it = a.find(key);
  return it == a.end() ? fallback : strtol(it->second.c_str(), nullptr, 0);
}
std::string str(const Args &a, const char *key, const std::string &fallback) {
  auto it = a.find(key);
  return it == a.end() ? fallback : it->second;
}

HashListEntry entry(uint64_t length, uint8_t fill, uint64_t offset) {
  HashListEntry e;
  memset(&e, 0, sizeof e);
  strcpy(e.value.hashType, "sha512");
  e.value.hashedLength = length;
  memset(e.value.hashValue, fill, 64);
  e.location.fileOffset = offset;
  return e;
}

// A store of ten bytes that counts its reads.
struct MemoryBlocks : BlockSource {
  std::string data = "0123456789";
  int reads = 0;
  long readBlock(HashListEntry *, uint8_t *buf, size_t len, uint64_t offset) override {
    reads++;
    size_t n = std::min(len, data.size() - offset);
    memcpy(buf, data.data() + offset, n);
    return (long)n;
  }
};

// Files whose 1536-byte header starts with 'E' decrypt by XOR 0x5A.
struct XorCipher : FileDecryptor {
  int initWithToken(const uint8_t *h, size_t len, std::string *err) override {
    if (len != ENCRYPTION_HEADER_BYTES || h[0] != 'E') {
      *err = "length too small";
      return -1;
    }
    return 0;
  }
  int unitSize() const override { return 32; }
  int decrypt(const uint8_t *in, int *inBytes, uint8_t *out, int *outBytes, std::string *) override {
    for (int i = 0; i < *inBytes; i++) out[i] = in[i] ^ 0x5A;
    *outBytes -= *inBytes;
    *inBytes = 0;
    return 0;
  }
};

const char kPlain[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!?";

struct Wire : ::testing::Test {
  rpd::test::SystemSandbox box{"rpd-vault"};
  vaulttest::Responder vault;
  std::string target = vault.target();

  // Files the file requests send, by name.
  std::map<std::string, std::string> files() {
    std::string encrypted(ENCRYPTION_HEADER_BYTES, '\0');
    encrypted[0] = 'E';
    for (const char *c = kPlain; *c; c++) encrypted += (char)(*c ^ 0x5A);
    return {{"hactar", box.write("hactar_5", "HACTAR-BYTES!")}, {"encrypted", box.write("hactar_6", encrypted)}};
  }

  // Runs one call; the values it hands back as name=value pairs.
  Args run(const Call &c) {
    const Args &a = c.args;
    Args got;
    CURLcode res = CURLE_FAILED_INIT;
    long result = -99;
    long backup = num(a, "backup", 77);
    const std::string &r = c.request;
    if (r == "postEndBackup") {
      std::string message = str(a, "message", "m");
      result = postEndBackup(target.c_str(), str(a, "ubi", "u").c_str(), message.c_str(),
                             (int)num(a, "length", 1), &res);
    } else if (r == "postStartBackup") {
      const char doc[] = "<backup_metadata/>";
      result = postStartBackup(target.c_str(), doc, strlen(doc), num(a, "time", 0), &res, (int)num(a, "force", 0));
    } else if (r == "postBackupCheck") {
      box.master("[Replication]\nRequireChecksum=" + str(a, "checksum", "0") + "\n");
      const char ubi[] = "0f8fad5b-d9cb-469f-a165-70867728950e_1700000000_1";
      uint64_t status = 0xDEAD, props = 0xBEEF;
      result = postBackupCheck(target.c_str(), ubi, sizeof ubi, num(a, "backup", 9), &status, &props, &res);
      if (result >= 0) {
        got["status"] = "0x" + toHex(status);
        got["props"] = "0x" + toHex(props);
      }
    } else if (r == "postBlockCount") {
      uint64_t count = 99;  // left as it was when unknown
      result = postBlockCount(target.c_str(), num(a, "backup", 0), &count, &res);
      got["count"] = "0x" + toHex(count);
    } else if (r == "postCheckOffset") {
      std::vector<HashListEntry> e = {entry(4096, 0x11, 0), entry(0x12345, 0, 0x0102030405060708ull)};
      for (int i = 0; i < 64; i++) e[1].value.hashValue[i] = (uint8_t)i;
      char *reply = nullptr;
      result = postCheckOffset(target.c_str(), e.data(), 2, &reply, backup, &res);
      got["reply"] = reply ? std::string(reply, 2) : "none";
      free(reply);
    } else if (r == "putMultiBlocks") {
      HashListEntry x = entry(5, 0x22, 16), y = entry(3, 0x33, 21);
      std::vector<uint8_t> buf(2 * MULTI_BLOCK_HEADER_BYTES + 8);
      encodeMultiBlockHeader(&x, buf.data());
      memcpy(buf.data() + 84, "hello", 5);
      encodeMultiBlockHeader(&y, buf.data() + 89);
      memcpy(buf.data() + 173, "abc", 3);
      result = putMultiBlocks(target.c_str(), buf.data(), 176, 2, backup, &res);
    } else if (r == "putBlocks") {
      // The middle slot is empty and is skipped.
      HashListEntry e[3] = {entry(5, 0x22, 16), entry(4, 0x99, 18), entry(3, 0x33, 21)};
      uint8_t data[] = "hello....abc";
      SendTableSlot slots[3] = {{data, 5}, {data + 5, 0}, {data + 9, 3}};
      result = putBlocks(target.c_str(), slots, e, 3, (int)num(a, "verify", 0), backup, &res);
    } else if (r == "putLargeBlock") {
      HashListEntry e = entry(10, 0x44, 123456);
      MemoryBlocks blocks;
      uint8_t piece[4];
      std::mutex lock;
      result = putLargeBlock(target.c_str(), &e, piece, sizeof piece, backup, &lock, &blocks, &res);
      got["reads"] = std::to_string(blocks.reads);
    } else if (r == "putFiles") {
      result = putFiles(target.c_str(), files()["hactar"].c_str(), backup, &res, num(a, "elapsed", 12));
    } else if (r == "putEncryptedFiles") {
      XorCipher cipher;
      result = putEncryptedFiles(target.c_str(), files()["encrypted"].c_str(), backup, &res, num(a, "elapsed", 3),
                                 &cipher);
    } else {
      ADD_FAILURE() << "unknown request " << r;
    }
    got["result"] = std::to_string(result);
    got["curl"] = std::to_string((int)res);
    return got;
  }

  static std::string toHex(uint64_t v) {
    char b[32];
    snprintf(b, sizeof b, "%llx", (unsigned long long)v);
    return b;
  }
};

TEST_F(Wire, EveryCaseSendsItsBytesAndReadsItsReply) {
  std::vector<std::string> names = caseNames();
  ASSERT_FALSE(names.empty());
  for (const std::string &name : names) {
    std::vector<Call> calls = loadCalls(name);
    EXPECT_FALSE(calls.empty()) << name << ".case has no %call";
    for (const Call &c : calls) {
      SCOPED_TRACE(name + ".case:" + std::to_string(c.line) + " " + c.request);
      std::map<std::string, std::string> vars = {{"UBI", str(c.args, "ubi", "u")}};
      if (c.request == "putFiles") vars["PATH"] = box.path("hactar_5");
      if (c.request == "putEncryptedFiles") vars["PATH"] = box.path("hactar_6");
      vault.serve(name, vars);
      Args got = run(c);
      std::vector<std::string> received = vault.finish();
      for (const auto &[key, want] : c.expect) {
        EXPECT_EQ(want, got[key]) << key;
      }
      const auto &ex = vault.exchanges();
      ASSERT_EQ(ex.size(), received.size());
      for (size_t i = 0; i < ex.size(); i++) {
        if (ex[i].hasRequest) {
          EXPECT_EQ(vaulttest::printable(ex[i].request), vaulttest::printable(received[i]));
        }
      }
    }
  }
}

// What is refused before anything reaches the wire.
TEST_F(Wire, RequestsThatCannotBeFormedSendNothing) {
  CURLcode res;
  std::string huge(600, 'x');  // longer than the identity's 512-byte header
  EXPECT_EQ(-1, postEndBackup(target.c_str(), huge.c_str(), "m", 1, &res));
  uint8_t none[1];
  EXPECT_EQ(-1, putMultiBlocks(target.c_str(), none, 0, 0, 77, &res));
  EXPECT_EQ(-1, putFiles(target.c_str(), box.path("missing").c_str(), 77, &res, 12));
  // A header the cipher refuses, and a file shorter than a header.
  XorCipher cipher;
  std::string file(ENCRYPTION_HEADER_BYTES, 'X');
  EXPECT_EQ(-1, putEncryptedFiles(target.c_str(), box.write("bad", file).c_str(), 77, &res, 3, &cipher));
  EXPECT_EQ(-1, putEncryptedFiles(target.c_str(), box.write("short", "short").c_str(), 77, &res, 3, &cipher));
  // Verification: a block whose data does not match its hash stops the
  // loop before anything is sent.
  HashListEntry e = entry(5, 0x22, 16);
  uint8_t data[] = "hello";
  SendTableSlot slot = {data, 5};
  EXPECT_EQ(0, putBlocks(target.c_str(), &slot, &e, 1, 1, 77, &res));
  EXPECT_TRUE(vault.finish().empty());
}

TEST_F(Wire, PutBlocksVerifiesTheDataAgainstItsHash) {
  // SHA-512("abc")
  const char *abc =
      "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
      "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F";
  HashListEntry e = entry(3, 0, 21);
  uint8_t *h = fromHex(abc);
  memcpy(e.value.hashValue, h, 64);
  free(h);
  uint8_t data[] = "abc";
  SendTableSlot slot = {data, 3};
  CURLcode res;
  vault.serve("checkOffset_503");  // any reply: only the count matters
  EXPECT_EQ(1, putBlocks(target.c_str(), &slot, &e, 1, 1, 77, &res));
  std::vector<std::string> got = vault.finish();
  ASSERT_EQ(1u, got.size());
  EXPECT_NE(std::string::npos, got[0].find(std::string("PUT /cgi-bin/vaultServer/b-sha512-3-") + abc));
}

}  // namespace
