// cms_main.cc - cms: reads and changes cmsd's parameters from a shell.
//
// Exit status: 0 success (also when a value was already stored); 1 cmsd or
// the command refused (the reason on standard error); 2 cmsd cannot be
// reached or did not answer in time; 64 wrong command line.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "client/cli/formats.h"
#include "client/cli/history_commands.h"
#include "client/cli/monitor.h"
#include "client/cli/params.h"
#include "client/cms_client.h"

#ifndef CMS_VERSION
#error "CMS_VERSION comes from the build"
#endif

namespace cms::cli {
namespace {

// The options every command shares.
struct Global {
  bool verbose = false;
};
Global global;

// A refusal: one line on standard error naming the parameter and the reason.
int Refuse(const std::string& name, const std::string& why) {
  fprintf(stderr, "cms: %s: %s\n", name.c_str(), why.c_str());
  return kExitRefused;
}

void Note(const std::string& name, const std::string& what) {
  if (global.verbose)
    fprintf(stderr, "cms: %s: %s\n", name.c_str(), what.c_str());
}

void PrintValue(const std::string& value) {
  fwrite(value.data(), 1, value.size(), stdout);
  fputc('\n', stdout);
}

std::string ValueOf(const CMSPacket& response) {
  return {response.value, strnlen(response.value, sizeof response.value)};
}

int Code(Side side, int user, int isp, int both) {
  return side == Side::kUser ? user : side == Side::kIsp ? isp : both;
}

// Why a get, delete or one-side change answered status 7, when the name is
// not missing and the side is there: `otherwise`.
int Explain(const std::string& name, Side side, const std::string& otherwise) {
  const std::optional<Param> now = LookUp(name, side == Side::kIsp);
  if (!now) return Refuse(name, "not found");
  if (!now->HasSide(side)) return Refuse(name, NoSide(side));
  return Refuse(name, otherwise);
}

int Get(const std::string& name, Side side) {
  if (std::string why = Invalid(name, nullptr); !why.empty()) {
    return Refuse(name, why);
  }
  CMSPacket response;
  if (Ask(Request(Code(side, CMS_CMD_GET_USER, CMS_CMD_GET_ISP, 0), name),
          &response)) {
    PrintValue(ValueOf(response));
    return kExitOk;
  }
  const std::optional<Param> now = LookUp(name, side == Side::kIsp);
  if (!now) return Refuse(name, "not found");
  if (!now->HasSide(side)) return Refuse(name, NoSide(side));
  // The parameter exists without a value.
  PrintValue("");
  return kExitOk;
}

// set and replace: refused up front for a missing name (unless `create`)
// or side; a status 7 is "unchanged" when the stored value is the one
// asked for, else the change callback's refusal.
int Change(const std::string& name, const std::string& value, Side side,
           bool create, int code) {
  if (std::string why = Invalid(name, &value); !why.empty()) {
    return Refuse(name, why);
  }
  const std::optional<Param> before = LookUp(name, side == Side::kIsp);
  if (!before && !create) {
    return Refuse(name,
                  "not found (--create makes it in memory only; cms add "
                  "gives it a file)");
  }
  if (before && !before->HasSide(side)) return Refuse(name, NoSide(side));
  CMSPacket response;
  if (Ask(Request(code, name, value), &response)) {
    if (!before) {
      // A set of an unknown name keeps it in memory only: say so.
      fprintf(stderr,
              "cms: %s: created in memory only; it is not saved to any file "
              "(cms add gives it one)\n",
              name.c_str());
    } else {
      Note(name, "changed");
    }
    return kExitOk;
  }
  if (before && side != Side::kBoth && before->value == value) {
    Note(name, "unchanged");
    return kExitOk;
  }
  return Refuse(name, "refused by the device");
}

int Add(const std::string& name, const std::string& file,
        const std::string& value, Side side) {
  if (std::string why = Invalid(name, &value); !why.empty()) {
    return Refuse(name, why);
  }
  if (file.empty() || file.size() > kMaxNameLength) {
    return Refuse(name, "invalid file name");
  }
  CMSPacket response;
  if (Ask(Request(Code(side, CMS_CMD_ADD_USER, CMS_CMD_ADD_ISP, 0), name, value,
                  file),
          &response)) {
    return kExitOk;
  }
  return Refuse(name, std::string("no ") +
                          (side == Side::kIsp ? "ISP" : "user") +
                          "-side configuration file matches '" + file + "'");
}

int Del(const std::string& name, Side side) {
  if (std::string why = Invalid(name, nullptr); !why.empty()) {
    return Refuse(name, why);
  }
  CMSPacket response;
  if (Ask(Request(Code(side, CMS_CMD_DELETE_USER, CMS_CMD_DELETE_ISP,
                       CMS_CMD_DELETE_BOTH),
                  name),
          &response)) {
    return kExitOk;
  }
  return Explain(name, side, "refused by the device");
}

int Commit() {
  // Answered with an all-zero frame once the files are written.
  CMSPacket request = Request(CMS_CMD_WRITE_NOW);
  CMSPacket response;
  if (CMSExchange(&request, &response) == 0) {
    throw Unreachable(CMSErrorText(CMSLastError()));
  }
  return kExitOk;
}

int Push(const std::string& name, const std::string& value) {
  if (std::string why = Invalid(name, &value); !why.empty()) {
    return Refuse(name, why);
  }
  CMSPacket response;
  if (Ask(Request(CMS_CMD_PUSH, name, value), &response)) return kExitOk;
  return Refuse(name, "refused");
}

int Pop(const std::string& name) {
  if (std::string why = Invalid(name, nullptr); !why.empty()) {
    return Refuse(name, why);
  }
  CMSPacket response;
  if (!Ask(Request(CMS_CMD_POP, name), &response)) {
    return Refuse(name, "not found: nothing queued");
  }
  PrintValue(ValueOf(response));
  return kExitOk;
}

// Answers of a several-values get, one per name in `names`, or nullopt when
// the answer does not hold exactly one entry per name: the daemon leaves
// out what does not fit, and an empty value reads as the end of the list.
std::optional<std::vector<std::string>> GetBatch(
    const std::vector<std::string>& names) {
  CMSPacket request = Request(CMS_CMD_GET_MULTI);
  size_t at = 0;
  for (const std::string& name : names) {
    if (at + name.size() + 2 > CMS_VALUE_SIZE) return std::nullopt;
    name.copy(request.value + at, name.size());
    at += name.size() + 1;
  }
  CMSPacket response;
  Ask(request, &response);
  std::vector<std::string> values;
  for (at = 0; at < CMS_VALUE_SIZE && response.value[at] != '\0';) {
    values.emplace_back(response.value + at,
                        strnlen(response.value + at, CMS_VALUE_SIZE - at));
    at += values.back().size() + 1;
  }
  if (values.size() != names.size()) return std::nullopt;
  return values;
}

// Values of `names` from `first` on; nullopt for a missing name. Halves a
// batch whose answer did not fit until single names are asked one by one.
void GetMany(const std::vector<std::string>& names,
             std::vector<std::optional<std::string>>* out) {
  if (names.size() > 1) {
    if (auto values = GetBatch(names)) {
      for (size_t i = 0; i < names.size(); ++i) {
        // "(null)" is also what a missing name gives: ask once more.
        if ((*values)[i] == "(null)") {
          out->push_back(std::nullopt);
          CMSPacket response;
          if (Ask(Request(CMS_CMD_GET_USER, names[i]), &response)) {
            out->back() = ValueOf(response);
          } else if (LookUp(names[i], false)) {
            out->back() = "";
          }
        } else {
          out->push_back(std::move((*values)[i]));
        }
      }
      return;
    }
    const auto middle = names.begin() + static_cast<long>(names.size() / 2);
    GetMany({names.begin(), middle}, out);
    GetMany({middle, names.end()}, out);
    return;
  }
  for (const std::string& name : names) {
    CMSPacket response;
    if (Ask(Request(CMS_CMD_GET_USER, name), &response)) {
      out->push_back(ValueOf(response));
    } else {
      const std::optional<Param> now = LookUp(name, false);
      out->push_back(now && now->user_file ? std::optional<std::string>("")
                                           : std::nullopt);
    }
  }
}

int MGet(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (std::string why = Invalid(name, nullptr); !why.empty()) {
      return Refuse(name, why);
    }
  }
  std::vector<std::optional<std::string>> values;
  GetMany(names, &values);
  int rc = kExitOk;
  // One line per name; a missing one gets an empty line here and its name
  // on standard error.
  for (size_t i = 0; i < names.size(); ++i) {
    PrintValue(values[i].value_or(""));
    if (!values[i]) rc = Refuse(names[i], "not found");
  }
  return rc;
}

// Prints the result of each pair that deserves it; 1 when any was refused.
int ReportResults(const Pairs& pairs, const std::vector<Result>& results,
                  bool every_name) {
  int rc = kExitOk;
  for (size_t i = 0; i < pairs.size(); ++i) {
    const Result r = results[i];
    if (IsRefusal(r)) rc = kExitRefused;
    if (every_name) {
      printf("%s: %s\n", pairs[i].first.c_str(), ResultText(r));
    } else if (IsRefusal(r) || r == Result::kCreated) {
      fprintf(stderr, "cms: %s: %s\n", pairs[i].first.c_str(), ResultText(r));
    } else {
      Note(pairs[i].first, ResultText(r));
    }
  }
  return rc;
}

int MSet(const std::vector<std::string>& args, bool create) {
  if (args.size() % 2 != 0) {
    throw CLI::ValidationError("NAME VALUE", "a NAME without its VALUE");
  }
  Pairs pairs;
  for (size_t i = 0; i < args.size(); i += 2) {
    pairs.emplace_back(args[i], args[i + 1]);
  }
  return ReportResults(pairs, SetUserValues(pairs, create), false);
}

int Dump(const std::string& path) {
  if (path.empty() || path.size() > kMaxValueLength) {
    return Refuse(path, "invalid path");
  }
  CMSPacket response;
  if (Ask(Request(CMS_CMD_DUMP, "", path), &response)) return kExitOk;
  return Refuse(path, "cmsd cannot write that file");
}

Pairs Listed(const std::string& prefix, bool isp) {
  Pairs pairs;
  for (Param& p : ListParams(prefix, isp)) {
    if (p.HasSide(isp ? Side::kIsp : Side::kUser)) {
      pairs.emplace_back(std::move(p.name), std::move(p.value));
    }
  }
  return pairs;
}

int Show(const std::string& prefix, bool isp, bool names_only) {
  std::string out;
  for (const auto& [name, value] : Listed(prefix, isp)) {
    out += names_only ? name + "\n" : name + "=" + value + "\n";
  }
  fwrite(out.data(), 1, out.size(), stdout);
  return kExitOk;
}

int Export(const std::string& format, const std::string& prefix, bool isp) {
  const Pairs pairs = Listed(prefix, isp);
  std::string out;
  if (format == "json") {
    int replaced = 0;
    out = ToJson(pairs, &replaced);
    if (replaced > 0) {
      fprintf(stderr,
              "cms: %d value(s) are not UTF-8; their bad bytes are written as "
              "U+FFFD\n",
              replaced);
    }
  } else {
    out = ToShell(pairs);
  }
  fwrite(out.data(), 1, out.size(), stdout);
  return kExitOk;
}

int Import(const std::string& path, bool create) {
  std::string text;
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Refuse(path, strerror(errno));
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  Pairs pairs;
  std::string error;
  if (!ParseExport(text, &pairs, &error)) return Refuse(path, error);
  return ReportResults(pairs, SetUserValues(pairs, create), true);
}

int Monitor() {
  const char* root_env = getenv("CMS_ROOT");
  std::string root =
      root_env != nullptr && root_env[0] != '\0' ? root_env : "/";
  while (!root.empty() && root.back() == '/') root.pop_back();
  return RunMonitor(root);
}

// The user side unless --isp or --both.
struct SideFlags {
  bool isp = false;
  bool both = false;
  Side side() const {
    return isp ? Side::kIsp : both ? Side::kBoth : Side::kUser;
  }
};

void AddSideFlags(CLI::App* command, SideFlags* flags, bool with_both) {
  CLI::Option* isp = command->add_flag("--isp", flags->isp, "the ISP side");
  if (with_both) {
    command->add_flag("--both", flags->both, "both sides")->excludes(isp);
  }
}

// The port for the message: CMS_PORT or the default.
std::string PortText() {
  const char* text = getenv("CMS_PORT");
  return text != nullptr && text[0] != '\0' ? text
                                            : std::to_string(CMS_DEFAULT_PORT);
}

int Run(int argc, char** argv) {
  CLI::App app{"cms - read and change the parameters of cmsd", "cms"};
  app.set_version_flag("--version", "cms " CMS_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(
      "Exit status: 0 done (also when the value was already stored), 1 "
      "refused (reason on standard error), 2 cmsd unreachable or timed out, "
      "64 wrong usage.\nThe daemon is reached on 127.0.0.1, port --port, "
      "else CMS_PORT, else " +
      std::to_string(CMS_DEFAULT_PORT) + ".");
  int port = 0;
  double timeout = CMSGetTimeout() / 1000.0;
  app.add_option("-p,--port", port, "cmsd's port on 127.0.0.1")
      ->check(CLI::Range(1, 65535));
  app.add_option("-t,--timeout", timeout,
                 "seconds to wait for each answer (0: for ever)")
      ->check(CLI::Range(0.0, 86400.0));
  app.add_flag("-v,--verbose", global.verbose,
               "say on standard error what each change did");

  std::vector<std::pair<CLI::App*, std::function<int()>>> commands;
  auto command = [&](const char* name, const char* help,
                     std::function<int()> run) {
    CLI::App* sub = app.add_subcommand(name, help);
    commands.emplace_back(sub, std::move(run));
    return sub;
  };
  std::string name, value, file, prefix, format = "shell";
  std::vector<std::string> names;
  bool create = false, names_only = false;
  SideFlags sides;

  CLI::App* sub =
      command("get", "print a value", [&] { return Get(name, sides.side()); });
  AddSideFlags(sub, &sides, false);
  sub->add_option("NAME", name, "parameter name")->required();

  for (const bool is_set : {true, false}) {
    sub = command(
        is_set ? "set" : "replace",
        is_set ? "change a value in memory; written back to its file shortly"
               : "change a value and its line in the file at once",
        [&, is_set] {
          return Change(name, value, sides.side(), create,
                        is_set
                            ? Code(sides.side(), CMS_CMD_SET_USER,
                                   CMS_CMD_SET_ISP, CMS_CMD_SET_BOTH)
                            : Code(sides.side(), CMS_CMD_REPLACE_USER,
                                   CMS_CMD_REPLACE_ISP, CMS_CMD_REPLACE_BOTH));
        });
    AddSideFlags(sub, &sides, true);
    sub->add_flag("--create", create,
                  "create an unknown NAME on the user side, in memory only")
        ->excludes("--isp")
        ->excludes("--both");
    sub->add_option("NAME", name, "parameter name")->required();
    sub->add_option("VALUE", value, "new value")->required();
  }

  sub = command("add", "add a parameter to a configuration file",
                [&] { return Add(name, file, value, sides.side()); });
  AddSideFlags(sub, &sides, false);
  sub->add_option("NAME", name, "parameter name")->required();
  sub->add_option("FILE", file, "base name of a known configuration file")
      ->required();
  sub->add_option("VALUE", value, "its value")->required();

  sub = command("del", "delete a parameter",
                [&] { return Del(name, sides.side()); });
  AddSideFlags(sub, &sides, true);
  sub->add_option("NAME", name, "parameter name")->required();

  command("commit", "write changed values to their files now", Commit);

  sub = command("push", "queue a value under NAME",
                [&] { return Push(name, value); });
  sub->add_option("NAME", name, "queue name")->required();
  sub->add_option("VALUE", value, "value")->required();

  sub = command("pop", "take the oldest value queued under NAME",
                [&] { return Pop(name); });
  sub->add_option("NAME", name, "queue name")->required();

  sub = command("mget",
                "print user-side values, one line per NAME (empty for a "
                "missing one, which also makes the exit status 1)",
                [&] { return MGet(names); });
  sub->add_option("NAME", names, "parameter names")->required();

  sub = command("mset", "change several user-side values",
                [&] { return MSet(names, create); });
  sub->add_flag("--create", create, "create unknown names, in memory only");
  sub->add_option("NAME VALUE", names, "pairs of name and value")->required();

  sub = command("dump",
                "make cmsd write every user-side value to FILE (a path on "
                "the device)",
                [&] { return Dump(file); });
  sub->add_option("FILE", file, "path")->required();

  sub = command("show", "print name=value lines, sorted by name",
                [&] { return Show(prefix, sides.isp, names_only); });
  AddSideFlags(sub, &sides, false);
  sub->add_flag("-n,--names", names_only, "names only");
  sub->add_option("PREFIX", prefix, "only names beginning with PREFIX");

  sub = command("export", "print parameters for eval (shell) or jq (json)",
                [&] { return Export(format, prefix, sides.isp); });
  AddSideFlags(sub, &sides, false);
  sub->add_option("-f,--format", format, "shell or json")
      ->capture_default_str()
      ->check(CLI::IsMember({"shell", "json"}));
  sub->add_option("PREFIX", prefix, "only names beginning with PREFIX");

  sub = command("import",
                "set user-side values from an export (either format); "
                "prints what became of each name",
                [&] { return Import(file, create); });
  sub->add_flag("--create", create, "create unknown names, in memory only");
  sub->add_option("FILE", file, "export file, - for standard input")
      ->required();

  command("monitor",
          "print message-center events until interrupted "
          "(uses CMS_ROOT, default /)",
          Monitor);

  LogOptions log;
  WatchOptions watch;
  bool json = false;
  sub = command("log",
                "changes cmsd made, oldest first: time, number, "
                "name, side, old -> new, who",
                [&] {
                  log.json = json;
                  return ShowLog(log);
                });
  sub->add_option("-n", log.count, "only the last N matching changes")
      ->check(CLI::NonNegativeNumber);
  sub->add_option("--since", log.since, "from change number SEQ on");
  sub->add_flag("--json", json, "one JSON object per line");
  sub->add_option("PATTERN", log.pattern, "shell pattern on the name");

  sub = command("watch",
                "follow changes as cmsd makes them, until "
                "interrupted",
                [&] {
                  watch.json = json;
                  return Watch(watch);
                });
  sub->add_option("--since", watch.since, "from change number SEQ on")
      ->each([&](const std::string&) { watch.has_since = true; });
  sub->add_option("--state", watch.state_file,
                  "keep the last number seen in FILE and resume from it");
  sub->add_flag("--json", json, "one JSON object per line");
  sub->add_option("PATTERN", watch.pattern, "shell pattern on the name");

  sub = command("stats", "cmsd's run-time statistics",
                [&] { return ShowStats(json); });
  sub->add_flag("--json", json, "one JSON object");

  std::string topic;
  sub = command("help", "help on cms or on one COMMAND", [&]() -> int {
    if (topic.empty()) {
      std::cout << app.help();
      return kExitOk;
    }
    for (const auto& [c, run] : commands) {
      if (c->get_name() == topic) {
        std::cout << c->help(app.get_name());
        return kExitOk;
      }
    }
    throw CLI::ValidationError("COMMAND", "no command '" + topic + "'");
  });
  sub->add_option("COMMAND", topic, "a command");

  try {
    app.parse(argc, argv);
    const char* env_port = getenv("CMS_PORT");
    if (port != 0) {
      setenv("CMS_PORT", std::to_string(port).c_str(), 1);
    } else if (env_port != nullptr && env_port[0] != '\0') {
      char* end = nullptr;
      const long p = strtol(env_port, &end, 10);
      if (*end != '\0' || p < 1 || p > 65535) {
        throw CLI::ValidationError(
            "CMS_PORT",
            std::string("'") + env_port + "' is not a port (1 to 65535)");
      }
    }
    CMSSetTimeout(static_cast<int>(std::lround(timeout * 1000)));
    for (const auto& [c, run] : commands) {
      if (c->parsed()) return run();
    }
    return kExitUsage;
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    // A word that is no command is left over; name it rather than say that
    // a command is missing.
    const std::vector<std::string> left = app.remaining();
    const std::string why = app.get_subcommands().empty() && !left.empty()
                                ? "unknown command '" + left.front() + "'"
                                : e.what();
    fprintf(stderr, "cms: %s (see cms help)\n", why.c_str());
    return kExitUsage;
  } catch (const Unreachable& e) {
    fprintf(stderr, "cms: cmsd on 127.0.0.1:%s: %s\n", PortText().c_str(),
            e.what());
    return kExitUnreachable;
  }
}

}  // namespace
}  // namespace cms::cli

int main(int argc, char** argv) { return cms::cli::Run(argc, argv); }
