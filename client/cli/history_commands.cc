// history_commands.cc - cms log, cms watch and cms stats.
#include "client/cli/history_commands.h"

#include <fnmatch.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "client/cli/params.h"
#include "client/cms_client.h"

namespace cms::cli {
namespace {

// A watcher that has fallen behind asks for at most this many pages before
// it sleeps again: it then misses records instead of loading the daemon.
constexpr int kPagesPerRound = 4;

struct Value {
  char state;  // '=' whole, '~' cut, '-' none, '*' secret
  std::string text;
};

struct Entry {
  uint64_t seq = 0;
  int64_t time_us = 0;
  std::string op, side, name;
  Value old_value, new_value;
  long pid = 0;
  std::string comm, origin, peer;
};

struct Page {
  uint64_t oldest = 0, next = 0, boot = 0;
  std::vector<Entry> entries;
};

Value ParseValue(const std::string& field) {
  if (field.empty()) return {'-', ""};
  return {field[0], field.substr(1)};
}

bool FetchPage(uint64_t from, Page* page) {
  CMSPacket frame;
  if (CMSHistoryPage(from, &frame) == 0) return false;
  char head[CMS_NAME_SIZE + 1] = {};
  memcpy(head, frame.name, CMS_NAME_SIZE);
  unsigned long long oldest = 0, next = 0, boot = 0;
  if (sscanf(head, "%llu %llu %llu", &oldest, &next, &boot) != 3) return false;
  page->oldest = oldest;
  page->next = next;
  page->boot = boot;
  page->entries.clear();
  std::vector<std::string> texts;
  for (size_t at = 0; at < CMS_VALUE_SIZE && frame.value[at] != '\0';) {
    const size_t len = strnlen(frame.value + at, CMS_VALUE_SIZE - at);
    texts.emplace_back(frame.value + at, len);
    at += len + 1;
    // The rest of the record: these texts may be empty.
    while (texts.size() % CMS_HISTORY_FIELDS != 0 && at < CMS_VALUE_SIZE) {
      const size_t n = strnlen(frame.value + at, CMS_VALUE_SIZE - at);
      texts.emplace_back(frame.value + at, n);
      at += n + 1;
    }
  }
  for (size_t i = 0; i + CMS_HISTORY_FIELDS <= texts.size();
       i += CMS_HISTORY_FIELDS) {
    Entry e;
    e.seq = strtoull(texts[i].c_str(), nullptr, 10);
    e.time_us = strtoll(texts[i + 1].c_str(), nullptr, 10);
    e.op = texts[i + 2];
    e.side = texts[i + 3];
    e.name = texts[i + 4];
    e.old_value = ParseValue(texts[i + 5]);
    e.new_value = ParseValue(texts[i + 6]);
    e.pid = strtol(texts[i + 7].c_str(), nullptr, 10);
    e.comm = texts[i + 8];
    e.origin = texts[i + 9];
    e.peer = texts[i + 10];
    page->entries.push_back(std::move(e));
  }
  return true;
}

bool Matches(const std::string& pattern, const Entry& e) {
  return pattern.empty() || fnmatch(pattern.c_str(), e.name.c_str(), 0) == 0;
}

std::string LocalTime(int64_t time_us) {
  const time_t seconds = static_cast<time_t>(time_us / 1000000);
  tm local{};
  localtime_r(&seconds, &local);
  char text[48];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(text + n, sizeof text - n, ".%06" PRId64, time_us % 1000000);
  return text;
}

std::string Shown(const Value& v) {
  switch (v.state) {
    case '-':
      return "(none)";
    case '*':
      return "(secret)";
    case '~':
      return "\"" + v.text + "\"...";
    default:
      return "\"" + v.text + "\"";
  }
}

std::string Who(const Entry& e) {
  std::string who = e.origin;
  if (e.pid != 0) {
    if (!who.empty()) who += ", ";
    who += "pid " + std::to_string(e.pid);
    if (!e.comm.empty()) who += " (" + e.comm + ")";
  }
  if (!e.peer.empty()) who += " from " + e.peer;
  return who.empty() ? "daemon" : who;
}

void PrintLine(const Entry& e) {
  printf("%s #%" PRIu64 " %s %s %s %s -> %s  %s\n",
         LocalTime(e.time_us).c_str(), e.seq, e.op.c_str(), e.name.c_str(),
         e.side.c_str(), Shown(e.old_value).c_str(), Shown(e.new_value).c_str(),
         Who(e).c_str());
}

nlohmann::ordered_json JsonValue(const Value& v) {
  if (v.state == '-' || v.state == '*') return nullptr;
  return v.text;
}

void PrintJson(const Entry& e) {
  nlohmann::ordered_json j = {
      {"seq", e.seq},
      {"time_us", e.time_us},
      {"time", LocalTime(e.time_us)},
      {"op", e.op},
      {"name", e.name},
      {"side", e.side},
      {"old", JsonValue(e.old_value)},
      {"new", JsonValue(e.new_value)},
      {"pid", e.pid},
      {"process", e.comm},
      {"origin", e.origin},
      {"peer", e.peer},
  };
  if (e.old_value.state == '~') j["old_cut"] = true;
  if (e.new_value.state == '~') j["new_cut"] = true;
  if (e.old_value.state == '*' || e.new_value.state == '*') j["secret"] = true;
  // Values are bytes; what is not UTF-8 is shown replaced, not refused.
  printf("%s\n", j.dump(-1, ' ', false,
                        nlohmann::ordered_json::error_handler_t::replace)
                     .c_str());
}

void Print(const Entry& e, bool json) {
  if (json) {
    PrintJson(e);
  } else {
    PrintLine(e);
  }
}

int NoAnswer() {
  fputs("cms: the daemon did not answer the history request\n", stderr);
  return kExitUnreachable;
}

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

// "BOOT SEQ" of the last record a watcher has seen.
bool ReadState(const std::string& file, uint64_t* boot, uint64_t* seq) {
  std::ifstream in(file);
  unsigned long long b = 0, s = 0;
  if (!(in >> b >> s)) return false;
  *boot = b;
  *seq = s;
  return true;
}

// Written beside and renamed over, so a watcher stopped at any moment
// leaves the old state or the new one.
void WriteState(const std::string& file, uint64_t boot, uint64_t seq) {
  const std::string temp = file + ".tmp";
  FILE* f = fopen(temp.c_str(), "w");
  if (f == nullptr) return;
  fprintf(f, "%" PRIu64 " %" PRIu64 "\n", boot, seq);
  if (fclose(f) == 0) rename(temp.c_str(), file.c_str());
}

void Sleep(int ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

}  // namespace

int ShowLog(const LogOptions& options) {
  std::deque<Entry> kept;
  Page page;
  uint64_t from = options.since;
  bool first = true;
  for (;;) {
    if (!FetchPage(from, &page)) return NoAnswer();
    if (first && options.since != 0 && options.since < page.oldest) {
      fprintf(stderr,
              "cms: records %" PRIu64 " to %" PRIu64 " are no longer held\n",
              options.since, page.oldest - 1);
    }
    first = false;
    for (Entry& e : page.entries) {
      if (!Matches(options.pattern, e)) continue;
      kept.push_back(std::move(e));
      if (options.count >= 0 &&
          kept.size() > static_cast<size_t>(options.count)) {
        kept.pop_front();
      }
    }
    if (page.entries.empty()) break;
    from = page.entries.back().seq + 1;
    if (from >= page.next) break;
  }
  for (const Entry& e : kept) Print(e, options.json);
  return kExitOk;
}

int Watch(const WatchOptions& options) {
  struct sigaction stop {};
  stop.sa_handler = OnStop;
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  uint64_t boot = 0;
  uint64_t from = 0;
  bool known = false;  // `from` and `boot` came from a state or --since
  if (!options.state_file.empty() &&
      ReadState(options.state_file, &boot, &from)) {
    ++from;
    known = true;
  }
  if (options.has_since) {
    from = options.since;
    boot = 0;
    known = true;
  }
  Page page;
  bool reached = false;
  while (g_stop == 0) {
    for (int round = 0; round < kPagesPerRound && g_stop == 0; ++round) {
      if (!FetchPage(from, &page)) {
        if (!reached) return NoAnswer();
        break;  // the daemon may be restarting; ask again later
      }
      reached = true;
      if (!known) {
        // A new watcher follows from now on.
        from = page.next;
        boot = page.boot;
        known = true;
        continue;
      }
      if (boot != 0 && page.boot != boot) {
        fprintf(stderr,
                "cms: the daemon has restarted; following its "
                "history from the start\n");
        from = 1;
        boot = page.boot;
        continue;
      }
      boot = page.boot;
      if (from < page.oldest) {
        fprintf(stderr,
                "cms: %" PRIu64
                " changes were overwritten before "
                "they could be read\n",
                page.oldest - from);
        from = page.oldest;
      }
      for (const Entry& e : page.entries) {
        if (Matches(options.pattern, e)) Print(e, options.json);
      }
      fflush(stdout);
      if (page.entries.empty()) break;
      from = page.entries.back().seq + 1;
      if (!options.state_file.empty()) {
        WriteState(options.state_file, boot, from - 1);
      }
      if (from >= page.next) break;
    }
    Sleep(options.interval_ms);
  }
  return kExitOk;
}

int ShowStats(bool json) {
  char text[8192];
  if (CMSStats(text, sizeof text) == 0) {
    fputs("cms: the daemon did not answer the statistics request\n", stderr);
    return kExitUnreachable;
  }
  if (!json) {
    fputs(text, stdout);
    return kExitOk;
  }
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (char* line = strtok(text, "\n"); line != nullptr;
       line = strtok(nullptr, "\n")) {
    char* space = strchr(line, ' ');
    if (space == nullptr) continue;
    *space = '\0';
    j[line] = strtoll(space + 1, nullptr, 10);
  }
  printf("%s\n", j.dump().c_str());
  return kExitOk;
}

}  // namespace cms::cli
