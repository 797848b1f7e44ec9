// operations.h - get, set, add, delete and replace of parameters by side.
//
// Modes are the request's command codes: get 1 (user) / 3 (ISP); set 2, 4,
// 5 (both); delete 9, 10, 11; add 12, 13, 14 (refused), 15 (internal, to
// XCFGtemp.conf); replace 17, 18, 19. The caller holds ParamListLock.
#pragma once

#include "client/cms_client.h"

namespace cms::store {

inline constexpr int kModeGetUser = CMS_CMD_GET_USER;
inline constexpr int kModeSetUser = CMS_CMD_SET_USER;
inline constexpr int kModeGetIsp = CMS_CMD_GET_ISP;
inline constexpr int kModeSetIsp = CMS_CMD_SET_ISP;
inline constexpr int kModeSetBoth = CMS_CMD_SET_BOTH;
inline constexpr int kModeDeleteUser = CMS_CMD_DELETE_USER;
inline constexpr int kModeDeleteIsp = CMS_CMD_DELETE_ISP;
inline constexpr int kModeDeleteBoth = CMS_CMD_DELETE_BOTH;
inline constexpr int kModeAddUser = CMS_CMD_ADD_USER;
inline constexpr int kModeAddIsp = CMS_CMD_ADD_ISP;
inline constexpr int kModeAddRefused = CMS_CMD_ADD_REFUSED;
// Not a request's code: a set of an unknown name adds it to XCFGtemp.conf.
inline constexpr int kModeAddTemp = 15;
inline constexpr int kModeReplaceUser = CMS_CMD_REPLACE_USER;
inline constexpr int kModeReplaceIsp = CMS_CMD_REPLACE_ISP;
inline constexpr int kModeReplaceBoth = CMS_CMD_REPLACE_BOTH;

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
