#include "testing/real_peer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace cms::testing {

std::string FindProgram(const std::string& name) {
  std::istringstream dirs(std::string(getenv("PATH") ? getenv("PATH") : "") +
                          ":/usr/sbin:/sbin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  }
  return "";
}

std::string RunPeer(std::vector<std::string> argv,
                    std::vector<std::string> env, const std::string& log,
                    const std::string& ready_marker) {
  std::vector<char*> args, envp;
  for (std::string& a : argv) args.push_back(a.data());
  for (std::string& e : env) envp.push_back(e.data());
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  args.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&io, 1, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&io, 1, 2);
  pid_t pid;
  const int failed =
      posix_spawn(&pid, args[0], &io, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&io);
  if (failed != 0) return "(could not start)";
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  const auto output = [&log] {
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    return text.str();
  };
  for (bool stopped = false; waitpid(pid, nullptr, WNOHANG) != pid;
       std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return output() + "(timed out)";
    }
    if (!stopped && !ready_marker.empty() &&
        output().find(ready_marker) != std::string::npos) {
      stopped = kill(pid, SIGTERM) == 0;
    }
  }
  return output();
}

}  // namespace cms::testing
