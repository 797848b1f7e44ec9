// write_back.cc - rewrites the dirty configuration files so that they hold
// the changed values, and tells the callbacks of what was written.
#include "store/write_back.h"

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "files/safe_file.h"
#include "platform/log.h"
#include "platform/shell.h"
#include "platform/stats.h"
#include "store/conf_line.h"
#include "store/file_tables.h"
#include "store/param_list.h"
#include "store/record_side.h"

namespace cms::store {
namespace {

constexpr char kModule[] = "CMSBackEnd";
constexpr char kEndMarker[] = "######end of file######\n";
// A written line, line feed included, has at most this many characters.
constexpr size_t kMaxLineLength = kMaxValueLength;

// Retry of files whose write failed (a full or read-only file system, a
// lack of descriptors). Clearing the dirty flag of such a file would lose
// at the next restart values clients were told are stored; so the file
// stays dirty and is tried again, after a delay that doubles up to a
// ceiling, so that a read-only flash costs one attempt every few seconds
// rather than one per tick.
constexpr std::chrono::milliseconds kFirstRetryDelay{50};
constexpr std::chrono::milliseconds kMaxRetryDelay{5000};

struct RetryState {
  bool pending = false;  // a retry is scheduled
  std::chrono::steady_clock::time_point due;
  std::chrono::milliseconds delay = kFirstRetryDelay;
  // Files whose failure has been logged; logged again only after they were
  // written once more.
  std::set<std::string> failing;
};
RetryState g_retry;

void ReportFailure(const char* path, int err) {
  if (!g_retry.failing.insert(path).second) return;
  char line[256];
  snprintf(line, sizeof line,
           "cmsd: could not write %s (%s); its changes are kept and retried",
           path, strerror(err));
  platform::LogLine(LOG_ERR, line);
}

void ReportSuccess(const char* path) {
  if (g_retry.failing.erase(path) == 0) return;
  char line[256];
  snprintf(line, sizeof line, "cmsd: %s written again", path);
  platform::LogLine(LOG_NOTICE, line);
}

// A file that is gone (or whose directory is) has nowhere to be written;
// anything else may pass (space freed, a remount, descriptors closed).
bool WorthRetrying(int err) { return err != ENOENT && err != ENOTDIR; }

// One pass over file `index` of one side's table.
class Pass {
 public:
  Pass(const RecordSide& side, int index)
      : side_(side),
        index_(index),
        entry_(FileTable(side.table)[index]),
        user_(side.table == kUserTable),
        memory_only_(user_ && strcmp(entry_.path, kTempUserFile) == 0) {}

  // Returns true when the rebuilt file was copied over the old one; sets
  // *failed when it had to stay dirty for a retry.
  bool Run(bool* failed) {
    const char* path = entry_.path;
    if (user_) CMS_DBG(LOG_INFO, kModule, "user location %s", path);
    std::string old_content;
    if (const int err = files::ReadWholeFile(path, &old_content)) {
      CMS_DBG(LOG_ERR, kModule, "File open error");
      // Nothing has been cleared yet: a file that may become readable
      // stays dirty and is tried again. A file removed from the disk ends
      // the pass for good; its records keep their marks.
      if (WorthRetrying(err)) {
        ReportFailure(path, err);
        *failed = true;
        return false;
      }
      entry_.dirty = 0;
      return false;
    }
    CopyOldLines(old_content);
    AppendNewParameters();
    bool copied = false;
    // An unchanged file is not written: flash wears with every write.
    if (!memory_only_ && out_ != old_content) {
      const int err = files::WriteFileAtomic(path, out_, 0644,
                                             files::FollowLink::kYes);
      if (err != 0) {
        CMS_DBG(LOG_ERR, kModule, "Could not write %s (%s)", path,
                strerror(err));
        // The values written here are still only in memory: their records
        // are marked again, so the retry writes them, and the file's own
        // callback waits for a write that succeeded.
        RemarkAnnounced();
        ReportFailure(path, err);
        *failed = true;
        return false;
      }
      copied = true;
      platform::stats::CountFileWritten(out_.size());
    }
    if (!memory_only_ && !copied) platform::stats::CountNoOpWrite();
    ReportSuccess(path);
    entry_.dirty = 0;
    if (user_ && !memory_only_) platform::RunCommand("sync &");
    if (entry_.callback != nullptr) {
      entry_.callback(entry_.path, nullptr,
                      user_ ? kPhaseWritten : kPhaseIspWritten);
    }
    return copied;
  }

