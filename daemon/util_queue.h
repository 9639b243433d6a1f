// util_queue.h: the utility-mode commands that manage the replication
// queue: createqueue, createtypes, enqueue, complete, remove, peek, swap
// and cleanup ("rpd util <command> [args]").
//
// Each handler gets the whole command line: argv[0] the program, argv[1]
// "util", argv[2] the command word, then the command's arguments. The
// dispatcher checks the argument count (argc, everything included) before
// it calls a handler and prints the usage text when it is wrong; a handler
// called with a wrong count anyway does nothing and returns 0. The result
// is the command's exit result. Output goes to standard output, the rest
// to the log.
#pragma once

// createqueue: argc >= 3. Creates vx.replication_queue; its result.
int utilCreateQueue(int argc, char **argv);
// createtypes: argc >= 3. Adds the operation names 6 prepare, 7 replicate,
// 8 wait, 9 rebuild to vx.operation_names in one statement; 0 (a failed
// statement is only logged), -1 only when the statement does not fit.
int utilCreateTypes(int argc, char **argv);
// enqueue <backup_no> <vault>: argc == 5. enqueueGroup's result.
int utilEnqueue(int argc, char **argv);
// complete <backup_no> <vault>: argc == 5. markComplete's result.
int utilComplete(int argc, char **argv);
// remove <backup_no> <vault>: argc == 5. removeEntry's result.
int utilRemove(int argc, char **argv);
// peek <offset>: argc == 4. Prints the queued backup number at the offset
// with "%d" and no newline (0 when none); the result is that number.
int utilPeek(int argc, char **argv);
// swap <backup_no> <vault> <backup_no> <vault>: argc == 7. swapEntries'
// result.
int utilSwap(int argc, char **argv);
// cleanup <backup_no> <vault>: argc == 5. markCleanup's result; the
// daemon then terminates the entry's worker.
int utilCleanup(int argc, char **argv);
