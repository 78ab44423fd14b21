// The terminal program's watch over a real device: udev removal events, open errors.
#include <cerrno>

#include "device/device_platform_linux.h"
#include "ui/term/device_watch_term.h"

void PrepareTermPlatform() {}

bool StartRemovalWatch(void (*onRemoved)()) {
  CLinuxDevicePlatform* platform = LinuxDevicePlatform();
  if (platform->opened.syspath.empty()) return false;
  // Requests fail at once when the device is unplugged; without this the run would end on that
  // failure before udev has told of the removal.
  platform->onDetached = onRemoved;
  return WatchScsiGenericRemoval(platform->opened.syspath, onRemoved);
}

bool DeviceAccessDenied(std::string* node) {
  CLinuxDevicePlatform* platform = LinuxDevicePlatform();
  if (platform->openError != EACCES && platform->openError != EPERM) return false;
  *node = platform->openErrorNode;
  return true;
}
