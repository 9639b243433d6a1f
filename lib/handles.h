// handles.h: small RAII owners of operating-system resources, so that every
// path out of a function releases what the function acquired.
//
// UniqueFd (file descriptor), UniqueFile (stdio FILE*), Mapping (mmap'ed
// region), UniquePipe (popen stream), MallocPtr (malloc'ed memory). The
// libpq owners live in pghelper.h; curl and libxml2 owners are made by
// their users.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

// Owns a file descriptor; closes it on destruction. -1 means none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
  UniqueFd &operator=(UniqueFd &&o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the current descriptor (if any) and takes `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports close()'s result (0 or -1); for callers that
  // must know whether buffered data reached the file.
  int close() {
    int r = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return r;
  }

 private:
  int fd_ = -1;
};

// Owns a stdio stream; fclose on destruction.
class UniqueFile {
 public:
  UniqueFile() = default;
  explicit UniqueFile(FILE *f) : f_(f) {}
  UniqueFile(const UniqueFile &) = delete;
  UniqueFile &operator=(const UniqueFile &) = delete;
  UniqueFile(UniqueFile &&o) noexcept : f_(o.release()) {}
  UniqueFile &operator=(UniqueFile &&o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~UniqueFile() { reset(); }
  FILE *get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  FILE *release() {
    FILE *f = f_;
    f_ = nullptr;
    return f;
  }
  void reset(FILE *f = nullptr) {
    if (f_) fclose(f_);
    f_ = f;
  }
  // fclose now; 0 or EOF.
  int close() {
    int r = f_ ? fclose(f_) : 0;
    f_ = nullptr;
    return r;
  }

 private:
  FILE *f_ = nullptr;
};

// Owns a stream from popen(); pclose on destruction. close() returns the
// command's wait status.
class UniquePipe {
 public:
  UniquePipe() = default;
  explicit UniquePipe(FILE *f) : f_(f) {}
  UniquePipe(const UniquePipe &) = delete;
  UniquePipe &operator=(const UniquePipe &) = delete;
  ~UniquePipe() { close(); }
  FILE *get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  int close() {
    int r = f_ ? pclose(f_) : -1;
    f_ = nullptr;
    return r;
  }

 private:
  FILE *f_ = nullptr;
};

// Owns a memory mapping; munmap on destruction. remap() follows mremap.
class Mapping {
 public:
  Mapping() = default;
  Mapping(void *addr, size_t length) : addr_(addr == MAP_FAILED ? nullptr : addr), len_(length) {}
  Mapping(const Mapping &) = delete;
  Mapping &operator=(const Mapping &) = delete;
  Mapping(Mapping &&o) noexcept : addr_(o.addr_), len_(o.len_) {
    o.addr_ = nullptr;
    o.len_ = 0;
  }
  Mapping &operator=(Mapping &&o) noexcept {
    if (this != &o) {
      reset();
      addr_ = o.addr_;
      len_ = o.len_;
      o.addr_ = nullptr;
      o.len_ = 0;
    }
    return *this;
  }
  ~Mapping() { reset(); }
  // Maps `length` bytes of `fd` at `offset`; false (and nothing owned) on
  // failure, errno set by mmap.
  bool map(size_t length, int prot, int flags, int fd, off_t offset) {
    reset();
    void *a = mmap(nullptr, length, prot, flags, fd, offset);
    if (a == MAP_FAILED) return false;
    addr_ = a;
    len_ = length;
    return true;
  }
  void *get() const { return addr_; }
  char *data() const { return static_cast<char *>(addr_); }
  size_t size() const { return len_; }
  explicit operator bool() const { return addr_ != nullptr; }
  // Unmaps now; 0 or -1 from munmap.
  int reset() {
    int r = 0;
    if (addr_) r = munmap(addr_, len_);
    addr_ = nullptr;
    len_ = 0;
    return r;
  }
  // Gives up ownership without unmapping.
  void *release() {
    void *a = addr_;
    addr_ = nullptr;
    len_ = 0;
    return a;
  }

 private:
  void *addr_ = nullptr;
  size_t len_ = 0;
};

// Owns memory from malloc/calloc/realloc/strdup; free on destruction.
template <typename T>
class MallocPtr {
 public:
  MallocPtr() = default;
  explicit MallocPtr(T *p) : p_(p) {}
  MallocPtr(const MallocPtr &) = delete;
  MallocPtr &operator=(const MallocPtr &) = delete;
  MallocPtr(MallocPtr &&o) noexcept : p_(o.release()) {}
  MallocPtr &operator=(MallocPtr &&o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~MallocPtr() { reset(); }
  T *get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T *release() {
    T *p = p_;
    p_ = nullptr;
    return p;
  }
  void reset(T *p = nullptr) {
    free(p_);
    p_ = p;
  }

 private:
  T *p_ = nullptr;
};
