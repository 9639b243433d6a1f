// files.cpp: file helpers, generated data and bounded waits for the tests.
#include "files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace rpd::test {

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Bytes readBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const std::string &bytes) {
  std::error_code ec;
  fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent, ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
  out.close();
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

void writeBytes(const std::string &path, const Bytes &bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

off_t fileSize(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

time_t mtimeOf(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

void setMtime(const std::string &path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void replaceFile(const std::string &path, const std::string &bytes, time_t seconds) {
  std::string tmp = path + ".new";
  writeFile(tmp, bytes);
  setMtime(tmp, seconds);
  rename(tmp.c_str(), path.c_str());
}

void removeTree(const std::string &path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

TempDir::TempDir(const char *prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp " << tmpl << ": " << strerror(errno);
  root_ = tmpl;
}

std::vector<std::vector<std::string>> readTable(const std::string &path,
                                                const std::vector<std::pair<std::string, std::string>> &vars) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(readFile(path));
  if (in.str().empty()) ADD_FAILURE() << "no table in " << path;
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    for (const auto &[name, value] : vars)
      for (size_t at; (at = line.find("$" + name)) != std::string::npos;) line.replace(at, name.size() + 1, value);
    std::vector<std::string> row;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '|');) {
      size_t a = cell.find_first_not_of(" \t"), b = cell.find_last_not_of(" \t");
      row.push_back(a == std::string::npos ? "" : cell.substr(a, b - a + 1));
    }
    if (!line.empty() && line.back() == '|') row.push_back("");
    rows.push_back(row);
  }
  return rows;
}

size_t countOf(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

Bytes makeData(size_t size, unsigned seed, bool random) {
  std::mt19937 gen(seed);
  Bytes out;
  out.reserve(size);
  static const char words[] = "backup replication vault segment block unit frame index ";
  while (out.size() < size) {
    bool noise = random || gen() % 4 == 0;
    size_t run = std::min<size_t>(size - out.size(), 1 + gen() % 3000);
    for (size_t i = 0; i < run; i++)
      out.push_back(noise ? (uint8_t)gen() : (uint8_t)words[(out.size() + seed) % (sizeof words - 1)]);
  }
  return out;
}

bool eventually(const std::function<bool()> &done, int boundSeconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(boundSeconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

}  // namespace rpd::test
