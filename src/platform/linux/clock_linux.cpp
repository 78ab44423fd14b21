// The computer's clock on Linux: CLOCK_REALTIME.
#include <time.h>

#include "platform/clock.h"

bool ReadSystemClock(int64_t* seconds) {
  timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return false;
  *seconds = static_cast<int64_t>(now.tv_sec);
  return true;
}
