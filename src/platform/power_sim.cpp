// The simulated programs' power state: what the test wrote into the file TOLVARIN_SIM_POWER names.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/power.h"

PowerStatus ReadPowerStatus() {
  PowerStatus status;
  const char* path = std::getenv("TOLVARIN_SIM_POWER");
  if (path == nullptr || *path == 0) return status;
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return status;
  // Read afresh at every Start, so a test can plug the charger in between two presses.
  char word[16] = {};
  int percent = -1;
  int fields = std::fscanf(file, "%15s %d", word, &percent);
  std::fclose(file);
  if (fields >= 1 && std::strcmp(word, "mains") == 0) {
    status.source = POWER_MAINS;
  } else if (fields == 2 && std::strcmp(word, "battery") == 0 && percent >= 0 && percent <= 100) {
    status.source = POWER_BATTERY;
    status.percent = percent;
  }
  return status;
}
