// The terminal program's watch over a real device: udev removal events, open errors.
#include <cerrno>

#include "device/device_platform_linux.h"
#include "ui/term/device_watch_term.h"

void PrepareTermPlatform() {}

bool StartRemovalWatch(void (*onRemoved)()) {
  const std::string& syspath = LinuxDevicePlatform()->opened.syspath;
  if (syspath.empty()) return false;
  return WatchScsiGenericRemoval(syspath, onRemoved);
}

bool DeviceAccessDenied(std::string* node) {
  CLinuxDevicePlatform* platform = LinuxDevicePlatform();
  if (platform->openError != EACCES && platform->openError != EPERM) return false;
  *node = platform->openErrorNode;
  return true;
}
