// Keeping the computer on while the device's flash is written: a lock the system honours.
#pragma once

// Asks the system not to sleep, shut down, go idle or act on the lid and power keys until the
// returned descriptor is closed (the caller's to close with ReleaseSleepLock). A negative result
// means no lock (no system bus, no login manager, or it refused): the caller goes on without one.
int TakeSleepLock();

// Lets go of a lock TakeSleepLock returned; a negative descriptor is ignored.
void ReleaseSleepLock(int lock);
