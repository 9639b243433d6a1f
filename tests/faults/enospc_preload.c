/* enospc_preload.c: a full disk for the HaCTAR only, loaded with LD_PRELOAD.
 *
 * fopen() of a path whose file name starts with "hactar_" returns a stream
 * that accepts RPD_ENOSPC_AFTER bytes (default 0) and then fails every
 * write with ENOSPC, as a file system that has run out of room does. The
 * bytes it accepts go to the real file. Every other fopen() is the C
 * library's own. No other call is touched, so the programs that load it
 * (rpd and the appliance commands it runs) behave as usual elsewhere.
 */
/* Both fopen and fopen64 are defined below, whichever the programs call. */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

typedef FILE *(*fopen_fn)(const char *, const char *);

struct full_disk {
  FILE *real;
  long long room; /* bytes the disk still takes */
};

static ssize_t full_write(void *cookie, const char *buf, size_t size) {
  struct full_disk *d = cookie;
  size_t take = size;
  if ((long long)take > d->room) take = d->room > 0 ? (size_t)d->room : 0;
  if (take > 0) {
    take = fwrite(buf, 1, take, d->real);
    d->room -= (long long)take;
  }
  if (take < size) {
    errno = ENOSPC;
    return take > 0 ? (ssize_t)take : -1;
  }
  return (ssize_t)take;
}

static int full_close(void *cookie) {
  struct full_disk *d = cookie;
  int rc = fclose(d->real);
  free(d);
  return rc;
}

static fopen_fn real_fopen(void) {
  static fopen_fn f;
  if (!f) f = (fopen_fn)dlsym(RTLD_NEXT, "fopen64");
  return f;
}

static int is_hactar(const char *path) {
  const char *base = strrchr(path, '/');
  base = base ? base + 1 : path;
  return strncmp(base, "hactar_", 7) == 0;
}

static FILE *open_full(const char *path, const char *mode) {
  FILE *real = real_fopen()(path, mode);
  if (!real || !strchr(mode, 'w')) return real;
  struct full_disk *d = malloc(sizeof *d);
  if (!d) {
    fclose(real);
    return NULL;
  }
  const char *room = getenv("RPD_ENOSPC_AFTER");
  d->real = real;
  d->room = room ? atoll(room) : 0;
  cookie_io_functions_t io = {NULL, full_write, NULL, full_close};
  FILE *f = fopencookie(d, mode, io);
  if (!f) full_close(d);
  return f;
}

FILE *fopen(const char *path, const char *mode) {
  if (path && mode && is_hactar(path)) return open_full(path, mode);
  return real_fopen()(path, mode);
}

FILE *fopen64(const char *path, const char *mode) { return fopen(path, mode); }
