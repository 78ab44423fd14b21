// The simulated build's device watch (the state file vanishing becomes a real removal notice) and
// its answer to the tests' execution-state query.
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

UINT g_stateQuery = 0;
WNDPROC g_shellProc = nullptr;

// Reads the state without changing a held one: a call without ES_CONTINUOUS leaves a continuous
// state as it is (and the state before any run has none to keep).
LRESULT CALLBACK AnswerStateQuery(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == g_stateQuery && g_stateQuery != 0)
    return static_cast<LRESULT>(SetThreadExecutionState(0));
  return CallWindowProcW(g_shellProc, window, message, wParam, lParam);
}

}  // namespace

static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28, "name offset");

bool StartDeviceWatch(void* mainWindow) {
  // The simulated build's back end is the state-file device; the watch looks at the same file.
  HWND window = static_cast<HWND>(mainWindow);
  g_stateQuery = RegisterWindowMessageW(EXECUTION_STATE_QUERY);
  g_shellProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(AnswerStateQuery)));
  auto* platform = static_cast<CSimFilePlatform*>(DefaultDevicePlatform());
  // Lives as long as the process, like the thread that reads it.
  auto* args = new WatchArgs{window, platform->statePath};
  uintptr_t thread = _beginthreadex(nullptr, 0, Watch, args, 0, nullptr);
  if (thread == 0) return false;
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}
