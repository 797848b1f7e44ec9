#include "testing/fuzz_support.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core/startup.h"
#include "events/registration.h"
#include "files/field_file.h"
#include "store/file_tables.h"
#include "store/param_list.h"
#include "testing/process_state.h"

namespace cms::fuzzing {

namespace fs = std::filesystem;

const testing::TempRoot& FuzzRoot() {
  static const testing::TempRoot root;
  return root;
}

void InitFuzzRoot() {
  static const testing::ScopedRoot scoped(FuzzRoot().dir());
  for (const char* dir :
       {"/tmp", "/mnt/jffs2/conf/user", "/mnt/jffs2/conf/isp/user",
        "/mnt/jffs2/conf/app", "/etc/cms", "/no_programs"})
    FuzzRoot().MakeDir(dir);
  if (chdir(FuzzRoot().dir().c_str()) != 0) abort();
  // Should a command ever run, it finds no program by name; programs named
  // by absolute path get the root in front. Nothing on the host is reached.
  setenv("PATH", FuzzRoot().Host("/no_programs").c_str(), 1);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) abort();
  FuzzRoot().Write(store::kTempUserFile, "");  // start-up's own "touch"
  // Emptied at exit, the lists leave the leak check nothing (the first reset
  // makes them, so that they are destroyed only after that).
  testing::ResetProcessState();
  atexit(testing::ResetProcessState);
}

bool SplitInput(const uint8_t* data, size_t size, uint8_t* choices,
                std::string_view* rest) {
  if (size == 0) return false;
  *choices = data[0];
  *rest = std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1);
  return true;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    lines.push_back(text.substr(0, end == text.npos ? text.size() : end + 1));
    text.remove_prefix(lines.back().size());
  }
  return lines;
}

bool WholeLines(const std::string& text) {
  return text.find('\0') == std::string::npos &&
         (text.empty() || text.back() == '\n');
}

namespace {

// Identity and content of a file: a rename or a rewrite changes it.
std::string Stamp(const std::string& device_path) {
  struct stat st {};
  stat(FuzzRoot().Host(device_path).c_str(), &st);
  return std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
         std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

char* Copy(const std::optional<std::string>& text) {
  if (!text) return nullptr;
  char* p = static_cast<char*>(files::emalloc(text->size() + 1));
  memcpy(p, text->c_str(), text->size() + 1);
  return p;
}

}  // namespace

void ExampleStore::Load() {
  const fs::path conf = FuzzRoot().Host("/mnt/jffs2/conf");
  for (const fs::directory_entry& entry :
       fs::directory_iterator(CMS_EXAMPLES_DIR)) {
    if (!entry.is_directory() || entry.path().filename() == "etc") continue;
    fs::copy(
        entry.path(), conf / entry.path().filename(),
        fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  testing::ResetProcessState();
  core::StartStore();

  for (int i = 0; i < store::CheckListLength(); ++i) {
    const auto* r = static_cast<const store::ParamRecord*>(
        support::list_get_at(&store::ParamList, i));
    records_.push_back(*r);
    for (const char* v : {r->userValue, r->ispValue})
      values_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
  }
  memcpy(ufl_, store::UFL, sizeof ufl_);
  memcpy(ifl_, store::IFL, sizeof ifl_);
  for (const fs::directory_entry& entry :
       fs::recursive_directory_iterator(conf)) {
    if (!entry.is_regular_file()) continue;
    const std::string path =
        entry.path().string().substr(FuzzRoot().dir().size());
    files_.push_back({path, FuzzRoot().Read(path), Stamp(path)});
  }
}

void ExampleStore::Restore() {
  testing::ResetProcessState();
  events::InstallStoreHooks();
  for (size_t i = 0; i < records_.size(); ++i) {
    store::ParamRecord r = records_[i];
    r.userValue = Copy(values_[2 * i]);
    r.ispValue = Copy(values_[2 * i + 1]);
    store::addElement(&r);
  }
  // Saved in list order: already sorted.
  memcpy(store::UFL, ufl_, sizeof ufl_);
  memcpy(store::IFL, ifl_, sizeof ifl_);
  for (SavedFile& file : files_) {
    if (Stamp(file.device_path) != file.stamp) {
      FuzzRoot().Write(file.device_path, file.content);
      file.stamp = Stamp(file.device_path);
    }
  }
}

void CheckStore() {
  const int n = store::CheckListLength();
  const store::ParamRecord* prev = nullptr;
  for (int i = 0; i < n; ++i) {
    const auto* r = static_cast<const store::ParamRecord*>(
        support::list_get_at(&store::ParamList, i));
    Require(r != nullptr && strnlen(r->name, sizeof r->name) < sizeof r->name);
    Require(prev == nullptr || strcmp(prev->name, r->name) < 0);
    for (const auto& [location, table] :
         {std::pair{r->userLocation, store::UFL},
          std::pair{r->ispLocation, store::IFL}}) {
      Require(location >= -1 && location < store::kFileTableSize);
      Require(location < 0 || strcmp(table[location].path, store::kFreeEntry));
    }
    Require(!r->userValue || strlen(r->userValue) < 1u << 30);
    Require(!r->ispValue || strlen(r->ispValue) < 1u << 30);
    prev = r;
  }
}

void KeepDumpInRoot(CMSPacket* request) {
  const std::string_view path(request->value,
                              strnlen(request->value, sizeof request->value));
  if (request->cmd == CMS_CMD_DUMP && path.find("..") != path.npos) {
    memset(request->value, 0, sizeof request->value);
    strcpy(request->value, "/tmp/dump.txt");
  }
}

static bool AllZero(const void* area, size_t size) {
  const auto* p = static_cast<const unsigned char*>(area);
  return std::all_of(p, p + size, [](unsigned char c) { return c == 0; });
}

void CheckResponse(const CMSPacket& request, const CMSPacket& response) {
  Require(response.status == 0 || response.status == CMS_STATUS_OK ||
          response.status == CMS_STATUS_FAIL);
  Require(response.pid == 0 || response.pid == request.pid);
  // Listing, history and statistics answer a cursor or a count in `name`.
  const bool name_used = request.cmd == CMS_CMD_LIST ||
                         request.cmd == CMS_CMD_HISTORY ||
                         request.cmd == CMS_CMD_STATS;
  Require(name_used ? response.name[CMS_NAME_SIZE - 1] == '\0'
                    : AllZero(response.name, sizeof response.name));
  Require(response.reserved == 0 &&
          AllZero(response.location, sizeof response.location) &&
          AllZero(response.reserved_tail, sizeof response.reserved_tail) &&
          response.value[CMS_VALUE_SIZE - 1] == '\0');
  Require(request.cmd != CMS_CMD_WRITE_NOW ||
          AllZero(&response, sizeof response));
}

}  // namespace cms::fuzzing

// Weak: a target that loads more defines its own.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int*, char***) {
  cms::fuzzing::InitFuzzRoot();
  return 0;
}
