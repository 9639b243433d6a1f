// smartbuffer.h: two growable text buffers with a sticky failure flag.
//
// heapQueryBuffer keeps its text on the heap from the start (2048 bytes)
// and grows in steps of 4096; the catalogue helper builds statements and
// parameter texts in it. smartBuffer keeps short texts in an inline area
// of 2048 bytes and moves to the heap for good once a text would not fit.
// Both are always NUL-terminated. Any failure sets `failed`, which stays
// set until reset(); users test failed() before they use the text.
//
// Neither is thread-safe: each buffer belongs to one thread at a time.
#pragma once

#include <cstdarg>
#include <cstddef>

struct heapQueryBuffer {
  static constexpr int kInitialSize = 2048;

  char *buf = nullptr;  // heap text, NUL-terminated
  int capacity = 0;     // bytes allocated
  int len = 0;          // characters held, without the NUL
  int failedFlag = 0;   // sticky failure

  heapQueryBuffer() = default;
  heapQueryBuffer(const heapQueryBuffer &) = delete;
  heapQueryBuffer &operator=(const heapQueryBuffer &) = delete;
  ~heapQueryBuffer() { free(); }

  // Allocates the initial 2048 bytes with an empty text; 0, or -1 with
  // failed set ("Could not create heap-based query buffer with %d bytes").
  int create();
  // Appends `length` bytes of `src` (its strlen when length < 0). Grows to
  // ((needed + 2048) / 2048) * 4096 bytes when the new length would reach
  // the capacity. 0, or -1 with failed set (a null src, a failed growth,
  // which also releases the text). Creates the buffer when needed.
  int append(const char *src, int length = -1);
  // printf-style append; 0, or -1 with failed set.
  int appendf(const char *format, ...) __attribute__((format(printf, 2, 3)));
  int vappendf(const char *format, va_list ap);
  // Empties the text and clears failed; keeps the allocation.
  void reset();
  // Releases the allocation; the buffer is then as new.
  void free();
  // The text ("" when nothing was allocated).
  const char *text() const { return buf ? buf : ""; }
  int length() const { return len; }
  int failed() const { return failedFlag; }
  // The text from `offset` on; nullptr when offset > length.
  const char *pointerAt(int offset) const;
};

struct smartBuffer {
  static constexpr int kInlineSize = 2048;

  char inlineText[kInlineSize] = {0};  // used while len + 1 < kInlineSize
  char *heap = nullptr;                // once set, holds the text for good
  int heapCapacity = 0;
  int len = 0;
  int failedFlag = 0;

  smartBuffer() = default;
  smartBuffer(const smartBuffer &) = delete;
  smartBuffer &operator=(const smartBuffer &) = delete;
  ~smartBuffer() { release(); }

  // Empties the buffer and releases any heap part; the text is inline.
  void init();
  // Appends `length` bytes of `src` (strlen when length < 0); 0, or -1 with
  // failed set. Moving to or growing on the heap allocates
  // ((needed + 2048) rounded down to a multiple of 2048) + 2048 bytes.
  int append(const char *src, int length = -1);
  int appendf(const char *format, ...) __attribute__((format(printf, 2, 3)));
  int vappendf(const char *format, va_list ap);
  const char *text() const { return heap ? heap : inlineText; }
  int length() const { return len; }
  int failed() const { return failedFlag; }
  // True while the text is in the inline area.
  bool isInline() const { return heap == nullptr; }
  const char *pointerAt(int offset) const;
  // Releases the heap part and empties the buffer.
  void release();
};
