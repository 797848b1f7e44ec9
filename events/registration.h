// registration.h - attaches change callbacks to parameter and file names.
#pragma once

#include "store/param_record.h"

namespace cms::events {

// 1 when `name` is in the list and its slot now holds `callback`.
int RegParamCallback(const char* name, store::ChangeCallback callback);
// table 1 = UFL, 2 = IFL; matched by base name. 1 when an entry was found.
int RegFileCallback(const char* file_name, store::ChangeCallback callback,
                    int table);
// Gives the record just added under `name` the callback its name is bound
// to, as a replay of the table would: a numbered DHCP host entry that closes
// the numbering up to it also brings the entries after it, up to the next
// gap. Costs one lookup for any other name.
void RegisterAddedParam(const char* name);
// Fills the store's hook table with this layer's callbacks: the DHCP and
// firewall callbacks' clean-up and RegisterAddedParam.
void InstallStoreHooks();
// Replay the fixed tables; always 1.
int initParamEventReg();
int initFileEventReg();

}  // namespace cms::events
