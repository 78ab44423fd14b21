// The computer's power state on Linux: the kernel's power supply class in sysfs.
#include "platform/linux/power_linux.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr char POWER_SUPPLY_DIRECTORY[] = "/sys/class/power_supply";

// The first word of a sysfs attribute, or "" when it cannot be read.
std::string Attribute(const std::string& supply, const char* name) {
  std::FILE* file = std::fopen((supply + "/" + name).c_str(), "r");
  if (file == nullptr) return "";
  char word[32] = {};
  int fields = std::fscanf(file, "%31s", word);
  std::fclose(file);
  return fields == 1 ? word : "";
}

// A non-negative decimal attribute, or -1.
long long Number(const std::string& supply, const char* name) {
  std::string text = Attribute(supply, name);
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  return !text.empty() && *end == 0 && value >= 0 ? value : -1;
}

// Remaining and full, summed over the batteries, in one unit (energy µWh or charge µAh).
struct Reserve {
  long long now = 0, full = 0;
  bool complete = true;  // every battery so far gave both
  void Add(long long batteryNow, long long batteryFull) {
    if (batteryNow < 0 || batteryFull <= 0) complete = false;
    now += batteryNow;
    full += batteryFull;
  }
  int Percent() const {
    long long percent = now * 100 / full;
    return static_cast<int>(percent > 100 ? 100 : percent);
  }
};

}  // namespace

PowerStatus ReadPowerStatusIn(const std::string& directory) {
  PowerStatus status;
  DIR* folder = opendir(directory.c_str());
  if (folder == nullptr) return status;
  bool supplies = false, online = false, discharging = false;
  int batteries = 0, lowest = -1;
  Reserve energy, charge;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    std::string supply = directory + "/" + entry->d_name;
    std::string type = Attribute(supply, "type");
    if (type == "Mains" || type.compare(0, 3, "USB") == 0) {
      // USB-PD supplies say 2 for a programmable source: anything but 0 is power coming in.
      supplies = true;
      std::string state = Attribute(supply, "online");
      online = online || (!state.empty() && state != "0");
      continue;
    }
    // A mouse's or headset's battery ("scope" Device) does not power the computer; an empty bay
    // ("present" 0) holds none.
    if (type != "Battery" || Attribute(supply, "scope") == "Device" ||
        Attribute(supply, "present") == "0")
      continue;
    ++batteries;
    if (Attribute(supply, "status") == "Discharging") discharging = true;
    energy.Add(Number(supply, "energy_now"), Number(supply, "energy_full"));
    charge.Add(Number(supply, "charge_now"), Number(supply, "charge_full"));
    long long capacity = Number(supply, "capacity");
    if (capacity > 100) capacity = 100;
    if (capacity >= 0 && (lowest < 0 || capacity < lowest)) lowest = static_cast<int>(capacity);
  }
  closedir(folder);
  if (online) {
    status.source = POWER_MAINS;
    return status;
  }
  // Nothing says the computer runs down: no supply to be unplugged and no battery discharging.
  if (batteries == 0 || (!discharging && !supplies)) return status;
  status.source = POWER_BATTERY;
  // Two batteries run one after the other: what is left is their sum, not the fuller one's.
  if (energy.complete)
    status.percent = energy.Percent();
  else if (charge.complete)
    status.percent = charge.Percent();
  else
    status.percent = lowest;
  return status;
}

PowerStatus ReadPowerStatus() {
  return ReadPowerStatusIn(POWER_SUPPLY_DIRECTORY);
}
