// loader.cc - turns the name=value lines of the configuration tree into
// parameter records at start-up.
#include "store/loader.h"

#include <ftw.h>
#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "files/field_file.h"
#include "files/line_reader.h"
#include "platform/log.h"
#include "platform/root.h"
#include "store/conf_line.h"
#include "store/file_tables.h"
#include "store/param_list.h"

namespace cms::store {
namespace {

using files::efree;
using files::emalloc;

constexpr char kModule[] = "CMSBackEnd";
constexpr char kAppDir[] = "/app/";
// Directories the walk may hold open at once.
constexpr int kMaxOpenDirs = 500;
constexpr char kLineEnd[] = "\n\r";

// New names met while initParamFile walks the tree. Sorting the list after
// every new name, as a plain insertion would, costs a full sort per name;
// instead they wait here, found by hash, and join the list in name order
// at the end. Every lookup of the load still sees each name it has met.
class PendingNames {
 public:
  // The pending record of that name, or null. Valid until the next Add.
  ParamRecord* Find(const char* name, uint32_t hash) {
    if (slots_.empty()) return nullptr;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.index == kEmptySlot) return nullptr;
      ParamRecord& r = records_[slot.index];
      if (slot.hash == hash && strcmp(r.name, name) == 0) return &r;
    }
  }

  void Add(const ParamRecord& record, uint32_t hash) {
    if ((records_.size() + 1) * 2 > slots_.size()) Grow();
    records_.push_back(record);
    Place({hash, static_cast<uint32_t>(records_.size() - 1)});
  }

  static uint32_t Hash(const char* name) {
    // FNV-1a: names are short, and this keeps the table free of any
    // allocation per name.
    uint32_t h = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
         *p != '\0'; ++p) {
      h = (h ^ *p) * 16777619u;
    }
    return h;
  }

  // Hands every pending record to the list in ascending name order, so that
  // the list's own sort finds its work done and its records lie in memory
  // in the order it walks them. The list takes over the value texts.
  void MoveToList() {
    // Most names fit in the key, so most comparisons stay in this array.
    struct Key {
      char prefix[32];
      uint32_t index;
    };
    std::vector<Key> keys(records_.size());
    for (uint32_t i = 0; i < keys.size(); ++i) {
      // Names are NUL-padded to their full size (LoadLine builds them so),
      // so the prefix compares as the names do.
      memcpy(keys[i].prefix, records_[i].name, sizeof keys[i].prefix);
      keys[i].index = i;
    }
    std::sort(keys.begin(), keys.end(), [this](const Key& a, const Key& b) {
      const int c = memcmp(a.prefix, b.prefix, sizeof a.prefix);
      if (c != 0) return c < 0;
      return strcmp(records_[a.index].name + sizeof a.prefix,
                    records_[b.index].name + sizeof b.prefix) < 0;
    });
    for (const Key& key : keys) {
      const ParamRecord& record = records_[key.index];
      if (addElement(&record) < 0) {
        efree(record.userValue);
        efree(record.ispValue);
      }
    }
    records_.clear();
  }

 private:
  static constexpr uint32_t kEmptySlot = UINT32_MAX;
  struct Slot {
    uint32_t hash;
    uint32_t index;  // into records_, kEmptySlot when free
  };

  void Place(const Slot& slot) {
    size_t i = slot.hash & mask_;
    while (slots_[i].index != kEmptySlot) i = (i + 1) & mask_;
    slots_[i] = slot;
  }

  void Grow() {
    std::vector<Slot> old(std::max<size_t>(slots_.size() * 2, 1024),
                          Slot{0, kEmptySlot});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.index != kEmptySlot) Place(slot);
    }
  }

  std::vector<ParamRecord> records_;  // walk order
  std::vector<Slot> slots_;           // open addressing, power-of-two size
  size_t mask_ = 0;
};
PendingNames* g_pending = nullptr;  // set only during initParamFile

ParamRecord* Lookup(const char* name) {
  if (ParamRecord* r = seekElement(name)) return r;
  if (g_pending == nullptr) return nullptr;
  return g_pending->Find(name, PendingNames::Hash(name));
}

// Takes ownership of the record's value texts; on failure they are
// released.
void Insert(const ParamRecord& record) {
  if (g_pending != nullptr) {
    g_pending->Add(record, PendingNames::Hash(record.name));
    return;
  }
  if (addElement(&record) < 0) {
    efree(record.userValue);
    efree(record.ispValue);
    return;
  }
  sortParamList();
}

