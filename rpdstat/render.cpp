// render.cpp: the text and JSON forms of rpdstat's report. See render.h.
#include "rpdstat/render.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "queue/replicationQueue.h"

namespace rpdstat {

namespace {

const char *const kWeekdays[BANDWIDTH_DAYS] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

void appendf(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string &out, const char *format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buffer) {
    out.append(buffer, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  big.resize(static_cast<size_t>(n));
  out += big;
}

// Length of the well-formed UTF-8 sequence at s[i] (1 to 4), or 0 when the
// bytes there are not one (stray continuation, overlong form, surrogate,
// beyond U+10FFFF, cut short). *code receives the code point.
size_t utf8Sequence(std::string_view s, size_t i, unsigned *code) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned c = b(i);
  if (c < 0x80) {
    *code = c;
    return 1;
  }
  size_t len;
  unsigned min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, min = 0x80, c &= 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, min = 0x800, c &= 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, c &= 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; k++) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b(i + k) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *code = c;
  return len;
}

std::string localTime(long long t) {
  if (t <= 0) return "-";
  time_t tt = static_cast<time_t>(t);
  struct tm local;
  char text[64];
  if (localtime_r(&tt, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
    return std::to_string(t);
  return text;
}

std::string duration(long long seconds) {
  if (seconds < 0) seconds = 0;
  char text[64];
  snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

std::string bytes(double n) {
  const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (n >= 1024 && u < 4) {
    n /= 1024;
    u++;
  }
  char text[64];
  if (u == 0)
    snprintf(text, sizeof text, "%.0f B", n);
  else
    snprintf(text, sizeof text, "%.1f %s", n, units[u]);
  return text;
}

std::string rate(uint64_t bytesPerSecond) {
  if (bytesPerSecond == BANDWIDTH_UNLIMITED) return "unlimited";
  return bytes(static_cast<double>(bytesPerSecond)) + "/s";
}

constexpr long long MIB = 1048576;

long long sentBytes(const WorkerRow &w) { return w.currentMiB * MIB; }

// Bytes per second over the time the progress row covers (start to last
// update); 0 before the first update that moved the clock.
long long workerRate(const WorkerRow &w) {
  long long span = w.snapshotTime - w.startTime;
  return span > 0 ? sentBytes(w) / span : 0;
}

long long elapsed(const WorkerRow &w, time_t now) {
  long long e = static_cast<long long>(now) - w.startTime;
  return e > 0 ? e : 0;
}

// A JSON number, or null for an unlimited rate.
std::string jsonRate(uint64_t r) { return r == BANDWIDTH_UNLIMITED ? "null" : std::to_string(r); }

const char *jsonBool(bool b) { return b ? "true" : "false"; }

const char *schemeName(int scheme) {
  switch (scheme) {
    case 0: return "none";
    case 1: return "Retention";
    case 2: return "Retention then Recency";
    default: return "unknown";
  }
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    unsigned code = 0;
    size_t len = utf8Sequence(text, i, &code);
    if (len == 0) {
      out += "\\ufffd";
      i++;
      continue;
    }
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (code < 0x20)
          appendf(out, "\\u%04x", code);
        else
          out.append(text.substr(i, len));
    }
    i += len;
  }
  out += '"';
  return out;
}

std::string terminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out += '?';  // a C1 control written in UTF-8
      i++;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string renderJson(const Status &st) {
  const ScheduleStatus &s = st.schedule;
  std::string o;
  appendf(o, "{\"time\":%lld", static_cast<long long>(st.now));
  o += ",\"settings\":{\"master_ini\":" + jsonString(s.masterIni) + ",\"target\":" + jsonString(s.target);
  appendf(o, ",\"replication_enabled\":%s,\"max_concurrent\":%ld,\"queue_scheme\":%d}",
          jsonBool(s.maxConcurrent != 0), s.maxConcurrent, s.queueScheme);

  o += ",\"bandwidth\":{\"setting\":" + jsonString(s.text);
  appendf(o, ",\"valid\":%s,\"weekday\":%d,\"hour\":%d,\"rate_now\":%s", jsonBool(s.valid), s.weekday, s.hour,
          jsonRate(s.rateNow).c_str());
  if (s.changes)
    appendf(o, ",\"next_change\":{\"weekday\":%d,\"hour\":%d,\"rate\":%s}", s.changeWeekday, s.changeHour,
            jsonRate(s.changeRate).c_str());
  else
    o += ",\"next_change\":null";
  o += ",\"table\":[";
  for (int d = 0; d < BANDWIDTH_DAYS; d++) {
    o += d ? ",[" : "[";
    for (int h = 0; h < BANDWIDTH_HOURS; h++) {
      if (h) o += ',';
      o += jsonRate(s.table[d * BANDWIDTH_HOURS + h]);
    }
    o += ']';
  }
  o += "]}";

  o += ",\"catalogue_error\":";
  o += st.catalogueRead ? "null" : jsonString(st.catalogueError);

  o += ",\"queue\":[";
  for (size_t i = 0; i < st.queue.size(); i++) {
    const QueueRow &q = st.queue[i];
    appendf(o, "%s{\"position\":%lld,\"backup_no\":%llu,\"vault\":", i ? "," : "", q.position,
            static_cast<unsigned long long>(q.backupNo));
    o += jsonString(q.vault);
    appendf(o, ",\"status\":%d,\"state\":\"%s\",\"client\":", q.status, queueStateName(q.status));
    o += jsonString(q.client);
    o += ",\"taken\":" + (q.repStart > 0 ? std::to_string(q.repStart) : std::string("null")) + "}";
  }

  o += "],\"workers\":[";
  for (size_t i = 0; i < st.workers.size(); i++) {
    const WorkerRow &w = st.workers[i];
    appendf(o, "%s{\"pid\":%d,\"alive\":%s,\"backup_no\":%llu,\"phase\":", i ? "," : "", w.pid, jsonBool(w.alive),
            static_cast<unsigned long long>(w.backupNo));
    o += jsonString(w.phase) + ",\"client\":" + jsonString(w.client) + ",\"vault\":" + jsonString(w.destination) +
         ",\"backup_type\":" + jsonString(w.backupType);
    appendf(o,
            ",\"start_time\":%lld,\"last_update\":%lld,\"sent_bytes\":%lld,\"total_bytes\":%lld,"
            "\"rate_bytes_per_second\":%lld,\"elapsed_seconds\":%lld}",
            w.startTime, w.snapshotTime, sentBytes(w), w.finalMiB * MIB, workerRate(w), elapsed(w, st.now));
  }

  o += "],\"statistics\":[";
  for (size_t i = 0; i < st.stats.size(); i++) {
    const StatsRow &r = st.stats[i];
    appendf(o, "%s{\"stat_id\":%lld,\"backup_no\":%llu,\"client\":", i ? "," : "", r.statId,
            static_cast<unsigned long long>(r.backupNo));
    o += jsonString(r.client) + ",\"vault\":" + jsonString(r.destination) + ",\"message\":" + jsonString(r.message);
    appendf(o,
            ",\"presync_seconds\":%lld,\"sync_seconds\":%lld,\"postsync_seconds\":%lld,\"done_time\":%lld,"
            "\"sent_bytes\":%lld,\"backup_bytes\":%lld}",
            r.presyncSeconds, r.syncSeconds, r.postsyncSeconds, r.doneEpoch, r.bytesSent, r.backupBytes);
  }
  o += "]}\n";
  return o;
}

std::string renderText(const Status &st) {
  const ScheduleStatus &s = st.schedule;
  std::string o;
  appendf(o, "rpd status at %s\n", localTime(st.now).c_str());
  appendf(o, "settings: %s\n", terminalText(s.masterIni).c_str());
  if (s.maxConcurrent != 0)
    appendf(o, "replication: on, target %s, up to %ld workers, queue scheme %d (%s)\n",
            s.target.empty() ? "(none)" : terminalText(s.target).c_str(), s.maxConcurrent, s.queueScheme,
            schemeName(s.queueScheme));
  else
    o += "replication: off (Replication Enabled is false, or securesync AutoSyncEnabled is true)\n";

  o += "\nbandwidth: ";
  o += s.text.empty() ? "no schedule (unlimited)" : "BlockOutPeriods=" + terminalText(s.text);
  if (!s.valid) o += "  INVALID: ignored by rpd, no limits apply";
  appendf(o, "\n  now (%s %02d:00-%02d:59): %s\n", kWeekdays[s.weekday], s.hour, s.hour, rate(s.rateNow).c_str());
  if (s.changes)
    appendf(o, "  from %s %02d:00: %s\n", kWeekdays[s.changeWeekday], s.changeHour, rate(s.changeRate).c_str());
  else
    o += "  the same all week\n";

  if (!st.catalogueRead) {
    o += "\ncatalogue: not readable:\n";
    size_t from = 0;
    while (from < st.catalogueError.size()) {
      size_t end = st.catalogueError.find('\n', from);
      if (end == std::string::npos) end = st.catalogueError.size();
      if (end > from) o += "  " + terminalText(std::string_view(st.catalogueError).substr(from, end - from)) + "\n";
      from = end + 1;
    }
    return o;
  }

  appendf(o, "\nqueue: %zu entr%s\n", st.queue.size(), st.queue.size() == 1 ? "y" : "ies");
  if (!st.queue.empty())
    appendf(o, "  %6s %10s  %-12s %-20s %-16s %s\n", "POS", "BACKUP", "STATE", "VAULT", "CLIENT", "TAKEN");
  for (const QueueRow &q : st.queue)
    appendf(o, "  %6lld %10llu  %-12s %-20s %-16s %s\n", q.position, static_cast<unsigned long long>(q.backupNo),
            queueStateName(q.status), terminalText(q.vault).c_str(), terminalText(q.client).c_str(),
            localTime(q.repStart).c_str());
  // Paused entries stop their whole instance until an administrator acts.
  for (const QueueRow &q : st.queue) {
    if (q.status == REPLICATION_OUT_OF_ORDER)
      appendf(o, "  ! backup %llu is out of order and pauses its instance: rpd util fix-paused-instance %s %llu\n",
              static_cast<unsigned long long>(q.backupNo), terminalText(q.vault).c_str(),
              static_cast<unsigned long long>(q.backupNo));
    else if (q.status == REPLICATION_NEED_ASSIST)
      appendf(o, "  ! backup %llu needs assistance and pauses its instance: see the Vault's log\n",
              static_cast<unsigned long long>(q.backupNo));
  }

  appendf(o, "\nworkers: %zu\n", st.workers.size());
  if (!st.workers.empty())
    appendf(o, "  %7s %10s  %-11s %-16s %-20s %11s %11s %13s %10s\n", "PID", "BACKUP", "PHASE", "CLIENT", "VAULT",
            "SENT", "OF", "RATE", "ELAPSED");
  for (const WorkerRow &w : st.workers)
    appendf(o, "  %7d %10llu  %-11s %-16s %-20s %11s %11s %13s %10s%s\n", w.pid,
            static_cast<unsigned long long>(w.backupNo), w.phase.empty() ? "-" : terminalText(w.phase).c_str(),
            terminalText(w.client).c_str(), terminalText(w.destination).c_str(),
            bytes(static_cast<double>(sentBytes(w))).c_str(), bytes(static_cast<double>(w.finalMiB * MIB)).c_str(),
            rate(static_cast<uint64_t>(workerRate(w))).c_str(), duration(elapsed(w, st.now)).c_str(),
            w.alive ? "" : "  (no such process)");

  appendf(o, "\nlast statistics: %zu\n", st.stats.size());
  if (!st.stats.empty())
    appendf(o, "  %-19s %10s  %-16s %11s %10s  %s\n", "DONE", "BACKUP", "CLIENT", "SENT", "TIME", "MESSAGE");
  for (const StatsRow &r : st.stats)
    appendf(o, "  %-19s %10llu  %-16s %11s %10s  %s\n", localTime(r.doneEpoch).c_str(),
            static_cast<unsigned long long>(r.backupNo), terminalText(r.client).c_str(),
            bytes(static_cast<double>(r.bytesSent)).c_str(),
            duration(r.presyncSeconds + r.syncSeconds + r.postsyncSeconds).c_str(), terminalText(r.message).c_str());
  return o;
}

}  // namespace rpdstat
