// The Windows UI port: the platform's window calls on the handles in AppState.
#include "ui/win32/ui_port_win32.h"

#include "ui/win32/win32_api.h"

#include <cstdlib>

#include "app/app_state.h"
#include "app/text_hand_over.h"
#include "ui/win32/window_win32.h"

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

// A worker's SetWindowText would be a message sent to the window's thread and waited for while
// that thread repaints; texts are handed over instead (app/text_hand_over.h says how order is
// kept). Only the window's thread calls SetWindowText for them.
CTextHandOver g_texts;

HWND MainWindow() {
  return static_cast<HWND>(g_app.mainWindow);
}

// Also true before the window exists (start-up, tests without a window): nothing to hand to.
bool OnWindowThread() {
  HWND window = MainWindow();
  return window == nullptr || GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

void ShowHandedTexts() {
  g_texts.Take(static_cast<long long>(GetTickCount64()),
               [](int id, const WChar* text) { SetWindowTextW(Control(id), Wide(text)); });
}

// Before anything else the worker asks of the window, the texts it set earlier are shown, so a
// box or a control change never appears beside an older text.
void ShowTextsFirst() {
  if (OnWindowThread())
    ShowHandedTexts();
  else
    SendMessageW(MainWindow(), WM_SHOW_TEXTS, SHOW_TEXTS_NOW, 0);
}

}  // namespace

void OnShowTexts(HWND window, WPARAM when) {
  if (when == SHOW_TEXTS_WHEN_DUE) {
    int wait = g_texts.WaitMs(static_cast<long long>(GetTickCount64()));
    if (wait > 0) {
      // The notice stays outstanding, so the worker posts no more until the timer shows them.
      SetTimer(window, TEXT_TIMER_ID, static_cast<UINT>(wait), nullptr);
      return;
    }
  }
  KillTimer(window, TEXT_TIMER_ID);
  ShowHandedTexts();
}

void CWin32UiPort::SetControlText(int id, const WChar* text) {
  bool tell = g_texts.Store(id, text);
  if (OnWindowThread())
    ShowHandedTexts();
  else if (tell)
    PostMessageW(MainWindow(), WM_SHOW_TEXTS, SHOW_TEXTS_WHEN_DUE, 0);
}

void CWin32UiPort::EnableControl(int id, bool enabled) {
  ShowTextsFirst();
  EnableWindow(Control(id), enabled ? TRUE : FALSE);
}

void CWin32UiPort::ComboAddLine(const WChar* line) {
  ShowTextsFirst();
  SendMessageW(Combo(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(line)));
}

void CWin32UiPort::ComboSelect(int line) {
  ShowTextsFirst();
  SendMessageW(Combo(), CB_SETCURSEL, static_cast<WPARAM>(line), 0);
}

int CWin32UiPort::ComboSelection() {
  ShowTextsFirst();
  return static_cast<int>(SendMessageW(Combo(), CB_GETCURSEL, 0, 0));
}

int CWin32UiPort::ShowMessage(const WChar* text, const WChar* caption, unsigned style) {
  ShowTextsFirst();
  return MessageBoxW(MainWindow(), Wide(text), Wide(caption), style);
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
  ShowTextsFirst();
  std::exit(code);
}

CUiPort* Win32UiPort() {
  // Never destroyed: a worker may still report while the process runs its exit handlers.
  static CWin32UiPort* port = new CWin32UiPort;
  return port;
}
