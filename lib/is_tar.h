// is_tar.h: recognises the 512-byte header blocks of tar archives inside
// backup data.
#pragma once

// 1 when `block` (512 bytes) is an archive header, 0 when not. Checks the
// header checksum, the group-id field, the name field and the link name;
// extended ("L") header blocks are accepted. With log level 3 or more the
// decision is logged (repeated rejections are thinned out).
int is_tar(const char *block);

// Size of the entry described by a header block (octal or base-256 size
// field at offset 124).
double tarEntrySize(const char *block);