 private:
  void Emit(const char* data, size_t length) {
    if (length == 0) return;
    out_.append(data, length);
    line_open_ = data[length - 1] != '\n';
  }
  // Parameter lines are not written for the in-memory-only file.
  void EmitParameter(const char* data, size_t length) {
    if (!memory_only_) Emit(data, length);
  }

  // The old content in the loader's pieces (at most 799 bytes, ending after
  // a line feed), read with the loader's grammar. Where a name appears on
  // several lines of the file, the loader keeps the last: that line is the
  // one rewritten, and the others are dropped: rewriting the first would
  // let the loader override it with an older one.
  void CopyOldLines(const std::string& old_content) {
    std::vector<std::string_view> pieces;
    for (size_t pos = 0; pos < old_content.size();) {
      const size_t end = old_content.find('\n', pos);
      const size_t n = std::min(
          end == std::string::npos ? old_content.size() - pos : end + 1 - pos,
          static_cast<size_t>(kMaxValueLength));
      pieces.emplace_back(old_content.data() + pos, n);
      pos += n;
    }
    std::vector<ConfLine> parsed;
    std::unordered_map<std::string, size_t> last;
    char line[kValueSize];
    for (size_t i = 0; i < pieces.size(); ++i) {
      memcpy(line, pieces[i].data(), pieces[i].size());
      line[pieces[i].size()] = '\0';
      parsed.push_back(ParseConfLine(line));
      if (parsed.back().kind == LineKind::kParameter) {
        last[std::string(line + parsed.back().name_start,
                         parsed.back().name_length)] = i;
      }
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
      const size_t n = pieces[i].size();
      memcpy(line, pieces[i].data(), n);
      line[n] = '\0';
      const ConfLine& p = parsed[i];
      switch (p.kind) {
        case LineKind::kComment:
          // The end marker bears no parameter's name and is dropped.
          if (strcmp(line, kEndMarker) != 0) Emit(line, n);
          continue;
        case LineKind::kNothing:
          continue;
        case LineKind::kForeign:
          EmitParameter(line, n);
          continue;
        case LineKind::kParameter:
          break;
      }
      const std::string name(line + p.name_start, p.name_length);
      ParamRecord* r = seekElement(name.c_str());
      if (r == nullptr) continue;  // deleted or unknown
      if (r->*side_.value == nullptr) {  // the side was deleted: every copy
        if (r->*side_.changed == 1) {
          r->*side_.changed = 0;
          announced_.push_back(name);
        }
        continue;
      }
      // A name the loader takes from another file of this side: that
      // file's pass writes it; this line stays as it is.
      if (r->*side_.location != index_) {
        EmitParameter(line, n);
        continue;
      }
      if (last[name] != i) continue;
      if (r->*side_.changed != 1) {
        EmitParameter(line, n);
        continue;
      }
      const std::string rewritten =
          Rewrite(line, p, r->*side_.value);
      Announce(r, false);
      EmitParameter(rewritten.data(), rewritten.size());
    }
  }

  // The old line up to and including the separator after the name, the new
  // value, a line feed. A name that ends the line gets "=". Values are
  // stored only when "name=value" and a line feed fit 799 characters; a line
  // whose leading separators would push it over is written as that instead,
  // never cut.
  std::string Rewrite(const char* line, const ConfLine& p,
                      const char* value) {
    const size_t value_length = strlen(value);
    size_t k = p.name_start + p.name_length;
    const char sep = line[k];
    const bool keep_sep = sep == ' ' || sep == '\t' || sep == '=';
    size_t start = 0;
    if (k + 1 + value_length < kMaxLineLength) {
      if (user_) {
        CMS_DBG(LOG_INFO, kModule, "buffer in boundry %d",
                static_cast<int>(value_length));
      }
    } else {
      if (user_) CMS_DBG(LOG_WARNING, kModule, "buffer out of boundry");
      start = p.name_start;
      k = p.name_length;
    }
    std::string out(line + start, k);
    out.push_back(keep_sep ? sep : '=');
    out.append(value, value_length);
    out.push_back('\n');
    return out;
  }

