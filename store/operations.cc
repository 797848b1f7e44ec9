// operations.cc - get, set, add, delete and replace of parameters by side:
// the one place where records and their dirty marks change at run time.
#include "store/operations.h"

#include <syslog.h>

#include <cstring>
#include <string>

#include "files/field_file.h"
#include "platform/log.h"
#include "store/change_hooks.h"
#include "store/file_tables.h"
#include "store/history.h"
#include "store/param_list.h"
#include "store/record_side.h"

namespace cms::store {
namespace {

using files::efree;
using files::emalloc;
using history::Op;

constexpr char kModule[] = "CMSBackEnd";

ChangeHooks g_hooks;

// A name must be usable as the key of a name=value line: not empty, without
// blanks, tabs, "=" or line ends, not starting with "#" (its line would be
// read back as a comment), and short enough to be stored whole (a cut name
// could never be found again by the name the caller uses, and a second set
// would add a second record under the same stored name).
bool ValidName(const char* name) {
  return name != nullptr && name[0] != '\0' && name[0] != '#' &&
         strlen(name) <= kMaxNameLength && strpbrk(name, " \t=\n\r") == nullptr;
}

// A line end inside a value would inject further lines into its file.
// The value must also fit its file line whole ("name=value" and the line
// feed in the loader's 799 characters). Refused rather than cut: a value
// the file line cannot hold whole would come back shorter after a restart
// than the client was told is stored.
bool ValidValue(const char* name, const char* value) {
  return value != nullptr && strpbrk(value, "\n\r") == nullptr &&
         strlen(name) + strlen(value) + 2 <= kMaxValueLength;
}

// A heap copy owned by a record, or null when memory ran out.
char* CopyText(const char* text) {
  const size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(emalloc(size));
  if (copy != nullptr) memcpy(copy, text, size);
  return copy;
}

history::Side Of(const RecordSide& side) {
  return side.table == kUserTable ? history::Side::kUser : history::Side::kIsp;
}

void MarkDirty(const ParamRecord& r, const RecordSide& side) {
  FileTable(side.table)[r.*side.location].dirty = 1;
}

// Swaps in a new value text. Memory is taken before anything changes, so a
// failed allocation leaves the record as it was.
bool StoreValue(ParamRecord* r, const RecordSide& side, const char* value,
                Op op) {
  char* copy = CopyText(value);
  if (copy == nullptr) return false;
  history::Note(op, r->name, Of(side), r->*side.value, copy);
  efree(r->*side.value);
  r->*side.value = copy;
  return true;
}

void NoteBoth(Op op, const ParamRecord& r, const char* value) {
  history::Note(op, r.name, history::Side::kUser, r.userValue, value);
  history::Note(op, r.name, history::Side::kIsp, r.ispValue, value);
}

// Both sides at once, or neither.
bool StoreBoth(ParamRecord* r, const char* value, Op op) {
  char* user = CopyText(value);
  char* isp = CopyText(value);
  if (user == nullptr || isp == nullptr) {
    efree(user);
    efree(isp);
    return false;
  }
  NoteBoth(op, *r, value);
  efree(r->userValue);
  efree(r->ispValue);
  r->userValue = user;
  r->ispValue = isp;
  return true;
}

// Set or replace on one side: refused without a file on that side, or when
// the value is already stored.
bool ChangeSide(ParamRecord* r, const RecordSide& side, const char* value,
                Op op) {
  if (r->*side.location == -1) return false;
  const char* old = r->*side.value;
  if (old != nullptr && strcmp(old, value) == 0) return false;
  return StoreValue(r, side, value, op);
}

void ClearSide(ParamRecord* r, const RecordSide& side) {
  history::Note(Op::kDelete, r->name, Of(side), r->*side.value, nullptr);
  efree(r->*side.value);
  r->*side.value = nullptr;
  MarkDirty(*r, side);
  r->*side.location = -1;
  r->*side.changed = 1;
}

// The phase-0 callback: 0 refuses, anything else goes on and becomes the
// result. The callback may change the list, so the record is looked up
// again afterwards; null when it is gone (the operation then fails).
ParamRecord* AskCallback(const char* name, ParamRecord* r, const char* value,
                         int* result) {
  *result = 1;
  if (r->callback == nullptr) return r;
  *result = r->callback(r, value, kPhaseBefore);
  if (*result == 0) return nullptr;
  return seekElement(name);
}

// The start that set and replace share: a name not in the list is added as
// a temporary user-side parameter; otherwise the phase-0 callback is asked.
// The record to change, or null when the request ends here with *result.
ParamRecord* FindForChange(const char* name, const char* text, int* result) {
  ParamRecord* r = seekElement(name);
  if (r == nullptr) {
    *result = AddParam(name, kTempUserFile, text, kModeAddTemp);
    return nullptr;
  }
  r = AskCallback(name, r, text, result);
  if (r == nullptr) *result = 0;
  return r;
}

// The table entry of the file `file_name` names on a side, or -1. The name
// must give the path of a file already in the table: a partial name would
// otherwise take a table entry for a file that does not exist, whose
// parameters could never be written.
int KnownFile(const RecordSide& side, const char* file_name) {
  if (file_name == nullptr) return -1;
  const std::string path = std::string(side.dir) + file_name;
  const ConfigLocation* table = FileTable(side.table);
  for (int i = 0; i < kFileTableSize; ++i) {
    if (path == table[i].path) return i;
  }
  return -1;
}

using files::FieldWrite;

// Writes a replaced value straight into the side's file.
FieldWrite WriteReplaced(const ParamRecord& r, const RecordSide& side,
                         const char* name, std::string& text) {
  return files::SetConfField(FileTable(side.table)[r.*side.location].path,
                                 name, text.data());
}

// A replace whose line could not be written (too long for the field
// buffer, a full or read-only file system) is refused and changes nothing:
// answered as done, its value would be gone at the next restart.
bool Usable(FieldWrite written) {
  return written != FieldWrite::kTooLong && written != FieldWrite::kFailed;
}

// A file without a line for the name (an added parameter not yet written,
// the in-memory file) gets the value through the write-back instead.
void KeepForWriteBack(ParamRecord* r, const RecordSide& side,
                      FieldWrite written) {
  if ((written != FieldWrite::kAbsent && written != FieldWrite::kNoLine) ||
      strcmp(FileTable(side.table)[r->*side.location].path, kTempUserFile) ==
          0) {
    return;
  }
  r->*side.changed = 1;
  MarkDirty(*r, side);
}

}  // namespace

void SetChangeHooks(const ChangeHooks& hooks) { g_hooks = hooks; }

char* GetParamValue(const char* name, int mode) {
  static char result[kValueSize];
  memset(result, 0, sizeof result);
  if (name == nullptr) return nullptr;
  const ParamRecord* r = seekElement(name);
  if (r == nullptr) return nullptr;
  const char* value;
  if (mode == kModeGetUser) {
    value = r->userValue;
  } else if (mode == kModeGetIsp) {
    value = r->ispValue;
  } else {
    return nullptr;
  }
  if (value == nullptr || strcmp(value, kEmptyValueMarker) == 0) return nullptr;
  strncpy(result, value, kMaxValueLength);
  return result;
}

int SetParamValue(const char* name, const char* value, int mode) {
  if (!ValidName(name) || !ValidValue(name, value)) return 0;
  // Own copy: the caller may pass GetParamValue's buffer, which a callback
  // could overwrite.
  const std::string text = value[0] == '\0' ? kEmptyValueMarker : value;
  int result = 0;
  ParamRecord* r = FindForChange(name, text.c_str(), &result);
  if (r == nullptr) return result;
  switch (mode) {
    case kModeSetUser:
    case kModeSetIsp: {
      const RecordSide& side = mode == kModeSetUser ? kUserSide : kIspSide;
      if (!ChangeSide(r, side, text.c_str(), Op::kSet)) return 0;
      r->*side.changed = 1;
      MarkDirty(*r, side);
      break;
    }
    case kModeSetBoth:
      if (r->userLocation == -1 || r->ispLocation == -1) return 0;
      if (!StoreBoth(r, text.c_str(), Op::kSet)) return 0;
      r->userChanged = 1;
      r->ispChanged = 1;
      MarkDirty(*r, kUserSide);
      MarkDirty(*r, kIspSide);
      break;
    default:
      return 0;
  }
  if (strstr(name, "dhcphost_num") != nullptr) {
    DealWithHostNumberEvent("dhcphost_num");
  }
  if (strstr(name, "pw_num") != nullptr) DealWithHostNumberEvent("pw_num");
  return result;
}

void DealWithHostNumberEvent(const char* name) {
  if (name == nullptr) return;
  const bool dhcp = strcmp(name, "dhcphost_num") == 0;
  if (!dhcp && strcmp(name, "pw_num") != 0) return;
  CMS_DBG(LOG_INFO, kModule, "deal with %s", name);
  const ParamRecord* r = seekElement(name);
  if (r == nullptr || r->userValue == nullptr ||
      strcmp(r->userValue, "0") != 0) {
    return;
  }
  if (dhcp) {
    CMS_DBG(LOG_INFO, kModule, "Call dhcp deletion callback");
    if (g_hooks.dhcp_hosts_cleared != nullptr) g_hooks.dhcp_hosts_cleared();
  } else {
    CMS_DBG(LOG_INFO, kModule, "Call port forward deletion callback");
    if (g_hooks.port_forwards_cleared != nullptr) {
      g_hooks.port_forwards_cleared();
    }
  }
}

int AddParam(const char* name, const char* file_name, const char* value,
             int mode) {
  if (!ValidName(name) || !ValidValue(name, value)) return 0;
  ParamRecord* r = seekElement(name);
  const RecordSide* side = nullptr;
  int index = -1;
  switch (mode) {
    case kModeAddUser:
      side = &kUserSide;
      index = KnownFile(kUserSide, file_name);
      break;
    case kModeAddIsp:
      side = &kIspSide;
      index = KnownFile(kIspSide, file_name);
      break;
    case kModeAddTemp:
      side = &kUserSide;
      index = LocationAdd(kTempUserFile, kUserTable);
      break;
    default:
      return 0;
  }
  // No entry (unknown file, or a full table for XCFGtemp.conf): refused,
  // since a value without a file could never be written back.
  if (index < 0) return 0;
  // A name lives in one file per side. Adding it to another file would
  // leave its old line behind, which a restart could read instead; it is
  // refused (delete it first to move it). Leaving the in-memory file is
  // allowed: that file has no lines.
  if (r != nullptr && r->*side->location != -1 &&
      r->*side->location != index &&
      strcmp(FileTable(side->table)[r->*side->location].path, kTempUserFile) !=
          0) {
    return 0;
  }
  if (r != nullptr) {
    if (!StoreValue(r, *side, value, Op::kAdd)) return 0;
    r->*side->location = index;
    r->*side->changed = 1;
  } else {
    ParamRecord record = {};
    strncpy(record.name, name, kMaxNameLength);
    record.userLocation = -1;
    record.ispLocation = -1;
    record.*side->location = index;
    record.*side->changed = 1;
    char* copy = CopyText(value);
    if (copy == nullptr) return 0;
    record.*side->value = copy;
    if (insertElement(&record) < 0) {
      efree(copy);
      return 0;
    }
    history::Note(Op::kAdd, name, Of(*side), nullptr, copy);
  }
  FileTable(side->table)[index].dirty = 1;
  // A new record starts without a callback; registration by name gives it
  // the one its name is bound to. Only a new name can change a binding, so
  // only it is registered (replaying every name made each add slower).
  if (r == nullptr && g_hooks.param_added != nullptr) g_hooks.param_added(name);
  return 1;
}

int DeleteParam(const char* name, int mode) {
  if (name == nullptr || strcmp(name, "hostname") == 0) return 0;
  ParamRecord* r = seekElement(name);
  if (r == nullptr) return 0;
  switch (mode) {
    case kModeDeleteUser:
    case kModeDeleteIsp: {
      const RecordSide& side = mode == kModeDeleteUser ? kUserSide : kIspSide;
      const RecordSide& other = mode == kModeDeleteUser ? kIspSide : kUserSide;
      if (r->*side.location == -1) return 0;
      ClearSide(r, side);
      if (r->*other.location != -1) return 1;
      return DeleteFromList(r);
    }
    case kModeDeleteBoth:
      if (r->userLocation == -1 || r->ispLocation == -1) return 0;
      ClearSide(r, kUserSide);
      ClearSide(r, kIspSide);
      return DeleteFromList(r);
    default:
      return 0;
  }
}

int ReplaceParamValue(const char* name, const char* value, int mode) {
  if (!ValidName(name) || !ValidValue(name, value)) return 0;
  // set_conf_field_string takes a writable text; it is also our own copy.
  std::string text = value[0] == '\0' ? kEmptyValueMarker : value;
  int result = 0;
  ParamRecord* r = FindForChange(name, text.c_str(), &result);
  if (r == nullptr) return result;
  switch (mode) {
    case kModeReplaceUser:
    case kModeReplaceIsp: {
      const RecordSide& side = mode == kModeReplaceUser ? kUserSide : kIspSide;
      if (r->*side.location == -1) return 0;
      const char* old = r->*side.value;
      if (old != nullptr && strcmp(old, text.c_str()) == 0) return 0;
      CMS_DBG(LOG_INFO, kModule, "replace peuser v %s", text.c_str());
      char* copy = CopyText(text.c_str());
      if (copy == nullptr) return 0;
      const FieldWrite written = WriteReplaced(*r, side, name, text);
      if (!Usable(written)) {
        efree(copy);
        return 0;
      }
      history::Note(Op::kReplace, r->name, Of(side), r->*side.value, copy);
      efree(r->*side.value);
      r->*side.value = copy;
      KeepForWriteBack(r, side, written);
      break;
    }
    case kModeReplaceBoth: {
      if (r->userLocation == -1 || r->ispLocation == -1) return 0;
      char* user = CopyText(text.c_str());
      char* isp = CopyText(text.c_str());
      const std::string old_isp = r->ispValue != nullptr ? r->ispValue : "";
      FieldWrite isp_written = FieldWrite::kFailed;
      FieldWrite user_written = FieldWrite::kFailed;
      const bool ok =
          user != nullptr && isp != nullptr &&
          Usable(isp_written = WriteReplaced(*r, kIspSide, name, text)) &&
          Usable(user_written = WriteReplaced(*r, kUserSide, name, text));
      if (!ok) {
        // Both files or neither: the ISP line written first is put back.
        if (isp_written == FieldWrite::kWritten && !old_isp.empty()) {
          std::string back = old_isp;
          WriteReplaced(*r, kIspSide, name, back);
        }
        efree(user);
        efree(isp);
        return 0;
      }
      NoteBoth(Op::kReplace, *r, user);
      efree(r->userValue);
      efree(r->ispValue);
      r->userValue = user;
      r->ispValue = isp;
      KeepForWriteBack(r, kIspSide, isp_written);
      KeepForWriteBack(r, kUserSide, user_written);
      break;
    }
    default:
      return 0;
  }
  return result;
}

}  // namespace cms::store
