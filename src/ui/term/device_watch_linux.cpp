// The terminal program's watch over a real device: udev removal events, open errors.
#include <cerrno>

#include "device/device_platform_linux.h"
#include "ui/term/device_watch_term.h"

void PrepareTermPlatform() {}

bool StartRemovalWatch(void (*onRemoved)()) {
  CLinuxDevicePlatform* platform = LinuxDevicePlatform();
  if (platform->opened.syspath.empty()) return false;
  // Requests fail at once when the device is unplugged; without this the run would end on that
  // failure (an error box) before udev has told of the removal. The back end tells it instead,
  // once the failed request has shown the device gone.
  platform->onDetached = onRemoved;
  return WatchScsiGenericRemoval(platform->opened.syspath, onRemoved);
}

bool DeviceAccessDenied(std::string* node) {
  CLinuxDevicePlatform* platform = LinuxDevicePlatform();
  if (platform->openError != EACCES && platform->openError != EPERM) return false;
  *node = platform->openErrorNode;
  return true;
}
