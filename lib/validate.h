// validate.h: checks for text that comes from outside the daemon (the
// command line, master.ini, queue rows, documents) before it may reach a
// catalogue statement or a Vault URL.
//
// A vault name is pasted between single quotes of queue statements and is
// the base of every Vault URL, so it is held to a closed alphabet where it
// enters: a name that passes can neither end a quoted literal nor change a
// URL's shape. Text that must travel whatever it holds (names from an
// imported document) is not checked here; it is sent as a statement
// parameter or escaped by the catalogue helper (pgEscapeLiteral).
#pragma once

#include <cstddef>
#include <string>

// The longest vault name.
constexpr size_t VAULT_NAME_MAX = 63;

// True when `name` has 1 to VAULT_NAME_MAX characters, each an ASCII
// letter, a digit or one of ".-_:/[]@" (host names, ports, URLs with a
// scheme, bracketed IPv6 addresses, user@host).
bool isValidVaultName(const char *name);

// isValidVaultName, logging the refusal at level 0 as
// "Refused vault name <name> (<source>): ..." where `source` says where the
// name came from ("command line", "SyncTo in <file>", an operation name).
// 0 when valid, -1 when refused.
int checkVaultName(const char *name, const char *source);

// `text` in double quotes for a log line: bytes outside printable ASCII
// and the quote and backslash themselves as \xNN, cut after `limit`
// characters with "..." (a null pointer reads "(null)"). Keeps a hostile
// value from forging log lines.
std::string quotedForLog(const char *text, size_t limit = 80);
