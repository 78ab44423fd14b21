// The update run: every pending entry's image in hand and checked, then each programmed and
// verified, then the finishing command.
#pragma once

#include <cstdint>

// The update worker, started by Start. Disables Start, Exit and the version list; gathers the
// image of every entry it applies (RunEntries: every pending entry, every entry with a size in
// forced mode; of the main images only the selected one), each taken from the prefetch or
// fetched now, and checked; only then programs and verifies them in catalogue order, sends
// CMD_UPDATE_AGAIN or CMD_UPDATE_DONE, shows the closing box and asks the process to end. Every
// failure is reported and ends the process; a failure to have an image in hand ends it before any
// request but reads reached the device. Holds the computer up (CUiPort::HoldComputer) from its
// start to its closing box. Returns 0.
int RunUpdate();

// Asked by a front end when Start is pressed, before it starts RunUpdate: true when the run may
// start. On a battery below LOW_BATTERY_PERCENT it shows the box asking for the charger and
// returns false; the run must not start, and a later Start asks again.
bool PowerAllowsRun();

// The sectors a run started now with version-list line `selectedLine` (-1: none) would write,
// from the catalogue's sizes of the entries it applies (each image holds its 32-byte header and
// 4096 bytes a sector). Each is written once and verified once.
int32_t RunSectorCount(int selectedLine);
