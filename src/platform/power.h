// What the computer runs on (the mains or a battery, and the battery's charge), read at Start.
#pragma once

enum PowerSource : int {
  POWER_UNKNOWN = 0,  // the system could not say: treated like the mains
  POWER_MAINS = 1,
  POWER_BATTERY = 2,
};

struct PowerStatus {
  PowerSource source = POWER_UNKNOWN;
  int percent = -1;  // the battery's charge, 0..100, or -1 when unknown
};

// On battery below this charge a run does not start: a flat battery mid-write would leave the
// device half written.
constexpr int LOW_BATTERY_PERCENT = 10;

// Reads the power state now. Each program links one: the system's on Windows and Linux, the
// test's in the simulated programs and the tests (the file TOLVARIN_SIM_POWER names, holding
// "mains" or "battery N"). Never fails: what cannot be read is POWER_UNKNOWN.
PowerStatus ReadPowerStatus();

// True when a run must not start: on battery with a known charge below LOW_BATTERY_PERCENT.
constexpr bool BatteryTooLow(const PowerStatus& status) {
  return status.source == POWER_BATTERY && status.percent >= 0 &&
         status.percent < LOW_BATTERY_PERCENT;
}
