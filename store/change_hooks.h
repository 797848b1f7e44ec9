// change_hooks.h - the callbacks the store's operations call beyond a
// record's own: a table that events/ fills in at start-up, so the store
// never names the layer above it.
#pragma once

namespace cms::store {

struct ChangeHooks {
  // A host-number parameter ("dhcphost_num", "pw_num") fell to 0: the DHCP
  // options or the port forwarding it counted are gone.
  void (*dhcp_hosts_cleared)() = nullptr;
  void (*port_forwards_cleared)() = nullptr;
  // A record was just added under `name`: it gets the callback its name is
  // bound to.
  void (*param_added)(const char* name) = nullptr;
};

// Replaces the whole table; an empty entry is a hook nobody wants.
void SetChangeHooks(const ChangeHooks& hooks);

}  // namespace cms::store
