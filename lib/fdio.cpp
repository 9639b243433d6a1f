// fdio.cpp: descriptor loops and the node name (see fdio.h).
#include "lib/fdio.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/logger.h"

ssize_t writeAll(int fd, const void *bytes, size_t length) {
  const char *p = static_cast<const char *>(bytes);
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, p + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) break;  // nothing accepted: give up rather than spin
    done += (size_t)n;
  }
  return (ssize_t)done;
}

ssize_t readFull(int fd, void *bytes, size_t length) {
  char *p = static_cast<char *>(bytes);
  size_t done = 0;
  while (done < length) {
    ssize_t n = read(fd, p + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += (size_t)n;
  }
  return (ssize_t)done;
}

ssize_t writeAllStrict(int fd, const void *bytes, size_t length) {
  const char *p = static_cast<const char *>(bytes);
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, p + done, length - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += (size_t)n;
  }
  return (ssize_t)done;
}

ssize_t readFullStrict(int fd, void *bytes, size_t length) {
  char *p = static_cast<char *>(bytes);
  size_t done = 0;
  while (done < length) {
    ssize_t n = read(fd, p + done, length - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += (size_t)n;
  }
  return (ssize_t)done;
}

int mynodename(char *buf, size_t size) {
  if (buf == nullptr || size == 0) return -1;
  if (gethostname(buf, size) != 0) {
    LOG(2, "%s: gethostname failed [errno=%d]", __func__, errno);
    LOG(2, "%s: using uname() instead", __func__);
    struct utsname u;
    if (uname(&u) != 0) {
      buf[0] = '\0';
      return -1;
    }
    strncpy(buf, u.nodename, size);
  }
  buf[size - 1] = '\0';
  char *dot = strchr(buf, '.');
  if (dot) *dot = '\0';
  return 0;
}
