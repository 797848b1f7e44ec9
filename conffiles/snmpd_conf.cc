// snmpd_conf.cc - writes the SNMP agent's v1/v2c file (communities, system
// description) and v3 file (engine ID, users, groups, views, access rules)
// from the user-side SNMP parameter file.
#include "conffiles/snmpd_conf.h"

#include <cerrno>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "conffiles/generator_lines.h"
#include "platform/root.h"

namespace cms::conffiles {
namespace {

constexpr const char* kSysiniPath = "/mnt/jffs2/conf/user/sysini.conf";
// A user entry is built in 512 bytes, a group's copy in 512 and its access
// line in 256; each text is cut to its buffer, NUL excluded.
constexpr size_t kUserTextMax = 511;
constexpr size_t kGroupCopyMax = 511;
constexpr size_t kAccessLineMax = 255;
constexpr size_t kUserTokens = 8;
constexpr size_t kGroupTokens = 4;

// Like strtok: skips leading delimiters and returns the next run of
// non-delimiters, or an empty view when none is left. `pos` moves past the
// delimiter that ends the token.
std::string_view NextToken(std::string_view s, size_t* pos,
                           std::string_view delimiters) {
  const size_t start = s.find_first_not_of(delimiters, *pos);
  if (start == std::string_view::npos) {
    *pos = s.size();
    return {};
  }
  const size_t end = s.find_first_of(delimiters, start);
  if (end == std::string_view::npos) {
    *pos = s.size();
    return s.substr(start);
  }
  *pos = end + 1;
  return s.substr(start, end - start);
}

std::vector<std::string_view> Tokens(std::string_view s,
                                     std::string_view delimiters) {
  std::vector<std::string_view> tokens;
  size_t pos = 0;
  for (std::string_view t = NextToken(s, &pos, delimiters); !t.empty();
       t = NextToken(s, &pos, delimiters)) {
    tokens.push_back(t);
  }
  return tokens;
}

// One parameter line of the source: the key ends at a blank, "=", tab or
// line feed; the value runs from after that character to the next tab or
// line feed, so it may hold blanks and "=".
struct SourceLine {
  std::string_view key;
  std::string_view value;  // empty when the line has none
};

SourceLine Split(std::string_view line) {
  SourceLine split;
  size_t pos = 0;
  split.key = NextToken(line, &pos, " =\t\n");
  if (!split.key.empty()) split.value = NextToken(line, &pos, "\t\n");
  return split;
}

void WriteKeyword(FILE* out, std::string_view keyword, std::string_view value,
                  std::string_view ending) {
  std::string text(keyword);
  text.append(" ").append(value).append(ending);
  std::fwrite(text.data(), 1, text.size(), out);
}

// Calls `handle` with every whole line of `in` that is not over-long.
template <typename Handler>
void ForEachLine(FILE* in, Handler handle) {
  std::string line;
  for (LineStatus status = ReadWholeLine(in, kGeneratorReadLimit, &line);
       status != LineStatus::kEnd;
       status = ReadWholeLine(in, kGeneratorReadLimit, &line)) {
    if (status == LineStatus::kLine) handle(line);
  }
}

// Secure mode: some line of sysini.conf (not a comment) reads
// "sys_secure_mode" and "1" as its first two tokens, split at blanks, tabs
// and line feeds only. "=" is no separator here, so "sys_secure_mode=1"
// leaves it off. Nothing when the file cannot be read.
std::optional<bool> ReadSecureMode() {
  FILE* in = std::fopen(platform::HostPath(kSysiniPath).c_str(), "r");
  if (in == nullptr) return std::nullopt;
  bool secure = false;
  ForEachLine(in, [&secure](const std::string& line) {
    if (!line.empty() && line.front() == '#') return;
    size_t pos = 0;
    const std::string_view first = NextToken(line, &pos, " \t\n");
    const std::string_view second = NextToken(line, &pos, " \t\n");
    if (first == "sys_secure_mode" && second == "1") secure = true;
  });
  std::fclose(in);
  return secure;
}

std::string Cut(std::string text, size_t max) {
  if (text.size() > max) text.resize(max);
  return text;
}

// Tokens of a user entry: name, auth protocol, auth pass phrase, privacy
// protocol, privacy pass phrase, group, (unused), state.
void WriteUser(FILE* out, std::string_view value, bool secure) {
  const auto t = Tokens(value, ", \t\n");
  if (t.size() < kUserTokens || t[7] != "enable") return;
  const std::string_view user = t[0], auth = t[1], auth_pass = t[2],
                         priv = t[3], priv_pass = t[4], group = t[5];
  std::string text;
  if (!secure) {
    text.append("createUser\t").append(user);
    if (auth_pass != "N/A") {
      text.append("\t").append(auth).append("\t\"").append(auth_pass).append(
          "\"");
    }
    if (priv_pass != "N/A") {
      text.append("\t").append(priv).append("\t\"").append(priv_pass).append(
          "\"");
    }
    text.append("\ngroup\t").append(group).append("\tusm\t").append(user);
    text.append("\n");
    // The cut text gets one more line feed: an empty line after each user.
    WriteWholeLine(out, Cut(std::move(text), kUserTextMax));
    return;
  }
  // Secure mode admits only SHA1 authentication with AES privacy; any other
  // user leaves an empty line.
  if (auth == "SHA1" && auth_pass != "N/A" && priv == "AES" &&
      priv_pass != "N/A") {
    text.append("createUser\t").append(user).append("\tSHA1\t\"");
    text.append(auth_pass).append("\"\tAES\t\"").append(priv_pass).append("\"");
  }
  WriteWholeLine(out, text);
}

// Tokens of a group entry: name, security level, read view, write view.
void WriteGroup(FILE* out, std::string_view value, bool secure,
                bool* views_written) {
  if (!*views_written) {
    std::fputs("\n#view\tVNAME\t\tTYPE\t\tOID\t\t[MASK]\n", out);
    std::fputs("view\treadView\tincluded\t.iso\n", out);
    std::fputs("view\twriteView\tincluded\t.iso\n\n", out);
    *views_written = true;
  }
  const std::string copy = Cut(std::string(value), kGroupCopyMax);
  const auto t = Tokens(copy, ", \t\n");
  // Fewer than four tokens cannot form an access rule; an access line with
  // missing views would only make the agent reject it.
  if (t.size() < kGroupTokens) return;
  const std::string_view group = t[0], level = t[1], read_view = t[2],
                         write_view = t[3];
  std::string line;
  if (!secure) {
    line.append("access\t").append(group).append("\t\"\"\tusm");
    std::string_view model;
    if (level == "noAuthNoPrivacy") model = "noauth";
    if (level == "authNoPrivacy") model = "auth";
    if (level == "authPrivacy") model = "priv";
    if (!model.empty()) line.append("\t").append(model).append("\texact");
    line.append("\t").append(read_view).append("\t").append(write_view);
    line.append("\tnone");
  } else if (level == "authPrivacy") {
    line.append("access\t").append(group).append("\t\"\"\tusm\tauth\texact\t");
    line.append(read_view).append("\t").append(write_view).append("\tnone");
  }
  WriteWholeLine(out, Cut(std::move(line), kAccessLineMax));
}

}  // namespace

int do_usr_copy_snmpd(char* src, const char* dst) {
  return GenerateFile(src, dst, [&](FILE* in, FILE* out) {
    ForEachLine(in, [out](const std::string& line) {
      // Comments, and the end-of-file marker, reach the agent file unchanged.
      if (!line.empty() && line.front() == '#') {
        WriteWholeLine(out, line);
        return;
      }
      const SourceLine s = Split(line);
      // A recognised key without a value would give the agent a keyword
      // without its argument, which it rejects; such a line is skipped.
      if (s.key.empty() || s.value.empty()) return;
      if (s.key.starts_with("snmp_ro_community")) {
        WriteKeyword(out, "rocommunity", s.value, "\n");
        WriteKeyword(out, "rocommunity6", s.value, "\n");
      } else if (s.key.starts_with("snmp_rw_community")) {
        WriteKeyword(out, "rwcommunity", s.value, "\n");
        WriteKeyword(out, "rwcommunity6", s.value, "\n");
      } else if (s.key.starts_with("snmp_contact")) {
        WriteKeyword(out, "syscontact", s.value, "\n");
      } else if (s.key.starts_with("snmp_sysName")) {
        WriteKeyword(out, "sysname", s.value, "\n");
      } else if (s.key.starts_with("snmp_location")) {
        WriteKeyword(out, "syslocation", s.value, "\n");
      }
    });
  });
}

int do_usr_copy_snmpd_v3(const char* src, const char* dst) {
  const std::optional<bool> secure = ReadSecureMode();
  if (!secure) return ENOENT;
  return GenerateFile(src, dst, [&](FILE* in, FILE* out) {
    bool engine_id = false;
    bool views_written = false;
    ForEachLine(in, [&](const std::string& line) {
      if (!line.empty() && line.front() == '#') {
        WriteWholeLine(out, line);
        return;
      }
      const SourceLine s = Split(line);
      if (s.key.empty()) return;
      const std::string_view key = s.key, value = s.value;
      if (key.starts_with("snmpv3_engine_id_type")) {
        // Type 2 takes the identifier from a later engine-ID-string line;
        // types 0 and 1 derive it from an interface's hardware address.
        if (value == "0" || value == "1") {
          WriteKeyword(out, "engineIDType", "3", "\n");
          WriteKeyword(out, "engineIDNic", value == "0" ? "eth0" : "eth1",
                       "\n\n");
        } else if (value == "2") {
          engine_id = true;
        }
        return;
      }
      if (key.starts_with("snmpv3_engine_id_string")) {
        // Written only after a type-2 line; the flag stays set for later ones.
        if (engine_id && !value.empty()) {
          WriteKeyword(out, "engineID", value, "\n\n");
        }
        return;
      }
      // The remaining rules need a value; see do_usr_copy_snmpd.
      if (value.empty()) return;
      if (key.starts_with("snmpv3_user")) {
        if (!key.starts_with("snmpv3_user_num")) WriteUser(out, value, *secure);
      } else if (key.starts_with("snmpv3_group")) {
        if (!key.starts_with("snmpv3_group_num")) {
          WriteGroup(out, value, *secure, &views_written);
        }
      } else if (key.starts_with("snmp_contact")) {
        WriteKeyword(out, "syscontact", value, "\n");
      } else if (key.starts_with("snmp_sysName")) {
        WriteKeyword(out, "sysname", value, "\n");
      } else if (key.starts_with("snmp_location")) {
        WriteKeyword(out, "syslocation", value, "\n\n");
      }
    });
  });
}

}  // namespace cms::conffiles
