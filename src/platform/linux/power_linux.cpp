// The computer's power state on Linux: the kernel's power supply class in sysfs.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/power.h"

namespace {

constexpr char POWER_SUPPLY_DIRECTORY[] = "/sys/class/power_supply";

// The first word of a sysfs attribute, or "" when it cannot be read.
std::string Attribute(const std::string& supply, const char* name) {
  std::string path = std::string(POWER_SUPPLY_DIRECTORY) + "/" + supply + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return "";
  char word[32] = {};
  int fields = std::fscanf(file, "%31s", word);
  std::fclose(file);
  return fields == 1 ? word : "";
}

}  // namespace

PowerStatus ReadPowerStatus() {
  PowerStatus status;
  DIR* directory = opendir(POWER_SUPPLY_DIRECTORY);
  if (directory == nullptr) return status;
  bool mains = false, discharging = false;
  int highest = -1;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    std::string supply = entry->d_name;
    std::string type = Attribute(supply, "type");
    if (type == "Mains" || type == "USB") {
      mains = mains || Attribute(supply, "online") == "1";
    } else if (type == "Battery" && Attribute(supply, "scope") != "Device") {
      // A mouse's or headset's battery ("scope" Device) does not power the computer.
      if (Attribute(supply, "status") == "Discharging") discharging = true;
      std::string capacity = Attribute(supply, "capacity");
      char* end = nullptr;
      long percent = std::strtol(capacity.c_str(), &end, 10);
      if (!capacity.empty() && *end == 0 && percent >= 0 && percent <= 100 && percent > highest)
        highest = static_cast<int>(percent);  // of two batteries, the fuller one runs last
    }
  }
  closedir(directory);
  if (mains || !discharging) {
    // On the mains, or no battery that powers the computer is running down.
    if (mains) status.source = POWER_MAINS;
    return status;
  }
  status.source = POWER_BATTERY;
  status.percent = highest;
  return status;
}
