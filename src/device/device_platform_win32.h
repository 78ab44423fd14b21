// What the release build's Windows device back end offers beyond CDevicePlatform.
#pragma once

// Installs the function DeviceIo calls, on the requesting thread, when a request failed because
// the opened device has gone, before the failure is returned; null (the default): nobody is told
// and nothing is asked. A pulled cable fails the requests at once, milliseconds before the system's
// removal notice reaches the window: so the first failed request of an opened device waits up to
// REMOVAL_GRACE_MS for it to leave the disk interface list. Still listed, the failure is the
// device's own, and that device is not waited for again.
void SetDetachedHook(void (*onDetached)());

// How long a failed request waits for the device to leave the list, and how often it looks. Under
// Wine the interface went a few milliseconds after the first failed request.
constexpr unsigned REMOVAL_GRACE_MS = 1000;
constexpr unsigned LIST_POLL_MS = 20;
