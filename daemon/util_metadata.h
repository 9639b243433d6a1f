// util_metadata.h: the utility-mode commands around backup identities and
// replication metadata: export-ubi, check-ubi, export-metadata,
// import-metadata and cancel-backup ("rpd util <command> [args]").
//
// Each handler gets the whole command line: argv[0] the program, argv[1]
// "util", argv[2] the command word, then the command's arguments. The
// dispatcher checks the argument count (argc, everything included) before
// it calls a handler; a handler called with a wrong count anyway does
// nothing and returns 0. Output goes to standard output, the rest to the
// log; the result is the command's exit result.
#pragma once

// export-ubi <backup_no>: argc == 4. Prints the backup's UBI and a newline;
// an empty line when the backup has none (never replicated) or the lookup
// failed. Always 0.
int utilExportUbi(int argc, char **argv);

// check-ubi <UBI> [<target>]: argc == 4 or 5. With a target asks the Vault
// for the backup with that UBI; without, looks it up among the backups
// this appliance received. Prints "<backup_no> <status> <properties>\n".
// -1 when the Vault request fails or the Vault has no such backup, else 0.
int utilCheckUbi(int argc, char **argv);

// export-metadata <backup_no>: argc == 4. Prints the backup's replication
// metadata document and a newline (nothing when the export fails). 0.
int utilExportMetadata(int argc, char **argv);

// import-metadata <file>: argc == 4. Imports the document in the file onto
// the device [Configuration Options] DefaultTapeDevice of master.ini
// (default 1), refusing backups older than ones the instance already has.
// Prints the new backup number and a newline; 0, or -1 when the file
// cannot be read or the import fails.
int utilImportMetadata(int argc, char **argv);

// cancel-backup <vault> <backup_no>: argc >= 5. Tells the Vault that the
// backup's operation ended ("backup operation terminated" with its NUL, 28
// bytes), naming the backup by its UBI, or by "tempUUID" when it has none
// or the lookup fails (with a warning in the log). A failed notification
// is logged only. Always 0.
int utilCancelBackup(int argc, char **argv);
