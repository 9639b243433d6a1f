// redup.h: the reduplicating reader, which serves deduplicated backup
// archives through the archive filter (store/archiverw.h).
//
// A deduplicated backup's archive file keeps every byte at its offset in
// the rebuilt stream, but deduplicated ranges hold only references (or
// nothing): their contents live once in the single instance store or in
// another backup. The reader opens the file itself through the filter (as
// a plain archive, under a shared flock) and fills deduplicated ranges with
// block contents read by hash, so callers see the complete archive.
//
// Two layouts, chosen by the backup's type:
//   CTAR (file-level backups): tar entries; an entry of type 'D' carries, at
//     its data start, a 512-byte reference header "<program>,<header
//     offset>,<link flag>,dedup;" followed directly by references
//     "<content length>,<hash id>;" (numbers in C notation) continuing in
//     the following 512-byte blocks, ended by a NUL byte or the entry's end.
//     The rebuilt header has the link flag as its type flag and a
//     recomputed checksum; the contents are the references' blocks, then
//     zero bytes up to the entry's end.
//   Block layout (image-level backups): the archive keeps the backed-up
//     data's layout; the deduplicated ranges are listed in the deduplication
//     index as (file offset, hash id) and are read from the store.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "pipeline/common.h"

struct archiveFilter;

// Opens the deduplicated archive at path (its file name "backup_<n>" or
// "backup_<n>.gz"; mode "r"; properties with 0x400). Returns a filter
// handle served by this reader, or null with errno (EINVAL, ENOMEM, or the
// open's).
archiveFilter *redupOpen(const char *path, const char *mode, uint64_t properties);
// Reads up to count bytes at the current virtual offset (null buffer:
// discard). Bytes delivered, 0 at the end, or -1 with errno when nothing
// was delivered.
ssize_t redupRead(archiveFilter *h, void *buffer, size_t count);
// SEEK_SET or SEEK_CUR; SEEK_CUR with 0 reports the offset. The new
// virtual offset or -1 with errno.
int64_t CTARseek(archiveFilter *h, int64_t offset, int whence);
// Passes the filter's configuration requests to the underlying file's
// filter. 0 or -1.
int redupFcntl(archiveFilter *h, int request, int64_t value);
// Releases the reader's state (contexts, underlying filter and its lock,
// block window). The handle itself is the caller's (archive_close) to
// free. 0 or -1.
int redupClose(archiveFilter *h);

// Recomputes the checksum field of a 512-byte tar header (the sum of all
// bytes with the field counted as 8 spaces, 7 octal digits and a NUL).
void tarHeaderChecksum(char *header);
