// notify_callbacks.h - callbacks whose effect is message-center events.
#pragma once

namespace cms::events {

// Called directly by DealWithHostNumberEvent as (null, null, 1).
int DhcpOptionCallback(void* subject, const char* value, int phase);
int FirewallCallback(void* subject, const char* value, int phase);

// The ready announcement (event 23); always 1.
int CMSInitFinished();

}  // namespace cms::events
