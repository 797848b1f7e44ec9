// field_file.cc - reads, rewrites and removes single key=value fields of a
// configuration file, and puts rebuilt files in place without a torn write.
#include "files/field_file.h"

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "files/line_reader.h"
#include "files/safe_file.h"
#include "platform/log.h"
#include "platform/root.h"

namespace cms::files {

int SetConfLock = 0;

namespace {

// The shared line buffer of the three field functions: 249 characters and
// the NUL. The value returned by get_conf_field_string points into it.
constexpr size_t kFieldLineSize = 250;
char str_buf[kFieldLineSize];

// Pieces of the presence test are read with a larger buffer.
constexpr size_t kCheckLineSize = 800;

constexpr char kKeyDelimiters[] = " \t=";
constexpr char kLineEnd[] = "\n\r";

// Holds SetConfLock for the length of a rewrite. All callers already hold
// ParamListLock, so the wait never spins in practice; the flag is taken
// atomically all the same, since it is exported.
class SetConfGuard {
 public:
  SetConfGuard() {
    while (__atomic_exchange_n(&SetConfLock, 1, __ATOMIC_ACQUIRE) == 1) {
      sched_yield();
    }
  }
  ~SetConfGuard() { __atomic_store_n(&SetConfLock, 0, __ATOMIC_RELEASE); }
  SetConfGuard(const SetConfGuard&) = delete;
  SetConfGuard& operator=(const SetConfGuard&) = delete;
};

// Where the key of a line lies: the first run of characters other than
// blank, tab and "=", leading ones passed over.
struct Key {
  size_t start = 0;
  size_t length = 0;
};

std::optional<Key> FindKey(const char* line) {
  Key key;
  key.start = strspn(line, kKeyDelimiters);
  key.length = strcspn(line + key.start, kKeyDelimiters);
  if (key.length == 0) return std::nullopt;
  return key;
}

bool KeyEquals(const char* line, const Key& key, const char* name) {
  return strlen(name) == key.length &&
         memcmp(line + key.start, name, key.length) == 0;
}

// The value of a keyed line: after the one character that ends the key,
// line ends passed over, up to the next carriage return or line feed. Null
// when nothing follows. Cuts the line at the value's end.
char* TakeValue(char* line, const Key& key) {
  char* p = line + key.start + key.length;
  if (*p == '\0') return nullptr;
  p += 1 + strspn(p + 1, kLineEnd);
  if (*p == '\0') return nullptr;
  p[strcspn(p, kLineEnd)] = '\0';
  return p;
}

// True when the piece is the start of a line keyed `name`. A line indented
// with a blank or starting with a carriage return is never one: the loader
// does not read such a line, so rewriting it would store nothing.
bool IsKeyedLine(const LineReader& reader, const char* line, const char* name) {
  if (!reader.starts_line() || line[0] == ' ' || line[0] == '\r' ||
      strstr(line, name) == nullptr) {
    return false;
  }
  const std::optional<Key> key = FindKey(line);
  return key && KeyEquals(line, *key, name);
}

void Print(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
}

// Builds the new content of `path` in memory: `keyed` decides what becomes
// of a line keyed `name` (appending its replacement to `out`, or nothing to
// drop it). Later pieces of a keyed line longer than the buffer go with it;
// later pieces of other lines are never taken for a key. Returns kWritten
// with *content set, kNoLine when no line is keyed `name`, kFailed when the
// file cannot be read, or kTooLong when `keyed` refuses.
template <typename KeyedLine>
FieldWrite Rewrite(const char* path, const char* name, KeyedLine keyed,
                   std::string* content) {
  platform::DeviceFile in(path, "r");
  if (!in) return FieldWrite::kFailed;
  LineReader reader(in.get());
  bool in_keyed_line = false;
  bool any_keyed_line = false;
  content->clear();
  for (;;) {
    memset(str_buf, 0, sizeof str_buf);
    const long n = reader.Next(str_buf, sizeof str_buf);
    if (n < 0) break;
    if (reader.starts_line())
      in_keyed_line = IsKeyedLine(reader, str_buf, name);
    if (!in_keyed_line) {
      content->append(str_buf, static_cast<size_t>(n));
      continue;
    }
    if (!reader.starts_line()) continue;
    any_keyed_line = true;
    if (!keyed(str_buf, content)) return FieldWrite::kTooLong;
  }
  if (ferror(in.get())) return FieldWrite::kFailed;
  return any_keyed_line ? FieldWrite::kWritten : FieldWrite::kNoLine;
}

// The new content replaces the file whole. The working copy is built in
// memory rather than in a fixed file under /tmp: that file kept secrets
// readable by all, and a link planted at its name was written through.
FieldWrite Store(const char* path, const std::string& content) {
  const int err =
      files::WriteFileAtomic(path, content, 0644, files::FollowLink::kYes);
  if (err == 0) return FieldWrite::kWritten;
  platform::ReportFailure(("could not write " + std::string(path)).c_str(), err,
                          stdout);
  return FieldWrite::kFailed;
}

}  // namespace

int CheckConfFiledString(const char* path, const char* name) {
  if (path == nullptr || name == nullptr) return 0;
  platform::DeviceFile f(path, "r");
  if (!f) return 0;
  LineReader reader(f.get());
  char line[kCheckLineSize];
  while (reader.Next(line, sizeof line) >= 0) {
    if (strstr(line, name) != nullptr) return 1;
  }
  return 0;
}

char* get_conf_field_string(const char* path, const char* name) {
  if (path == nullptr || name == nullptr) return nullptr;
  platform::DeviceFile f(path, "r");
  if (!f) return nullptr;
  LineReader reader(f.get());
  for (;;) {
    memset(str_buf, 0, sizeof str_buf);
    if (reader.Next(str_buf, sizeof str_buf) < 0) return nullptr;
    if (!reader.starts_line() || str_buf[0] == '\0') continue;
    const std::optional<Key> key = FindKey(str_buf);
    if (key && KeyEquals(str_buf, *key, name)) return TakeValue(str_buf, *key);
  }
}

FieldWrite SetConfField(const char* path, const char* name, char* value) {
  if (path == nullptr || name == nullptr || value == nullptr) {
    return FieldWrite::kAbsent;
  }
  SetConfGuard lock;
  if (CheckConfFiledString(path, name) == 0) {
    printf("filename %s parameter name %s doesn't not exist\n", path, name);
    fflush(stdout);
    return FieldWrite::kAbsent;
  }
  char current[kFieldLineSize] = "";
  if (const char* v = get_conf_field_string(path, name)) {
    snprintf(current, sizeof current, "%s", v);
  }
  rm_blank(value);
  if (strcmp(current, value) == 0) {
    Print("-----the same value, needn't to set_conf---------\n");
    return FieldWrite::kUnchanged;
  }
  // A line end inside the value would add lines of its own to the file.
  if (strpbrk(value, kLineEnd) != nullptr) return FieldWrite::kTooLong;
  const size_t value_length = strlen(value);
  std::string content;
  const FieldWrite built = Rewrite(
      path, name,
      [&](const char* line, std::string* out) {
        // Keep the line up to the character that ends its key, so that
        // the key and its own separator survive (even after leading blanks,
        // which no writer produces). A key that ends the line gets "=".
        const Key key = *FindKey(line);
        const size_t cut = key.start + key.length;
        const bool has_separator = line[cut] != '\0';
        const size_t length = cut + 1 + value_length + 1;
        // The rewritten line must fit the 249 characters of a line buffer,
        // or every later reader would see it in two pieces.
        if (length > kFieldLineSize - 1) return false;
        out->append(line, cut);
        out->push_back(has_separator ? line[cut] : '=');
        out->append(value, value_length);
        out->push_back('\n');
        return true;
      },
      &content);
  if (built != FieldWrite::kWritten) return built;
  return Store(path, content);
}

int set_conf_field_string(const char* path, const char* name, char* value) {
  const FieldWrite written = SetConfField(path, name, value);
  return written == FieldWrite::kWritten || written == FieldWrite::kNoLine;
}

int delete_param(const char* path, const char* name) {
  if (path == nullptr || name == nullptr) return 0;
  SetConfGuard lock;
  if (CheckConfFiledString(path, name) == 0) {
    printf("%s: filename %s parameter name %s doesn't not exist\n",
           "delete_param", path, name);
    fflush(stdout);
    return 0;
  }
  std::string content;
  const FieldWrite built = Rewrite(
      path, name, [](const char*, std::string*) { return true; }, &content);
  if (built == FieldWrite::kNoLine) return 1;  // nothing to drop
  if (built != FieldWrite::kWritten) return 0;
  return Store(path, content) == FieldWrite::kWritten ? 1 : 0;
}

int do_usr_copy(const char* src, const char* dst) {
  if (src == nullptr || dst == nullptr) return EINVAL;
  std::string content;
  if (const int err = files::ReadWholeFile(src, &content)) return err;
  return files::WriteFileAtomic(dst, content, 0644, files::FollowLink::kYes);
}

void RemoveInterruptedCopies() { files::RemoveLeftoverTemporaries(); }

void rm_blank(char*) {}

void* emalloc(size_t size) { return malloc(size); }

void efree(void* p) { free(p); }

}  // namespace cms::files
