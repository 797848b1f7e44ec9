// fw_env.h - parameters that do not come from configuration files: the
// boot-loader environment, software_version and lanaddr.
#pragma once

#include <string_view>

namespace cms::store {

// Start-up only, before the request socket opens.
void addSpecialParam();
void addParamFromFwPrintenv();

// Imports the "name=value" lines of `text` (the import file's content) with
// ReplaceParamValue in user-side mode. A line ends at a line feed or carriage
// return; one without "=", or a last one without its line end, is skipped,
// and the text ends at its first NUL byte. With `strip_cust` a name
// beginning with "cust_" is imported without it.
void ImportFwEnvText(std::string_view text, bool strip_cust);

}  // namespace cms::store
