// shell.cc - builds device and host command texts and runs them.
#include "platform/shell.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>

#include "platform/root.h"
#include "platform/stats.h"

namespace cms::platform {
namespace {

bool IsSafeChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
      (c >= '0' && c <= '9')) {
    return true;
  }
  switch (c) {
    case '.': case '_': case ':': case '/': case '@': case '%':
    case '+': case ',': case '=': case '-':
      return true;
    default:
      return false;
  }
}

bool IsSafeValue(std::string_view v) {
  for (char c : v) {
    if (!IsSafeChar(c)) return false;
  }
  return true;
}

enum class Quote { kNone, kDouble, kSingle };

std::string QuoteValue(std::string_view v, Quote context) {
  std::string out;
  switch (context) {
    case Quote::kNone:
      out.push_back('\'');
      for (char c : v) {
        if (c == '\'') {
          out.append("'\\''");
        } else {
          out.push_back(c);
        }
      }
      out.push_back('\'');
      break;
    case Quote::kDouble:
      for (char c : v) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') out.push_back('\\');
        out.push_back(c);
      }
      break;
    case Quote::kSingle:
      for (char c : v) {
        if (c == '\'') {
          out.append("'\\''");
        } else {
          out.push_back(c);
        }
      }
      break;
  }
  return out;
}

bool IsWordBoundary(char prev) {
  switch (prev) {
    case ' ': case '\t': case '(': case ';': case '|': case '&':
    case '<': case '>': case '`': case '"': case '\'':
      return true;
    default:
      return false;
  }
}

bool StartsPath(std::string_view format, size_t i, std::string_view path) {
  if (format.substr(i, path.size()) != path) return false;
  const size_t end = i + path.size();
  return end == format.size() || !IsSafeChar(format[end]);
}

// A path names something: "/tmp/x", not a sed address such as "/^[^=]*$/d".
bool LooksLikePath(std::string_view format, size_t i) {
  if (i + 1 >= format.size()) return false;
  const char c = format[i + 1];
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '.';
}

// Inside `...` the shell first strips one level of backslashes before "\\",
// "`" and "$", so a value quoted for the inner context needs each of those
// escaped once more.
std::string EscapeForBackquote(std::string_view quoted) {
  std::string out;
  for (char c : quoted) {
    if (c == '\\' || c == '`' || c == '$') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

bool EndsWith(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() &&
         std::string_view(s).substr(s.size() - tail.size()) == tail;
}

class Builder {
 public:
  explicit Builder(size_t max_len) : max_len_(max_len) {}

  bool Full() const { return cmd_.device.size() >= max_len_; }

  // Appends one character of the format text.
  void Literal(std::string_view format, size_t i) {
    if (Full()) return;
    const char c = format[i];
    // Text right after an inserted value ("%s/64") continues that word, even
    // when the value was quoted and so ends in a quote character.
    const bool after_value = after_value_;
    after_value_ = false;
    if (c == '/' && root_ != "/" && !after_value && AtWordStart() &&
        LooksLikePath(format, i) &&
        !StartsPath(format, i, "/dev/null") && !EndsWith(cmd_.device, "-l ")) {
      cmd_.host.append(root_);
    }
    Push(c);
  }

  // Appends an inserted value, character by character so that the cut falls
  // where the device's buffer would cut it.
  void Value(std::string_view text) {
    after_value_ = true;
    for (char c : text) {
      if (Full()) return;
      Push(c);
    }
  }

  void SetRoot(const std::string& root) { root_ = root; }
  Command Take() { return std::move(cmd_); }

 private:
  bool AtWordStart() const {
    return cmd_.device.empty() || IsWordBoundary(cmd_.device.back());
  }
  void Push(char c) {
    cmd_.device.push_back(c);
    cmd_.host.push_back(c);
  }

  size_t max_len_;
  bool after_value_ = false;
  std::string root_ = "/";
  Command cmd_;
};

}  // namespace

Command FormatCommand(std::string_view format,
                      std::initializer_list<std::string_view> args,
                      size_t max_len) {
  Builder b(max_len);
  b.SetRoot(Root());
  const std::string_view* next = args.begin();
  Quote quote = Quote::kNone;
  // Backquotes open a fresh quoting context; the outer one is kept here.
  bool in_backquote = false;
  Quote outer_quote = Quote::kNone;
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c == '%' && i + 1 < format.size() && format[i + 1] == 's') {
      std::string_view v;
      if (next != args.end()) v = *next++;
      if (IsSafeValue(v)) {
        b.Value(v);
      } else if (in_backquote) {
        b.Value(EscapeForBackquote(QuoteValue(v, quote)));
      } else {
        b.Value(QuoteValue(v, quote));
      }
      ++i;
      continue;
    }
    if (c == '`' && quote != Quote::kSingle) {
      if (in_backquote) {
        quote = outer_quote;
      } else {
        outer_quote = quote;
        quote = Quote::kNone;
      }
      in_backquote = !in_backquote;
    } else if (c == '"' && quote != Quote::kSingle) {
      quote = quote == Quote::kDouble ? Quote::kNone : Quote::kDouble;
    } else if (c == '\'' && quote != Quote::kDouble) {
      quote = quote == Quote::kSingle ? Quote::kNone : Quote::kSingle;
    }
    b.Literal(format, i);
  }
  return b.Take();
}

int RunCommand(const Command& command) {
  const stats::CommandTimer timed;
  // Like system(), but without its process-wide side effects: system()
  // ignores SIGINT and SIGQUIT in the whole daemon while a command runs, so
  // a signal meant for the main loop could be lost. The shell starts with
  // no blocked signals and default dispositions, whatever thread runs it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM}) {
    sigaddset(&defaults, sig);
  }
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char sh[] = "sh";
  char dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(command.host.c_str()), nullptr};
  pid_t pid;
  const int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

int RunCommand(std::string_view fixed_text) {
  return RunCommand(FormatCommand(fixed_text));
}

FILE* OpenCommand(const Command& command) {
  return popen(command.host.c_str(), "r");
}

int CloseCommand(FILE* pipe) { return pclose(pipe); }

}  // namespace cms::platform
