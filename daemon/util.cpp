// util.cpp: the frame of utility mode: set-up, the usage text, the
// argument-count rule and the dispatch table of "rpd util" commands.
#include "daemon/util.h"

#include <cstring>

#include "daemon/rpd.h"
#include "daemon/settings.h"
#include "daemon/util_dedup.h"
#include "daemon/util_metadata.h"
#include "daemon/util_pipeline.h"
#include "daemon/util_queue.h"
#include "daemon/util_refresh.h"
#include "daemon/util_worker.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "lib/validate.h"
#include "metadata/identity.h"

// The command table. Argument counts are totals: "rpd util <word>" is 3.
//
// Commands whose handlers are written with their subsystems and join the
// table then (name, accepted count, result on a wrong count):
//   createqueue          >= 3                utilCreateQueue
//   createtypes          >= 3
//   enqueue              5
//   complete             5
//   remove               5
//   peek                 4
//   swap                 7
//   cleanup              5
//   count                4
//   list                 5
//   lbe                  5
//   block                4
//   export-ubi           4
//   check-ubi            4 or 5
//   export-metadata      4
//   import-metadata      4
//   replicate            5
//   tuple-hash           6
//   start-backup         5
//   fix-paused-instance  5                   wrong count gives -1
//   post-check           >= 5
//   post-check-offset    >= 6
//   put-block            >= 6  (vault, target, buffer size, pairs)
//   send-hactar          >= 6  (vault, local backup, target backup)
//   cancel-backup        >= 5  (vault, local backup)
// The last three have no count of their own; too few arguments print the
// usage like every other command. "cancel-ubi" appears in the usage text
// but is no command; "post-check" is a command missing from the usage.
// Until a command is in the table its word is unknown: result 0, no output.
// New entries go above the end marker.
//
// The last two fields mark the arguments that are vault names and UBIs:
// they are pasted into queue statements and Vault URLs, so the dispatcher
// holds them to their rules before any handler sees them.
const UtilCommand utilCommands[] = {
    {"createqueue", 3, UTIL_ANY_COUNT, 0, utilCreateQueue},
    {"createtypes", 3, UTIL_ANY_COUNT, 0, utilCreateTypes},
    {"enqueue", 5, 5, 0, utilEnqueue, utilArg(4)},
    {"complete", 5, 5, 0, utilComplete, utilArg(4)},
    {"remove", 5, 5, 0, utilRemove, utilArg(4)},
    {"peek", 4, 4, 0, utilPeek},
    {"swap", 7, 7, 0, utilSwap, utilArg(4) | utilArg(6)},
    {"cleanup", 5, 5, 0, utilCleanup, utilArg(4)},
    {"count", 4, 4, 0, utilCount},
    {"list", 5, 5, 0, utilList},
    {"export-ubi", 4, 4, 0, utilExportUbi},
    {"check-ubi", 4, 5, 0, utilCheckUbi, utilArg(4), utilArg(3)},
    {"export-metadata", 4, 4, 0, utilExportMetadata},
    {"import-metadata", 4, 4, 0, utilImportMetadata},
    {"lbe", 5, 5, 0, utilLbe},
    {"send-hactar", 6, UTIL_ANY_COUNT, 0, utilSendHactar, utilArg(3)},
    {"block", 4, 4, 0, utilBlock},
    {"tuple-hash", 6, 6, 0, utilTupleHash},
    {"post-check", 5, UTIL_ANY_COUNT, 0, utilPostCheck, utilArg(3)},
    {"post-check-offset", 6, UTIL_ANY_COUNT, 0, utilPostCheckOffset, utilArg(3)},
    {"put-block", 6, UTIL_ANY_COUNT, 0, utilPutBlock, utilArg(3)},
    {"replicate", 5, 5, 0, utilReplicate, utilArg(4)},
    {"start-backup", 5, 5, 0, utilStartBackup, utilArg(3)},
    {"fix-paused-instance", 5, 5, -1, utilFixPausedInstance, utilArg(3)},
    {"cancel-backup", 5, UTIL_ANY_COUNT, 0, utilCancelBackup, utilArg(3)},
    {nullptr, 0, 0, 0, nullptr},  // end marker, not a command
};
const size_t utilCommandCount = sizeof utilCommands / sizeof utilCommands[0] - 1;

