// The release build's device watch: the system sends removal notices to the registered window.
#include "ui/win32/device_watch.h"

bool StartDeviceWatch(void*) {
  return true;
}
