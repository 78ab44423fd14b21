// The computer's clock on Windows: the system time as a FILETIME, never the C runtime's time(),
// which is 32 bits in the i686 msvcrt and fails after 2038-01-19.
#include <windows.h>

#include "platform/clock.h"

namespace {

constexpr uint64_t TICKS_PER_SECOND = 10000000;  // a FILETIME counts 100 ns since 1601-01-01
constexpr uint64_t TICKS_1601_TO_1970 = 11644473600ULL * TICKS_PER_SECOND;

}  // namespace

bool ReadSystemClock(int64_t* seconds) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  if (ticks < TICKS_1601_TO_1970) return false;
  *seconds = static_cast<int64_t>((ticks - TICKS_1601_TO_1970) / TICKS_PER_SECOND);
  return true;
}
