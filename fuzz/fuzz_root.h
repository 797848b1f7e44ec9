// fuzz_root.h - a private sandbox root for a fuzz target: created once per
// process under $TMPDIR (else memory-backed /dev/shm, else /tmp), removed at
// a normal exit. fuzz/run.sh points TMPDIR at a directory it removes itself,
// so the roots of crashed runs do not pile up.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/root.h"

namespace cms::fuzzing {

inline std::string& FuzzRootDir() {
  static std::string dir;
  return dir;
}

// Makes the root, points the daemon's path mapping at it, creates the
// directories the generators write into and empties PATH. Output that the code
// under test prints on standard output goes to /dev/null: it would drown the
// fuzzer's.
inline void InitFuzzRoot() {
  const char* base = getenv("TMPDIR");
  if (base == nullptr || *base == '\0') {
    base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  }
  std::string tmpl = std::string(base) + "/cmsd-fuzz-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) abort();
  FuzzRootDir() = tmpl;
  atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(FuzzRootDir(), ec);
  });
  platform::SetRoot(tmpl);
  for (const char* dir : {"/tmp", "/mnt/jffs2/conf/user", "/mnt/jffs2/conf/app",
                          "/no_programs"}) {
    std::filesystem::create_directories(tmpl + dir);
  }
  // Should a command ever run, it finds no program by name; programs named
  // by absolute path get the root in front. Nothing on the host is reached.
  setenv("PATH", (tmpl + "/no_programs").c_str(), 1);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) abort();
}

inline void WriteFile(std::string_view device_path, std::string_view content) {
  std::ofstream out(FuzzRootDir() + std::string(device_path),
                    std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline std::string ReadFile(std::string_view device_path) {
  std::ifstream in(FuzzRootDir() + std::string(device_path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void RemoveFile(std::string_view device_path) {
  std::error_code ec;
  std::filesystem::remove(FuzzRootDir() + std::string(device_path), ec);
}

// Every line of a generated file ends with a line feed and holds no NUL.
inline bool WholeLines(const std::string& text) {
  return text.find('\0') == std::string::npos &&
         (text.empty() || text.back() == '\n');
}

}  // namespace cms::fuzzing

// The generators flush the file systems after each file. Per fuzz input that
// would only slow the fuzzer down and load the machine, so fuzz builds get a
// sync() that does nothing; the fuzz root is thrown away anyway.
extern "C" void sync() noexcept {}
