// quiet_host.h - the host edge of a fuzz target: the daemon's commands are
// built as always but not run (whether through posix_spawn, system or
// popen), and its syslog lines are formatted but not
// sent. No input can then reach the host's programs, processes or log, and
// an input costs no shell. Include it in one translation unit of a target.
//
// These definitions take the place of the C library's for the whole target,
// so libFuzzer's own use of system() (the -jobs and -fork modes) is not
// available in these targets.
#pragma once

#include <errno.h>
#include <spawn.h>

#include <cstdio>
#include <cstring>

namespace cms::fuzzing {

// The last command text the daemon asked for, for checks.
inline char g_last_command[8192];

inline void RecordCommand(const char* text) {
  // Reading the whole text checks it is terminated.
  snprintf(g_last_command, sizeof g_last_command, "%s", text);
}

}  // namespace cms::fuzzing

// The command runner spawns "sh -c TEXT": the text is recorded and no
// process is started, as if the shell could not be found.
extern "C" int posix_spawn(pid_t*, const char*,
                           const posix_spawn_file_actions_t*,
                           const posix_spawnattr_t*, char* const argv[],
                           char* const[]) {
  if (argv[0] != nullptr && argv[1] != nullptr && argv[2] != nullptr) {
    cms::fuzzing::RecordCommand(argv[2]);
  }
  return ENOENT;
}

extern "C" int system(const char* command) {
  if (command == nullptr) return 0;  // "no shell" rather than a run
  cms::fuzzing::RecordCommand(command);
  return 0;
}

// A command that prints nothing.
extern "C" FILE* popen(const char* command, const char*) {
  cms::fuzzing::RecordCommand(command);
  return fopen("/dev/null", "re");
}

extern "C" int pclose(FILE* pipe) { return fclose(pipe) == 0 ? 0 : -1; }

extern "C" void syslog(int, const char*, ...) {}
extern "C" void __syslog_chk(int, int, const char*, ...) {}
