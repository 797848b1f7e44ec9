// history_answers.cc - formats history records and statistics into frames.
#include "core/history_answers.h"

#include <syslog.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/log.h"
#include "platform/stats.h"
#include "store/file_tables.h"
#include "store/history.h"
#include "store/param_list.h"
#include "store/tree_check.h"

namespace cms::core {
namespace {

using store::history::Record;
using store::history::ValueState;

// No page holds more: a record takes at least 39 bytes (its number, a
// 16-digit time and the other texts at their shortest, with their zeros).
constexpr size_t kMaxPageRecords = 24;

const char* OpName(store::history::Op op) {
  switch (op) {
    case store::history::Op::kSet:
      return "set";
    case store::history::Op::kAdd:
      return "add";
    case store::history::Op::kDelete:
      return "delete";
    case store::history::Op::kReplace:
      return "replace";
  }
  return "?";
}

std::string ValueText(ValueState state, const char* text) {
  switch (state) {
    case ValueState::kNone:
      return "-";
    case ValueState::kSecret:
      return "*";
    case ValueState::kCut:
      return std::string("~") + text;
    case ValueState::kWhole:
      break;
  }
  return std::string("=") + text;
}

// The record's 11 texts, each with its zero byte.
std::string Encode(const Record& r) {
  std::string out;
  auto add = [&out](const std::string& text) {
    out += text;
    out.push_back('\0');
  };
  add(std::to_string(r.seq));
  add(std::to_string(r.time_us));
  add(OpName(r.op));
  add(r.side == store::history::Side::kUser ? "user" : "isp");
  add(r.name);
  add(ValueText(r.old_state, r.old_value));
  add(ValueText(r.new_state, r.new_value));
  add(std::to_string(r.pid));
  add(r.comm);
  add(r.label);
  add(r.peer);
  return out;
}

uint64_t Number(const char* text) { return strtoull(text, nullptr, 10); }

// Entries in use and entries marked dirty, over both file tables.
void CountFiles(long* files, long* dirty) {
  *files = 0;
  *dirty = 0;
  for (int table : {store::kUserTable, store::kIspTable}) {
    const store::ConfigLocation* entries = store::FileTable(table);
    for (int i = 0; i < store::kFileTableSize; ++i) {
      if (strcmp(entries[i].path, store::kFreeEntry) == 0) continue;
      ++*files;
      if (entries[i].dirty != 0) ++*dirty;
    }
  }
}

}  // namespace

void LogStartUp(uint16_t port) {
  long files = 0;
  long dirty = 0;
  CountFiles(&files, &dirty);
  char line[160];
  snprintf(line, sizeof line,
           "cmsd: %d parameters from %ld files in %lld ms; listening on "
           "127.0.0.1:%u",
           store::CheckListLength(), files,
           static_cast<long long>(platform::stats::UptimeMillis()), port);
  platform::LogLine(LOG_NOTICE, line);
}

void WarnAboutTree() {
  store::CheckConfigTree([](const std::string& finding) {
    platform::LogLine(LOG_WARNING, ("cmsd: " + finding).c_str());
  });
}

void AnswerHistory(const char* from, CMSPacket* response) {
  Record records[kMaxPageRecords];
  store::history::PageInfo info;
  const size_t n =
      store::history::ReadPage(Number(from), records, kMaxPageRecords, &info);
  snprintf(response->name, sizeof response->name,
           "%" PRIu64 " %" PRIu64 " %" PRIu64, info.oldest, info.next,
           info.boot);
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    const std::string entry = Encode(records[i]);
    // The list's end needs one more zero byte after the last record.
    if (at + entry.size() + 1 > sizeof response->value) break;
    memcpy(response->value + at, entry.data(), entry.size());
    at += entry.size();
  }
  response->status = CMS_STATUS_OK;
}

void AnswerStats(const char* from, CMSPacket* response) {
  long files = 0;
  long dirty = 0;
  CountFiles(&files, &dirty);
  char extra[160];
  snprintf(extra, sizeof extra,
           "parameters %d\nfiles %ld\nfiles_dirty_now %ld\n"
           "history_next_seq %" PRIu64 "\n",
           store::CheckListLength(), files, dirty, [] {
             store::history::PageInfo info;
             store::history::ReadPage(0, nullptr, 0, &info);
             return info.next;
           }());
  const std::string report = platform::stats::Report(extra);
  // Split into lines; send those from the one asked for that fit whole.
  const uint64_t first = Number(from);
  uint64_t line = 0;
  size_t at = 0;
  size_t out = 0;
  while (at < report.size()) {
    const size_t end = report.find('\n', at);
    const size_t next = end == std::string::npos ? report.size() : end + 1;
    if (line >= first && out + (next - at) < sizeof response->value) {
      memcpy(response->value + out, report.data() + at, next - at);
      out += next - at;
    } else if (line >= first) {
      break;
    }
    at = next;
    ++line;
  }
  uint64_t total = 0;
  for (char c : report) total += c == '\n';
  snprintf(response->name, sizeof response->name, "%" PRIu64, total);
  response->status = CMS_STATUS_OK;
}

}  // namespace cms::core
