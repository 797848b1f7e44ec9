/* libmc.h - message-center library stand-in: each trigger is one datagram of
 * ASCII text to the UNIX datagram socket <root>/var/run/msgcenter.sock. */
#ifndef CMS_PLATFORM_LIBMC_H_
#define CMS_PLATFORM_LIBMC_H_

#ifdef __cplusplus
extern "C" {
#endif

/* Non-zero when this thread's datagram socket is connected to the message
 * center; 0 when nobody listens. */
int mc_ipc_flag(void);
int mc_trigger(int event);
int mc_trigger_arg(int event, int arg);
int mc_trigger_delay(int event, int delay);
int mc_trigger_delay_arg(int event, int delay, int arg);
/* Closes this thread's socket. */
int mc_ipc_close(void);

#ifdef __cplusplus
}

#include <cstdint>

namespace cms::platform {
// Triggers given up since start: the center's queue and the outbox were both
// full, or the center went away before the outbox could deliver them.
uint64_t DroppedEventCount();
}  // namespace cms::platform
#endif

#endif /* CMS_PLATFORM_LIBMC_H_ */
