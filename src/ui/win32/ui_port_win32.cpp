// The Windows UI port: the platform's window calls on the handles in AppState.
#include "ui/win32/ui_port_win32.h"

#include "ui/win32/win32_api.h"

#include <cstdlib>

#include "app/app_state.h"

static_assert(sizeof(wchar_t) == sizeof(WChar), "UTF-16 units are handed over as wchar_t");

namespace {

const wchar_t* Wide(const WChar* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

HWND Control(int id) {
  void* handle = nullptr;
  switch (id) {
    case ID_START_BUTTON:
      handle = g_app.startButton;
      break;
    case ID_EXIT_BUTTON:
      handle = g_app.exitButton;
      break;
    case ID_DEVICE_LABEL:
      handle = g_app.deviceVersionLabel;
      break;
    case ID_LATEST_LABEL:
      handle = g_app.latestVersionLabel;
      break;
    case ID_VERSION_COMBO:
      handle = g_app.versionCombo;
      break;
    default:
      return GetDlgItem(static_cast<HWND>(g_app.mainWindow), id);
  }
  return static_cast<HWND>(handle);
}

HWND Combo() {
  return static_cast<HWND>(g_app.versionCombo);
}

}  // namespace

void CWin32UiPort::SetControlText(int id, const WChar* text) {
  SetWindowTextW(Control(id), Wide(text));
}

void CWin32UiPort::EnableControl(int id, bool enabled) {
  EnableWindow(Control(id), enabled ? TRUE : FALSE);
}

void CWin32UiPort::ComboAddLine(const WChar* line) {
  SendMessageW(Combo(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(line)));
}

void CWin32UiPort::ComboSelect(int line) {
  SendMessageW(Combo(), CB_SETCURSEL, static_cast<WPARAM>(line), 0);
}

int CWin32UiPort::ComboSelection() {
  return static_cast<int>(SendMessageW(Combo(), CB_GETCURSEL, 0, 0));
}

int CWin32UiPort::ShowMessage(const WChar* text, const WChar* caption, unsigned style) {
  return MessageBoxW(static_cast<HWND>(g_app.mainWindow), Wide(text), Wide(caption), style);
}

int CWin32UiPort::LoadString(int id, WChar* dst, int capacity) {
  if (capacity <= 0) return 0;
  dst[0] = 0;
  HINSTANCE instance = static_cast<HINSTANCE>(g_app.instance);
  if (instance == nullptr) instance = GetModuleHandleW(nullptr);
  // LoadStringW cuts to capacity - 1 units and terminates.
  return LoadStringW(instance, static_cast<UINT>(id), reinterpret_cast<wchar_t*>(dst), capacity);
}

void CWin32UiPort::EndProcess(int code) {
  std::exit(code);
}

CUiPort* Win32UiPort() {
  // Never destroyed: a worker may still report while the process runs its exit handlers.
  static CWin32UiPort* port = new CWin32UiPort;
  return port;
}
