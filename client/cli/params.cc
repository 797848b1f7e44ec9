// params.cc - listing, look-up and the batched user-side set of cms.
#include "client/cli/params.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace cms::cli {
namespace {

// Above this many names one full listing is cheaper than a look-up each.
constexpr size_t kLookUpsBeforeListing = 16;

std::string Text(const char* area, size_t size) {
  return std::string(area, strnlen(area, size));
}

// The whole value of a parameter whose listing entry was cut.
std::string WholeValue(const std::string& name, bool isp) {
  CMSPacket response;
  if (!Ask(Request(isp ? CMS_CMD_GET_ISP : CMS_CMD_GET_USER, name), &response))
    return {};
  return Text(response.value, sizeof response.value);
}

// Appends the entries of one page; returns the cursor of the next one.
std::string ReadPage(const CMSPacket& page, bool isp,
                     std::vector<Param>* params) {
  const char* area = page.value;
  size_t at = 0;
  while (at < CMS_VALUE_SIZE && area[at] != '\0') {
    const int flags = static_cast<unsigned char>(area[at]);
    Param param;
    param.name = Text(area + at + 1, CMS_VALUE_SIZE - at - 1);
    at += param.name.size() + 2;
    if (at > CMS_VALUE_SIZE) throw Unreachable("a listing page ran over");
    param.value = Text(area + at, CMS_VALUE_SIZE - at);
    at += param.value.size() + 1;
    param.user_file = (flags & CMS_LIST_USER_FILE) != 0;
    param.isp_file = (flags & CMS_LIST_ISP_FILE) != 0;
    if ((flags & CMS_LIST_CUT) != 0) param.value = WholeValue(param.name, isp);
    params->push_back(std::move(param));
  }
  return Text(page.name, sizeof page.name);
}

}  // namespace

bool Param::HasSide(Side side) const {
  switch (side) {
    case Side::kUser:
      return user_file;
    case Side::kIsp:
      return isp_file;
    case Side::kBoth:
      return user_file && isp_file;
  }
  return false;
}

CMSPacket Request(int cmd, const std::string& name, const std::string& value,
                  const std::string& location) {
  CMSPacket request;
  memset(&request, 0, sizeof request);
  request.pid = getpid();
  request.cmd = cmd;
  name.copy(request.name, kMaxNameLength);
  value.copy(request.value, kMaxValueLength);
  location.copy(request.location, kMaxNameLength);
  return request;
}

bool Ask(const CMSPacket& request, CMSPacket* response) {
  if (CMSExchange(&request, response) == 0) {
    throw Unreachable(CMSErrorText(CMSLastError()));
  }
  if (response->pid != request.pid || (response->status != CMS_STATUS_OK &&
                                       response->status != CMS_STATUS_FAIL)) {
    throw Unreachable(CMSErrorText(CMS_ERR_PROTOCOL));
  }
  return response->status == CMS_STATUS_OK;
}

std::vector<Param> ListParams(const std::string& prefix, bool isp) {
  std::vector<Param> params;
  std::string cursor;
  do {
    CMSPacket page;
    if (!Ask(Request(CMS_CMD_LIST, cursor, prefix, isp ? "isp" : ""), &page)) {
      throw Unreachable("cmsd refused the listing");
    }
    cursor = ReadPage(page, isp, &params);
  } while (!cursor.empty());
  return params;
}

std::optional<Param> LookUp(const std::string& name, bool isp) {
  // The name itself sorts first among the names it begins.
  CMSPacket page;
  if (!Ask(Request(CMS_CMD_LIST, "", name, isp ? "isp" : ""), &page)) {
    throw Unreachable("cmsd refused the listing");
  }
  const auto* first = reinterpret_cast<const unsigned char*>(page.value);
  if (first[0] == 0 || Text(page.value + 1, CMS_VALUE_SIZE - 1) != name) {
    return std::nullopt;
  }
  std::vector<Param> params;
  page.name[0] = '\0';
  ReadPage(page, isp, &params);
  return params.front();
}

