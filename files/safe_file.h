// safe_file.h - the one way the daemon replaces a file on disk: whole or
// not at all, across a power cut, and never through a link it did not
// expect.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace cms::files {

enum class FollowLink {
  // A symbolic link at the path is replaced by the new file; whatever it
  // pointed to is left alone. For every file the daemon generates or dumps.
  kNo,
  // A symbolic link at the path is followed and the file it points to is
  // replaced. Only for configuration files, which may be links by design.
  kYes,
};

// Replaces the file at `device_path` with `content`. The content goes to a
// temporary file in the target's own directory (created exclusively, never
// through a link, mode 0600), is flushed to disk, gets its final mode
// (an existing target's own mode and owner, else `mode`) and is renamed over
// the target; then the directory is flushed. A power cut at any point leaves
// the old content or the new, whole, plus at most a temporary file that
// RemoveLeftoverTemporaries clears. Returns 0, or the errno of the step that
// failed; on failure before the rename the target is untouched and the
// temporary file removed. An existing target that is not a regular file
// (after following links with kYes) is refused with EINVAL, one that may not
// be written with EACCES.
int WriteFileAtomic(const char* device_path, std::string_view content,
                    mode_t mode, FollowLink follow);

// Reads the whole file at `device_path` into *content. Returns 0 or errno.
int ReadWholeFile(const char* device_path, std::string* content);

// Name prefix of the writer's temporary files. The loader skips files whose
// name begins with ".", so it never reads one.
inline constexpr char kTempPrefix[] = ".cmsd-tmp.";

// Removes what an interrupted write or an older version of the daemon can
// have left: the writer's temporary files under /mnt/jffs2/conf and /tmp,
// and the fixed working files of older versions (which could hold secrets).
// Links are removed, never followed. Called once at start-up.
void RemoveLeftoverTemporaries();

// The system calls of the writer's durable steps, replaceable so that tests
// can fail each step or stop the process at it. Defaults call the system.
struct WriterCalls {
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);  // the temporary file
  int (*rename)(const char* from, const char* to);
  int (*fsync_dir)(int dir_fd);
};
WriterCalls& Calls();
// Puts the system calls back.
void ResetCalls();

}  // namespace cms::files
