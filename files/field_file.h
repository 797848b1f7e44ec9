// field_file.h - single fields of key=value configuration files, the copy
// that puts a rebuilt file in place, and the value-text allocator.
//
// Paths are device paths; the sandbox root is applied where files are opened.
// Callers hold ParamListLock (or run at start-up), so the shared line buffer
// is never used by two at once.
#pragma once

#include <cstddef>

namespace cms::files {

// 1 while set_conf_field_string or delete_param rewrites a file.
extern int SetConfLock;

// 1 when some line of `path` contains `name` anywhere; 0 otherwise or when
// the file cannot be read.
int CheckConfFiledString(const char* path, const char* name);
// Value of the first line whose key is `name`; null when none, no value, or
// no file. Points into a shared 250-byte buffer valid until the next call.
char* get_conf_field_string(const char* path, const char* name);
// What became of a field write.
enum class FieldWrite {
  kWritten,    // the file now holds the new value
  kUnchanged,  // the file already held it; not touched
  kAbsent,     // the name is nowhere in the file; not touched
  kNoLine,     // the name occurs, but keys no line; not touched
  kTooLong,    // a rewritten line would not fit a line buffer; not touched
  kFailed,     // the file could not be read or replaced; not touched
};
// Rewrites every line keyed `name` of `path` with `value`, the file replaced
// whole through the crash-safe writer.
FieldWrite SetConfField(const char* path, const char* name, char* value);
// 1 when SetConfField wrote the file or found no line keyed `name` (the
// file then holds what a rewrite would give); 0 in every other case.
int set_conf_field_string(const char* path, const char* name, char* value);
// 1 after every line keyed `name` was dropped; 0 when absent, no file, or
// the file could not be replaced.
int delete_param(const char* path, const char* name);
// Replaces dst's content with src's through the crash-safe writer; a
// symbolic link at dst is followed and the file it points to replaced.
// Returns 0 or the errno of the failed step (dst then untouched).
int do_usr_copy(const char* src, const char* dst);
// Removes what interrupted writes left behind. Called once at start-up.
void RemoveInterruptedCopies();
// Leaves the string unchanged: names and values are compared byte for byte.
void rm_blank(char* s);
void* emalloc(size_t size);
void efree(void* p);

}  // namespace cms::files
