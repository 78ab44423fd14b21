// Device identification: what the 256-byte information page says, and the phase that reads and
// shows it.
#pragma once

#include <cstdint>

#include "device/device_identity.h"

// Everything the page alone decides.
struct IdentityResult {
  DeviceIdentity identity;
  bool longForm;   // byte 7 has bit 0x02 and byte 20 is non-zero
  char poolChar;   // replaces character 6 of the pool directory name
  bool malformed;  // the model identifier held a character other than 0-9, A-F
};

// Derives the identity from a 256-byte information page (the caller's buffer, only read).
IdentityResult DeriveIdentity(const uint8_t* page);

// First phase of the identification worker: reads the information page (into a zeroed buffer,
// so a failed read is an all-zero page), stores the identity, the long-form flag and the pool
// directory in the application state and shows the version line. Returns true to go on with the
// update check; false after error 0300 has been reported and the process told to end.
bool IdentifyConnectedDevice();

// The identification worker: identification, then the update check. Returns 1.
int IdentifyDevice();