std::string Invalid(const std::string& name, const std::string* value) {
  if (name.empty()) return "invalid name: empty";
  if (name.size() > kMaxNameLength || name.find('\0') != std::string::npos) {
    return "invalid name: longer than 63 characters";
  }
  if (value != nullptr && value->size() > kMaxValueLength) {
    return "invalid value: longer than 799 characters";
  }
  return {};
}

std::string NoSide(Side side) {
  switch (side) {
    case Side::kUser:
      return "no such side: no user-side file";
    case Side::kIsp:
      return "no such side: no ISP-side file";
    case Side::kBoth:
      return "no such side: not on both sides";
  }
  return {};
}

const char* ResultText(Result result) {
  switch (result) {
    case Result::kChanged:
      return "changed";
    case Result::kUnchanged:
      return "unchanged";
    case Result::kCreated:
      return "created in memory only (not saved to any file)";
    case Result::kNotFound:
      return "refused: not found";
    case Result::kNoSide:
      return "refused: no such side (no user-side file)";
    case Result::kRefused:
      return "refused by the device";
    case Result::kInvalid:
      return "refused: invalid name or value";
  }
  return "";
}

bool IsRefusal(Result result) {
  return result != Result::kChanged && result != Result::kUnchanged &&
         result != Result::kCreated;
}

std::vector<Result> SetUserValues(
    const std::vector<std::pair<std::string, std::string>>& pairs,
    bool create) {
  std::vector<Result> results(pairs.size(), Result::kChanged);
  // What is stored now, from one listing or a look-up per name.
  std::map<std::string, Param> stored;
  if (pairs.size() > kLookUpsBeforeListing) {
    // Only the names that begin as all of these do.
    std::string prefix = pairs.front().first;
    for (const auto& pair : pairs) {
      const auto [end, ignored] = std::mismatch(
          prefix.begin(), prefix.end(), pair.first.begin(), pair.first.end());
      prefix.erase(end, prefix.end());
    }
    for (Param& p : ListParams(prefix, false)) {
      std::string name = p.name;
      stored.emplace(std::move(name), std::move(p));
    }
  }
  std::vector<size_t> to_send;
  for (size_t i = 0; i < pairs.size(); ++i) {
    const auto& [name, value] = pairs[i];
    if (!Invalid(name, &value).empty()) {
      results[i] = Result::kInvalid;
      continue;
    }
    std::optional<Param> now;
    if (pairs.size() > kLookUpsBeforeListing) {
      if (auto it = stored.find(name); it != stored.end()) now = it->second;
    } else {
      now = LookUp(name, false);
    }
    if (!now) {
      results[i] = create ? Result::kCreated : Result::kNotFound;
    } else if (!now->user_file) {
      results[i] = Result::kNoSide;
    } else if (now->value == value) {
      results[i] = Result::kUnchanged;
    }
    if (results[i] == Result::kChanged || results[i] == Result::kCreated) {
      to_send.push_back(i);
    }
  }
  // Pairs packed into as few requests as fit. The daemon stops at the first
  // pair it refuses, keeping those before it: look which one that was, and
  // go on after it.
  size_t next = 0;
  while (next < to_send.size()) {
    CMSPacket request = Request(CMS_CMD_SET_MULTI);
    size_t at = 0;
    size_t end = next;
    for (; end < to_send.size(); ++end) {
      const auto& [name, value] = pairs[to_send[end]];
      const size_t size = name.size() + value.size() + 2;
      if (at + size + 1 > CMS_VALUE_SIZE) break;
      name.copy(request.value + at, name.size());
      value.copy(request.value + at + name.size() + 1, value.size());
      at += size;
    }
    CMSPacket response;
    if (end == next) {
      // Too long to share a request's value area with its name: alone.
      const auto& [name, value] = pairs[to_send[next]];
      if (!Ask(Request(CMS_CMD_SET_USER, name, value), &response)) {
        results[to_send[next]] = Result::kRefused;
      }
      ++next;
      continue;
    }
    if (Ask(request, &response)) {
      next = end;
      continue;
    }
    for (; next < end; ++next) {
      const auto& [name, value] = pairs[to_send[next]];
      const std::optional<Param> now = LookUp(name, false);
      if (!now || now->value != value) {
        results[to_send[next]] = Result::kRefused;
        ++next;
        break;
      }
    }
  }
  return results;
}

}  // namespace cms::cli
