// params.h - what the cms command asks cmsd, and how it tells the reasons
// of a status-7 answer apart by asking again.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "client/cms_client.h"

namespace cms::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUnreachable = 2;
inline constexpr int kExitUsage = 64;

inline constexpr size_t kMaxNameLength = CMS_NAME_SIZE - 1;
inline constexpr size_t kMaxValueLength = CMS_VALUE_SIZE - 1;

// cmsd could not be reached, did not answer in time or answered nonsense.
struct Unreachable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class Side { kUser, kIsp, kBoth };

// One parameter as the listing gives it.
struct Param {
  std::string name;
  std::string value;  // of the listed side; empty when it has none
  bool user_file = false;
  bool isp_file = false;
  bool HasSide(Side side) const;
};

// A request frame with the caller's pid, the code and the given fields.
CMSPacket Request(int cmd, const std::string& name = {},
                  const std::string& value = {},
                  const std::string& location = {});
// Sends a request whose answer carries a status; throws Unreachable when
// there is no whole, matching answer. True for status 6.
bool Ask(const CMSPacket& request, CMSPacket* response);

// Every parameter whose name begins with `prefix`, in name order, with the
// values of the ISP side when `isp`, else of the user side.
std::vector<Param> ListParams(const std::string& prefix, bool isp);
// The parameter `name`, or nullopt when there is none.
std::optional<Param> LookUp(const std::string& name, bool isp);

// Why a name or value cannot be sent; empty when it can.
std::string Invalid(const std::string& name, const std::string* value);
// "no user-side file" and the like, for a parameter that lacks `side`.
std::string NoSide(Side side);

// What became of one name=value of an import or mset.
enum class Result {
  kChanged,
  kUnchanged,
  kCreated,   // in memory only
  kNotFound,  // refused: no such parameter
  kNoSide,    // refused: no user-side file
  kRefused,   // refused by the device (a change callback said no)
  kInvalid,   // refused: name or value too long, or empty name
};
const char* ResultText(Result result);
bool IsRefusal(Result result);

// Sets user-side values, several per request; the result of each pair in
// order. Unknown names are created (in memory only) when `create`.
std::vector<Result> SetUserValues(
    const std::vector<std::pair<std::string, std::string>>& pairs, bool create);

}  // namespace cms::cli
