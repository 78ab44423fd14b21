// What the device's information page says it is: model, versions and stamps.
#pragma once

#include <cstdint>

struct DeviceIdentity {
  int32_t modelCode;      // information byte 0
  char modelId[16];       // 4 characters, '?' for each one that is not 0-9 or A-F
  char shownVersion[16];  // longVersion in the long form, else mainVersion
  char mainVersion[16];   // 4 hex digits: low nibbles of bytes 0..3
  char longVersion[16];   // 8 hex digits: bytes 23, 22, 21, 20
  char stampV[16];        // bytes 4..6 as they are
  char stampI[16];        // 3 hex digits: low nibbles of bytes 16..18
};
