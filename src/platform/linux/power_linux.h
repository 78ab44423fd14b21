// The Linux power reading from a given power supply folder, so that tests can hand it a made-up
// sysfs tree.
#pragma once

#include <string>

#include "platform/power.h"

// ReadPowerStatus from `directory` (one folder per supply, as /sys/class/power_supply). On
// battery when no mains or USB supply is online and a battery of the computer's own is
// discharging, or when such supplies exist and all are offline. The charge is the batteries'
// together: their energies (or charges) summed, where every one reports them; else the lowest
// capacity.
PowerStatus ReadPowerStatusIn(const std::string& directory);
