// The computer's clock, read in 64 bits: the one time the programs compare (a record's expiry).
#pragma once

#include <cstdint>

// Reads the computer's clock into *seconds, seconds since 1970-01-01 UTC, in 64 bits on every
// platform (a 32-bit time_t ends in 2038). Returns false, *seconds untouched, when the system
// cannot say the time or says a time before 1970 (a clock that dates nothing). Each program
// links one: the system's on Windows and Linux; the native tests bring their own ahead of it.
bool ReadSystemClock(int64_t* seconds);