namespace {

// The usage lines, written one per line as puts would.
const char *const USAGE_HEAD[] = {
    "Usage:",
    "rpd util <command> [args]",
    "\trpd util createqueue",
    "\t\tCreate vx.replication_queue",
    "\trpd util createtypes",
    "\t\tcreate types in vx.operation_names",
    "\trpd util enqueue <backup_no> <vault>",
    "\t\tAdds backup (and all it depends on) to queue",
    "\trpd util complete <backup_no> <vault>",
    "\t\tMark backup:vault entry as complete",
    "\trpd util remove <backup_no> <vault>",
    "\t\tRemove backup:vault from queue",
    "\trpd util peek <offset>",
    "\t\tDisplay backup at position offset",
    "\trpd util swap <backup_no> <vault> <backup_no> <vault>",
    "\t\tSwap two entries in the queue",
    "\trpd util cleanup <backup_no> <vault>",
    "\t\tMark backup:vault for termination and cleanup",
    "\trpd util count <backup_no>",
    "\t\tList the number of distinct blocks followed by total blocks",
    "\trpd util list <backup_no> <distinct value [0|1]>",
    "\t\tList the blocks in the backup (in 4tuple format).",
    "\t\tThe distinct flag determines if duplicate blocks are printed",
    "\trpd util lbe <backup_no> <lbe type [0-4]>",
    "\t\tList the blocks in the backup (in 3tuple format).",
    "\t\tThe lbe type determines what type of lbe to perform",
    "\t\tNote: does not check any target for existance of backup",
    "\t\tLBE Types(only considers sync_done backups):",
    "\t\t\t0: none ",
    "\t\t\t1: last master",
    "\t\t\t2: last group",
    "\t\t\t3: all in same instance",
    "\t\t\t4: all marked sync_done",
    "\trpd util block <3tuple>",
    "\t\tReads and dumps the output of the block to stdout",
    "\trpd util export-ubi <backup_no>",
    "\t\tDumps the Universal Backup Identifier (UBI) for backup_no",
    "\trpd util check-ubi <UBI string> <target(optional)>",
    "\t\tChecks the target for the backup number and status of the backup",
    "\t\twhich matches the UBI string provided. Performs a local check if",
    "\t\tno target is provided",
    "\trpd util export-metadata <backup_no>",
    "\t\tDumps the metadata (blob) for backup_no",
    "\trpd util import-metadata <path to metadata file>",
    "\t\timports the metadata found in the file path to the current system",
    "\trpd util replicate <backup_no> <target>",
    "\t\tReplicate single backup with settings from master.ini",
    "\trpd util tuple-hash <3tuple> <offset> <output length>",
    "\t\tOutput the hash described by the 3tuple and offset",
    "\t\tThis hash is used for vaultServer locking when forking is enabled",
    "\trpd util start-backup <vault> <backup_no>",
    "\t\tInitiates the first step of a replication",
    "\trpd util fix-paused-instance <vault> <backup_no>",
    "\t\tFor an instance that is paused resolve the issue causing it to be paused.",
};

const char *const USAGE_OUT_OF_ORDER[] = {
    "\t\t Initiates the first step of a replication to resolve a failure from an out of order backup.",
    "\t\t WARNING: This will cause backups on target to be marked FAILED and deletes out of order",
    "\t\t  backups on the replication_queue.  The replication_queue status for <backup_no> will be",
    "\t\t  set to REPLICATION_NEEDED when complete.  Target must have \"allowCleanupOutOfOrderBackups\"",
    "\t\t  set to True in the \"Replication\" section of the master.ini file to allow cleanup.",
};

const char *const USAGE_TAIL[] = {
    "\t\t TBD - not implemented.",
    "\trpd util post-check-offset <vault> <target backup_no> <3tuple> <offset> <3tuple> <offset> ...",
    "\t\tAsks the target about a set of blocks. For each block, a reference is made on the target.",
    "\trpd util put-block <vault> <target backup_no> <bufferSize> <3tuple> <offset> <3tuple> <offset> ...",
    "\t\tRead and send blocks to the target",
    "\trpd util send-hactar <vault> <local backup_no> <target backup_no>",
    "\t\tCreate and send a hactar to the target",
    "\trpd util cancel-backup <vault> <local backup_no>",
    "\t\tFail a backup on the target based on local backup_no",
    "\trpd util cancel-ubi <vault> <UBI>",
    "\t\tFail a backup on the target from a given UBI.",
};

// Queue states named in the usage text.
constexpr int REPLICATION_NEED_ASSIST = 64;
constexpr int REPLICATION_OUT_OF_ORDER = 128;

template <size_t N>
void putLines(FILE *out, const char *const (&lines)[N]) {
  for (const char *line : lines) {
    fputs(line, out);
    fputc('\n', out);
  }
}

}  // namespace

void printUtilUsage(FILE *out) {
  putLines(out, USAGE_HEAD);
  fprintf(out, "\t\tREPLICATION_OUT_OF_ORDER (%d):\n", REPLICATION_OUT_OF_ORDER);
  putLines(out, USAGE_OUT_OF_ORDER);
  fprintf(out, "\t\tREPLICATION_NEED_ASSIST (%d):\n", REPLICATION_NEED_ASSIST);
  putLines(out, USAGE_TAIL);
}

// Holds the vault name and UBI arguments of command c to their rules.
// 0, or -1 after logging the refusal and telling the operator on stderr.
static int checkArguments(const UtilCommand &c, int argc, char **argv) {
  for (int i = 3; i < argc && i < 32; ++i) {
    if ((c.vaultArgs & utilArg(i)) && checkVaultName(argv[i], "command line") != 0) {
      fprintf(stderr, "rpd util %s: invalid vault name %s\n", c.name, quotedForLog(argv[i]).c_str());
      return -1;
    }
    if ((c.ubiArgs & utilArg(i)) && !isUBIString(argv[i])) {
      LOG(0, "Refused UBI %s (command line): a UBI is <identity>_<start time>_<type>, the identity a UUID "
             "of hexadecimal digits and hyphens",
          quotedForLog(argv[i]).c_str());
      fprintf(stderr, "rpd util %s: invalid UBI %s\n", c.name, quotedForLog(argv[i]).c_str());
      return -1;
    }
  }
  return 0;
}

int utilDispatch(const UtilCommand *table, size_t count, int argc, char **argv, FILE *out) {
  if (argc < 3) {
    printUtilUsage(out);
    return 0;
  }
  for (size_t i = 0; i < count; ++i) {
    const UtilCommand &c = table[i];
    if (strcmp(c.name, argv[2]) != 0) continue;
    if (argc < c.minArgs || argc > c.maxArgs) {
      printUtilUsage(out);
      return c.badCountResult;
    }
    if (checkArguments(c, argc, argv) != 0) return -1;
    return c.handler(argc, argv);
  }
  return 0;
}

int utilMain(int argc, char **argv) {
  setAppName(argv[0], ghAppName);
  initGlobals();
  push_name(ghAppName);
  openProgramLog("rpd-util", 1);
  LOG(0, "Entering utility mode\n");
  int rc = utilDispatch(utilCommands, utilCommandCount, argc, argv, stdout);
  fflush(stdout);
  return rc;
}
