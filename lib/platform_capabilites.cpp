// platform_capabilites.cpp: platform capability queries (see header).
#include "lib/platform_capabilites.h"

#include <sys/wait.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/config.h"
#include "lib/handles.h"
#include "lib/logger.h"
#include "lib/syspath.h"

namespace {

const char *kCapabilityFile = "/var/opt/kestrelon/platform_capabilities";

// Runs `command` through the shell and returns its exit status, or -1 when
// it could not run or did not exit normally (both logged).
int runStatus(const char *caller, const char *command) {
  int status = system(command);
  if (status == -1) return -1;
  if (WIFSIGNALED(status)) {
    LOG(0, "%s: %s was signaled with %s", caller, command, strsignal(WTERMSIG(status)));
    return -1;
  }
  if (!WIFEXITED(status)) {
    LOG(0, "%s: %s abnormally exited", caller, command);
    return -1;
  }
  return WEXITSTATUS(status);
}

bool isBlankChar(char c) { return isspace((unsigned char)c) != 0; }

}  // namespace

int platformSupportsDedupNT() {
  std::string cmd = "grep -w '^dedupNT' " + sysPath(kCapabilityFile) + " >/dev/null 2>&1";
  LOG(4, "%s: command is: %s", __func__, cmd.c_str());
  return runStatus(__func__, cmd.c_str()) == 0 ? 1 : 0;
}

int platformSupportsDedup() {
  // The command is built in a buffer sized for any installation path, not a
  // short fixed one: a cut command would silently read as "no dedup".
  char cmd[PATH_MAX + 64];
  if (snprintf(cmd, sizeof cmd, "%s/platformSupportsDedup 2>/dev/null", g_bindir) >=
      (int)sizeof cmd)
    return 0;
  int status = runStatus(__func__, cmd);
  return (status >= 0 && status <= 4) ? status : 0;
}

int platformSupportsReplication() {
  UniqueFile fp(fopen(sysPath(kCapabilityFile).c_str(), "r"));
  if (!fp) return 0;
  static const char kWord[] = "replication";
  const size_t wlen = sizeof kWord - 1;
  char piece[4095];  // at most 4094 characters at a time
  while (fgets(piece, sizeof piece, fp.get())) {
    for (const char *p = strstr(piece, kWord); p; p = strstr(p + 1, kWord)) {
      bool before = p == piece || isBlankChar(p[-1]);
      bool after = p[wlen] == '\0' || isBlankChar(p[wlen]);
      if (before && after) return 1;
    }
  }
  return 0;
}
