// operations.h - get, set, add, delete and replace of parameters by side.
//
// Modes are the request's command codes: get 1 (user) / 3 (ISP); set 2, 4,
// 5 (both); delete 9, 10, 11; add 12, 13, 14 (refused), 15 (internal, to
// XCFGtemp.conf); replace 17, 18, 19. The caller holds ParamListLock.
#pragma once

namespace cms::store {

inline constexpr int kModeGetUser = 1;
inline constexpr int kModeSetUser = 2;
inline constexpr int kModeGetIsp = 3;
inline constexpr int kModeSetIsp = 4;
inline constexpr int kModeSetBoth = 5;
inline constexpr int kModeDeleteUser = 9;
inline constexpr int kModeDeleteIsp = 10;
inline constexpr int kModeDeleteBoth = 11;
inline constexpr int kModeAddUser = 12;
inline constexpr int kModeAddIsp = 13;
inline constexpr int kModeAddRefused = 14;
inline constexpr int kModeAddTemp = 15;
inline constexpr int kModeReplaceUser = 17;
inline constexpr int kModeReplaceIsp = 18;
inline constexpr int kModeReplaceBoth = 19;

// The value in a shared 800-byte buffer that the next call overwrites, or
// null (no such parameter, no value on that side, the empty-value marker).
char* GetParamValue(const char* name, int mode);
// Non-zero (the phase-0 callback's result, or 1) on success, 0 on failure.
int SetParamValue(const char* name, const char* value, int mode);
int AddParam(const char* name, const char* file_name, const char* value,
             int mode);
int DeleteParam(const char* name, int mode);
int ReplaceParamValue(const char* name, const char* value, int mode);
void DealWithHostNumberEvent(const char* name);

}  // namespace cms::store
