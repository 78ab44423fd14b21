// The Windows shell's window pieces shared by the entry point and the window procedure.
#pragma once

#include "base/text.h"
#include "ui/win32/win32_api.h"

constexpr UINT_PTR SEARCH_TIMER_ID = 0;
constexpr UINT_PTR TEXT_TIMER_ID = 1;
// Control texts handed over by the workers (ui_port_win32.h): wParam says when to show them.
constexpr UINT WM_SHOW_TEXTS = WM_APP + 1;
constexpr WPARAM SHOW_TEXTS_WHEN_DUE = 0;
constexpr WPARAM SHOW_TEXTS_NOW = 1;
// The run holding the computer up (wParam 1) or letting go (0), sent to the window's thread.
constexpr UINT WM_HOLD_COMPUTER = WM_APP + 2;
constexpr UINT SEARCH_PERIOD_MS = 1000;
constexpr WORD CMD_ABOUT = 104;
constexpr int ABOUT_DIALOG_ID = 103;
constexpr int ACCELERATORS_ID = 109;
constexpr int LARGE_ICON_ID = 107;
constexpr int SMALL_ICON_ID = 108;
// Caption and sizing border; no system menu, so no close, minimise or maximise box.
constexpr DWORD MAIN_WINDOW_STYLE = WS_CAPTION | WS_THICKFRAME;
constexpr int CLIENT_WIDTH = 400;
constexpr int CLIENT_HEIGHT = 450;
// Where the interface name starts in a DEV_BROADCAST_DEVICEINTERFACE record (after size, type,
// reserved word and class GUID), and the buffer it is copied into.
constexpr int BROADCAST_NAME_OFFSET = 28;
constexpr int REMOVED_NAME_CAPACITY = 256;

// Starts a worker thread detached; true when it runs. The window starts both workers through
// g_startWorker, which tests replace to see a thread that cannot be started.
using WorkerStarter = bool (*)(unsigned(__stdcall* worker)(void*));
extern WorkerStarter g_startWorker;

// The main window's procedure: controls, device search timer, Start/Exit/About, removal watch.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The About box: TRUE on init and on IDOK/IDCANCEL (which end it with that id), else FALSE.
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// True when a WM_DEVICECHANGE removal record (lParam) names the opened device: its interface
// name, copied into REMOVED_NAME_CAPACITY units and cut to fit, holds both device tokens in any
// ASCII letter case, and the whole name equals openedPath (the path the search opened) in any
// ASCII letter case. So another detector's removal is not the opened one's. Both are only read.
bool RemovalNamesDevice(const void* record, const WChar* openedPath);
