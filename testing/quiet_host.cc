// quiet_host.cc - the host edge of a fuzz target: the daemon's commands are
// built as always but not run (whether through posix_spawn, system or
// popen), and its syslog lines are formatted but not sent. No input can then
// reach the host's programs, processes or log, and an input costs no shell.
//
// These definitions take the place of the C library's for the whole target,
// so libFuzzer's own use of system() (the -jobs and -fork modes) is not
// available in these targets. fuzz/build.sh links this object into each.
#include <errno.h>
#include <spawn.h>

#include <cstdio>
#include <cstring>

namespace {
volatile size_t g_length;  // kept, so that the read is not optimised away
void ReadWhole(const char* text) { g_length = strlen(text); }
}  // namespace

// The command runner spawns "sh -c TEXT": no process is started, as if the
// shell could not be found. Each text is read whole, which checks that it is
// terminated.
extern "C" int posix_spawn(pid_t*, const char*,
                           const posix_spawn_file_actions_t*,
                           const posix_spawnattr_t*, char* const argv[],
                           char* const[]) {
  if (argv[0] != nullptr && argv[1] != nullptr && argv[2] != nullptr) {
    ReadWhole(argv[2]);
  }
  return ENOENT;
}

extern "C" int system(const char* command) {
  if (command != nullptr) ReadWhole(command);
  return 0;  // for a null command: "no shell" rather than a run
}

// A command that prints nothing.
extern "C" FILE* popen(const char* command, const char*) {
  ReadWhole(command);
  return fopen("/dev/null", "re");
}

extern "C" int pclose(FILE* pipe) { return fclose(pipe) == 0 ? 0 : -1; }

extern "C" void syslog(int, const char*, ...) {}
extern "C" void __syslog_chk(int, int, const char*, ...) {}

// The generators flush the file systems after each file. Per fuzz input that
// would only slow the fuzzer down and load the machine; the fuzz root is
// thrown away anyway.
extern "C" void sync() noexcept {}
