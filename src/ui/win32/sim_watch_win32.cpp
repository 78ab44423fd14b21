// The simulated build's device watch: the state file vanishing becomes a real removal notice.
#include "ui/win32/win32_api.h"
// windows.h first: dbt.h builds on its types.
#include <dbt.h>
#include <process.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/disk_interface_win32.h"
#include "device/sim_platform.h"
#include "ui/win32/device_watch.h"

namespace {

constexpr DWORD POLL_MS = 100;

struct WatchArgs {
  HWND window;
  std::string statePath;
};

// Sends the notice the system sends when a disk interface goes away, naming the simulated
// device's interface, to the window (synchronously, as the system does).
void SendRemoval(HWND window) {
  size_t nameUnits = static_cast<size_t>(TextLength(SIM_DEVICE_PATH)) + 1;
  std::vector<uint8_t> record(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                              nameUnits * sizeof(WChar));
  auto* notice = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record.data());
  notice->dbcc_size = static_cast<DWORD>(record.size());
  notice->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  notice->dbcc_reserved = 0;
  notice->dbcc_classguid = CDROM_INTERFACE_CLASS;
  std::memcpy(notice->dbcc_name, SIM_DEVICE_PATH, nameUnits * sizeof(WChar));
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(notice));
}

unsigned __stdcall Watch(void* argument) {
  auto* args = static_cast<WatchArgs*>(argument);
  bool present = SimStateFileExists(args->statePath);
  for (;;) {
    Sleep(POLL_MS);
    bool now = SimStateFileExists(args->statePath);
    if (present && !now) SendRemoval(args->window);
    present = now;
  }
}

}  // namespace

static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28, "name offset");

bool StartDeviceWatch(void* mainWindow) {
  // The simulated build's back end is the state-file device; the watch looks at the same file.
  auto* platform = static_cast<CSimFilePlatform*>(DefaultDevicePlatform());
  // Lives as long as the process, like the thread that reads it.
  auto* args = new WatchArgs{static_cast<HWND>(mainWindow), platform->statePath};
  uintptr_t thread = _beginthreadex(nullptr, 0, Watch, args, 0, nullptr);
  if (thread == 0) return false;
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}
