// field_file.h - single fields of key=value configuration files, the copy
// that puts a rebuilt file in place, and the value-text allocator.
//
// Paths are device paths; the sandbox root is applied where files are opened.
// Callers hold ParamListLock (or run at start-up), so the shared line buffer
// and the working file "/tmp/xcfg_set.tmp" are never used by two at once.
#pragma once

#include <cstddef>

namespace cms::conffiles {

// 1 while set_conf_field_string or delete_param rewrites a file.
extern int SetConfLock;

// 1 when some line of `path` contains `name` anywhere; 0 otherwise or when
// the file cannot be read.
int CheckConfFiledString(const char* path, const char* name);
// Value of the first line whose key is `name`; null when none, no value, or
// no file. Points into a shared 250-byte buffer valid until the next call.
char* get_conf_field_string(const char* path, const char* name);
// 1 after the file was rewritten with `value` on every line keyed `name`;
// 0 when the name is absent, the value is unchanged, or a file won't open.
int set_conf_field_string(const char* path, const char* name, char* value);
// 1 after every line keyed `name` was dropped; 0 when absent or no file.
int delete_param(const char* path, const char* name);
// Replaces dst's content with src's, then flushes the file systems. The new
// content goes to a temporary file beside dst (its name begins with
// kCopyTempPrefix) that is renamed over dst, so dst holds the old content or
// the new one, never a mix; a symbolic link is followed and the file it
// points to replaced. Failures are silent; a destination that cannot be
// written is left untouched.
void do_usr_copy(const char* src, const char* dst);
// Name prefix of the temporary file of do_usr_copy. The loader skips files
// whose name begins with "." and so never reads one.
inline constexpr char kCopyTempPrefix[] = ".cmsd-copy.";
// Removes the temporary files of copies interrupted by a power cut or a
// kill, anywhere under /mnt/jffs2/conf. Called once at start-up.
void RemoveInterruptedCopies();
// Leaves the string unchanged: names and values are compared byte for byte.
void rm_blank(char* s);
void* emalloc(size_t size);
void efree(void* p);

}  // namespace cms::conffiles