  // Every record of this file still marked on this side, in name order, as
  // one "name=value" line each. The list is walked by name rather than by
  // position, so that callbacks adding or removing records while it runs
  // neither skip a record nor visit one twice; records they mark here are
  // taken in a further round.
  void AppendNewParameters() {
    std::unordered_set<std::string> done;
    for (bool again = true; again;) {
      again = false;
      std::vector<std::string> due;
      for (int i = 0; i < CheckListLength(); ++i) {
        const auto* r =
            static_cast<const ParamRecord*>(list_get_at(&ParamList, i));
        if (r->*side_.changed == 1 && r->*side_.location == index_ &&
            !done.contains(r->name)) {
          due.emplace_back(r->name);
        }
      }
      for (const std::string& name : due) {
        done.insert(name);
        ParamRecord* r = seekElement(name.c_str());
        if (r == nullptr || r->*side_.changed != 1 ||
            r->*side_.location != index_ || r->*side_.value == nullptr) {
          continue;
        }
        const std::string line = name + "=" + r->*side_.value + "\n";
        // An old last line without its line feed would otherwise run on
        // into this one, and both parameters would be read back wrong.
        if (line_open_ && !memory_only_) Emit("\n", 1);
        EmitParameter(line.data(), line.size());
        again |= Announce(r, true);
      }
    }
  }

  // Clears the record's mark and calls its callback with phase 1. The mark
  // goes first, so that a callback that sets its own parameter again leaves
  // it marked for a later write. The record may be gone after the call.
  // Returns true when a callback ran (and may have marked records).
  bool Announce(ParamRecord* r, bool appended) {
    const char* value = r->*side_.value;
    if (appended) {
      CMS_DBG(LOG_INFO, kModule, "Name %s Value %s new added", r->name, value);
    } else {
      CMS_DBG(LOG_INFO, kModule, "Name %s Value %s changed %d", r->name, value,
              r->*side_.changed);
    }
    r->*side_.changed = 0;
    announced_.emplace_back(r->name);
    if (r->callback == nullptr) return false;
    r->callback(r, value, kPhaseWritten);
    return true;
  }

  const RecordSide& side_;
  const int index_;
  ConfigLocation& entry_;
  const bool user_;
  const bool memory_only_;
  // Marks again every record whose mark this pass cleared and that no
  // callback has marked since.
  void RemarkAnnounced() {
    for (const std::string& name : announced_) {
      ParamRecord* r = seekElement(name.c_str());
      if (r != nullptr) r->*side_.changed = 1;
    }
  }

  std::string out_;  // the new content of the file
  std::vector<std::string> announced_;  // records whose mark was cleared
  bool line_open_ = false;  // the last byte written was not a line feed
};

}  // namespace

void ResetWriteBackRetry() { g_retry = {}; }

bool TakeDeferredWrite() {
  if (!g_retry.pending || std::chrono::steady_clock::now() < g_retry.due) {
    return false;
  }
  g_retry.pending = false;
  return true;
}

int writeParamToFile() {
  platform::stats::CountWriteBack();
  int copied = 0;
  bool failed = false;
  for (int i = 0; i < kFileTableSize; ++i) {
    if (UFL[i].dirty != 0) copied += Pass(kUserSide, i).Run(&failed);
    if (IFL[i].dirty != 0) copied += Pass(kIspSide, i).Run(&failed);
  }
  if (!failed) {
    g_retry.delay = kFirstRetryDelay;
  } else if (!g_retry.pending) {
    g_retry.pending = true;
    g_retry.due = std::chrono::steady_clock::now() + g_retry.delay;
    g_retry.delay = std::min(g_retry.delay * 2, kMaxRetryDelay);
  }
  return copied;
}

}  // namespace cms::store
