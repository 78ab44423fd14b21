// What a build adds to the main window: the removal watch, and the simulated build's test query.
#pragma once

// Starts whatever this build needs so that the device's removal reaches mainWindow (an HWND) as
// WM_DEVICECHANGE / DBT_DEVICEREMOVECOMPLETE. The release build needs nothing: the system sends
// the notice to the registered window. The simulated build turns the disappearance of its state
// file into that notice. Returns false when the watch cannot be started.
bool StartDeviceWatch(void* mainWindow);

// The simulated build's main window answers this registered message (RegisterWindowMessageW)
// with the process's execution state as SetThreadExecutionState reports it under Wine, which
// tracks one state a process: so the tests see whether a run holds the computer up. The release
// build does not answer it.
constexpr wchar_t EXECUTION_STATE_QUERY[] = L"Tolvarin.ExecutionStateQuery";
