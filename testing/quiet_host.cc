// quiet_host.cc - the host edge of a fuzz target: the daemon's commands are
// built as always but not run (posix_spawn, system, popen), and its syslog
// lines are not sent, so no input reaches the host's programs, processes or
// log. These replace the C library's for the whole target (so libFuzzer's
// -jobs and -fork modes, which use system(), are not available).
#include <errno.h>
#include <spawn.h>

#include <cstdio>
#include <cstring>

namespace {
volatile size_t g_length;  // kept, so that the read is not optimised away
void ReadWhole(const char* text) { g_length = strlen(text); }
}  // namespace

// The runner spawns "sh -c TEXT": as if no shell were found, after the text
// was read whole (which checks that it is terminated).
extern "C" int posix_spawn(pid_t*, const char*,
                           const posix_spawn_file_actions_t*,
                           const posix_spawnattr_t*, char* const argv[],
                           char* const[]) {
  if (argv[0] != nullptr && argv[1] != nullptr && argv[2] != nullptr)
    ReadWhole(argv[2]);
  return ENOENT;
}

extern "C" int system(const char* command) {
  if (command != nullptr) ReadWhole(command);
  return 0;  // for a null command: "no shell" rather than a run
}

extern "C" FILE* popen(const char* command, const char*) {
  ReadWhole(command);
  return fopen("/dev/null", "re");  // a command that prints nothing
}

extern "C" int pclose(FILE* pipe) { return fclose(pipe) == 0 ? 0 : -1; }

extern "C" void syslog(int, const char*, ...) {}
extern "C" void __syslog_chk(int, int, const char*, ...) {}

// The generators flush the file systems after each file: per fuzz input that
// only slows the fuzzer and loads the machine.
extern "C" void sync() noexcept {}
