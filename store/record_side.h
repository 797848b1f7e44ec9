// record_side.h - one side (user or ISP) of a parameter record and its file
// table, so that each rule of the store is written once for both sides.
#pragma once

#include <cstdint>

#include "store/file_tables.h"
#include "store/param_record.h"

namespace cms::store {

struct RecordSide {
  int32_t ParamRecord::*location;
  int32_t ParamRecord::*changed;
  char* ParamRecord::*value;
  int table;        // kUserTable or kIspTable
  const char* dir;  // directory of the side's files, with its final '/'
};

inline constexpr RecordSide kUserSide = {
    &ParamRecord::userLocation, &ParamRecord::userChanged,
    &ParamRecord::userValue, kUserTable, kUserDir};
inline constexpr RecordSide kIspSide = {
    &ParamRecord::ispLocation, &ParamRecord::ispChanged, &ParamRecord::ispValue,
    kIspTable, kIspDir};

}  // namespace cms::store
