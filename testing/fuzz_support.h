// fuzz_support.h - what the fuzz targets share: a private root, the example
// tree loaded into the store as at start-up and put back before each input,
// and the invariants of the store and of response frames.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/cms_client.h"
#include "store/file_tables.h"
#include "store/param_record.h"
#include "testing/temp_root.h"

namespace cms::fuzzing {

// The target's private root under $TMPDIR (fuzz/run.sh points it at a
// directory it removes, so the roots of crashed runs do not pile up),
// removed at a normal exit.
const testing::TempRoot& FuzzRoot();

// Makes the root, points the daemon's path mapping at it, enters it (a
// relative path such as a dump file lands in it), creates the directories
// the generators write into and empties PATH. Output that the code under
// test prints on standard output goes to /dev/null: it would drown the
// fuzzer's.
void InitFuzzRoot();

// Every line of a generated file ends with a line feed and holds no NUL.
bool WholeLines(const std::string& text);

class ExampleStore {
 public:
  // Copies examples/ below /mnt/jffs2/conf and starts the store on it as the
  // daemon does.
  void Load();
  // The process state, the records and file tables as right after Load,
  // and every file of the tree that changed since. Copied back rather than
  // loaded again: a reload per input would cost the fuzzer half its speed.
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

// The store's invariants, checked after each step of an input: names
// terminated, unique and in ascending order; file indexes inside the tables
// and on a used entry; value texts readable.
void CheckStore();

// The dump writes wherever its client says; here that must stay inside the
// fuzz root, which a path climbing out with ".." would leave.
void KeepDumpInRoot(CMSPacket* request);

// What any response may hold: a known status, the request's pid or 0, a
// value area whose last byte is 0, a terminated name where the command
// answers one, and zeros everywhere else.
void CheckResponse(const CMSPacket& request, const CMSPacket& response);

}  // namespace cms::fuzzing
