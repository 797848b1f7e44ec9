// field_file.cc - reads, rewrites and removes single key=value fields of a
// configuration file, and puts rebuilt files in place without a torn write.
#include "conffiles/field_file.h"

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "conffiles/line_reader.h"
#include "platform/root.h"

namespace cms::conffiles {

int SetConfLock = 0;

namespace {

// The shared line buffer of the three field functions: 249 characters and
// the NUL. The value returned by get_conf_field_string points into it.
constexpr size_t kFieldLineSize = 250;
char str_buf[kFieldLineSize];

// Pieces of the presence test are read with a larger buffer.
constexpr size_t kCheckLineSize = 800;

constexpr char kSetWorkFile[] = "/tmp/xcfg_set.tmp";
constexpr char kKeyDelimiters[] = " \t=";
constexpr char kLineEnd[] = "\n\r";
constexpr char kConfRoot[] = "/mnt/jffs2/conf";

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

// True when the piece is the start of a line keyed `name`.
bool IsKeyedLine(const LineReader& reader, const char* line, const char* name) {
  if (!reader.starts_line() || strstr(line, name) == nullptr) return false;
  const std::optional<Key> key = FindKey(line);
  return key && KeyEquals(line, *key, name);
}

void Print(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
}

bool Write(FILE* f, const char* data, size_t length) {
  return fwrite(data, 1, length, f) == length;
}

// Rewrites `path` into the set/delete working file: `keyed` decides what
// becomes of a line keyed `name` (appending its replacement to `out`, or
// nothing to drop it). Later pieces of a keyed line longer than the buffer
// go with it; later pieces of other lines are never taken for a key.
// Returns false, leaving `path` as it is, when a file cannot be opened,
// the working file cannot be written, or `keyed` refuses.
template <typename KeyedLine>
bool RewriteToWorkFile(const char* path, const char* name, KeyedLine keyed) {
  platform::DeviceFile in(path, "r");
  platform::DeviceFile out(kSetWorkFile, "w");
  if (!in || !out) return false;
  LineReader reader(in.get());
  bool in_keyed_line = false;
  bool ok = true;
  std::string line_out;
  for (;;) {
    memset(str_buf, 0, sizeof str_buf);
    const long n = reader.Next(str_buf, sizeof str_buf);
    if (n < 0) break;
    if (reader.starts_line())
      in_keyed_line = IsKeyedLine(reader, str_buf, name);
    if (!in_keyed_line) {
      ok = ok && Write(out.get(), str_buf, static_cast<size_t>(n));
      continue;
    }
    if (!reader.starts_line()) continue;
    line_out.clear();
    if (!keyed(str_buf, &line_out)) return false;
    ok = ok && Write(out.get(), line_out.data(), line_out.size());
  }
  in.Close();
  return out.Close() && ok;
}

// ---- Copy ------------------------------------------------------------------

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file that opening `host_path` for writing would write: symbolic links
// followed as the kernel follows them. Null for a loop of links.
std::optional<std::string> FollowLinks(std::string host_path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(host_path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return host_path;
    }
    char target[PATH_MAX];
    const ssize_t n = readlink(host_path.c_str(), target, sizeof target - 1);
    if (n <= 0) return std::nullopt;
    target[n] = '\0';
    host_path = target[0] == '/' ? std::string(target)
                                 : DirName(host_path) + "/" + target;
  }
  return std::nullopt;
}

// Creates the temporary file beside `target`. Mode 0666 lets the umask give
// a new file the permissions a plain create would give it.
int CreateTemp(const std::string& target, std::string* temp_path) {
  static unsigned counter = 0;
  const std::string prefix =
      DirName(target) + "/" + kCopyTempPrefix + std::to_string(getpid()) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp_path = prefix + std::to_string(counter++);
    const int fd =
        open(temp_path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool CopyData(int from, int to) {
  char buf[64 * 1024];
  for (;;) {
    const ssize_t n = read(from, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(to, buf + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

void SyncDir(const std::string& dir) {
  Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) fsync(fd.get());
}

int RemoveIfCopyTemp(const char* path, const struct stat*, int type,
                     struct FTW* ftw) {
  if (type == FTW_F && strncmp(path + ftw->base, kCopyTempPrefix,
                               strlen(kCopyTempPrefix)) == 0) {
    unlink(path);
  }
  return 0;
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

int set_conf_field_string(const char* path, const char* name, char* value) {
  if (path == nullptr || name == nullptr || value == nullptr) return 0;
  SetConfGuard lock;
  if (CheckConfFiledString(path, name) == 0) {
    printf("filename %s parameter name %s doesn't not exist\n", path, name);
    fflush(stdout);
    return 0;
  }
  char current[kFieldLineSize] = "";
  if (const char* v = get_conf_field_string(path, name)) {
    snprintf(current, sizeof current, "%s", v);
  }
  rm_blank(value);
  if (strcmp(current, value) == 0) {
    Print("-----the same value, needn't to set_conf---------\n");
    return 0;
  }
  // A line end inside the value would add lines of its own to the file.
  if (strpbrk(value, kLineEnd) != nullptr) return 0;
  const size_t value_length = strlen(value);
  const bool rewritten =
      RewriteToWorkFile(path, name, [&](const char* line, std::string* out) {
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
        out->assign(line, cut);
        out->push_back(has_separator ? line[cut] : '=');
        out->append(value, value_length);
        out->push_back('\n');
        return true;
      });
  if (!rewritten) return 0;
  do_usr_copy(kSetWorkFile, path);
  return 1;
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
  if (!RewriteToWorkFile(path, name,
                         [](const char*, std::string*) { return true; })) {
    return 0;
  }
  do_usr_copy(kSetWorkFile, path);
  return 1;
}

void do_usr_copy(const char* src, const char* dst) {
  if (src == nullptr || dst == nullptr) return;
  Fd in(open(platform::HostPath(src).c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return;
  const std::optional<std::string> target =
      FollowLinks(platform::HostPath(dst));
  if (!target) return;
  struct stat old_st;
  const bool exists = stat(target->c_str(), &old_st) == 0;
  // Only a regular file that may be written is replaced; anything else
  // (a directory, a device, a read-only file) stays as it is, as a plain
  // open for writing would have left it.
  if (exists &&
      (!S_ISREG(old_st.st_mode) || access(target->c_str(), W_OK) != 0)) {
    return;
  }
  std::string temp;
  Fd out(CreateTemp(*target, &temp));
  if (out.get() < 0) return;
  if (exists) {
    fchmod(out.get(), old_st.st_mode & 07777);
    if (fchown(out.get(), old_st.st_uid, old_st.st_gid) != 0) {
      // Not allowed to give the file away: it keeps our owner.
    }
  }
  // Write beside the target, flush, then rename: a power cut leaves the old
  // file or the new one, never half of each.
  const bool written = CopyData(in.get(), out.get()) && fsync(out.get()) == 0;
  if (!out.Close() || !written || rename(temp.c_str(), target->c_str()) != 0) {
    unlink(temp.c_str());
    return;
  }
  SyncDir(DirName(*target));
  sync();
}

void RemoveInterruptedCopies() {
  nftw(platform::HostPath(kConfRoot).c_str(), RemoveIfCopyTemp, 16, FTW_PHYS);
}

void rm_blank(char*) {}

void* emalloc(size_t size) { return malloc(size); }

void efree(void* p) { free(p); }

}  // namespace cms::conffiles
