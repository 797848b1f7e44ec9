// history.h - the change history: every change the store makes, numbered,
// in a fixed ring of records held in memory.
//
// Memory stays bounded whatever the values: each record is one fixed-size
// slot, and a value longer than a slot holds is kept cut (and marked so).
// Values of parameters whose names look secret are never kept at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cms::store::history {

enum class Op : uint8_t { kSet, kAdd, kDelete, kReplace };
enum class Side : uint8_t { kUser, kIsp };

inline constexpr size_t kDefaultCapacity = 4096;
inline constexpr size_t kSlotValueSize = 96;  // 95 bytes of a value and NUL
inline constexpr size_t kCommSize = 16;       // as the kernel keeps it
inline constexpr size_t kLabelSize = 32;
inline constexpr size_t kPeerSize = 16;  // dotted IPv4 and NUL

// How a value stands in a record.
enum class ValueState : uint8_t {
  kNone,    // the side had no value (before an add, after a delete)
  kWhole,   // the text is the value
  kCut,     // the text is the value's start
  kSecret,  // not kept
};

struct Record {
  uint64_t seq;
  int64_t time_us;  // wall clock
  int32_t pid;      // the requester's, as its frame says; 0 when none
  Op op;
  Side side;
  ValueState old_state;
  ValueState new_state;
  char name[64];
  char old_value[kSlotValueSize];
  char new_value[kSlotValueSize];
  char comm[kCommSize];    // the requester's process name, when known
  char label[kLabelSize];  // "start-up", a callback's name, ...; or empty
  char peer[kPeerSize];    // the enciphered client's address, or empty
};

// Sets the ring's size (0 turns the history off) and clears it; also starts
// a new boot id. Called once at start-up, before anything changes.
void Configure(size_t capacity);

// True when a parameter of this name has its values kept out of the
// history: the name holds "password", "passwd", "psk", "secret" or "key",
// in any letter case.
bool IsSecretName(const char* name);

// One change of one side. Null old/new: the side had no value before/after.
void Note(Op op, const char* name, Side side, const char* old_value,
          const char* new_value);

// Where a page starts and how the ring stands.
struct PageInfo {
  uint64_t oldest;  // the oldest record still held (== next when none)
  uint64_t next;    // the number the next change will get
  uint64_t boot;    // differs after each daemon start
};

// Copies the records from `from` on (from the oldest when `from` is older)
// into out, at most max of them; returns how many. Holds the ring's lock
// for this copy only.
size_t ReadPage(uint64_t from, Record* out, size_t max, PageInfo* info);

// The origin of changes on this thread while an object lives. A request
// scope names the requesting pid; a label scope names an internal origin
// (start-up, a callback) and takes precedence over the request.
class RequestScope {
 public:
  explicit RequestScope(int32_t pid);
  ~RequestScope();
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

 private:
  int32_t saved_pid_;
};

class LabelScope {
 public:
  explicit LabelScope(const char* label);
  ~LabelScope();
  LabelScope(const LabelScope&) = delete;
  LabelScope& operator=(const LabelScope&) = delete;

 private:
  const char* saved_;
};

// The peer of the connection this thread serves: its IPv4 address in
// network order, or 0 for the plain loopback exchange.
void SetConnectionPeer(uint32_t address);

}  // namespace cms::store::history
