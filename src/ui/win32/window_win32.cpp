// The main window's procedure: its controls, the device search, the workers and the removal watch.
#include "ui/win32/window_win32.h"

#include <dbt.h>
#include <process.h>

#include <cstdint>
#include <cstdlib>

#include "app/app_state.h"
#include "base/strings.h"
#include "ui/win32/dpi_win32.h"
#include "ui/win32/ui_port_win32.h"
#include "workflow/identify.h"
#include "workflow/run_images.h"
#include "workflow/session.h"
#include "workflow/update_run.h"

namespace {

const wchar_t* Wide(const WChar* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

struct ControlSpec {
  const wchar_t* windowClass;
  int captionId;  // string table id, 0 for an empty caption, -1 for the search progress
  DWORD style;
  int x, y, width, height;
  int id;
  void** kept;  // where AppState keeps the handle, or nullptr
};

constexpr DWORD GROUP_STYLE = WS_CHILD | WS_VISIBLE | BS_GROUPBOX;  // 0x50000007
constexpr DWORD LABEL_STYLE = WS_CHILD | WS_VISIBLE | SS_CENTER;    // 0x50000001
constexpr DWORD BUTTON_STYLE = WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON;
constexpr DWORD COMBO_STYLE = WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST | CBS_HASSTRINGS;
static_assert(GROUP_STYLE == 0x50000007 && LABEL_STYLE == 0x50000001 &&
                  BUTTON_STYLE == 0x50000001 && COMBO_STYLE == 0x50000203,
              "control styles");

// The controls in creation order, at 96 DPI; every other scale is computed from these numbers.
const ControlSpec CONTROLS[] = {
    {L"Button", STR_DEVICE_GROUP, GROUP_STYLE, 15, 10, 370, 80, ID_DEVICE_GROUP, nullptr},
    {L"STATIC", -1, LABEL_STYLE, 50, 40, 300, 40, ID_DEVICE_LABEL, &g_app.deviceVersionLabel},
    {L"Button", STR_LATEST_GROUP, GROUP_STYLE, 15, 100, 370, 70, ID_VERSION_GROUP, nullptr},
    {L"Button", STR_AVAILABLE_GROUP, GROUP_STYLE, 15, 180, 370, 80, ID_VERSION_GROUP, nullptr},
    {L"STATIC", 0, LABEL_STYLE, 60, 130, 280, 35, ID_LATEST_LABEL, &g_app.latestVersionLabel},
    {L"BUTTON", STR_START, BUTTON_STYLE, 100, 290, 200, 50, ID_START_BUTTON, &g_app.startButton},
    {L"BUTTON", STR_EXIT, BUTTON_STYLE, 100, 370, 200, 50, ID_EXIT_BUTTON, &g_app.exitButton},
    {L"ComboBox", 0, COMBO_STYLE, 40, 210, 320, 400, ID_VERSION_COMBO, &g_app.versionCombo},
};
constexpr size_t CONTROL_COUNT = sizeof CONTROLS / sizeof CONTROLS[0];

// The main window's controls (two group boxes share an id) and the font they draw with, at the
// DPI they are laid out for. Main thread only.
struct Layout {
  HWND controls[CONTROL_COUNT];
  HFONT font;
  unsigned dpi;
};
Layout g_layout = {};

// Places every control for `dpi` and gives each (group captions too) the UI font of that DPI.
// The workers are not involved: they keep writing texts, which the controls draw in the new font.
void LayOutControls(HWND window, unsigned dpi) {
  HFONT font = CreateUiFont(dpi);
  for (size_t i = 0; i < CONTROL_COUNT; ++i) {
    HWND control = g_layout.controls[i];
    if (control == nullptr) continue;
    if (font != nullptr) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    // After the font: a drop-down list sizes its field to its font, and the height given here is
    // that of the open list.
    const ControlSpec& row = CONTROLS[i];
    SetWindowPos(control, nullptr, ScaleForDpi(row.x, dpi), ScaleForDpi(row.y, dpi),
                 ScaleForDpi(row.width, dpi), ScaleForDpi(row.height, dpi),
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (font != nullptr) {
    // The controls no longer draw with the old font.
    DeleteUiFont(g_layout.font);
    g_layout.font = font;
  }
  g_layout.dpi = dpi;
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void CreateControls(HWND window) {
  HINSTANCE instance = static_cast<HINSTANCE>(g_app.instance);
  unsigned dpi = WindowDpi(window);
  for (size_t i = 0; i < CONTROL_COUNT; ++i) {
    const ControlSpec& row = CONTROLS[i];
    if (row.captionId > 0)
      g_app.ui->LoadString(row.captionId, g_app.textBuffer, TEXT_CAPACITY);
    else if (row.captionId < 0)
      FormatText(g_app.textBuffer, TEXT_CAPACITY, g_app.searchFormat, 0);
    else
      g_app.textBuffer[0] = 0;
    HWND control = CreateWindowExW(
        0, row.windowClass, Wide(g_app.textBuffer), row.style, ScaleForDpi(row.x, dpi),
        ScaleForDpi(row.y, dpi), ScaleForDpi(row.width, dpi), ScaleForDpi(row.height, dpi), window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, nullptr);
    g_layout.controls[i] = control;
    if (row.kept != nullptr) *row.kept = control;
    // Start waits for the update check; the list for the catalogue.
    if (row.id == ID_EXIT_BUTTON) EnableWindow(static_cast<HWND>(g_app.startButton), FALSE);
    if (row.id == ID_VERSION_COMBO) EnableWindow(control, FALSE);
  }
  LayOutControls(window, dpi);
}

// The window moved to a monitor of another scale (or the scale changed): the controls and the
// font for the new DPI, then the system's suggested rectangle, its client area made the layout's
// at that DPI (the system scales the whole frame, and per monitor v1 leaves the frame unscaled).
void OnDpiChanged(HWND window, WPARAM dpis, const RECT* suggested) {
  unsigned dpi = HIWORD(dpis);
  LayOutControls(window, dpi);
  if (suggested == nullptr) return;
  SetWindowPos(window, nullptr, suggested->left, suggested->top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  SizeClientArea(window, ScaleForDpi(CLIENT_WIDTH, dpi), ScaleForDpi(CLIENT_HEIGHT, dpi),
                 {suggested->right - suggested->left, suggested->bottom - suggested->top});
}

void ReleaseLayout() {
  // The controls are gone by now: nothing draws with the font any more.
  DeleteUiFont(g_layout.font);
  g_layout = {};
}

// Identification, the update check and, once a run is offered, the prefetch: the window's own
// thread never waits for the network.
unsigned __stdcall IdentifyWorker(void*) {
  IdentifyDevice();
  PrefetchRunImages();
  return 0;
}

unsigned __stdcall UpdateWorker(void*) {
  RunUpdate();
  return 0;
}

// Runs `worker` detached: nothing waits for it, so its handle is closed at once. A thread that
// cannot be started is not reported.
bool StartWorkerThread(unsigned(__stdcall* worker)(void*)) {
  uintptr_t thread = _beginthreadex(nullptr, 0, worker, nullptr, 0, nullptr);
  if (thread == 0) return false;
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}

void OnTimer(HWND window) {
  if (!SearchTick()) return;
  // The timer stops before identification starts: from here on the workers own textBuffer.
  KillTimer(window, SEARCH_TIMER_ID);
  g_startWorker(IdentifyWorker);
}

void OnStart() {
  if (g_app.runStarted.load() != 0) return;
  // On a nearly flat battery the box asks for the charger; Start stays as it was.
  if (!PowerAllowsRun()) return;
  // Two runs writing flash at once would corrupt it: only the first press starts one, and Start
  // is off before the worker exists.
  if (g_app.runStarted.exchange(1) != 0) return;
  EnableWindow(static_cast<HWND>(g_app.startButton), FALSE);
  if (!g_startWorker(UpdateWorker)) {
    // No run exists: the window stays as it was and a later press may try again.
    EnableWindow(static_cast<HWND>(g_app.startButton), TRUE);
    g_app.runStarted = 0;
  }
}

void OnDeviceChange(WPARAM event, LPARAM lParam) {
  if (!(g_app.runFlags & FLAG_DEVICE_FOUND) || event != DBT_DEVICEREMOVECOMPLETE) return;
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
  // Another disk went away, maybe another detector.
  if (!RemovalNamesDevice(header, g_app.hidCmd.io.OpenedPath())) return;
  // The found device is gone: end through the normal exit path, which closes its handle.
  std::exit(0);
}

}  // namespace

WorkerStarter g_startWorker = StartWorkerThread;

bool RemovalNamesDevice(const void* record, const WChar* openedPath) {
  const auto* notice =
      reinterpret_cast<const WChar*>(static_cast<const uint8_t*>(record) + BROADCAST_NAME_OFFSET);
  WChar name[REMOVED_NAME_CAPACITY];
  CopyText(name, REMOVED_NAME_CAPACITY, notice);
  // The tokens turn away other makers' disks; the path tells two detectors apart. The system
  // need not keep the case the search saw (Wine upper-cases the device ID part).
  return MatchesRemovedDeviceName(name) && TextEqualsIgnoringAsciiCase(notice, openedPath);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      OnMainWindowCreated();
      CreateControls(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      ReleaseLayout();
      break;
    case WM_DPICHANGED:
      OnDpiChanged(window, wParam, reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_PAINT: {
      // The class background and the controls make the whole picture.
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case CMD_ABOUT:
          DialogBoxParamW(static_cast<HINSTANCE>(g_app.instance), MAKEINTRESOURCEW(ABOUT_DIALOG_ID),
                          window, AboutDialogProc, 0);
          return 0;
        case ID_START_BUTTON:
          OnStart();
          return 0;
        case ID_EXIT_BUTTON:
          DestroyWindow(window);
          return 0;
        case ID_VERSION_COMBO:
          // Another main image: the prefetch goes for it.
          if (HIWORD(wParam) == CBN_SELCHANGE) NoteSelectionChanged();
          break;
        default:
          break;
      }
      break;
    case WM_TIMER:
      if (wParam == TEXT_TIMER_ID)
        OnTextTimer(window);
      else
        OnTimer(window);
      return 0;
    case WM_SHOW_TEXTS:
      OnShowTexts(window, wParam);
      return 0;
    case WM_HOLD_COMPUTER:
      OnHoldComputer(window, wParam != 0);
      return 0;
    case WM_QUERYENDSESSION:
      // A session that ended mid-write would leave the device half written.
      if (ComputerHeld()) return FALSE;
      break;
    case WM_DEVICECHANGE:
      OnDeviceChange(wParam, lParam);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}
