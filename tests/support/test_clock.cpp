// ReadSystemClock for the native tests: linked as an object, ahead of the platform library's.
#include "support/test_clock.h"

#include <ctime>

#include "platform/clock.h"

namespace {

bool g_set = false, g_readable = true;
int64_t g_seconds = 0;

}  // namespace

void SetTestClock(bool readable, int64_t seconds) {
  g_set = true;
  g_readable = readable;
  g_seconds = seconds;
}

void ResetTestClock() {
  g_set = false;
}

bool ReadSystemClock(int64_t* seconds) {
  if (!g_set) {
    *seconds = static_cast<int64_t>(std::time(nullptr));  // 64 bits on the native build
    return true;
  }
  if (g_readable) *seconds = g_seconds;
  return g_readable;
}
