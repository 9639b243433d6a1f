// log_capture.h: sends the process log into a temporary file while it
// lives, at a chosen level (9, everything, by default), so tests can check
// the messages that are the behaviour they test. mark() starts a new
// window: later reads see only what was logged after it.
#pragma once

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "lib/logger.h"

namespace rpd::test {

class LogCapture {
 public:
  explicit LogCapture(int level = 9) : file_(tmpfile()), savedLevel_(log_level) {
    log_level = level;
    attachLogStream(file_);
  }
  ~LogCapture() {
    attachLogStream(stderr);
    log_level = savedLevel_;
    if (file_) fclose(file_);
  }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  // Everything logged since the construction or the last mark().
  std::string text() const {
    fflush(file_);
    std::string out;
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    fseek(file_, 0, SEEK_END);
    return mark_ <= out.size() ? out.substr(mark_) : out;
  }
  void mark() {
    fflush(file_);
    mark_ = (size_t)ftell(file_);
  }
  bool contains(const std::string &s) const { return text().find(s) != std::string::npos; }
  bool has(const std::string &s) const { return contains(s); }
  // Whether the log holds `s`, read through a descriptor of its own, so
  // another thread may ask while the code under test writes.
  bool hasFromOtherThread(const std::string &s) const {
    std::ifstream in("/proc/self/fd/" + std::to_string(fileno(file_)), std::ios::binary);
    std::string t((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return t.find(s, mark_) != std::string::npos;
  }
  // How many times `s` was logged.
  size_t count(const std::string &s) const {
    std::string t = text();
    size_t n = 0;
    for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + s.size())) ++n;
    return n;
  }

 private:
  FILE *file_;
  int savedLevel_;
  size_t mark_ = 0;
};

}  // namespace rpd::test
