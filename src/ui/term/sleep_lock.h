// Keeping the computer on while the device's flash is written: a lock the system honours.
#pragma once

// How much of the lock the system granted.
enum SleepLockScope {
  SLEEP_LOCK_NONE,    // nothing: no system bus, no login manager, or it refused even the least
  SLEEP_LOCK_SYSTEM,  // sleep, shutdown and idle, but not the lid and the power and sleep keys
  SLEEP_LOCK_ALL      // sleep, shutdown, idle, the lid and the power and sleep keys
};

// Asks the system not to sleep, shut down, go idle or act on the lid and power keys until the
// returned descriptor is closed (the caller's to close with ReleaseSleepLock). Where the system
// refuses the whole (a policy may forbid holding the lid or the keys), asks again for sleep,
// shutdown and idle alone. *scope says what is held. A negative result means no lock
// (SLEEP_LOCK_NONE): the caller goes on without one.
int TakeSleepLock(SleepLockScope* scope);

// Lets go of a lock TakeSleepLock returned; a negative descriptor is ignored.
void ReleaseSleepLock(int lock);
