// frame_checks.h - what every response frame must look like, and the one
// change a fuzz target makes to a request before it is served.
#pragma once

#include <cstring>
#include <string_view>

#include "client/cms_client.h"
#include "core/dispatcher.h"

namespace cms::fuzzing {

// The dump writes wherever its client says; here that must stay inside the
// fuzz root, which a path climbing out with ".." would leave.
inline void KeepDumpInRoot(CMSPacket* request) {
  if (request->cmd != CMS_CMD_DUMP) return;
  const std::string_view path(request->value,
                              strnlen(request->value, sizeof request->value));
  if (path.find("..") != std::string_view::npos) {
    memset(request->value, 0, sizeof request->value);
    strcpy(request->value, "/tmp/dump.txt");
  }
}

inline bool AllZero(const void* area, size_t size) {
  const auto* p = static_cast<const unsigned char*>(area);
  for (size_t i = 0; i < size; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

// What any response may hold: a known status, the request's pid or 0, a
// value area whose last byte is 0, a terminated name where the command
// answers one, and zeros everywhere else.
inline void CheckResponse(const CMSPacket& request, const CMSPacket& response) {
  if (response.status != 0 && response.status != CMS_STATUS_OK &&
      response.status != CMS_STATUS_FAIL) {
    __builtin_trap();
  }
  if (response.pid != 0 && response.pid != request.pid) __builtin_trap();
  // Listing, history and statistics answer a cursor or a count in `name`.
  const bool name_used = request.cmd == CMS_CMD_LIST ||
                         request.cmd == CMS_CMD_HISTORY ||
                         request.cmd == CMS_CMD_STATS;
  if (name_used ? response.name[CMS_NAME_SIZE - 1] != '\0'
                : !AllZero(response.name, sizeof response.name)) {
    __builtin_trap();
  }
  if (response.reserved != 0 ||
      !AllZero(response.location, sizeof response.location) ||
      !AllZero(response.reserved_tail, sizeof response.reserved_tail) ||
      response.value[CMS_VALUE_SIZE - 1] != '\0') {
    __builtin_trap();
  }
  if (request.cmd == CMS_CMD_WRITE_NOW &&
      !AllZero(&response, sizeof response)) {
    __builtin_trap();
  }
}

}  // namespace cms::fuzzing
