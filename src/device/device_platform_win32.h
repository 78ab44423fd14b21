// What the release build's Windows device back end offers beyond CDevicePlatform.
#pragma once

#include <windows.h>
// windows.h first: SetupAPI builds on its types.
#include <setupapi.h>

#include <memory>

#include "device/device_platform.h"

// Installs the function DeviceIo calls, on the requesting thread, when a request failed because
// the opened device has gone, before the failure is returned; null (the default): nobody is told
// and nothing is asked. A pulled cable fails the requests at once, milliseconds before the system's
// removal notice reaches the window: so a failed request waits up to REMOVAL_GRACE_MS for the
// opened device to leave the disk interface list. Still listed, the failure is the device's own.
// A device is looked for again only on a failure after it has answered a request since the last
// look, and at least REMOVAL_LOOK_INTERVAL_MS after that look: a device that keeps failing costs
// at most one grace per interval, and a passing failure does not use up the look a later unplug
// needs.
void SetDetachedHook(void (*onDetached)());

// How long a failed request waits for the device to leave the list, and how often it looks. Under
// Wine the interface went a few milliseconds after the first failed request.
constexpr unsigned REMOVAL_GRACE_MS = 1000;
constexpr unsigned LIST_POLL_MS = 20;
constexpr unsigned REMOVAL_LOOK_INTERVAL_MS = 1000;

// The SetupAPI functions the back end lists the disk interfaces with.
struct SetupApi {
  decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevsW;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailW) SetupDiGetDeviceInterfaceDetailW;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
  bool complete;
};

// A back end of its own that lists interfaces with `api` (the caller's, outliving it); null: the
// system's SetupAPI, loaded from System32 on first use, as DefaultDevicePlatform does. Only the
// interface list is `api`'s: opening and requests go to the system.
std::unique_ptr<CDevicePlatform> NewWin32DevicePlatform(const SetupApi* api);
