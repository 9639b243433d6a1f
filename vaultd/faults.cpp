// faults.cpp: fault rules and per-endpoint request counting (see faults.h).
#include "vaultd/faults.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include "vaultd/vdlog.h"

namespace {

struct FaultRule {
  Endpoint endpoint = Endpoint::Any;
  long count = 1;
  long times = 1;
  long seen = 0;
  long percent = 0;  // > 0: fires at random with this chance instead
  FaultAction action;
  std::string text;
};

std::mutex g_faultLock;             // guards every g_ variable below
std::vector<FaultRule> g_rules;
long g_requests[static_cast<int>(Endpoint::Count)] = {};
uint64_t g_blockBytes = 0, g_resentBytes = 0, g_fileBytes = 0;
std::vector<std::string> g_notices;

const struct {
  const char *name;
  FaultKind kind;
} kKinds[] = {
    {"503", FaultKind::Status503},       {"500", FaultKind::Status500},
    {"405", FaultKind::Raw405},          {"drop", FaultKind::Drop},
    {"drop-after", FaultKind::DropAfter}, {"warning", FaultKind::Warning},
    {"refuse-order", FaultKind::RefuseOrder}, {"refuse", FaultKind::Refuse},
    {"slow", FaultKind::Slow},           {"delay", FaultKind::Delay},
    {"slow-read", FaultKind::SlowRead},  {"truncate", FaultKind::Truncate},
    {"badcrc", FaultKind::BadCrc},       {"lose", FaultKind::Lose},
    {"build-fail", FaultKind::BuildFail}, {"build-cancel", FaultKind::BuildCancel},
    {"build-wait", FaultKind::BuildWait}, {"cut", FaultKind::Cut},
    {"stall", FaultKind::Stall},         {"kill", FaultKind::Kill},
};

bool parseLong(const std::string &s, long *out) {
  if (s.empty()) return false;
  char *end = nullptr;
  long v = strtol(s.c_str(), &end, 10);
  if (*end || v < 0) return false;
  *out = v;
  return true;
}

}  // namespace

const char *endpointName(Endpoint e) {
  switch (e) {
    case Endpoint::BlockCount: return "backup-block-count";
    case Endpoint::CheckOffset: return "post-check-offset";
    case Endpoint::StartBackup: return "start-backup";
    case Endpoint::EndBackup: return "end-backup";
    case Endpoint::BackupCheck: return "backup-check";
    case Endpoint::MultiBlock: return "multiblock";
    case Endpoint::Block: return "block";
    case Endpoint::File: return "file";
    case Endpoint::Any: return "any";
    default: return "unknown";
  }
}

Endpoint endpointFromName(const std::string &n) {
  if (n == "backup-block-count" || n == "postBlockCount") return Endpoint::BlockCount;
  if (n == "post-check-offset" || n == "postCheckOffset") return Endpoint::CheckOffset;
  if (n == "start-backup" || n == "postStartBackup") return Endpoint::StartBackup;
  if (n == "end-backup" || n == "postEndBackup") return Endpoint::EndBackup;
  if (n == "backup-check" || n == "postBackupCheck") return Endpoint::BackupCheck;
  if (n == "multiblock" || n == "putMultiBlocks") return Endpoint::MultiBlock;
  if (n == "block" || n == "putBlocks" || n == "putLargeBlock") return Endpoint::Block;
  if (n == "file" || n == "putFiles" || n == "putEncryptedFiles") return Endpoint::File;
  if (n == "any") return Endpoint::Any;
  return Endpoint::Unknown;
}

