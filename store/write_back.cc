// write_back.cc - rewrites the dirty configuration files so that they hold
// the changed values, and tells the callbacks of what was written.
#include "store/write_back.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "conffiles/field_file.h"
#include "conffiles/line_reader.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "platform/stats.h"
#include "store/file_tables.h"
#include "store/param_list.h"
#include "store/record_side.h"

namespace cms::store {
namespace {

constexpr char kModule[] = "CMSBackEnd";
constexpr char kWorkFile[] = "/tmp/xcfg_conf.tmp";
constexpr char kEndMarker[] = "######end of file######\n";
// Unlike the loader, a line feed does not end a name here: a line holding a
// name alone yields the name with its line feed, which no record bears.
constexpr char kNameSeparators[] = " \t=";
// A written line, line feed included, has at most this many characters.
constexpr size_t kMaxLineLength = kMaxValueLength;

// True when both files exist and hold the same bytes.
bool SameContent(const char* device_a, const char* device_b) {
  const int a =
      open(platform::HostPath(device_a).c_str(), O_RDONLY | O_CLOEXEC);
  const int b =
      open(platform::HostPath(device_b).c_str(), O_RDONLY | O_CLOEXEC);
  bool same = false;
  struct stat sa;
  struct stat sb;
  if (a >= 0 && b >= 0 && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 &&
      sa.st_size == sb.st_size) {
    same = true;
    char ba[16384];
    char bb[16384];
    for (;;) {
      const ssize_t na = read(a, ba, sizeof ba);
      if (na <= 0) {
        same = na == 0;
        break;
      }
      // A regular file gives the asked bytes unless it ends (the sizes
      // are equal) or an error interrupts.
      const ssize_t nb = read(b, bb, static_cast<size_t>(na));
      if (nb != na || memcmp(ba, bb, static_cast<size_t>(na)) != 0) {
        same = false;
        break;
      }
    }
  }
  if (a >= 0) close(a);
  if (b >= 0) close(b);
  return same;
}

// Set when a pass left its file dirty for lack of descriptors or memory.
bool g_deferred = false;

bool OutOfResources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOMEM;
}

// One pass over file `index` of one side's table.
class Pass {
 public:
  Pass(const RecordSide& side, int index)
      : side_(side),
        index_(index),
        entry_(FileTable(side.table)[index]),
        user_(side.table == kUserTable),
        memory_only_(user_ && strcmp(entry_.path, kTempUserFile) == 0) {}

  // Returns true when the rebuilt file was copied over the old one.
  bool Run() {
    const char* path = entry_.path;
    platform::DeviceFile in(path, "r");
    const int in_error = in ? 0 : errno;
    if (user_) CMS_DBG(LOG_INFO, kModule, "user location %s", path);
    platform::DeviceFile out(kWorkFile, "w");
    const int out_error = out ? 0 : errno;
    if (!in || !out) {
      CMS_DBG(LOG_ERR, kModule, "File open error");
      // Out of descriptors or memory the file is fine but cannot be opened
      // now; nothing has been cleared yet, so it stays dirty and is tried
      // again. Any other failure (a file removed from the disk) ends the
      // pass for good.
      if (OutOfResources(in_error) || OutOfResources(out_error)) {
        g_deferred = true;
        return false;
      }
      entry_.dirty = 0;
      return false;
    }
    out_ = out.get();
    CopyOldLines(in.get());
    AppendNewParameters();
    in.Close();
    out_ = nullptr;
    const bool written = out.Close() && write_ok_;
    bool copied = false;
    if (!memory_only_) {
      // A working file that could not be written whole (a full /tmp) must
      // not replace the configuration file.
      if (!written) {
        CMS_DBG(LOG_ERR, kModule, "Could not write %s (%s)", kWorkFile,
                strerror(errno));
      } else if (!SameContent(kWorkFile, path)) {
        // An unchanged file is not copied: flash wears with every write.
        conffiles::do_usr_copy(kWorkFile, path);
        copied = true;
      }
      if (written) copied ? platform::stats::CountFileWritten(path)
                          : platform::stats::CountNoOpWrite();
    }
    entry_.dirty = 0;
    if (user_ && !memory_only_) platform::RunCommand("sync &");
    if (entry_.callback != nullptr) {
      entry_.callback(entry_.path, nullptr, user_ ? 1 : 2);
    }
    return copied;
  }

