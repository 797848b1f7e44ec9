// led_callbacks.cc - LED patterns for LTE connection, SIM, signal strength
// and phone line state.
#include "events/led_callbacks.h"

#include <cstdio>
#include <string>

#include "events/callback_support.h"
#include "platform/shell.h"
#include "store/operations.h"

namespace cms::events {
namespace {

constexpr int kPhaseWritten = 1;

// Units with a phone port have dsp_port_number > 0; a missing value means
// none.
bool HasPhonePort() {
  const char* ports =
      store::GetParamValue("dsp_port_number", store::kModeGetUser);
  return ports != nullptr && DecimalValue(ports) > 0;
}

int UserNumber(const char* name) {
  return DecimalValue(store::GetParamValue(name, store::kModeGetUser));
}

}  // namespace

int LteConnectLedCallback(void*, const char* value, int phase) {
  if (phase != kPhaseWritten) return 1;
  const int state = DecimalValue(value);
  const bool phone = HasPhonePort();
  const char* command;
  if (state < 2) {
    command = phone ? "echo xxxx01xx > /dev/led_gpio"
                    : "echo xxxx010x > /dev/led_gpio";
  } else if (state <= 4) {
    command = phone ? "echo xxxx00xx > /dev/led_gpio"
                    : "echo xxxx000x > /dev/led_gpio";
  } else {
    command = phone ? "echo xxxx10xx > /dev/led_gpio"
                    : "echo xxxx101x > /dev/led_gpio";
  }
  platform::RunCommand(command);
  return 1;
}

int LteSIMLedCallback(void*, const char* value, int phase) {
  if (phase != kPhaseWritten) return 1;
  const int state = DecimalValue(value);
  if (state == 4) {
    platform::RunCommand("echo xxxxxxx0 > /dev/led_gpio");
  } else if (state == 0 || state == 1 || state == 5) {
    platform::RunCommand("echo xxxxxxx2 > /dev/led_gpio");
  } else {
    platform::RunCommand("echo xxxxxxx1 > /dev/led_gpio");
  }
  return 1;
}

int LteRsrpToLedCallback(void*, const char*, int phase) {
  if (phase != kPhaseWritten) return 1;
  // The stored value, not the callback's argument.
  const int rsrp = UserNumber("lte_status_rsrp");
  if (rsrp < -129) {
    platform::RunCommand("echo 0000xxxx > /dev/led_gpio");
  } else if (rsrp < -109) {
    platform::RunCommand("echo 1000xxxx > /dev/led_gpio");
  } else if (rsrp < -99) {
    platform::RunCommand("echo 1100xxxx > /dev/led_gpio");
  } else if (rsrp < -89) {
    platform::RunCommand("echo 1110xxxx > /dev/led_gpio");
  } else {
    platform::RunCommand("echo 1111xxxx > /dev/led_gpio");
  }
  return 1;
}

int XvoipLedCallback(void* subject, const char*, int phase) {
  if (phase != kPhaseWritten) return 1;
  const std::string name(SubjectName(subject));
  int line = 0;
  if (sscanf(name.c_str(), "xvoip_%*[a-z]_stat%*[esu]_%d", &line) != 1) {
    return 1;
  }
  if (line != 1 && line != 2) return 1;
  char param[32];
  snprintf(param, sizeof param, "xvoip_reg_status_%d", line);
  const int reg = UserNumber(param);
  snprintf(param, sizeof param, "xvoip_hook_status_%d", line);
  const int hook = UserNumber(param);
  snprintf(param, sizeof param, "xvoip_call_state_%d", line);
  const int call = UserNumber(param);
  if (!HasPhonePort()) return 1;
  // Both lines share one LED: it shows the line that changed last.
  if (call >= 1 && call <= 4) {
    platform::RunCommand("echo xxxxxx2xx > /dev/led_gpio");
  } else if (reg != 1) {
    platform::RunCommand("echo xxxxxx0xx > /dev/led_gpio");
  } else if (hook == 1) {
    platform::RunCommand("echo xxxxxx2xx > /dev/led_gpio");
  } else {
    platform::RunCommand("echo xxxxxx1xx > /dev/led_gpio");
  }
  return 1;
}

int LteCinrToLedCallback(void*, const char*, int) { return 1; }

}  // namespace cms::events
