// vault_reply_fuzz.cpp: what the client reads from a Vault reply.
//
// Input: one control byte (bit 0: checksum required; the rest: the count
// of identity bytes the request sent), then the reply. The reply is read
// twice: as header lines through the header callback, whose status must
// stay one of the defined codes and never leave a Vault error once set;
// and as a backup-check body, whose fields must exist where it succeeds.
#include <string_view>

#include "tests/fuzz/fuzz_support.h"
#include "vault/rest.h"
#include "vault/transfer.h"

namespace {

bool definedStatus(int code) { return code == 1 || code == 0 || (code <= -3 && code >= -6); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::quietLog();
  if (size < 1) return 0;
  bool requireChecksum = data[0] & 1;
  uint64_t amt = data[0] >> 1;
  const uint8_t *reply = data + 1;
  size_t len = size - 1;

  // Header lines as libcurl hands them over: one call per line, its CR LF
  // included, in a buffer that is not NUL-terminated.
  ReplyStatus stat;
  std::string_view rest(reinterpret_cast<const char *>(reply), len);
  while (!rest.empty()) {
    size_t eol = rest.find('\n');
    size_t n = eol == std::string_view::npos ? rest.size() : eol + 1;
    std::string line(rest.substr(0, n));
    int before = stat.errorCode;
    size_t taken = replyHeaderCallback(line.data(), 1, line.size(), &stat);
    FUZZ_CHECK(taken == line.size() || taken == 0);
    FUZZ_CHECK(definedStatus(stat.errorCode));
    if (before < 0) FUZZ_CHECK(stat.errorCode == before);
    if (taken == 0) break;  // the transfer is aborted here
    rest.remove_prefix(n);
  }
  int result = operationResult(stat.errorCode);
  FUZZ_CHECK(result == 0 || result == -1 || (result <= -3 && result >= -6));

  long number = 0;
  uint64_t status = 7, properties = 7;
  if (parseBackupCheckReply(reply, len, amt, requireChecksum, &number, &status, &properties) == 0) {
    FUZZ_CHECK(len >= BACKUP_CHECK_MIN_REPLY);
    if (requireChecksum) FUZZ_CHECK(len >= amt + 28);
    if (len < BACKUP_CHECK_PROPS_REPLY) FUZZ_CHECK(properties == 0);
  }
  return 0;
}
