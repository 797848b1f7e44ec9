// param_record.h - one configuration parameter, and the change-callback type.
#pragma once

#include <cstdint>

namespace cms::store {

// Change callback for parameters and files. subject: the ParamRecord (whose
// first field is the name) or the file path; value: a value text or null;
// phase: one of the three below.
using ChangeCallback = int (*)(void* subject, const char* value, int phase);

inline constexpr int kPhaseBefore = 0;      // before a store; 0 refuses it
inline constexpr int kPhaseWritten = 1;     // the change reached its file
inline constexpr int kPhaseIspWritten = 2;  // an ISP-side file was written

inline constexpr int kNameSize = 64;  // 63 characters and NUL
inline constexpr int kMaxNameLength = 63;
inline constexpr int kValueSize = 800;  // 799 characters and NUL
inline constexpr int kMaxValueLength = 799;

// A parameter exists but has no value.
inline constexpr char kEmptyValueMarker[] = "e0susu;";

// Field order is fixed: callbacks read the name at the record's start.
struct ParamRecord {
  char name[kNameSize];
  int32_t userLocation;  // index in UFL, -1 when no user-side file
  int32_t ispLocation;   // index in IFL, -1 when no ISP-side file
  int32_t userChanged;
  int32_t ispChanged;
  char* ispValue;   // emalloc'd text or null
  char* userValue;  // emalloc'd text or null
  ChangeCallback callback;
};

}  // namespace cms::store
