// util.h: utility mode, "rpd util <command> [args]".
//
// Each command is one entry of a dispatch table: its word, the total
// argument counts it accepts (the program name, "util" and the command
// word included) and its handler. A handler has the signature of main and
// returns the command's result, which becomes the process's exit status.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdio>

typedef int (*UtilHandler)(int argc, char **argv);

// No upper bound on the argument count.
constexpr int UTIL_ANY_COUNT = INT_MAX;

// Bit of argument argv[i] in the argument-kind masks of a command.
constexpr unsigned utilArg(int i) { return 1u << i; }

struct UtilCommand {
  const char *name;    // the command word (argv[2])
  int minArgs;         // smallest accepted total argument count
  int maxArgs;         // largest accepted total argument count
  int badCountResult;  // result after printing the usage for a wrong count
  UtilHandler handler;
  unsigned vaultArgs = 0;  // utilArg(i) set: argv[i], when given, is a vault name
  unsigned ubiArgs = 0;    // utilArg(i) set: argv[i], when given, is a UBI
};

// The commands of rpd util.
extern const UtilCommand utilCommands[];
extern const size_t utilCommandCount;

// Utility-mode entry: sets up configuration and the "rpd-util" log, then
// dispatches argv[2] through utilCommands. Returns the command's result;
// 0 after printing the usage (fewer than three arguments) and 0 for an
// unknown command word.
int utilMain(int argc, char **argv);

// Dispatches argv[2] through `table`: fewer than three arguments print the
// usage to `out` and give 0; an unknown word gives 0 without output; a
// count outside [minArgs, maxArgs] prints the usage and gives the entry's
// badCountResult; a vault name or UBI argument that breaks its rule
// (isValidVaultName, isUBIString) is refused before the handler runs: a
// log line, "rpd util <command>: invalid ..." on standard error, and -1;
// otherwise the handler's result.
int utilDispatch(const UtilCommand *table, size_t count, int argc, char **argv, FILE *out);

// Writes the usage text of rpd util to `out`.
void printUtilUsage(FILE *out);
