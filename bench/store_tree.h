// store_tree.h - generated configuration trees for the store benchmarks.
#pragma once

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/root.h"
#include "store/file_tables.h"
#include "store/loader.h"
#include "store/param_list.h"
#include "testing/temp_root.h"

namespace cms::bench {

inline constexpr int kFiles = 100;
// Of the 100 files, this many are ISP-side files; the rest are user-side.
inline constexpr int kIspFiles = 10;

// A tree of `params` distinct parameters spread evenly over 100 files, each
// file's lines in random name order, under a temporary root that is the
// process's root while the tree lives.
class StoreTree {
 public:
  explicit StoreTree(int params) {
    platform::SetRoot(root_.dir());
    root_.MakeDir("/tmp");
    root_.Write(store::kTempUserFile, "");
    std::mt19937 rng(42);
    for (int i = 0; i < params; ++i) {
      char name[64];
      snprintf(name, sizeof name, "grp%02d_setting_%07d", i % 37, i);
      names_.emplace_back(name);
    }
    std::shuffle(names_.begin(), names_.end(), rng);
    files_.resize(kFiles);
    for (int f = 0; f < kFiles; ++f) {
      files_[f] = File(f);
    }
    std::vector<std::string> content(kFiles);
    for (size_t i = 0; i < names_.size(); ++i) {
      const size_t f = i % kFiles;
      content[f] +=
          names_[i] + "=value_" + std::to_string(rng() % 100000) + "\n";
      file_of_.push_back(static_cast<int>(f));
    }
    for (int f = 0; f < kFiles; ++f) root_.Write(files_[f], content[f]);
  }
  ~StoreTree() {
    store::ResetParamList();
    store::initialConfigLocationArray();
    platform::SetRoot("/");
  }

  // A fresh store loaded from the tree.
  void Load() const {
    Clear();
    store::initParamFile();
  }
  static void Clear() {
    store::ResetParamList();
    store::initParamList();
    store::initialConfigLocationArray();
  }

  // Device path of file f: 0 .. kIspFiles-1 are ISP-side files.
  static std::string File(int f) {
    char path[64];
    snprintf(
        path, sizeof path, "%s/file%03d.conf",
        f < kIspFiles ? "/mnt/jffs2/conf/isp/user" : "/mnt/jffs2/conf/user", f);
    return path;
  }

  const std::vector<std::string>& names() const { return names_; }
  // The file index (0 .. 99) that holds names()[i].
  int file_of(size_t i) const { return file_of_[i]; }
  const cms::testing::TempRoot& root() const { return root_; }

 private:
  cms::testing::TempRoot root_;
  std::vector<std::string> names_;
  std::vector<int> file_of_;
  std::vector<std::string> files_;
};

// Bytes the allocator has handed out and not yet taken back.
inline size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Peak resident set of the process so far, in KiB.
inline long PeakRssKiB() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace cms::bench
