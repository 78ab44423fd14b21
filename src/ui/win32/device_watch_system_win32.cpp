// The release build's device watch: the system sends removal notices to the registered window,
// and a failed request looks whether the opened device is still there.
#include "ui/win32/device_watch.h"

#include "ui/win32/win32_api.h"

#include <atomic>
#include <cstdlib>

#include "app/app_state.h"
#include "device/device_platform_win32.h"

namespace {

// How long a failed request waits for the device to leave the interface list, and how often it
// looks. Under Wine the interface went a few milliseconds after the first failed request.
constexpr DWORD REMOVAL_GRACE_MS = 1000;
constexpr DWORD LIST_POLL_MS = 20;

// True while the opened device is among the present disk interfaces, or when no list can be had.
bool OpenedDeviceListed() {
  CHidIO& io = g_app.hidCmd.io;
  if (io.platform == nullptr || !io.platform->BeginInterfaceList()) return true;
  bool listed = false;
  WChar path[DEVICE_PATH_CAPACITY];
  for (int index = 0; !listed; ++index) {
    int result = io.platform->InterfacePath(index, path, DEVICE_PATH_CAPACITY);
    if (result == INTERFACE_END || result == INTERFACE_NO_MEMORY) break;
    listed = result == INTERFACE_OK && TextEqualsIgnoringAsciiCase(path, io.OpenedPath());
  }
  io.platform->EndInterfaceList();
  return listed;
}

// A pulled cable fails the requests at once; the removal notice follows only milliseconds later,
// and by then the run would have gone on to a verify error's box. So the first failed request
// waits a moment for the device to leave the list: gone, the process ends as the notice would
// end it; still there, the failure is the device's own and is reported as such. The search runs
// no more once a device is open, so nothing else uses the list meanwhile.
void LookForRemoval() {
  static std::atomic<bool> looked{false};
  if (looked.exchange(true)) return;
  for (DWORD waited = 0;; waited += LIST_POLL_MS) {
    if (!OpenedDeviceListed()) std::exit(0);
    if (waited >= REMOVAL_GRACE_MS) return;
    Sleep(LIST_POLL_MS);
  }
}

}  // namespace

bool StartDeviceWatch(void*) {
  SetRequestFailureHook(LookForRemoval);
  return true;
}
