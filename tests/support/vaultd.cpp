// vaultd.cpp: the vaultd process and the Vault request helpers (see vaultd.h).
#include "vaultd.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "process.h"
#include "vaultd/hactar.h"

namespace vdtest {

VaultdProcess::VaultdProcess(std::vector<std::string> extraArgs) : args_(std::move(extraArgs)) {
  workDir_ = dir_.root();
  stateDir_ = workDir_ + "/state";
  start();
}

VaultdProcess::~VaultdProcess() { stop(); }

void VaultdProcess::start() {
  std::string portFile = workDir_ + "/port";
  unlink(portFile.c_str());
  std::string binary = rpd::test::program("vaultd/vaultd");
  std::vector<std::string> argv = {binary, "--state", stateDir_, "--port-file", portFile,
                                   "--log", workDir_ + "/vaultd.log", "--log-level", "3"};
  argv.insert(argv.end(), args_.begin(), args_.end());
  pid_ = rpd::test::spawn(argv, "", workDir_ + "/vaultd.stderr");
  ASSERT_GT(pid_, 0) << "fork failed";
  // Wait for the port file; a vaultd that exits instead fails the test.
  for (;;) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      FAIL() << "vaultd exited before listening, status " << status;
    }
    std::ifstream in(portFile);
    if (in >> port_) return;
    usleep(10000);
  }
}

void VaultdProcess::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string VaultdProcess::base() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool Reply::hasHeaderLine(const std::string &line) const {
  for (const std::string &h : headerLines)
    if (h == line) return true;
  return false;
}

namespace {

size_t onHeader(char *p, size_t size, size_t n, void *ud) {
  auto *r = static_cast<Reply *>(ud);
  std::string line(p, size * n);
  if (r->headerLines.empty()) {
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    r->statusLine = s;
  }
  // libcurl hands over interim "100 Continue" replies too; keep only the
  // final reply's lines.
  if (line.rfind("HTTP/1.1 100", 0) == 0) {
    r->headerLines.clear();
    r->statusLine.clear();
    return size * n;
  }
  if (line == "\r\n" && r->statusLine.empty()) return size * n;
  r->headerLines.push_back(line);
  return size * n;
}

size_t onBody(char *p, size_t size, size_t n, void *ud) {
  static_cast<Reply *>(ud)->body.append(p, size * n);
  return size * n;
}

struct Upload {
  const std::string *data;
  size_t pos = 0;
};

size_t onRead(char *buf, size_t size, size_t n, void *ud) {
  auto *u = static_cast<Upload *>(ud);
  size_t take = std::min(size * n, u->data->size() - u->pos);
  memcpy(buf, u->data->data() + u->pos, take);
  u->pos += take;
  return take;
}

Reply perform(const std::string &url, const char *method, const std::vector<std::string> &headers,
              const std::string &body) {
  Reply r;
  CURL *c = curl_easy_init();
  curl_slist *list = nullptr;
  for (const std::string &h : headers) list = curl_slist_append(list, h.c_str());
  Upload up{&body};
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  if (strcmp(method, "PUT") == 0) {
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, onRead);
    curl_easy_setopt(c, CURLOPT_READDATA, &up);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body.size()));
  } else if (strcmp(method, "POST") == 0) {
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  r.curlCode = curl_easy_perform(c);
  curl_slist_free_all(list);
  curl_easy_cleanup(c);
  return r;
}

}  // namespace

Reply vaultRequest(const std::string &base, const char *method, const std::string &endpoint,
                   const std::vector<std::string> &headers, const std::string &body) {
  return perform(base + "/cgi-bin/vaultServer/" + endpoint, method, headers, body);
}

Reply controlGet(const std::string &base, const std::string &path) {
  return perform(base + "/vaultd/" + path, "GET", {}, "");
}

Reply controlPost(const std::string &base, const std::string &path, const std::string &body) {
  return perform(base + "/vaultd/" + path, "POST", {}, body);
}

std::string blockName(const Key &key) {
  char hex[129];
  for (int i = 0; i < 64; i++) snprintf(hex + 2 * i, 3, "%02X", key.hashValue[i]);
  return "b-" + std::string(key.hashType, strnlen(key.hashType, 8)) + "-" +
         std::to_string(key.hashedLength) + "-" + hex;
}

Block makeBlock(const std::string &data) {
  Block b;
  b.data = data;
  memcpy(b.key.hashType, "sha512", 6);
  b.key.hashedLength = data.size();
  SHA512(reinterpret_cast<const unsigned char *>(data.data()), data.size(), b.key.hashValue);
  return b;
}

Block randomBlock(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return makeBlock(s);
}

std::string u64le(uint64_t v) {
  uint8_t b[8];
  hactar::encodeFixed64(b, v);
  return std::string(reinterpret_cast<char *>(b), 8);
}

uint64_t readU64(const std::string &s, size_t offset) {
  return hactar::decodeFixed64(reinterpret_cast<const uint8_t *>(s.data()) + offset);
}

std::string checkEntry(const Key &key, uint64_t offset) {
  std::string e(key.hashType, 8);
  e += u64le(key.hashedLength);
  e.append(reinterpret_cast<const char *>(key.hashValue), 64);
  e += u64le(offset);
  return e;
}

