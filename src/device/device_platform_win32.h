// What the release build's Windows device back end offers beyond CDevicePlatform.
#pragma once

// Installs the function DeviceIo calls, on the requesting thread, when a request fails, before
// the failure is returned; null (the default): nobody is told. A pulled cable fails the requests
// at once, before the system's removal notice reaches the window.
void SetRequestFailureHook(void (*onFailed)());
