// The computer's power state on Windows: GetSystemPowerStatus.
#include <windows.h>

#include "platform/power.h"

PowerStatus ReadPowerStatus() {
  PowerStatus status;
  SYSTEM_POWER_STATUS system;
  if (!GetSystemPowerStatus(&system)) return status;
  // 128: no system battery; 255: unknown. Either way only the mains can be meant.
  if (system.ACLineStatus == 1 || system.BatteryFlag == 128) {
    status.source = POWER_MAINS;
  } else if (system.ACLineStatus == 0) {
    status.source = POWER_BATTERY;
    status.percent = system.BatteryLifePercent <= 100 ? system.BatteryLifePercent : -1;
  }
  return status;
}
