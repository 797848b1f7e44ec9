// shell.h - the one runner of shell commands (system/popen on the device).
//
// Commands are built from the device's fixed format texts, whose only
// directive is %s. Two texts come out: the device text (what the router runs,
// shown in traces and cut to the device's buffer sizes) and the host text
// (the same command with the sandbox root in front of its absolute paths).
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

namespace cms::platform {

struct Command {
  std::string device;  // the device's own text
  std::string host;    // what this host runs
};

// Fills each %s of `format` with the next argument (a missing argument is
// empty). An argument made only of letters, digits and ". _ : / @ % + , = -"
// goes in as it is; any other is quoted so that the shell reads it as one
// literal word in its context (outside quotes, inside "..." or inside '...').
// Absolute paths of the format text get the root in front in the host text,
// except "/dev/null" and the program path given to "-l" (a login program
// that another program starts, not a file this host opens).
// The device text is cut to at most `max_len` characters, the way the
// device's fixed command buffers cut it; the host text follows the cut.
Command FormatCommand(std::string_view format,
                      std::initializer_list<std::string_view> args = {},
                      size_t max_len = std::string::npos);

// system(): waits for the shell; returns its status (callers ignore it).
int RunCommand(const Command& command);
// Convenience for a fixed text without arguments.
int RunCommand(std::string_view fixed_text);

// popen(…, "r") of the host text; null when the shell cannot be started.
FILE* OpenCommand(const Command& command);
int CloseCommand(FILE* pipe);

}  // namespace cms::platform
