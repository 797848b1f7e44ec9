// main.cc - cmsd: the configuration manager daemon.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/event_loop.h"
#include "core/options.h"
#include "platform/log.h"
#include "platform/root.h"
#include "store/history.h"
#include "store/tree_check.h"

namespace {

// Failure reports and the plain lines of the file layer go to descriptors 1
// and 2, and a socket must never land on 0 to 2: open what is closed.
void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      const int null_fd = open("/dev/null", O_RDWR);
      if (null_fd > 2) close(null_fd);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  cms::core::CatchEarlySignals();
  EnsureStandardDescriptors();
  std::string error;
  const std::optional<cms::core::Options> options = cms::core::ParseOptions(
      argc, argv, getenv("CMS_ROOT"), getenv("CMS_PORT"), &error);
  if (!options) {
    fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  if (options->action == cms::core::Options::Action::kHelp) {
    fputs(cms::core::kUsageText, stdout);
    return 0;
  }
  if (options->action == cms::core::Options::Action::kVersion) {
    fputs(cms::core::kVersionText, stdout);
    return 0;
  }
  cms::platform::SetRoot(options->root);
  if (options->action == cms::core::Options::Action::kCheck) {
    const int findings = cms::store::CheckConfigTree(
        [](const std::string& finding) { printf("%s\n", finding.c_str()); });
    return findings == 0 ? 0 : 1;
  }
  cms::platform::SetLogToStderr(options->log_stderr);
  // A client that has gone away must fail our send, not end the daemon.
  signal(SIGPIPE, SIG_IGN);
  cms::store::history::Configure(options->history_size);
  cms::core::Daemon daemon(options->port);
  return daemon.Run();
}
