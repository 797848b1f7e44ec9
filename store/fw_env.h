// fw_env.h - parameters that do not come from configuration files: the
// boot-loader environment, software_version and lanaddr.
#pragma once

namespace cms::store {

// Start-up only, before the request socket opens.
void addSpecialParam();
void addParamFromFwPrintenv();

}  // namespace cms::store
