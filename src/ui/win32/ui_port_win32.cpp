// The Windows UI port: the platform's window calls on the handles in AppState.
#include "ui/win32/ui_port_win32.h"

#include "ui/win32/win32_api.h"

#include <atomic>
#include <cstdlib>

#include "app/app_state.h"
#include "app/messages.h"
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

// The thread that created the main window. Asking the window system (GetWindowThreadProcessId)
// takes, under Wine, its lock, which the window's thread holds while it paints: workers asking
// at every progress text waited up to milliseconds.
std::atomic<DWORD> g_windowThread{0};

// Also true before the window exists (start-up, tests without a window): nothing to hand to.
bool OnWindowThread() {
  return MainWindow() == nullptr || g_windowThread.load() == GetCurrentThreadId();
}

long long NowMs() {
  return static_cast<long long>(GetTickCount64());
}

void ShowText(int id, const WChar* text) {
  SetWindowTextW(Control(id), Wide(text));
}

void ShowHandedTexts() {
  g_texts.Take(NowMs(), ShowText);
}

// The period the text timer runs at (window's thread only); 0 while it is off.
UINT g_textTimerMs = 0;

void StopTextTimer(HWND window) {
  KillTimer(window, TEXT_TIMER_ID);
  g_textTimerMs = 0;
}

bool RunTextTimer(HWND window, UINT periodMs) {
  if (g_textTimerMs == periodMs) return true;
  g_textTimerMs = SetTimer(window, TEXT_TIMER_ID, periodMs, nullptr) != 0 ? periodMs : 0;
  return g_textTimerMs != 0;
}

// Shows what came since the last showing and, while texts keep coming (a run's progress), takes
// the next ones by the timer, so that a worker posts nothing: under Wine a post is a round trip
// to the window system's server, which the window's painting keeps busy, and the device waited
// for it at every hand-over. An empty tick stops the timer, and the next text posts again.
void ShowAndKeepTaking(HWND window) {
  if (g_texts.TakeWhileComing(NowMs(), ShowText) == 0) {
    StopTextTimer(window);
    return;
  }
  // No timer: the next text posts again rather than wait for a tick that never comes.
  if (!RunTextTimer(window, HAND_OVER_INTERVAL_MS)) g_texts.NoticeLost();
}

// Before anything else the worker asks of the window, the texts it set earlier are shown, so a
// box or a control change never appears beside an older text.
void ShowTextsFirst() {
  if (OnWindowThread())
    ShowHandedTexts();
  else
    SendMessageW(MainWindow(), WM_SHOW_TEXTS, SHOW_TEXTS_NOW, 0);
}

// Whether a run holds the computer up: set by the run's thread, read by the window's when the
// session is to end.
std::atomic<bool> g_computerHeld{false};
// Whether the window has a reason for blocking the end of the session (window's thread only).
bool g_blockReasonShown = false;

}  // namespace

void OnMainWindowCreated() {
  g_windowThread = GetCurrentThreadId();
}

void OnShowTexts(HWND window, WPARAM when) {
  if (when == SHOW_TEXTS_NOW) {
    StopTextTimer(window);
    ShowHandedTexts();
    return;
  }
  // Shown too recently: the timer shows them when due, the notice outstanding meanwhile. Without
  // a timer they are shown at once.
  int wait = g_texts.WaitMs(NowMs());
  if (wait > 0 && RunTextTimer(window, static_cast<UINT>(wait))) return;
  ShowAndKeepTaking(window);
}

void OnTextTimer(HWND window) {
  ShowAndKeepTaking(window);
}

bool ComputerHeld() {
  return g_computerHeld.load();
}

void OnHoldComputer(HWND window, bool held) {
  if (held && !g_blockReasonShown) {
    // Not every system shows a reason (Wine 8 has none: FALSE, error 120); the refusal of
    // WM_QUERYENDSESSION holds the session either way.
    g_blockReasonShown = ShutdownBlockReasonCreate(window, Wide(TEXT_HOLD_REASON)) != FALSE;
  } else if (!held && g_blockReasonShown) {
    ShutdownBlockReasonDestroy(window);
    g_blockReasonShown = false;
  }
}

void CWin32UiPort::SetControlText(int id, const WChar* text) {
  bool tell = g_texts.Store(id, text);
  if (OnWindowThread())
    ShowHandedTexts();
  else if (tell && !PostMessageW(MainWindow(), WM_SHOW_TEXTS, SHOW_TEXTS_WHEN_DUE, 0))
    g_texts.NoticeLost();  // the next text posts again
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

void CWin32UiPort::HoldComputer(bool held) {
  // The execution state is the calling thread's: the run holds and lets go on its own thread.
  SetThreadExecutionState(held ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
  if (g_computerHeld.exchange(held) == held || MainWindow() == nullptr) return;
  // A block reason may only be set by the window's own thread.
  if (OnWindowThread())
    OnHoldComputer(MainWindow(), held);
  else
    SendMessageW(MainWindow(), WM_HOLD_COMPUTER, held ? 1 : 0, 0);
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
