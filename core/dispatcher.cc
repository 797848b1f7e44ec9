// dispatcher.cc - one request frame in, one response frame out.
#include "core/dispatcher.h"

#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/cmd_queue.h"
#include "core/history_answers.h"
#include "core/write_counter.h"
#include "files/safe_file.h"
#include "platform/log.h"
#include "platform/root.h"
#include "store/history.h"
#include "store/operations.h"
#include "store/param_list.h"
#include "store/write_back.h"

namespace cms::core {
namespace {

constexpr char kModule[] = "CMSMain";

// A request field as a terminated text. A field that runs to the end of its
// area without a zero is read as if it ended there.
template <size_t N>
struct FieldText {
  explicit FieldText(const char (&area)[N]) {
    const size_t len = strnlen(area, N);
    memcpy(text, area, len);
    text[len] = '\0';
  }
  char text[N + 1];
};

// One text of a list in the value area, starting at `pos`: up to its zero or
// the end of the area. A text that would start beyond the area is empty.
struct ListText {
  ListText(const char (&area)[CMS_VALUE_SIZE], size_t pos) {
    length =
        pos < CMS_VALUE_SIZE ? strnlen(area + pos, CMS_VALUE_SIZE - pos) : 0;
    if (length > 0) memcpy(text, area + pos, length);
    text[length] = '\0';
  }
  size_t length;
  char text[CMS_VALUE_SIZE + 1];
};

void SetStatus(CMSPacket* response, int ok) {
  response->status = ok != 0 ? CMS_STATUS_OK : CMS_STATUS_FAIL;
}

// Commands 1, 3 and 34: the value text, or status 7.
void AnswerText(CMSPacket* response, const char* text) {
  if (text == nullptr) {
    SetStatus(response, 0);
    return;
  }
  strncpy(response->value, text, store::kMaxValueLength);
  SetStatus(response, 1);
}

// Operations that change a parameter count towards the next write-back.
void AnswerChange(CMSPacket* response, int result) {
  SetStatus(response, result);
  if (result != 0) CountChange();
}

// Position of the first record whose name sorts after `name` (or equal to
// it, when `inclusive`). The list is sorted whenever a request runs.
int FirstFrom(const char* name, bool inclusive) {
  int lo = 0;
  int hi = store::CheckListLength();
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const auto* record = static_cast<const store::ParamRecord*>(
        support::list_get_at(&store::ParamList, mid));
    const int c = strcmp(record->name, name);
    if (c < 0 || (c == 0 && !inclusive)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// One page of name/value entries after the cursor in `name`, for names that
// begin with the prefix in `value`. A page holds whole entries; only an
// entry too big for a page of its own goes out cut, flagged so.
void List(const char* cursor, const char* prefix, const char* side,
          CMSPacket* response) {
  const bool isp = strcmp(side, "isp") == 0;
  const size_t prefix_len = strlen(prefix);
  int i = std::max(FirstFrom(prefix, true), FirstFrom(cursor, false));
  const int count = store::CheckListLength();
  size_t out = 0;
  const char* last = nullptr;
  for (; i < count; ++i) {
    const auto* record = static_cast<const store::ParamRecord*>(
        support::list_get_at(&store::ParamList, i));
    if (strncmp(record->name, prefix, prefix_len) != 0) break;
    const char* text = isp ? record->ispValue : record->userValue;
    if (text == nullptr || strcmp(text, store::kEmptyValueMarker) == 0) {
      text = "";
    }
    const size_t name_len = strlen(record->name);
    size_t text_len = strlen(text);
    int flags = CMS_LIST_ENTRY;
    if (record->userLocation != -1) flags |= CMS_LIST_USER_FILE;
    if (record->ispLocation != -1) flags |= CMS_LIST_ISP_FILE;
    // Flags byte, name, zero, value, zero, and room for the end mark.
    const size_t room = CMS_VALUE_SIZE - out;
    if (name_len + text_len + 3 >= room) {
      if (out > 0) break;
      text_len = room - name_len - 4;
      flags |= CMS_LIST_CUT;
    }
    response->value[out] = static_cast<char>(flags);
    memcpy(response->value + out + 1, record->name, name_len);
    memcpy(response->value + out + name_len + 2, text, text_len);
    out += name_len + text_len + 3;
    last = record->name;
  }
  // More to come: the cursor is the last name of this page.
  if (i < count && last != nullptr) {
    const auto* next = static_cast<const store::ParamRecord*>(
        support::list_get_at(&store::ParamList, i));
    if (strncmp(next->name, prefix, prefix_len) == 0) {
      memcpy(response->name, last, strnlen(last, sizeof response->name - 1));
    }
  }
  response->status = CMS_STATUS_OK;
}

void GetMulti(const CMSPacket* request, CMSPacket* response) {
  memset(response->value, 0, sizeof response->value);
  size_t in = 0;
  size_t out = 0;
  while (in < CMS_VALUE_SIZE && request->value[in] != '\0') {
    const ListText name(request->value, in);
    in += name.length + 1;
    const char* found = store::GetParamValue(name.text, store::kModeGetUser);
    const char* entry = found != nullptr ? found : "(null)";
    const size_t len = strlen(entry);
    // An entry that does not fit is left out; a later, shorter one may fit.
    if (len + out + 1 < CMS_VALUE_SIZE) {
      memcpy(response->value + out, entry, len);
      out += len + 1;
    }
    response->status = CMS_STATUS_OK;
  }
}

void SetMulti(const CMSPacket* request, CMSPacket* response) {
  size_t in = 0;
  while (in < CMS_VALUE_SIZE && request->value[in] != '\0') {
    const ListText name(request->value, in);
    const size_t v = in + name.length + 1;
    const ListText value(request->value, v);
    if (store::SetParamValue(name.text, value.text, store::kModeSetUser) == 0) {
      // Pairs set before this one stay set and counted.
      response->status = CMS_STATUS_FAIL;
      return;
    }
    response->status = CMS_STATUS_OK;
    CountChange();
    in = v + value.length + 1;
  }
}

// The dump waiting for the lock to be released, one per request thread.
// Written under the lock, a slow or blocking target (a FIFO nobody reads)
// would stall every request; so it is built under the lock and written by
// RunDeferredWork after it.
struct PendingDump {
  bool due = false;
  std::string path;
  std::string content;
  CMSPacket* response = nullptr;
};
thread_local PendingDump t_dump;

// The dump may only create or replace a regular file under /tmp. Refused:
// a relative path, "..", a place outside /tmp (also through a linked
// directory), and a target that is a link or not a regular file: opening
// any path given for writing would let any local client truncate any file
// the daemon can write.
bool DumpTargetAllowed(const char* path) {
  const std::string_view device(path);
  if (device.substr(0, 5) != "/tmp/" || device.size() == 5 ||
      device.back() == '/' || device.find("..") != std::string_view::npos) {
    return false;
  }
  const std::string host = platform::HostPath(device);
  const std::string parent = host.substr(0, host.rfind('/'));
  char real_parent[PATH_MAX];
  char real_tmp[PATH_MAX];
  if (realpath(parent.c_str(), real_parent) == nullptr ||
      realpath(platform::HostPath("/tmp").c_str(), real_tmp) == nullptr) {
    return false;
  }
  const std::string tmp_dir = std::string(real_tmp) + "/";
  if (std::string(real_parent) + "/" != tmp_dir &&
      strncmp(real_parent, tmp_dir.c_str(), tmp_dir.size()) != 0) {
    return false;
  }
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode);
}

// Every parameter's user-side value as name='value' lines. A quote inside a
// value is written as '\'' rather than as it is, so that a shell sourcing
// the file reads the value back and runs nothing of it.
void Dump(const char* path, CMSPacket* response) {
  if (!DumpTargetAllowed(path)) {
    response->status = CMS_STATUS_FAIL;
    return;
  }
  t_dump.content.clear();
  for (int i = 0; i < store::CheckListLength(); ++i) {
    const auto* record = static_cast<const store::ParamRecord*>(
        support::list_get_at(&store::ParamList, i));
    const char* text = record->userValue;
    if (text == nullptr || strcmp(text, store::kEmptyValueMarker) == 0) {
      text = "";
    }
    std::string& out = t_dump.content;
    out.append(record->name).append("='");
    for (const char* c = text; *c != '\0'; ++c) {
      if (*c == '\'') {
        out.append("'\\''");
      } else {
        out.push_back(*c);
      }
    }
    out.append("'\n");
  }
  t_dump.path = path;
  t_dump.response = response;
  t_dump.due = true;
  response->status = CMS_STATUS_OK;
}

}  // namespace

void handleCMSreq(const CMSPacket* request, CMSPacket* response) {
  // A dump its caller never wrote is dropped with the next request.
  t_dump.due = false;
  const FieldText name(request->name);
  const FieldText value(request->value);
  const FieldText location(request->location);
  const int cmd = request->cmd;
  const store::history::RequestScope origin(request->pid);

  switch (cmd) {
    case CMS_CMD_LIST:
      CMS_DBG(LOG_DEBUG, kModule, "list after [%s]\n", name.text);
      response->pid = request->pid;
      List(name.text, value.text, location.text, response);
      break;
    case CMS_CMD_GET_USER:
    case CMS_CMD_GET_ISP:
      CMS_DBG(LOG_DEBUG, kModule, "get value [%s]\n", name.text);
      response->pid = request->pid;
      AnswerText(response, store::GetParamValue(name.text, cmd));
      break;
    case CMS_CMD_SET_USER:
    case CMS_CMD_SET_ISP:
    case CMS_CMD_SET_BOTH:
      CMS_DBG(LOG_DEBUG, kModule, "set value [%s]=[%s]\n", name.text, value.text);
      response->pid = request->pid;
      AnswerChange(response, store::SetParamValue(name.text, value.text, cmd));
      break;
    case CMS_CMD_DELETE_USER:
    case CMS_CMD_DELETE_ISP:
    case CMS_CMD_DELETE_BOTH:
      response->pid = request->pid;
      AnswerChange(response, store::DeleteParam(name.text, cmd));
      break;
    case CMS_CMD_ADD_USER:
    case CMS_CMD_ADD_ISP:
    case CMS_CMD_ADD_REFUSED:
      response->pid = request->pid;
      AnswerChange(response,
                   store::AddParam(name.text, location.text, value.text, cmd));
      break;
    case CMS_CMD_WRITE_NOW:
      // Answered with an all-zero frame; the tick's counters stay as they
      // are.
      CMS_DBG(LOG_DEBUG, kModule, "write parameters to file now\n");
      store::writeParamToFile();
      break;
    case CMS_CMD_REPLACE_USER:
    case CMS_CMD_REPLACE_ISP:
    case CMS_CMD_REPLACE_BOTH:
      // Replace writes its line at once, so nothing is left for the tick.
      response->pid = request->pid;
      SetStatus(response, store::ReplaceParamValue(name.text, value.text, cmd));
      break;
    case CMS_CMD_PUSH:
      CMS_DBG(LOG_DEBUG, kModule, "push cmd value\n");
      response->pid = request->pid;
      SetStatus(response, PushCmdValue(name.text, value.text));
      break;
    case CMS_CMD_POP:
      CMS_DBG(LOG_DEBUG, kModule, "pop cmd value\n");
      response->pid = request->pid;
      AnswerText(response, PopCmdValue(name.text));
      break;
    case CMS_CMD_SET_MULTI:
      CMS_DBG(LOG_DEBUG, kModule, "set multi-value\n");
      response->pid = request->pid;
      SetMulti(request, response);
      break;
    case CMS_CMD_GET_MULTI:
      CMS_DBG(LOG_DEBUG, kModule, "get multi-value\n");
      response->pid = request->pid;
      GetMulti(request, response);
      break;
    case CMS_CMD_DUMP:
      CMS_DBG(LOG_DEBUG, kModule, "Dump value [%s]\n", value.text);
      response->pid = request->pid;
      Dump(value.text, response);
      break;
    case CMS_CMD_HISTORY:
      response->pid = request->pid;
      AnswerHistory(value.text, response);
      break;
    case CMS_CMD_STATS:
      response->pid = request->pid;
      AnswerStats(value.text, response);
      break;
    default:
      break;
  }
}

void RunDeferredWork() {
  if (!t_dump.due) return;
  t_dump.due = false;
  // The file is replaced, never opened: a link planted at the path after
  // the check is replaced rather than written through.
  const int err = files::WriteFileAtomic(t_dump.path.c_str(), t_dump.content,
                                         0644, files::FollowLink::kNo);
  if (err != 0) {
    CMS_DBG(LOG_ERR, kModule, "Dump to %s failed: %s\n", t_dump.path.c_str(),
            strerror(err));
    t_dump.response->status = CMS_STATUS_FAIL;
  }
  t_dump.content.clear();
  t_dump.content.shrink_to_fit();
}

}  // namespace cms::core
