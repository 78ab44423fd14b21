// Watching for the device's removal beyond what the system reports by itself.
#pragma once

// Starts whatever this build needs so that the device's removal reaches mainWindow (an HWND) as
// WM_DEVICECHANGE / DBT_DEVICEREMOVECOMPLETE. The release build needs nothing: the system sends
// the notice to the registered window. The simulated build turns the disappearance of its state
// file into that notice. Returns false when the watch cannot be started.
bool StartDeviceWatch(void* mainWindow);
