// The Windows implementation of the UI seam, on the window handles kept in AppState.
#pragma once

#include "app/ui_port.h"
#include "ui/win32/win32_api.h"

// Control changes go to the handles in g_app (any other id is looked up among the main window's
// children); boxes are owned by g_app.mainWindow; strings come from the exe's string table;
// EndProcess calls exit(code), so the clean-up registered at start closes the device. Every
// method may be called from any thread: the platform hands cross-thread window calls to the
// main thread's message loop. Texts are the caller's and only read during the call. A worker's
// texts are handed to the window's thread without waiting for it; every other method first
// shows the texts set before it.
class CWin32UiPort : public CUiPort {
 public:
  void SetControlText(int id, const WChar* text) override;
  void EnableControl(int id, bool enabled) override;
  void ComboAddLine(const WChar* line) override;
  void ComboSelect(int line) override;
  int ComboSelection() override;
  int ShowMessage(const WChar* text, const WChar* caption, unsigned style) override;
  int LoadString(int id, WChar* dst, int capacity) override;
  [[noreturn]] void EndProcess(int code) override;
  // Sets the calling thread's execution state (ES_SYSTEM_REQUIRED while held); the window then
  // refuses the end of the session (ComputerHeld) and shows its reason.
  void HoldComputer(bool held) override;
};

// The window procedure's part of the hand-over, on the window's thread: WM_SHOW_TEXTS (wParam
// SHOW_TEXTS_WHEN_DUE, posted by a worker; SHOW_TEXTS_NOW, sent before another request) and
// TEXT_TIMER_ID's tick show the latest texts the workers set. While texts keep coming the tick
// takes them and the workers post nothing.
void OnShowTexts(HWND window, WPARAM when);
void OnTextTimer(HWND window);
// Called by the window procedure on the main window's WM_CREATE, on the thread that owns it.
void OnMainWindowCreated();

// Holding the computer up (CUiPort::HoldComputer): ComputerHeld is true while a run holds it, for
// the window's answer to WM_QUERYENDSESSION (any thread). OnHoldComputer is WM_HOLD_COMPUTER's
// handler (wParam 1 held, 0 let go) on the window's thread: it gives the window a reason for
// blocking the end of the session (TEXT_HOLD_REASON) where the system shows one, and takes it
// away when let go.
bool ComputerHeld();
void OnHoldComputer(HWND window, bool held);

// The program's one port (static storage, never destroyed before exit handlers run).
CUiPort* Win32UiPort();
