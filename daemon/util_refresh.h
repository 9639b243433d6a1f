// util_refresh.h: the utility-mode commands around local block elimination
// and the HaCTAR: lbe and send-hactar ("rpd util <command> [args]").
//
// Each handler gets the whole command line: argv[0] the program, argv[1]
// "util", argv[2] the command word, then the command's arguments. The
// dispatcher checks the argument count before it calls a handler; a
// handler called with too few arguments anyway does nothing and returns 0.
#pragma once

// lbe <backup_no> <lbe type 0..4>: argc == 5. Lists, one block name per
// line, the distinct blocks of the backup that none of its LBE reference
// backups (chosen by the type, the Vault not consulted) contains. 0, or -1
// when the references or the hash list cannot be had.
int utilLbe(int argc, char **argv);

// send-hactar <vault> <local backup_no> <target backup_no>: argc >= 6.
// Builds the backup's HaCTAR and sends it to the Vault's backup. The
// result of the build when it failed, else the send's (0 / -1).
int utilSendHactar(int argc, char **argv);
