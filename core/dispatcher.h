// dispatcher.h - carries out one request frame against the store and fills
// in the response frame.
#pragma once

#include <cstddef>

#include "client/cms_client.h"

namespace cms::core {

inline constexpr size_t kFrameSize = CMS_FRAME_SIZE;

// The wire layout both ends rely on.
static_assert(sizeof(CMSPacket) == kFrameSize);
static_assert(offsetof(CMSPacket, pid) == 0);
static_assert(offsetof(CMSPacket, cmd) == 4);
static_assert(offsetof(CMSPacket, status) == 4);
static_assert(offsetof(CMSPacket, name) == 12);
static_assert(offsetof(CMSPacket, value) == 76);
static_assert(offsetof(CMSPacket, location) == 876);
static_assert(offsetof(CMSPacket, reserved_tail) == 940);

// Handles one complete request frame. `response` must be all zero; codes
// that are not commands leave it so. No field of `request` is read beyond
// the frame, terminated or not. The caller holds ParamListLock.
void handleCMSreq(const CMSPacket* request, CMSPacket* response);

// Finishes what handleCMSreq left for after the lock (the dump's file
// write, which may set the response's status to 7). The caller calls it
// right after releasing ParamListLock, on the same thread, while the
// response of that request is still alive.
void RunDeferredWork();

}  // namespace cms::core