int faultAdd(const std::string &text, std::string *error) {
  FaultRule rule;
  rule.text = text;
  bool haveEndpoint = false, haveKind = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eq = text.find('=', pos);
    if (eq == std::string::npos) {
      *error = "expected key=value in \"" + text.substr(pos) + "\"";
      return -1;
    }
    std::string key = text.substr(pos, eq - pos);
    std::string value;
    if (key == "text") {  // the rest of the rule, commas included
      value = text.substr(eq + 1);
      pos = text.size();
    } else {
      size_t comma = text.find(',', eq + 1);
      if (comma == std::string::npos) comma = text.size();
      value = text.substr(eq + 1, comma - eq - 1);
      pos = comma + 1;
    }
    if (key == "endpoint") {
      rule.endpoint = endpointFromName(value);
      if (rule.endpoint == Endpoint::Unknown) {
        *error = "unknown endpoint \"" + value + "\"";
        return -1;
      }
      haveEndpoint = true;
    } else if (key == "count") {
      if (!parseLong(value, &rule.count)) {
        *error = "bad count \"" + value + "\"";
        return -1;
      }
      if (rule.count == 0) rule.count = 1;
    } else if (key == "times") {
      if (!parseLong(value, &rule.times)) {
        *error = "bad times \"" + value + "\"";
        return -1;
      }
    } else if (key == "percent") {
      if (!parseLong(value, &rule.percent) || rule.percent > 100) {
        *error = "bad percent \"" + value + "\"";
        return -1;
      }
    } else if (key == "arg") {
      if (!parseLong(value, &rule.action.arg)) {
        *error = "bad arg \"" + value + "\"";
        return -1;
      }
    } else if (key == "kind") {
      for (const auto &k : kKinds)
        if (value == k.name) {
          rule.action.kind = k.kind;
          haveKind = true;
        }
      if (!haveKind) {
        *error = "unknown kind \"" + value + "\"";
        return -1;
      }
    } else if (key == "text") {
      rule.action.text = value;
    } else {
      *error = "unknown key \"" + key + "\"";
      return -1;
    }
  }
  if (!haveEndpoint || !haveKind) {
    *error = "a rule needs endpoint= and kind=";
    return -1;
  }
  std::lock_guard<std::mutex> g(g_faultLock);
  g_rules.push_back(rule);
  VDLOG(1, "fault rule installed: %s", text.c_str());
  return 0;
}

void faultClear() {
  std::lock_guard<std::mutex> g(g_faultLock);
  g_rules.clear();
  VDLOG(1, "fault rules cleared");
}

FaultAction faultForRequest(Endpoint e) {
  std::lock_guard<std::mutex> g(g_faultLock);
  if (e < Endpoint::Count) g_requests[static_cast<int>(e)]++;
  FaultAction chosen;
  for (FaultRule &r : g_rules) {
    if (r.endpoint != Endpoint::Any && r.endpoint != e) continue;
    r.seen++;
    bool fires = r.percent > 0 ? rand() % 100 < r.percent
                               : r.seen >= r.count && (r.times == 0 || r.seen < r.count + r.times);
    if (fires && chosen.kind == FaultKind::None) {
      chosen = r.action;
      VDLOG(1, "fault fires on %s request %ld: %s", endpointName(e), r.seen, r.text.c_str());
    }
  }
  return chosen;
}

std::string faultCounters() {
  std::lock_guard<std::mutex> g(g_faultLock);
  std::string s;
  for (int i = 0; i < static_cast<int>(Endpoint::Count); i++)
    s += std::string(endpointName(static_cast<Endpoint>(i))) + " " + std::to_string(g_requests[i]) + "\n";
  return s;
}

void faultCountBlock(uint64_t bytes, bool alreadyHeld) {
  std::lock_guard<std::mutex> g(g_faultLock);
  g_blockBytes += bytes;
  if (alreadyHeld) g_resentBytes += bytes;
}

void faultCountFile(uint64_t bytes) {
  std::lock_guard<std::mutex> g(g_faultLock);
  g_fileBytes += bytes;
}

void faultNotice(const std::string &message) {
  std::lock_guard<std::mutex> g(g_faultLock);
  g_notices.push_back(message);
}

std::string faultReceived() {
  std::lock_guard<std::mutex> g(g_faultLock);
  std::string s = "blocks " + std::to_string(g_blockBytes) + "\nresent " + std::to_string(g_resentBytes) +
                  "\nfile " + std::to_string(g_fileBytes) + "\n";
  for (const std::string &n : g_notices) s += "notice " + n + "\n";
  return s;
}
