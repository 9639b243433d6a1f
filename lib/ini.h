// ini.h: readers and the writer of INI configuration files (vx.ini,
// master.ini). Every call opens, scans and closes the file: there is no
// cache, so an edited file takes effect at the next read.
#pragma once

#include <cstddef>
#include <cstdint>

// String reader: 0 when the key was found and its value parsed into `out`
// (at most size-1 characters, always terminated); -1 otherwise, with
// `def` copied into `out`. A null section lists all section names, a null
// key all keys of the section, NUL-separated; the result is then 0.
int iniGetString(const char *section, const char *key, const char *def,
                 char *out, size_t size, const char *path);
// Integer reader: strtol base 10 of the value (0 when not a number), or
// `def` when the key is missing.
long iniGetInt(const char *section, const char *key, long def, const char *path);
// Boolean reader: true/yes/on/y/1... -> 1, false/no/off/n/0... -> 0, other
// text leaves `def`. 0 when the key was found, -1 when not.
int iniGetBool(const char *section, const char *key, int def, uint8_t *out,
               const char *path);
// Writer: sets section/key to value, creating the file, section or key as
// needed and rewriting lines in place when they fit. 0 or -1.
int iniPutString(const char *section, const char *key, const char *value,
                 const char *path);
// The reason of the last reader failure ("Error opening %s ",
// "Section [%s] not found "), empty when none.
const char *iniLastError();