 private:
  void Emit(const char* data, size_t length) {
    if (length == 0) return;
    if (fwrite(data, 1, length, out_) != length) write_ok_ = false;
    line_open_ = data[length - 1] != '\n';
  }
  // Parameter lines are not written for the in-memory-only file.
  void EmitParameter(const char* data, size_t length) {
    if (!memory_only_) Emit(data, length);
  }

  void CopyOldLines(FILE* in) {
    conffiles::LineReader reader(in);
    char line[kValueSize];
    char name[kValueSize];
    long length;
    while ((length = reader.Next(line, sizeof line)) >= 0) {
      const size_t n = static_cast<size_t>(length);
      // The end marker goes on like a parameter line and, bearing no
      // parameter's name, is dropped.
      if (line[0] == '#' && strcmp(line, kEndMarker) != 0) {
        Emit(line, n);
        continue;
      }
      const size_t start = strspn(line, kNameSeparators);
      const size_t name_length = strcspn(line + start, kNameSeparators);
      if (name_length == 0) continue;
      memcpy(name, line + start, name_length);
      name[name_length] = '\0';
      ParamRecord* r = seekElement(name);
      if (r == nullptr) continue;  // deleted, unknown, blank, bare name
      if (r->*side_.changed != 1) {
        EmitParameter(line, n);
        continue;
      }
      if (r->*side_.value == nullptr) {  // the side was deleted
        r->*side_.changed = 0;
        continue;
      }
      const std::string rewritten =
          Rewrite(line, start + name_length, r->*side_.value);
      Announce(r, false);
      EmitParameter(rewritten.data(), rewritten.size());
    }
  }

  // The old line up to and including the separator after the name (the k
  // characters before it and itself), the new value, a line feed; cut to
  // 799 characters. A name that ends the line gets "=".
  std::string Rewrite(const char* line, size_t k, const char* value) {
    size_t value_length = strlen(value);
    if (k + 1 + value_length < kMaxLineLength) {
      if (user_) {
        CMS_DBG(LOG_INFO, kModule, "buffer in boundry %d",
                static_cast<int>(value_length));
      }
    } else {
      value_length = k + 2 < kMaxLineLength ? kMaxLineLength - 2 - k : 0;
      if (user_) CMS_DBG(LOG_WARNING, kModule, "buffer out of boundry");
    }
    std::string out(line, k);
    out.push_back(line[k] != '\0' ? line[k] : '=');
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
        std::string line = name + "=" + r->*side_.value;
        if (line.size() > kMaxLineLength - 1) line.resize(kMaxLineLength - 1);
        line.push_back('\n');
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
    if (r->callback == nullptr) return false;
    r->callback(r, value, 1);
    return true;
  }

  const RecordSide& side_;
  const int index_;
  ConfigLocation& entry_;
  const bool user_;
  const bool memory_only_;
  FILE* out_ = nullptr;
  bool write_ok_ = true;
  bool line_open_ = false;  // the last byte written was not a line feed
};

}  // namespace

bool TakeDeferredWrite() {
  const bool deferred = g_deferred;
  g_deferred = false;
  return deferred;
}

int writeParamToFile() {
  platform::stats::CountWriteBack();
  int copied = 0;
  for (int i = 0; i < kFileTableSize; ++i) {
    if (UFL[i].dirty != 0) copied += Pass(kUserSide, i).Run();
    if (IFL[i].dirty != 0) copied += Pass(kIspSide, i).Run();
  }
  return copied;
}

}  // namespace cms::store
