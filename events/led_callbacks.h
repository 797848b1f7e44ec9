// led_callbacks.h - turns LTE and voice status parameters into LED patterns
// written to /dev/led_gpio.
//
// All act at phase 1 only and always return 1. A pattern marks with "x" the
// positions it leaves alone: RSRP bars 1-4, LTE state 5-6 (5-7 without a
// phone port), phone line 7, SIM 8.
#pragma once

namespace cms::events {

int LteConnectLedCallback(void* subject, const char* value, int phase);
int LteSIMLedCallback(void* subject, const char* value, int phase);
int LteRsrpToLedCallback(void* subject, const char* value, int phase);
int XvoipLedCallback(void* subject, const char* value, int phase);
// CINR does not drive any LED; registered so the name has its callback.
int LteCinrToLedCallback(void* subject, const char* value, int phase);

}  // namespace cms::events
