// smartbuffer.cpp: heapQueryBuffer and smartBuffer (see smartbuffer.h).
#include "lib/smartbuffer.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/logger.h"

// ---------------------------------------------------------------------------
// heapQueryBuffer

namespace {

// Formats `format` with the C library's printf rules and appends the text
// to `b`; a formatting or allocation failure sets `failed`. Both buffers'
// vappendf are this.
template <class Buffer>
int appendFormatted(Buffer *b, int *failed, const char *format, va_list ap) {
  va_list aq;
  va_copy(aq, ap);
  int n = vsnprintf(nullptr, 0, format, aq);
  va_end(aq);
  char *tmp = n < 0 ? nullptr : static_cast<char *>(malloc((size_t)n + 1));
  if (tmp == nullptr) {
    *failed = 1;
    return -1;
  }
  vsnprintf(tmp, (size_t)n + 1, format, ap);
  int r = b->append(tmp, n);
  ::free(tmp);
  return r;
}

}  // namespace

int heapQueryBuffer::create() {
  free();
  buf = static_cast<char *>(malloc(kInitialSize));
  if (buf == nullptr) {
    LOG(0, "Could not create heap-based query buffer with %d bytes", kInitialSize);
    failedFlag = 1;
    return -1;
  }
  buf[0] = '\0';
  capacity = kInitialSize;
  len = 0;
  failedFlag = 0;
  return 0;
}

int heapQueryBuffer::append(const char *src, int length) {
  if (src == nullptr) {
    vxLog(0, "%s:%d Invalid null source string parameter", __FILE_NAME__, __LINE__);
    failedFlag = 1;
    return -1;
  }
  if (buf == nullptr && create() != 0) return -1;
  size_t add = length < 0 ? strlen(src) : (size_t)length;
  if (add > (size_t)INT_MAX - 4096 - (size_t)len) {
    LOG(0, "Could not grow heap-based query buffer to %d bytes", INT_MAX);
    failedFlag = 1;
    return -1;
  }
  int needed = len + (int)add;
  if (needed >= capacity) {
    long newCap = ((long)(needed + 2048) / 2048) * 4096;
    if (newCap > INT_MAX) newCap = INT_MAX;
    char *p = static_cast<char *>(realloc(buf, (size_t)newCap));
    if (p == nullptr) {
      LOG(0, "Could not grow heap-based query buffer to %d bytes", (int)newCap);
      ::free(buf);
      buf = nullptr;
      capacity = 0;
      len = 0;
      failedFlag = 1;
      return -1;
    }
    buf = p;
    capacity = (int)newCap;
  }
  memcpy(buf + len, src, add);
  len = needed;
  buf[len] = '\0';
  return 0;
}

int heapQueryBuffer::vappendf(const char *format, va_list ap) {
  return appendFormatted(this, &failedFlag, format, ap);
}

int heapQueryBuffer::appendf(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int r = vappendf(format, ap);
  va_end(ap);
  return r;
}

void heapQueryBuffer::reset() {
  len = 0;
  if (buf) buf[0] = '\0';
  failedFlag = 0;
}

void heapQueryBuffer::free() {
  ::free(buf);
  buf = nullptr;
  capacity = 0;
  len = 0;
  failedFlag = 0;
}

const char *heapQueryBuffer::pointerAt(int offset) const {
  if (offset < 0 || offset > len) return nullptr;
  return text() + offset;
}

// ---------------------------------------------------------------------------
// smartBuffer

void smartBuffer::init() {
  release();
}

int smartBuffer::append(const char *src, int length) {
  if (src == nullptr) {
    vxLog(0, "%s:%d Invalid null source string parameter", __FILE_NAME__, __LINE__);
    failedFlag = 1;
    return -1;
  }
  size_t add = length < 0 ? strlen(src) : (size_t)length;
  if (add > (size_t)INT_MAX - 4096 - (size_t)len) {
    LOG(0, "Could not grow heap-based query buffer to %d bytes", INT_MAX);
    failedFlag = 1;
    return -1;
  }
  int needed = len + (int)add;
  if (heap == nullptr && needed + 1 < kInlineSize) {
    memcpy(inlineText + len, src, add);
    len = needed;
    inlineText[len] = '\0';
    return 0;
  }
  if (heap == nullptr || needed >= heapCapacity) {
    long newCap = ((long)(needed + 2048) / 2048) * 2048 + 2048;
    if (newCap > INT_MAX) newCap = INT_MAX;
    char *p = static_cast<char *>(realloc(heap, (size_t)newCap));
    if (p == nullptr) {
      LOG(0, "Could not grow heap-based query buffer to %d bytes", (int)newCap);
      failedFlag = 1;
      return -1;
    }
    // The first move copies the inline text over.
    if (heap == nullptr) memcpy(p, inlineText, (size_t)len + 1);
    heap = p;
    heapCapacity = (int)newCap;
  }
  memcpy(heap + len, src, add);
  len = needed;
  heap[len] = '\0';
  return 0;
}

int smartBuffer::vappendf(const char *format, va_list ap) {
  return appendFormatted(this, &failedFlag, format, ap);
}

int smartBuffer::appendf(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int r = vappendf(format, ap);
  va_end(ap);
  return r;
}

const char *smartBuffer::pointerAt(int offset) const {
  if (offset < 0 || offset > len) return nullptr;
  return text() + offset;
}

void smartBuffer::release() {
  free(heap);
  heap = nullptr;
  heapCapacity = 0;
  len = 0;
  inlineText[0] = '\0';
  failedFlag = 0;
}
