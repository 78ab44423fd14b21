// Process start of the Windows program: state set-up, window class, main window, message loop.
#include "ui/win32/win32_api.h"
// windows.h first: dbt.h builds on its types.
#include <dbt.h>

#include <cstdlib>

#include "app/app_state.h"
#include "app/messages.h"
#include "base/strings.h"
#include "device/disk_interface_win32.h"
#include "platform/win32/system_library_win32.h"
#include "ui/win32/device_watch.h"
#include "ui/win32/dpi_win32.h"
#include "ui/win32/ui_port_win32.h"
#include "ui/win32/window_win32.h"
#include "workflow/session.h"

namespace {

constexpr WChar FORCE_SWITCH[] = u"f";
constexpr DWORD NOTIFICATION_FILTER_SIZE = 32;
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == NOTIFICATION_FILTER_SIZE,
              "device-interface filter with an empty name");

const wchar_t* Wide(const WChar* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

void RegisterMainClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(LARGE_ICON_ID));
  // LoadIcon would take the 32 px image; the small icon has a 16 px one of its own.
  windowClass.hIconSm = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(SMALL_ICON_ID), IMAGE_ICON,
                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  windowClass.lpszClassName = Wide(g_app.className);
  // A failed registration shows up as a failed window creation.
  RegisterClassExW(&windowClass);
}

// Sizes and centres the main window for the DPI it was created at: the client area is the layout's
// 400 x 450 at that scale, and the point half of it up and left of the monitor's centre is the
// window's top-left corner (the client box is centred, not the frame). Kept on the monitor's work
// area where that would push the caption off it, so that the window can still be moved.
void PlaceMainWindow(HWND window) {
  unsigned dpi = WindowDpi(window);
  int clientWidth = ScaleForDpi(CLIENT_WIDTH, dpi);
  int clientHeight = ScaleForDpi(CLIENT_HEIGHT, dpi);
  RECT screen;
  GetClientRect(GetDesktopWindow(), &screen);
  RECT work = screen;
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
    screen = monitor.rcMonitor;
    work = monitor.rcWork;
  }
  int x = screen.left + (screen.right - screen.left) / 2 - clientWidth / 2;
  int y = screen.top + (screen.bottom - screen.top) / 2 - clientHeight / 2;
  if (x < work.left) x = work.left;
  if (y < work.top) y = work.top;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  SizeClientArea(window, clientWidth, clientHeight,
                 FrameSizeForClient(clientWidth, clientHeight, MAIN_WINDOW_STYLE, dpi));
}

bool CreateMainWindow(HINSTANCE instance, int showMode) {
  g_app.instance = instance;
  FormatTitle(g_app.textBuffer, TEXT_CAPACITY);
  // Made hidden at the 100 % place, on the monitor it will show on; sized and centred for that
  // monitor's scale before it is shown.
  SIZE frame = FrameSizeForClient(CLIENT_WIDTH, CLIENT_HEIGHT, MAIN_WINDOW_STYLE, BASE_DPI);
  RECT desktop;
  GetClientRect(GetDesktopWindow(), &desktop);
  HWND window =
      CreateWindowExW(0, Wide(g_app.className), Wide(g_app.textBuffer), MAIN_WINDOW_STYLE,
                      desktop.right / 2 - CLIENT_WIDTH / 2, desktop.bottom / 2 - CLIENT_HEIGHT / 2,
                      frame.cx, frame.cy, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return false;
  PlaceMainWindow(window);
  g_app.mainWindow = window;
  SetTimer(window, SEARCH_TIMER_ID, SEARCH_PERIOD_MS, nullptr);
  ShowWindow(window, showMode);
  UpdateWindow(window);

  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = NOTIFICATION_FILTER_SIZE;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = CDROM_INTERFACE_CLASS;
  // The handle is not kept: the registration lasts as long as the process.
  if (RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) == nullptr)
    return false;
  return StartDeviceWatch(window);
}

// The DLL search is restricted before any other code of the program runs. The loader calls an
// exe's TLS callbacks once its static imports (KnownDLLs only) are in, before the entry point and
// so before the C runtime's constructors. One of those, the stack protector runtime's (libssp),
// asks the crypto provider for its canary, which loads DLLs: restricted first, they come from the
// system folder only, and the canary keeps a random source that a canary made without a DLL load
// (time, process id, addresses) would not have.
void NTAPI RestrictDllSearchAtStart(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_PROCESS_ATTACH) RestrictDllSearchToSystem();
}

void ApplyForceSwitch(const wchar_t* commandLine) {
  if (!TextEquals(reinterpret_cast<const WChar*>(commandLine), FORCE_SWITCH)) return;
  g_app.runFlags |= FLAG_FORCE;
  FormatTitle(g_app.textBuffer, TEXT_CAPACITY);
  SetWindowTextW(static_cast<HWND>(g_app.mainWindow), Wide(g_app.textBuffer));
}

}  // namespace

// Sorted before the C runtime's own TLS callbacks (.CRT$XLC and on), so it runs first of all.
extern "C" __attribute__((section(".CRT$XLB"), used))
const PIMAGE_TLS_CALLBACK tolvarinRestrictDllSearch = RestrictDllSearchAtStart;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showMode) {
  g_app.ui = Win32UiPort();
  g_app.hidCmd.io.platform = DefaultDevicePlatform();
  // Registered after the back end exists, so it runs before the back end is torn down.
  std::atexit(CloseDeviceAtExit);
  g_app.instance = instance;

  g_app.ui->LoadString(STR_CLASS_NAME, g_app.className, TEXT_CAPACITY);
  g_app.ui->LoadString(STR_SEARCH_FORMAT, g_app.searchFormat, TEXT_CAPACITY);
  RegisterMainClass(instance);
  if (!CreateMainWindow(instance, showMode)) return 0;
  HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(ACCELERATORS_ID));
  ApplyForceSwitch(commandLine != nullptr ? commandLine : L"");

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (TranslateAcceleratorW(message.hwnd, accelerators, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
