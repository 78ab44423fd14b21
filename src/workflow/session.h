// What both front ends do around the workers: the title, the search tick, the device's close at
// exit. (Which entries a run programs is RunSectorCount's and RunUpdate's rule, update_run.h.)
#pragma once

#include "base/text.h"

// The window title into dst (capacity units, cut and terminated): "Tolvarin - k47Q", with the
// forced-update suffix when FLAG_FORCE is set.
void FormatTitle(WChar* dst, int capacity);

// Shows the search progress for the current search count in the device label (through the UI
// port, using the shared text buffer: only while no worker runs).
void ShowSearchCount();

// One tick of the device search. Returns true when the device was found and opened
// (FLAG_DEVICE_FOUND is then set and the caller starts identification); otherwise counts the
// tick, shows the count and returns false.
bool SearchTick();

// Closes the device handle; each front end registers it with atexit once the back end exists, so
// that it runs before the back end is torn down.
void CloseDeviceAtExit();
