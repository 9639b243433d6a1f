// util_dedup.h: the utility-mode commands that inspect a backup's hashes
// in the deduplication index: count and list ("rpd util <command> [args]").
//
// Each handler gets the whole command line (argv[0] the program, argv[1]
// "util", argv[2] the command word, then its arguments); the dispatcher has
// checked the argument count. Output goes to standard output, the rest to
// the log; the result is the command's exit result.
#pragma once

// count <backup_no>: argc == 4. Prints "<distinct> <total>\n". 0 / -1.
int utilCount(int argc, char **argv);
// list <backup_no> <distinct 0|1>: argc == 5. Prints "<block name>
// <file offset>\n" per block in list order. 0 / -1.
int utilList(int argc, char **argv);
