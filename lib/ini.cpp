// ini.cpp: the INI file readers and writer.
//
// Syntax as read: "[name]" starts a section (the name runs to the last "]"
// of the line, after the line is cut at its first tab/CR/LF); inside a
// section ";" and "#" lines are comments; any other line is "key=value"
// where the key ends at the first "=", tab, CR or LF. Section names and keys
// compare case-insensitively. Only the first section of a given name is
// searched. The value parser handles double-quoted parts, trailing
// comments, backslash escapes, continuation lines and a single-quote
// literal mode (see parseValue).
//
// The readers keep no state but the text of their last failure; the writer
// rewrites a field in place when the new line fits in the old one so that
// the file length stays unchanged, and pads fields it adds for that reason.
#include "lib/ini.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/handles.h"
#include "lib/logger.h"

namespace {

// Longest physical line read at once; longer lines are read in pieces.
constexpr int kLineSize = 16384;
// A continuation line is read with at most 511 characters.
constexpr int kContinuationSize = 512;
// Size of the failure text buffer.
constexpr size_t kErrorSize = 120;

// The reason of the last reader failure. Thread-local so that threads that
// read settings concurrently do not garble each other's text.
thread_local char t_iniError[kErrorSize];

void setError(const char *format, const char *arg) {
  snprintf(t_iniError, sizeof t_iniError, format, arg);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Lower-cases and compares exactly.
bool sameName(const char *a, size_t alen, const char *b) {
  size_t blen = strlen(b);
  if (alen != blen) return false;
  for (size_t i = 0; i < alen; i++)
    if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
  return true;
}

// When `line` is a section line, stores its name (start and length) and
// returns true. The line is first cut at its first tab, CR or LF; the name
// is the text after "[" up to the last "]" (or the cut end when there is
// none).
bool sectionName(const char *line, const char **name, size_t *len) {
  const char *p = line;
  while (*p == ' ') p++;
  if (*p != '[') return false;
  p++;
  size_t cut = strcspn(p, "\t\r\n");
  const char *end = p + cut;
  for (const char *q = p + cut; q > p; q--) {
    if (q[-1] == ']') {
      end = q - 1;
      break;
    }
  }
  *name = p;
  *len = (size_t)(end - p);
  return true;
}

// Splits a field line into its key (start, length without surrounding
// blanks) and the value text after the key's delimiter. Returns false for
// lines that hold no key at all.
bool fieldKey(const char *line, const char **key, size_t *klen, const char **value) {
  const char *p = line;
  while (*p == ' ' || *p == '\t') p++;
  size_t n = strcspn(p, "=\t\r\n");
  const char *end = p + n;
  *value = (*end != '\0') ? end + 1 : end;
  while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n'))
    end--;
  *key = p;
  *klen = (size_t)(end - p);
  return *klen > 0;
}

// Returns true for lines to skip inside a section: comments and empty lines.
bool skipLine(const char *line) {
  const char *p = line;
  while (isBlank(*p)) p++;
  return *p == ';' || *p == '#' || *p == '\n' || *p == '\r' || *p == '\0';
}

// Parses a field value into out (size bytes; at most size-1 characters and
// always terminated). `fp` supplies continuation lines.
//
// Rules: leading white space is skipped; a value starting with a double
// quote is quoted up to the next unescaped double quote and later text is
// still appended up to a comment; outside quotes an unescaped "#" or ";"
// starts a trailing comment; \n \t \\ \" \# \; are escapes and a backslash
// ending the line joins the next line; a single quote toggles a literal mode
// (the quote is kept) in which backslashes, comment characters and double
// quotes are plain characters; trailing white space is removed except what
// lies inside the quoted part. Other backslash pairs are kept as written.
void parseValue(const char *text, FILE *fp, char *out, size_t size) {
  size_t len = 0;
  size_t keep = 0;  // trailing-blank trimming never goes below this length
  bool quoted = false, literal = false;
  char cont[kContinuationSize];
  auto put = [&](char c) {
    if (len + 1 < size) out[len++] = c;
  };
  const char *p = text;
  while (isspace((unsigned char)*p) && *p != '\n' && *p != '\r') p++;
  if (*p == '"') {
    quoted = true;
    p++;
  }
  for (;;) {
    char c = *p;
    if (c == '\0' || c == '\n' || c == '\r') break;
    if (literal) {
      put(c);
      if (c == '\'') literal = false;
      p++;
      continue;
    }
    if (c == '\\') {
      char n = p[1];
      if (n == '\0' || n == '\n' || n == '\r') {
        // Backslash at the end of the line: the next line continues the
        // value. At end of file there is nothing more to join.
        if (fp == nullptr || fgets(cont, sizeof cont, fp) == nullptr) break;
        p = cont;
        continue;
      }
      switch (n) {
        case 'n': put('\n'); break;
        case 't': put('\t'); break;
        case '\\': put('\\'); break;
        case '"': put('"'); break;
        case '#': put('#'); break;
        case ';': put(';'); break;
        default: put('\\'); put(n); break;
      }
      p += 2;
      if (quoted) keep = len;
      continue;
    }
    if (quoted) {
      if (c == '"') {
        quoted = false;
        keep = len;
      } else {
        put(c);
        keep = len;
      }
      p++;
      continue;
    }
    if (c == '#' || c == ';') break;
    if (c == '\'') literal = true;
    put(c);
    p++;
  }
  while (len > keep && isspace((unsigned char)out[len - 1])) len--;
  if (size > 0) out[len] = '\0';
}

void copyDefault(const char *def, char *out, size_t size) {
  if (out == nullptr || size == 0) return;
  snprintf(out, size, "%s", def ? def : "");
}

// Appends a name and its NUL terminator to a NUL-separated list when it
// fits (leaving room for the list's final NUL).
void listAppend(char *out, size_t size, size_t *used, const char *name, size_t len) {
  if (*used + len + 2 > size) return;
  memcpy(out + *used, name, len);
  *used += len;
  out[(*used)++] = '\0';
  out[*used] = '\0';
}

}  // namespace

const char *iniLastError() { return t_iniError; }

int iniGetString(const char *section, const char *key, const char *def, char *out,
                 size_t size, const char *path) {
  t_iniError[0] = '\0';
  UniqueFile fp(fopen(path, "r"));
  if (!fp) {
    setError("Error opening %s ", path);
    copyDefault(def, out, size);
    return -1;
  }
  char line[kLineSize];
  const char *name;
  size_t nlen;
  size_t used = 0;
  if (out && size > 0) out[0] = '\0';
  if (section == nullptr) {
    // The names of all sections, NUL-separated, ending with an empty name.
    while (fgets(line, sizeof line, fp.get()))
      if (sectionName(line, &name, &nlen)) listAppend(out, size, &used, name, nlen);
    return 0;
  }
  bool found = false;
  while (fgets(line, sizeof line, fp.get())) {
    if (sectionName(line, &name, &nlen) && sameName(name, nlen, section)) {
      found = true;
      break;
    }
  }
  if (!found) {
    setError("Section [%s] not found ", section);
    copyDefault(def, out, size);
    return -1;
  }
  while (fgets(line, sizeof line, fp.get())) {
    if (sectionName(line, &name, &nlen)) break;
    if (skipLine(line)) continue;
    const char *k, *value;
    size_t klen;
    if (!fieldKey(line, &k, &klen, &value)) continue;
    if (key == nullptr) {
      listAppend(out, size, &used, k, klen);
      continue;
    }
    if (sameName(k, klen, key)) {
      parseValue(value, fp.get(), out, size);
      return 0;
    }
  }
  if (key == nullptr) return 0;
  copyDefault(def, out, size);
  return -1;
}

long iniGetInt(const char *section, const char *key, long def, const char *path) {
  char buf[31];
  if (iniGetString(section, key, "", buf, sizeof buf, path) != 0) return def;
  return strtol(buf, nullptr, 10);
}

int iniGetBool(const char *section, const char *key, int def, uint8_t *out,
               const char *path) {
  char buf[9];  // at most 8 characters
  if (out) *out = (uint8_t)def;
  if (iniGetString(section, key, "", buf, sizeof buf, path) != 0) return -1;
  static const char *const yes[] = {"true", "yes", "on", "y"};
  static const char *const no[] = {"false", "no", "off", "n"};
  int result = def;
  bool decided = false;
  for (const char *w : yes)
    if (!decided && strncasecmp(buf, w, strlen(w)) == 0) result = 1, decided = true;
  if (!decided && buf[0] == '1') result = 1, decided = true;
  for (const char *w : no)
    if (!decided && strncasecmp(buf, w, strlen(w)) == 0) result = 0, decided = true;
  if (!decided && buf[0] == '0') result = 0, decided = true;
  if (out) *out = (uint8_t)result;
  return 0;
}

// ---------------------------------------------------------------------------
// Writer.
//
// The file is read whole into memory, the change is made there, and only
// the bytes from the first changed offset onwards are written back. That
// gives the same file as rewriting the line in place, or the line plus the
// rest of the file, and the file's unchanged head is never touched.

namespace {

// "  key=value" followed by padding to 77 characters and a newline: lines
// added this way leave room for longer values later.
std::string paddedField(const char *key, const char *value) {
  std::string s = "  ";
  s += key;
  s += '=';
  s += value;
  long pad = 74 - (long)strlen(key) - (long)strlen(value);
  if (pad > 0) s.append((size_t)pad, ' ');
  s += '\n';
  return s;
}

// Offset of the trailing comment of a field value (an unescaped "#" or ";"
// outside double quotes), or npos.
size_t commentStart(const std::string &line, size_t from) {
  bool quoted = false;
  for (size_t i = from; i < line.size(); i++) {
    char c = line[i];
    if (c == '\\') {
      i++;
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == '#' || c == ';')) return i;
  }
  return std::string::npos;
}

// The line starting at `pos` without its newline, and the offset of the
// next line.
std::string lineAt(const std::string &text, size_t pos, size_t *next) {
  size_t nl = text.find('\n', pos);
  if (nl == std::string::npos) {
    *next = text.size();
    return text.substr(pos);
  }
  *next = nl + 1;
  return text.substr(pos, nl - pos);
}

// Computes the new tail of the file: returns the offset from which the
// file changes and stores the bytes from there on in `tail`.
size_t applyField(const std::string &text, const char *section, const char *key,
                  const char *value, std::string *tail, bool *addedSection) {
  *addedSection = false;
  size_t pos = 0, next;
  bool inSection = false;
  size_t klen = strlen(key), vlen = strlen(value);
  while (pos < text.size()) {
    std::string line = lineAt(text, pos, &next);
    bool hasNewline = next <= text.size() && next > 0 && text[next - 1] == '\n';
    const char *name;
    size_t nlen;
    if (!inSection) {
      if (sectionName(line.c_str(), &name, &nlen)) {
        while (nlen > 0 && isspace((unsigned char)name[nlen - 1])) nlen--;
        if (sameName(name, nlen, section)) inSection = true;
      }
      pos = next;
      continue;
    }
    size_t lead = line.find_first_not_of(" \t");
    if (lead != std::string::npos && line[lead] == '[') {
      // End of the section: insert the field before the next section line.
      *tail = paddedField(key, value) + text.substr(pos);
      return pos;
    }
    size_t eq = line.find('=');
    if (eq != std::string::npos) {
      size_t t0 = line.find_first_not_of(" =\t\r\n");
      size_t t1 = (t0 == std::string::npos) ? std::string::npos : line.find_first_of(" =\t\r\n", t0);
      if (t0 != std::string::npos && t0 < eq) {
        std::string token = line.substr(t0, (t1 == std::string::npos ? line.size() : t1) - t0);
        if (sameName(token.c_str(), token.size(), key)) {
          std::string comment;
          size_t c = commentStart(line, eq + 1);
          if (c != std::string::npos) comment = line.substr(c);
          long room = (long)line.size() - 3 - (long)klen - (long)vlen - (long)comment.size();
          std::string newLine = "  ";
          newLine += key;
          newLine += '=';
          newLine += value;
          if (room >= 0) {
            // Fits: same length as the old line.
            newLine.append((size_t)room, ' ');
            newLine += comment;
            if (hasNewline) newLine += '\n';
            *tail = newLine + text.substr(next);
            return pos;
          }
          if (comment.empty()) {
            newLine = paddedField(key, value);
          } else {
            size_t e = comment.find_last_not_of(" \t\r");
            comment.resize(e + 1);
            if (77 - (long)klen - (long)vlen - (long)comment.size() > 0)
              newLine += " " + comment + "\n";
            else
              newLine += "\n" + comment + "\n";
          }
          *tail = newLine + text.substr(next);
          return pos;
        }
      }
    }
    pos = next;
  }
  std::string add;
  if (!text.empty() && text.back() != '\n') add += '\n';
  if (!inSection) {
    *addedSection = true;
    add += "\n[";
    add += section;
    add += "]\n";
  }
  add += paddedField(key, value);
  *tail = add;
  return text.size();
}

}  // namespace

int iniPutString(const char *section, const char *key, const char *value,
                 const char *path) {
  if (section == nullptr || key == nullptr || path == nullptr) return -1;
  if (value == nullptr) value = "";
  UniqueFile fp(fopen(path, "r+"));
  if (!fp) fp.reset(fopen(path, "w+"));
  if (!fp) return -1;
  std::string text;
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, fp.get())) > 0) text.append(buf, n);
  if (ferror(fp.get())) return -1;

  std::string tail;
  bool newSection;
  size_t offset = applyField(text, section, key, value, &tail, &newSection);
  if (fseek(fp.get(), (long)offset, SEEK_SET) != 0) return -1;
  if (fwrite(tail.data(), 1, tail.size(), fp.get()) != tail.size() || fflush(fp.get()) != 0) {
    if (newSection)
      vxLog(0, "Unable to add section %s\n", section);
    else
      vxLog(0, "Unable to add field %s\n", key);
    return -1;
  }
  // The new content is never shorter than the old; truncating guards the
  // case of a file changed under us while we worked.
  if (ftruncate(fileno(fp.get()), (off_t)(offset + tail.size())) != 0) return -1;
  if (fclose(fp.release()) != 0) return -1;
  return 0;
}
