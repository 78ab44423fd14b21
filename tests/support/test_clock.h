// The native tests' clock: the computer's, or what a test sets until it resets it.
#pragma once

#include <cstdint>

// From now on ReadSystemClock gives seconds (readable) or fails (not readable).
void SetTestClock(bool readable, int64_t seconds);
// Back to the computer's clock.
void ResetTestClock();
