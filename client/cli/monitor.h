// monitor.h - cms monitor: message-center events as they are sent, by name.
#pragma once

#include <string>

namespace cms::cli {

// "TIME NAME (ID)[ delay D ms][ arg A]" for one datagram of the message
// center's text form; a text of another form comes back as it is.
std::string DescribeEvent(const std::string& datagram, const std::string& time);

// Prints each event until SIGINT or SIGTERM. The first monitor of a root
// binds the message center's socket and hands every datagram on to the
// others, which listen beside it; when it ends, another takes its place.
// 0 when interrupted, 2 when no socket could be had.
int RunMonitor(const std::string& root);

}  // namespace cms::cli
