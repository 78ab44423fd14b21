// What the terminal program needs from its device back end beside the search: set-up, the removal
// watch, and why a found device could not be opened. One file per back end supplies it.
#pragma once

#include <string>

// Prepares the back end before the first search. The simulated build takes its state file and,
// from TOLVARIN_SIM_SERVER (host:port), its update server; the real one needs nothing.
void PrepareTermPlatform();

// Watches the device the search opened; calls onRemoved from another thread when it goes away.
// false when no watch can be started.
bool StartRemovalWatch(void (*onRemoved)());

// true when the last search found the device but was refused reading and writing for want of
// permission; *node then names the device file.
bool DeviceAccessDenied(std::string* node);
