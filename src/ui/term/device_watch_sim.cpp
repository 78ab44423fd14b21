// The terminal program's watch over the simulated device: its state file going away is the
// device being unplugged.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/app_state.h"
#include "device/sim_platform.h"
#include "ui/term/device_watch_term.h"

namespace {
constexpr int POLL_MS = 100;
}

void PrepareTermPlatform() {
  // The tests run their update server on a free port; the built-in one is the default.
  const char* server = std::getenv("TOLVARIN_SIM_SERVER");
  if (server != nullptr && *server)
    FormatText(g_app.baseUrl, LOCATION_CAPACITY, "http://%s%s", server, UPDATE_BASE_PATH);
}

bool StartRemovalWatch(void (*onRemoved)()) {
  // The simulated build's back end is the state-file device; the watch looks at the same file.
  std::string path = static_cast<CSimFilePlatform*>(DefaultDevicePlatform())->statePath;
  std::thread([path, onRemoved] {
    for (;;) {
      if (!SimStateFileExists(path)) onRemoved();
      std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    }
  }).detach();
  return true;
}

bool DeviceAccessDenied(std::string*) {
  return false;
}
