// vaultd.h: runs the real vaultd binary and talks to it with libcurl.
//
// VaultdProcess starts vaultd on a free port with its own state directory
// (kept across restart() so persistence can be checked) and stops it with
// SIGTERM. VaultdClient sends requests with exactly the headers and body
// given and returns the raw reply: status line, header lines and body.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files.h"


namespace vdtest {

class VaultdProcess {
 public:
  // Starts vaultd with `extraArgs` after --state/--port-file.
  explicit VaultdProcess(std::vector<std::string> extraArgs = {});
  ~VaultdProcess();
  VaultdProcess(const VaultdProcess &) = delete;
  VaultdProcess &operator=(const VaultdProcess &) = delete;

  void start();
  void stop();
  void restart() { stop(); start(); }
  int port() const { return port_; }
  std::string base() const;  // "http://127.0.0.1:PORT"
  const std::string &stateDir() const { return stateDir_; }
  const std::string &workDir() const { return workDir_; }

 private:
  rpd::test::TempDir dir_{"vaultd-test"};
  std::vector<std::string> args_;
  std::string workDir_, stateDir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

struct Reply {
  int curlCode = 0;
  std::string statusLine;               // first header line without CR LF
  std::vector<std::string> headerLines;  // every header line, CR LF included
  std::string body;
  bool hasHeaderLine(const std::string &line) const;
};

// Sends METHOD base + "/cgi-bin/vaultServer/" + endpoint with the given
// header texts in order and the body.
Reply vaultRequest(const std::string &base, const char *method, const std::string &endpoint,
                   const std::vector<std::string> &headers, const std::string &body);
// Control requests (under /vaultd/).
Reply controlGet(const std::string &base, const std::string &path);
Reply controlPost(const std::string &base, const std::string &path, const std::string &body);

// ---- protocol bodies ----

// Identity of a block, as the protocol carries it.
struct Key {
  char hashType[8] = {};
  uint64_t hashedLength = 0;
  uint8_t hashValue[64] = {};
};
// "b-sha512-<length>-<128 upper-case hex digits>".
std::string blockName(const Key &key);

struct Block {
  Key key;
  std::string data;
};
// A sha512 block over `data`.
Block makeBlock(const std::string &data);
// A block of n pseudo-random bytes from `seed`.
Block randomBlock(size_t n, unsigned seed);
// 88-byte check-offset entry.
std::string checkEntry(const Key &key, uint64_t offset);
// 84-byte multi-block head followed by the data.
std::string multiEntry(const Block &b, uint64_t offset);
// A start-backup document for an instance, start time and type.
std::string metadataDocument(const std::string &instance, uint64_t startTime, uint64_t type);
std::string u64le(uint64_t v);
uint64_t readU64(const std::string &s, size_t offset);

// Request helpers that send the protocol's headers in order.
Reply startBackup(const std::string &base, const std::string &doc, bool force = false);
Reply backupCheck(const std::string &base, const std::string &identity, long number);
Reply checkOffsets(const std::string &base, long backup, const std::vector<std::string> &entries);
Reply blockCount(const std::string &base, long backup);
Reply putMulti(const std::string &base, long backup, const std::vector<std::string> &entries);
Reply putBlock(const std::string &base, long backup, const Block &b, uint64_t offset);
Reply putFile(const std::string &base, long backup, const std::string &localPath);
Reply endBackup(const std::string &base, const std::string &identity, const std::string &message);

// "vaultd export STATE NUMBER OUT": the exit status.
int vaultdExport(const std::string &stateDir, long number, const std::string &out);

// Decoded backup-check reply: result, status, properties and whether the
// trailing CRC-32 matched.
struct CheckAnswer {
  long result = 0;
  uint64_t status = 0, properties = 0;
  bool crcOk = false;
};
CheckAnswer decodeCheck(const Reply &r, size_t amt);

}  // namespace vdtest
