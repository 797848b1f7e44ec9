// cmd_queue.cc - the command-value queue: first in, first out per name.
//
// One queue per name, found by hashing the name: a push or a pop costs the
// same however many values wait, where one list searched from its end made
// every operation slower as the queue grew.
#include "core/cmd_queue.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "files/field_file.h"
#include "store/file_tables.h"

namespace cms::core {
namespace {

using store::ParamRecord;

struct ElementFree {
  void operator()(ParamRecord* element) const {
    files::efree(element->userValue);
    free(element);
  }
};
using Element = std::unique_ptr<ParamRecord, ElementFree>;

// Touched only with ParamListLock held.
struct CmdQueues {
  std::unordered_map<std::string, std::deque<Element>> by_name;
  size_t count = 0;
};

CmdQueues& Queues() {
  static CmdQueues queues;
  return queues;
}

char popCmdBuffer[store::kValueSize];

}  // namespace

void initCmdList() { ResetCmdList(); }

int pushCmdElement(ParamRecord* element) {
  Element owned(element);
  CmdQueues& q = Queues();
  // Refused rather than kept: nothing else bounds what producers without
  // consumers can make the daemon hold.
  if (q.count >= kCmdQueueLimit) return 0;
  try {
    q.by_name[element->name].push_back(std::move(owned));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  ++q.count;
  return 1;
}

ParamRecord* getLastCmdElement(const char* name) {
  CmdQueues& q = Queues();
  const auto it = q.by_name.find(name);
  return it == q.by_name.end() ? nullptr : it->second.front().get();
}

void popCmdElement(const char* name) {
  CmdQueues& q = Queues();
  const auto it = q.by_name.find(name);
  if (it == q.by_name.end()) return;
  it->second.pop_front();
  --q.count;
  // A name whose queue is empty takes no room.
  if (it->second.empty()) q.by_name.erase(it);
}

int PushCmdValue(const char* name, const char* value) {
  if (name == nullptr) name = "";
  if (value == nullptr) value = "";
  if (Queues().count >= kCmdQueueLimit) return 0;
  auto* element = static_cast<ParamRecord*>(calloc(1, sizeof(ParamRecord)));
  if (element == nullptr) return 0;
  const char* text = value[0] == '\0' ? store::kEmptyValueMarker : value;
  // A pop gives back at most this much, so nothing more is kept.
  const size_t len = strnlen(text, store::kMaxValueLength);
  element->userValue = static_cast<char*>(files::emalloc(len + 1));
  if (element->userValue == nullptr) {
    // Acknowledging a value that was not kept would lose it silently.
    free(element);
    return 0;
  }
  memcpy(element->userValue, text, len);
  element->userValue[len] = '\0';
  strncpy(element->name, name, store::kMaxNameLength);
  element->ispLocation = -1;
  element->userChanged = 1;
  element->userLocation =
      store::LocationAdd(store::kTempUserFile, store::kUserTable);
  if (pushCmdElement(element) == 0) return 0;
  // A full table leaves the element without a file; nothing is marked then.
  if (element->userLocation >= 0) store::UFL[element->userLocation].dirty = 1;
  return 1;
}

char* PopCmdValue(const char* name) {
  memset(popCmdBuffer, 0, sizeof popCmdBuffer);
  if (name == nullptr) return nullptr;
  ParamRecord* element = getLastCmdElement(name);
  if (element == nullptr) return nullptr;
  char* result = nullptr;
  if (element->userValue != nullptr &&
      strcmp(element->userValue, store::kEmptyValueMarker) != 0) {
    strncpy(popCmdBuffer, element->userValue, store::kMaxValueLength);
    result = popCmdBuffer;
  }
  // An empty queued value is consumed all the same.
  popCmdElement(name);
  return result;
}

size_t CmdQueueSize() { return Queues().count; }

void ResetCmdList() {
  CmdQueues& q = Queues();
  q.by_name.clear();
  q.count = 0;
  memset(popCmdBuffer, 0, sizeof popCmdBuffer);
}

}  // namespace cms::core
