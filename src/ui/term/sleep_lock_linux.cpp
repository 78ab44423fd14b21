// The sleep lock on Linux: logind's inhibitor lock, taken over the system bus with sd-bus.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>

#include "ui/term/sleep_lock.h"

namespace {

constexpr char WHAT_ALL[] =
    "sleep:shutdown:idle:handle-lid-switch:handle-power-key:handle-suspend-key:"
    "handle-hibernate-key";
constexpr char WHAT_SYSTEM[] = "sleep:shutdown:idle";
constexpr char WHO[] = "Tolvarin";
constexpr char WHY[] = "正在寫入測速器的韌體, 電腦必須保持開機.";
// A login manager that does not answer soon is not waited for: the run starts without the lock.
constexpr uint64_t CALL_TIMEOUT_MICROS = 5 * 1000 * 1000;

// One Inhibit call for `what`: the lock's descriptor, or a negative errno. *refused: logind
// answered that it will not grant this (policy, or a kind it does not know), as opposed to not
// being there to ask.
int Inhibit(sd_bus* bus, const char* what, bool* refused) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                                  "org.freedesktop.login1.Manager", "Inhibit", &error, &reply,
                                  "ssss", what, WHO, WHY, "block");
  *refused = result < 0 && sd_bus_error_has_names(&error, SD_BUS_ERROR_ACCESS_DENIED,
                                                  SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED,
                                                  SD_BUS_ERROR_INVALID_ARGS);
  int fd = -1;
  if (result >= 0) result = sd_bus_message_read(reply, "h", &fd);
  // The reply owns its descriptor and closes it with itself: the lock lasts as long as a copy.
  if (result >= 0) {
    result = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (result < 0) result = -errno;
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return result;
}

}  // namespace

int TakeSleepLock(SleepLockScope* scope) {
  *scope = SLEEP_LOCK_NONE;
  sd_bus* bus = nullptr;
  int result = sd_bus_open_system(&bus);
  if (result < 0) return result;
  sd_bus_set_method_call_timeout(bus, CALL_TIMEOUT_MICROS);
  bool refused = false;
  result = Inhibit(bus, WHAT_ALL, &refused);
  if (result >= 0) {
    *scope = SLEEP_LOCK_ALL;
  } else if (refused) {
    result = Inhibit(bus, WHAT_SYSTEM, &refused);
    if (result >= 0) *scope = SLEEP_LOCK_SYSTEM;
  }
  sd_bus_flush_close_unref(bus);
  return result;
}

void ReleaseSleepLock(int lock) {
  if (lock >= 0) close(lock);
}
