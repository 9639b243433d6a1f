// util_worker.h: the utility-mode commands that drive a replication or its
// first step by hand: replicate, start-backup and fix-paused-instance
// ("rpd util <command> [args]").
//
// Each handler gets the whole command line: argv[0] the program, argv[1]
// "util", argv[2] the command word, then the command's arguments. The
// dispatcher checks the argument count first; a handler called with a
// wrong count anyway does nothing and returns 0 (fix-paused-instance: -1).
#pragma once

// replicate <backup_no> <target>: argc == 5. Re-reads the replication
// settings and replicates the backup to the target in this process,
// exactly as a forked worker would (the queue entry, if any, gets the
// outcome). Always 0.
int utilReplicate(int argc, char **argv);

// start-backup <vault> <backup_no>: argc == 5. Announces the backup to the
// Vault and prints the result of the announcement (the Vault's backup
// number, or a negative code) with "%d\n". Always 0.
int utilStartBackup(int argc, char **argv);

// fix-paused-instance <vault> <backup_no>: argc == 5. Repairs an entry
// paused in REPLICATION_OUT_OF_ORDER (128): announces the backup with the
// force flag and, when the Vault took it, repairs the queue
// (repairOutOfOrder's result). -1 for any other state or a refused
// announcement.
int utilFixPausedInstance(int argc, char **argv);