std::string multiEntry(const Block &b, uint64_t offset) {
  std::string e(b.key.hashType, 8);
  uint8_t len[4];
  hactar::encodeFixed32(len, static_cast<uint32_t>(b.key.hashedLength));
  e.append(reinterpret_cast<char *>(len), 4);
  e.append(reinterpret_cast<const char *>(b.key.hashValue), 64);
  e += u64le(offset);
  return e + b.data;
}

std::string metadataDocument(const std::string &instance, uint64_t startTime, uint64_t type) {
  std::ostringstream o;
  o << "<?xml version=\"1.0\"?>\n<backup_metadata>\n  <metadata_version>1</metadata_version>\n"
    << "  <systems>\n    <name>appliance1</name>\n"
    << "    <UUID>0f0e0d0c-0b0a-4909-8807-060504030201</UUID>\n  </systems>\n"
    << "  <nodes>\n    <node_name>client1</node_name>\n  </nodes>\n"
    << "  <application_instances>\n    <instance-uuid>" << instance << "</instance-uuid>\n"
    << "    <app_id>1</app_id>\n    <app_type>Generic</app_type>\n  </application_instances>\n"
    << "  <backups>\n    <properties>0</properties>\n    <type>" << type << "</type>\n"
    << "    <start_time>" << startTime << "</start_time>\n    <total_megs>1</total_megs>\n"
    << "    <verify_after>0</verify_after>\n    <is_verified>0</is_verified>\n  </backups>\n"
    << "</backup_metadata>\n";
  return o.str();
}

Reply startBackup(const std::string &base, const std::string &doc, bool force) {
  std::vector<std::string> h = {"X-Time: 5", "X-Amt:" + std::to_string(doc.size()), "X-Protocol: 1",
                                "X-ReserveSize:4096"};
  if (force) h.push_back("X-Force: FORCE");
  return vaultRequest(base, "POST", "start-backup", h, doc);
}

Reply backupCheck(const std::string &base, const std::string &identity, long number) {
  std::string body = identity + std::string(1, '\0');
  std::vector<std::string> h = {"X-Amt:" + std::to_string(body.size()), "X-Protocol: 1"};
  if (number != 0) h.push_back("X-BackupNo: " + std::to_string(number));
  return vaultRequest(base, "POST", "backup-check", h, body);
}

Reply checkOffsets(const std::string &base, long backup, const std::vector<std::string> &entries) {
  std::string body;
  for (const std::string &e : entries) body += e;
  std::vector<std::string> h = {"X-Expect:" + std::to_string(entries.size())};
  if (backup > 0) h.push_back("X-BackupNo: " + std::to_string(backup));
  h.push_back("X-Protocol: 1");
  return vaultRequest(base, "POST", "post-check-offset", h, body);
}

Reply blockCount(const std::string &base, long backup) {
  std::vector<std::string> h = {"X-Protocol: 1"};
  if (backup != 0) h.push_back("X-BackupNo: " + std::to_string(backup));
  return vaultRequest(base, "POST", "backup-block-count", h, "");
}

Reply putMulti(const std::string &base, long backup, const std::vector<std::string> &entries) {
  std::string body;
  for (const std::string &e : entries) body += e;
  return vaultRequest(base, "PUT", "multiblock",
                      {"X-Offset: 1", "X-Time: 5", "X-BackupNo: " + std::to_string(backup),
                       "X-BackupSize: " + std::to_string(body.size()),
                       "X-ClusterAmt: " + std::to_string(entries.size()), "X-Protocol: 1"},
                      body);
}

Reply putBlock(const std::string &base, long backup, const Block &b, uint64_t offset) {
  return vaultRequest(base, "PUT", blockName(b.key),
                      {"X-Protocol: 1", "X-Offset: " + std::to_string(offset), "X-Time: 5",
                       "X-BackupNo: " + std::to_string(backup)},
                      b.data);
}

Reply putFile(const std::string &base, long backup, const std::string &localPath) {
  return vaultRequest(base, "PUT", "f-" + localPath,
                      {"X-Protocol: 1", "X-BackupNo: " + std::to_string(backup), "X-ElapsedTime: 7"},
                      rpd::test::readFile(localPath));
}

Reply endBackup(const std::string &base, const std::string &identity, const std::string &message) {
  return vaultRequest(base, "POST", "end-backup",
                      {"X-Amt:" + std::to_string(message.size()), "X-BackupUUID: " + identity,
                       "X-Protocol: 1"},
                      message);
}

int vaultdExport(const std::string &stateDir, long number, const std::string &out) {
  return rpd::test::run({rpd::test::program("vaultd/vaultd"), "export", stateDir, std::to_string(number), out}).status;
}

CheckAnswer decodeCheck(const Reply &r, size_t amt) {
  CheckAnswer a;
  if (r.body.size() < 24) return a;
  a.result = static_cast<long>(readU64(r.body, 0));
  a.status = readU64(r.body, 8);
  a.properties = readU64(r.body, 16);
  if (r.body.size() == 24 + amt + 4) {
    uint32_t crc = hactar::crc32Update(0, r.body.data(), 24 + amt);
    a.crcOk = crc == hactar::decodeFixed32(reinterpret_cast<const uint8_t *>(r.body.data()) + 24 + amt);
  }
  return a;
}

}  // namespace vdtest
