// faults.h: faults that the Vault stand-in injects on request.
//
// A fault rule names an endpoint, the request count at which it fires, how
// many consecutive requests it affects and what happens to them. Rules come
// from the command line (--fault, repeatable) or from the control request
// "POST /vaultd/fault" (body = the rule text). Syntax:
//
//   endpoint=<name>,count=<n>,kind=<kind>[,times=<m>][,percent=<p>][,arg=<a>][,text=<t>]
//
// endpoint: a protocol endpoint ("backup-block-count", "post-check-offset",
//   "start-backup", "end-backup", "backup-check", "multiblock", "block" for
//   PUT b-..., "file" for PUT f-...), the client operation that sends it
//   (postBlockCount, postCheckOffset, postStartBackup, postEndBackup,
//   postBackupCheck, putMultiBlocks, putBlocks/putLargeBlock,
//   putFiles/putEncryptedFiles), or "any".
// count: the rule fires on the n-th matching request after it was installed
//   (1 = the next one); times: how many consecutive requests it affects
//   from there (default 1, 0 = all following).
// percent: instead of count and times, the rule fires on each matching
//   request with that chance (1 to 100), for random faults in long runs.
// text: must come last; it may contain commas.
//
// Kinds (the request is "processed" when the Vault acts on it as usual):
//   503, 500      reply with that status; not processed
//   405           raw reply "HTTP/1.1 405 Bad Request"; not processed
//   drop          body read, not processed, connection closed without reply
//   drop-after    processed, then connection closed without reply
//   warning       processed; reply carries "Warning: <text>"
//                 (default text "vaultd injected warning")
//   refuse-order  not processed; reply carries "Warning: Failed to process
//                 metaData, tried to insert out of order backup sequence."
//   refuse        not processed; reply carries "Warning: Failed to process
//                 metaData"
//   slow          processed; each reply body byte follows after arg ms
//                 (default 50)
//   delay         processed; the reply starts after arg ms (default 1000)
//   slow-read     processed; the server pauses arg ms (default 50) after
//                 each piece of the request body it receives
//   truncate      processed; the reply body is cut to arg bytes
//   badcrc        processed; backup-check reply with a wrong CRC-32
//   lose          processed, but received blocks are checked and not kept
//   build-fail    file: the build ends failed (0x1000)
//   build-cancel  file: the build ends cancelled (0x8000)
//   build-wait    file: the backup check answers "building" for arg more
//                 requests before the build's outcome shows
//   cut           processed while it streams in; once arg bytes of the body
//                 have arrived (default 1) the connection is closed
//                 mid-body, without reply (what was whole by then is kept)
//   stall         not processed; nothing is read or answered for arg ms
//                 (default 30000), then the connection is closed
//   kill          vaultd dies at once (SIGKILL, no clean stop) when arg
//                 bytes of the body have arrived (default 0: at the headers)
#pragma once

#include <cstdint>
#include <string>

enum class Endpoint {
  BlockCount,
  CheckOffset,
  StartBackup,
  EndBackup,
  BackupCheck,
  MultiBlock,
  Block,
  File,
  Count,  // number of protocol endpoints; not an endpoint
  Any,
  Unknown,
};

enum class FaultKind {
  None,
  Status503,
  Status500,
  Raw405,
  Drop,
  DropAfter,
  Warning,
  RefuseOrder,
  Refuse,
  Slow,
  Delay,
  SlowRead,
  Truncate,
  BadCrc,
  Lose,
  BuildFail,
  BuildCancel,
  BuildWait,
  Cut,
  Stall,
  Kill,
};

// What one request receives; kind None = no fault.
struct FaultAction {
  FaultKind kind = FaultKind::None;
  long arg = -1;      // -1 = the kind's default
  std::string text;
};

// The canonical name of an endpoint ("backup-check").
const char *endpointName(Endpoint e);
// Endpoint from a rule name (canonical or client operation name).
Endpoint endpointFromName(const std::string &name);

// Parses and installs a rule; 0, or -1 with `error` set.
int faultAdd(const std::string &rule, std::string *error);
// Removes every rule.
void faultClear();
// Counts one request to `e` against every rule for it and returns the
// action of the first rule that fires (kind None when none does). Also
// advances the per-endpoint request counter.
FaultAction faultForRequest(Endpoint e);
// Requests seen per endpoint since start, "name count\n" per endpoint.
std::string faultCounters();

// What arrived since start, for tests that check nothing is sent twice:
// block data bytes received (PUT multiblock and b-...), the part of them
// that belonged to blocks already held when they arrived, HaCTAR bytes, and
// each end-backup message. faultReceived() gives "blocks N\nresent N\n
// file N\n" and one "notice <message>" line per end-backup, in order.
void faultCountBlock(uint64_t bytes, bool alreadyHeld);
void faultCountFile(uint64_t bytes);
void faultNotice(const std::string &message);
std::string faultReceived();
