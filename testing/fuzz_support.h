// fuzz_support.h - what the fuzz targets share: a private root, the example
// tree loaded into the store as at start-up and put back before each input,
// and the invariants of the store and of response frames.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/cms_client.h"
#include "store/file_tables.h"
#include "store/param_record.h"
#include "testing/temp_root.h"

namespace cms::fuzzing {

// The target's private root under $TMPDIR, removed at a normal exit.
const testing::TempRoot& FuzzRoot();

// Makes the root, maps device paths to it and enters it, creates what the
// daemon expects there, empties PATH and silences standard output. A target
// without an LLVMFuzzerInitialize of its own gets one that calls this.
void InitFuzzRoot();

// Ends the run with a crash report unless `ok`.
inline void Require(bool ok) {
  if (!ok) __builtin_trap();
}

// An input of one byte of choices followed by the rest; false when empty.
bool SplitInput(const uint8_t* data, size_t size, uint8_t* choices,
                std::string_view* rest);

// The lines of `text`, each with its line feed (the last may have none).
std::vector<std::string_view> Lines(std::string_view text);

// Every line of a generated file ends with a line feed and holds no NUL.
bool WholeLines(const std::string& text);

// The example tree below /mnt/jffs2/conf, started as the daemon does.
class ExampleStore {
 public:
  void Load();
  // Puts the process state, records, file tables and changed files back as
  // after Load: copied, as a reload per input would cost most of the speed.
  void Restore();

 private:
  struct SavedFile {
    std::string device_path, content, stamp;
  };
  std::vector<store::ParamRecord> records_;  // values in values_
  std::vector<std::optional<std::string>> values_;  // user, ISP, user, ...
  store::ConfigLocation ufl_[store::kFileTableSize];
  store::ConfigLocation ifl_[store::kFileTableSize];
  std::vector<SavedFile> files_;
};

// The store's invariants: names terminated, unique and in ascending order;
// file indexes inside the tables and on a used entry; values readable.
void CheckStore();

// A dump request to a path climbing out with ".." goes to /tmp instead.
void KeepDumpInRoot(CMSPacket* request);

// What any response may hold: a known status, the request's pid or 0, a
// value area whose last byte is 0, a terminated name where the command
// answers one, and zeros everywhere else.
void CheckResponse(const CMSPacket& request, const CMSPacket& response);

}  // namespace cms::fuzzing
