// validate.cpp: the vault name rule and the log rendering of refused text.
#include "lib/validate.h"

#include <cstdio>
#include <cstring>

#include "lib/logger.h"

namespace {

bool vaultNameCharacter(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && strchr(".-_:/[]@", c) != nullptr;
}

}  // namespace

bool isValidVaultName(const char *name) {
  if (name == nullptr) return false;
  size_t length = 0;
  for (const char *p = name; *p != '\0'; ++p, ++length)
    if (length >= VAULT_NAME_MAX || !vaultNameCharacter(static_cast<unsigned char>(*p))) return false;
  return length > 0;
}

int checkVaultName(const char *name, const char *source) {
  if (isValidVaultName(name)) return 0;
  LOG(0, "Refused vault name %s (%s): a vault name has 1 to %zu characters, each a letter, a digit or "
         "one of .-_:/[]@",
      quotedForLog(name).c_str(), source, VAULT_NAME_MAX);
  return -1;
}

std::string quotedForLog(const char *text, size_t limit) {
  if (text == nullptr) return "(null)";
  std::string out = "\"";
  size_t shown = 0;
  for (const char *p = text; *p != '\0'; ++p, ++shown) {
    if (shown == limit) {
      out += "...";
      break;
    }
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
