// example_store.h - the example configuration tree loaded into the store of
// a fuzz target, with the callbacks registered as at start-up, and put back
// exactly as it was before each input.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/field_file.h"
#include "core/cmd_queue.h"
#include "core/write_counter.h"
#include "events/registration.h"
#include "fuzz/fuzz_root.h"
#include "fuzz/quiet_host.h"
#include "platform/log.h"
#include "store/file_tables.h"
#include "store/loader.h"
#include "store/param_list.h"

namespace cms::fuzzing {

// A relative path (a dump file, say) must land in the fuzz root.
inline void EnterFuzzRoot() {
  if (chdir(FuzzRootDir().c_str()) != 0) abort();
}

class ExampleStore {
 public:
  // Copies examples/ below /mnt/jffs2/conf, then starts the store as the
  // daemon does: file tables, tree, callbacks, queue, counters. The
  // boot-loader import is left out: it only feeds ReplaceParamValue, which
  // the targets reach directly.
  void Load() {
    namespace fs = std::filesystem;
    const fs::path examples = CMS_EXAMPLES_DIR;
    const fs::path conf = FuzzRootDir() + "/mnt/jffs2/conf";
    for (const fs::directory_entry& entry : fs::directory_iterator(examples)) {
      if (!entry.is_directory() || entry.path().filename() == "etc") continue;
      fs::copy(
          entry.path(), conf / entry.path().filename(),
          fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    WriteFile(store::kTempUserFile, "");
    store::initParamList();
    core::initCmdList();
    store::initialConfigLocationArray();
    store::initParamFile();
    events::initParamEventReg();
    events::initFileEventReg();
    core::initPrivateData();
    // The lists are globals whose destructors drop their elements unfreed;
    // emptied first, the leak check at exit finds nothing of them.
    atexit([] {
      store::ResetParamList();
      core::ResetCmdList();
    });

    for (int i = 0; i < store::CheckListLength(); ++i) {
      const auto* r = static_cast<const store::ParamRecord*>(
          support::list_get_at(&store::ParamList, i));
      records_.push_back({*r, Text(r->userValue), Text(r->ispValue)});
    }
    memcpy(ufl_, store::UFL, sizeof ufl_);
    memcpy(ifl_, store::IFL, sizeof ifl_);
    for (const fs::directory_entry& entry :
         fs::recursive_directory_iterator(conf)) {
      if (!entry.is_regular_file()) continue;
      const std::string device_path =
          entry.path().string().substr(FuzzRootDir().size());
      files_.push_back({device_path, ReadFile(device_path), {}});
      Remember(&files_.back());
    }
  }

  // Records, file tables, queue, counters, the debug flag and every file of
  // the tree as right after Load.
  void Restore() {
    store::ResetParamList();
    for (const Saved& saved : records_) {
      store::ParamRecord r = saved.record;
      r.userValue = Copy(saved.user);
      r.ispValue = Copy(saved.isp);
      store::addElement(&r);
    }
    // Saved in list order: already sorted.
    memcpy(store::UFL, ufl_, sizeof ufl_);
    memcpy(store::IFL, ifl_, sizeof ifl_);
    core::ResetCmdList();
    core::initPrivateData();
    cms_debug_mode = 0;
    for (SavedFile& file : files_) {
      if (Stat(file.device_path) != file.stamp) {
        WriteFile(file.device_path, file.content);
        Remember(&file);
      }
    }
  }

 private:
  struct Saved {
    store::ParamRecord record;
    std::optional<std::string> user;
    std::optional<std::string> isp;
  };
  // Identity and content stamp of a file: a rename or a rewrite changes it.
  struct Stamp {
    ino_t inode = 0;
    off_t size = -1;
    timespec mtime{};
    bool operator!=(const Stamp& o) const {
      return inode != o.inode || size != o.size ||
             mtime.tv_sec != o.mtime.tv_sec || mtime.tv_nsec != o.mtime.tv_nsec;
    }
  };
  struct SavedFile {
    std::string device_path;
    std::string content;
    Stamp stamp;
  };

  static std::optional<std::string> Text(const char* p) {
    if (p == nullptr) return std::nullopt;
    return std::string(p);
  }
  static char* Copy(const std::optional<std::string>& text) {
    if (!text) return nullptr;
    char* p = static_cast<char*>(files::emalloc(text->size() + 1));
    memcpy(p, text->c_str(), text->size() + 1);
    return p;
  }
  static Stamp Stat(const std::string& device_path) {
    struct stat st;
    Stamp s;
    if (stat((FuzzRootDir() + device_path).c_str(), &st) == 0) {
      s.inode = st.st_ino;
      s.size = st.st_size;
      s.mtime = st.st_mtim;
    }
    return s;
  }
  static void Remember(SavedFile* file) {
    file->stamp = Stat(file->device_path);
  }

  std::vector<Saved> records_;
  store::ConfigLocation ufl_[store::kFileTableSize];
  store::ConfigLocation ifl_[store::kFileTableSize];
  std::vector<SavedFile> files_;
};

// The store's invariants, checked after each step of an input: names
// terminated, unique and in ascending order; file indexes inside the tables
// and on a used entry; value texts readable.
inline void CheckStore() {
  const int n = store::CheckListLength();
  const store::ParamRecord* prev = nullptr;
  for (int i = 0; i < n; ++i) {
    const auto* r = static_cast<const store::ParamRecord*>(
        support::list_get_at(&store::ParamList, i));
    if (r == nullptr || strnlen(r->name, sizeof r->name) == sizeof r->name) {
      __builtin_trap();
    }
    if (prev != nullptr && strcmp(prev->name, r->name) >= 0) __builtin_trap();
    for (const auto& [location, table] :
         {std::pair{r->userLocation, store::UFL},
          std::pair{r->ispLocation, store::IFL}}) {
      if (location < -1 || location >= store::kFileTableSize) __builtin_trap();
      if (location >= 0 &&
          strcmp(table[location].path, store::kFreeEntry) == 0) {
        __builtin_trap();
      }
    }
    if (r->userValue != nullptr) (void)strlen(r->userValue);
    if (r->ispValue != nullptr) (void)strlen(r->ispValue);
    prev = r;
  }
}

}  // namespace cms::fuzzing