char* CopyValue(const char* value, size_t length) {
  char* copy = static_cast<char*>(emalloc(length + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, value, length);
  copy[length] = '\0';
  return copy;
}

// One parameter line of a side-S file with table index `location`.
void LoadLine(const char* line, const ConfLine& parsed, int side,
              int location, ParamRecord* tmpl) {
  const char* name = line + parsed.name_start;
  const size_t name_length = parsed.name_length;
  // The value follows the one separator after the name; line ends right
  // after it are passed over, and the value stops at the next one.
  const char* value = "";
  size_t value_length = 0;
  if (name[name_length] != '\0') {
    value = name + name_length + 1;
    value += strspn(value, kLineEnd);
    value_length = strcspn(value, kLineEnd);
  }
  if (value_length == 0) {
    value = kEmptyValueMarker;
    value_length = strlen(kEmptyValueMarker);
  }
  char key[kNameSize] = {};
  memcpy(key, name, name_length);

  // A failed copy leaves the record as it was: the line is not loaded.
  char* copy = CopyValue(value, value_length);
  if (copy == nullptr) return;
  ParamRecord* record = Lookup(key);
  if (record == nullptr) {
    memcpy(tmpl->name, key, sizeof key);
    tmpl->userValue = side == kUserTable ? copy : nullptr;
    tmpl->ispValue = side == kIspTable ? copy : nullptr;
    Insert(*tmpl);
    return;
  }
  if (side == kUserTable) {
    record->userLocation = location;
    efree(record->userValue);
    record->userValue = copy;
  } else {
    record->ispLocation = location;
    efree(record->ispValue);
    record->ispValue = copy;
  }
}

std::string_view DevicePath(const char* host_path) {
  const std::string& root = platform::Root();
  std::string_view path(host_path);
  if (root != "/" && path.substr(0, root.size()) == root) {
    path.remove_prefix(root.size());
  }
  return path;
}

int WalkEntry(const char* host_path, const struct stat* status, int type,
              struct FTW*) {
  const std::string device_path(DevicePath(host_path));
  return walkConfFile(device_path.c_str(), status, type);
}

}  // namespace

int walkConfFile(const char* path, const struct stat*, int type) {
  CMS_DBG(LOG_DEBUG, kModule, "file %s", path);
  if (strstr(path, kAppDir) != nullptr) return 0;
  const char* slash = strrchr(path, '/');
  char base[kNameSize] = {};
  strncpy(base, slash == nullptr ? path : slash + 1, kMaxNameLength);
  if (base[0] == '.' || type != FTW_F || strstr(base, "conf") == nullptr) {
    return 0;
  }
  ParamRecord tmpl = {};
  tmpl.userLocation = -1;
  tmpl.ispLocation = -1;
  CMS_DBG(LOG_DEBUG, kModule, "Initial %s...", base);

  int side = 0;
  int location = -1;
  if (strncmp(path, kIspDir, strlen(kIspDir)) == 0) {
    side = kIspTable;
    location = tmpl.ispLocation = LocationAdd(path, kIspTable);
  } else if (strncmp(path, kUserDir, strlen(kUserDir)) == 0) {
    side = kUserTable;
    location = tmpl.userLocation = LocationAdd(path, kUserTable);
  } else {
    CMS_DBG(LOG_WARNING, kModule,
            "I don't know how to classify the configure file %s", path);
  }
  // A full table (or a path too long for an entry) gives no index: the file
  // is read like an unclassified one, since a value without a file could
  // never be written back.
  if (side != 0 && location < 0) {
    CMS_DBG(LOG_WARNING, kModule, "No file table entry for %s", path);
    side = 0;
  }

  FILE* f = fopen(platform::HostPath(path).c_str(), "r");
  if (f == nullptr) return 1;
  files::LineReader reader(f);
  char line[kValueSize];
  while (reader.Next(line, sizeof line) >= 0) {
    const ConfLine parsed = ParseConfLine(line);
    if (parsed.kind != LineKind::kParameter) continue;
    if (side != 0) LoadLine(line, parsed, side, location, &tmpl);
  }
  fclose(f);
  return 0;
}

int initParamFile() {
  PendingNames pending;
  g_pending = &pending;
  // No FTW_PHYS: symbolic links are followed, as by ftw.
  nftw(platform::HostPath(kConfRoot).c_str(), WalkEntry, kMaxOpenDirs, 0);
  g_pending = nullptr;
  pending.MoveToList();
  sortParamList();
  return 1;
}

}  // namespace cms::store
