// fdio.h: read and write loops over file descriptors, and the host's short
// node name.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Writes all `length` bytes, repeating writes that were interrupted
// (EINTR) or partial. Returns the number of bytes written: `length` on
// success, less when a write failed (errno tells why).
ssize_t writeAll(int fd, const void *bytes, size_t length);
// Reads until `length` bytes or end of file, repeating interrupted reads.
// Returns the number of bytes read (less than `length` only at end of
// file), or -1 on an error.
ssize_t readFull(int fd, void *bytes, size_t length);
// As writeAll but without EINTR handling: -1 on the first failed write.
ssize_t writeAllStrict(int fd, const void *bytes, size_t length);
// As readFull but without EINTR handling: the count at end of file, -1 on
// any failed read.
ssize_t readFullStrict(int fd, void *bytes, size_t length);

// The host name cut at its first "." into buf (size bytes; the last byte is
// always NUL). Falls back to uname()'s node name when gethostname fails.
// 0, or -1 when no name could be had.
int mynodename(char *buf, size_t size);
