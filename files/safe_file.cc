// safe_file.cc - replaces files through a flushed temporary file and a
// rename, and clears what an interrupted replacement leaves behind.
#include "files/safe_file.h"

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "platform/root.h"

namespace cms::files {
namespace {

ssize_t SystemWrite(int fd, const void* data, size_t size) {
  return ::write(fd, data, size);
}
int SystemFsync(int fd) { return ::fsync(fd); }
int SystemRename(const char* from, const char* to) {
  return ::rename(from, to);
}

constexpr WriterCalls kSystemCalls = {SystemWrite, SystemFsync, SystemRename,
                                      SystemFsync};
WriterCalls g_calls = kSystemCalls;

// Temporary names of older versions: the copy's own prefix, and the fixed
// working files (the set/delete one kept secrets at mode 0644).
constexpr char kOldCopyPrefix[] = ".cmsd-copy.";
constexpr const char* kOldWorkFiles[] = {
    "/tmp/xcfg_conf.tmp", "/tmp/xcfg_set.tmp", "/mnt/jffs2/conf/app/hosts.tmp"};
constexpr const char* kTempDirs[] = {"/mnt/jffs2/conf", "/tmp"};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // close's errno, or 0.
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0 ? 0 : errno;
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

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that opening `host_path` would reach, links followed as the
// kernel follows them. Null for a loop or a link that cannot be read.
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

// Creates the temporary file beside `target`: exclusively and never through
// a link, so nothing planted under a guessed name is written.
int CreateTemp(const std::string& target, std::string* temp_path) {
  static unsigned counter = 0;
  const std::string prefix = DirName(target) + "/" + kTempPrefix +
                             BaseName(target) + "." + std::to_string(getpid()) +
                             ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp_path = prefix + std::to_string(counter++);
    const int fd = open(temp_path->c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

int WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = g_calls.write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    content.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// Everything after the temporary file exists; on failure before the rename
// the caller removes it.
int FillAndRename(int fd, const std::string& temp, const std::string& target,
                  std::string_view content, mode_t mode,
                  const struct stat* old_st) {
  if (const int err = WriteAll(fd, content)) return err;
  if (old_st != nullptr) {
    if (fchown(fd, old_st->st_uid, old_st->st_gid) != 0) {
      // Not allowed to give the file away: it keeps our owner.
    }
    mode = old_st->st_mode & 07777;
  }
  if (fchmod(fd, mode) != 0) return errno;
  if (g_calls.fsync(fd) != 0) return errno;
  if (g_calls.rename(temp.c_str(), target.c_str()) != 0) return errno;
  return 0;
}

int RemoveIfTemp(const char* path, const struct stat*, int type,
                 struct FTW* ftw) {
  const char* base = path + ftw->base;
  if ((type == FTW_F || type == FTW_SL || type == FTW_SLN) &&
      (strncmp(base, kTempPrefix, strlen(kTempPrefix)) == 0 ||
       strncmp(base, kOldCopyPrefix, strlen(kOldCopyPrefix)) == 0)) {
    unlink(path);
  }
  return 0;
}

}  // namespace

WriterCalls& Calls() { return g_calls; }

void ResetCalls() { g_calls = kSystemCalls; }

int WriteFileAtomic(const char* device_path, std::string_view content,
                    mode_t mode, FollowLink follow) {
  if (device_path == nullptr) return EINVAL;
  std::string target = platform::HostPath(device_path);
  if (follow == FollowLink::kYes) {
    std::optional<std::string> followed = FollowLinks(target);
    if (!followed) return ELOOP;
    target = std::move(*followed);
  }
  struct stat old_st;
  const bool exists =
      lstat(target.c_str(), &old_st) == 0 && !S_ISLNK(old_st.st_mode);
  if (exists) {
    // A directory, device or FIFO is never replaced by a plain file.
    if (!S_ISREG(old_st.st_mode)) return EINVAL;
    if (access(target.c_str(), W_OK) != 0) return EACCES;
  }
  std::string temp;
  Fd fd(CreateTemp(target, &temp));
  if (fd.get() < 0) return errno;
  int err = FillAndRename(fd.get(), temp, target, content, mode,
                          exists ? &old_st : nullptr);
  if (err != 0) {
    unlink(temp.c_str());
    return err;
  }
  if (const int close_err = fd.Close()) return close_err;
  // The rename is durable only once the directory is.
  Fd dir(open(DirName(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return errno;
  if (g_calls.fsync_dir(dir.get()) != 0) return errno;
  return 0;
}

int ReadWholeFile(const char* device_path, std::string* content) {
  content->clear();
  Fd fd(open(platform::HostPath(device_path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno;
  char buf[16384];
  for (;;) {
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    content->append(buf, static_cast<size_t>(n));
  }
}

void RemoveLeftoverTemporaries() {
  for (const char* dir : kTempDirs) {
    nftw(platform::HostPath(dir).c_str(), RemoveIfTemp, 16, FTW_PHYS);
  }
  for (const char* file : kOldWorkFiles) {
    unlink(platform::HostPath(file).c_str());
  }
}

}  // namespace cms::files
