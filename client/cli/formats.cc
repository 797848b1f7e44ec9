// formats.cc - shell and JSON export, and the reader for both.
#include "client/cli/formats.h"

#include <cstring>
#include <nlohmann/json.hpp>

namespace cms::cli {
namespace {

bool IsShellName(const std::string& name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (const char c : name) {
    const bool ok = c == '_' || (c >= 'a' && c <= 'z') ||
                    (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

// Single quotes keep every byte as it is; a quote itself closes the quoted
// part, comes escaped, and a new quoted part opens.
std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Reads one shell word made of 'quoted' parts and \-escaped characters,
// starting at *at; stops at a blank or a newline outside quotes.
bool ReadShellWord(const std::string& text, size_t* at, std::string* word,
                   std::string* error) {
  size_t i = *at;
  while (i < text.size() && text[i] != '\n' && text[i] != ' ' &&
         text[i] != '\t') {
    if (text[i] == '\'') {
      const size_t close = text.find('\'', i + 1);
      if (close == std::string::npos) {
        *error = "unterminated quote";
        return false;
      }
      word->append(text, i + 1, close - i - 1);
      i = close + 1;
    } else if (text[i] == '\\' && i + 1 < text.size()) {
      *word += text[i + 1];
      i += 2;
    } else if (strchr("\"$`;&|<>(){}*?[]#~", text[i]) != nullptr) {
      *error = std::string("unquoted '") + text[i] + "'";
      return false;
    } else {
      *word += text[i++];
    }
  }
  *at = i;
  return true;
}

bool ParseShell(const std::string& text, Pairs* pairs, std::string* error) {
  size_t at = 0;
  int line = 1;
  while (at < text.size()) {
    const size_t line_start = at;
    const size_t eol = text.find('\n', at);
    const size_t line_end = eol == std::string::npos ? text.size() : eol;
    // "#= name='value'" carries a name that is not a shell variable name;
    // any other '#' line is a comment.
    if (text.compare(at, 3, "#= ") == 0) {
      at += 3;
    } else if (text[at] == '#' || line_end == at) {
      at = line_end + 1;
      ++line;
      continue;
    }
    const size_t eq = text.find('=', at);
    if (eq == std::string::npos || eq > line_end) {
      *error = "line " + std::to_string(line) + ": no name=value";
      return false;
    }
    std::string name = text.substr(at, eq - at);
    std::string value;
    at = eq + 1;
    if (!ReadShellWord(text, &at, &value, error)) {
      *error = "line " + std::to_string(line) + ": " + *error;
      return false;
    }
    if (at < text.size() && text[at] != '\n') {
      *error = "line " + std::to_string(line) + ": text after the value";
      return false;
    }
    for (size_t i = line_start; i < at; ++i) line += text[i] == '\n';
    pairs->emplace_back(std::move(name), std::move(value));
    ++at;
    ++line;
  }
  return true;
}

}  // namespace

std::string ToShell(const Pairs& pairs) {
  std::string out;
  for (const auto& [name, value] : pairs) {
    if (!IsShellName(name)) out += "#= ";
    out += name + "=" + ShellQuote(value) + "\n";
  }
  return out;
}

std::string ToJson(const Pairs& pairs, int* replaced) {
  // Member by member: an object type would look each name up on insertion,
  // and the names are unique and in order already.
  std::string out = "{";
  *replaced = 0;
  for (size_t i = 0; i < pairs.size(); ++i) {
    const auto& [name, value] = pairs[i];
    const nlohmann::json text(value);
    std::string quoted;
    try {
      quoted = text.dump();
    } catch (const nlohmann::json::type_error&) {
      ++*replaced;
      quoted =
          text.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    out += (i == 0 ? "\n  " : ",\n  ") +
           nlohmann::json(name).dump(-1, ' ', false,
                                     nlohmann::json::error_handler_t::replace) +
           ": " + quoted;
  }
  return out + (pairs.empty() ? "}\n" : "\n}\n");
}

bool ParseExport(const std::string& text, Pairs* pairs, std::string* error) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || text[first] != '{') {
    return ParseShell(text, pairs, error);
  }
  try {
    const nlohmann::json object = nlohmann::json::parse(text);
    for (const auto& [name, value] : object.items()) {
      if (!value.is_string()) {
        *error = "\"" + name + "\": the value is not a string";
        return false;
      }
      pairs->emplace_back(name, value.get<std::string>());
    }
  } catch (const nlohmann::json::exception& e) {
    *error = e.what();
    return false;
  }
  return true;
}

}  // namespace cms::cli
