// The Linux power reading against made-up sysfs power supply trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

#include "platform/linux/power_linux.h"

namespace {

using Attributes = std::initializer_list<std::pair<const char*, const char*>>;

class PowerTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tolvarin-power-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root = name;
  }
  void TearDown() override { std::system(("rm -rf '" + root + "'").c_str()); }

  void Supply(const std::string& name, Attributes attributes) {
    std::string folder = root + "/" + name;
    mkdir(folder.c_str(), 0755);
    for (const auto& attribute : attributes) {
      std::FILE* file = std::fopen((folder + "/" + attribute.first).c_str(), "w");
      std::fprintf(file, "%s\n", attribute.second);
      std::fclose(file);
    }
  }
  std::pair<int, int> Read() {
    PowerStatus status = ReadPowerStatusIn(root);
    return {status.source, status.percent};
  }

  std::string root;
};

}  // namespace

TEST_F(PowerTree, MainsOnlineWhateverTheBatterySays) {
  EXPECT_EQ(Read(), std::make_pair(int(POWER_UNKNOWN), -1)) << "no supplies: a desktop";
  Supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "4"}});
  // USB-PD's programmable source reads 2.
  Supply("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "2"}});
  EXPECT_EQ(Read(), std::make_pair(int(POWER_MAINS), -1));
}

TEST_F(PowerTree, OnBatteryTheComputersBatteriesTogether) {
  Supply("AC", {{"type", "Mains"}, {"online", "0"}});
  // Charged past the charger's threshold, then unplugged: "Not charging", yet on battery.
  Supply("BAT0", {{"type", "Battery"}, {"status", "Not charging"}, {"capacity", "8"}});
  EXPECT_EQ(Read(), std::make_pair(int(POWER_BATTERY), 8));
  // A second, larger battery at 50 %: 4 + 50 Wh of 50 + 100 Wh is 36 %, not the fuller's 50.
  Supply("BAT0", {{"energy_now", "4000000"}, {"energy_full", "50000000"}});
  Supply("BAT1", {{"type", "Battery"},
                  {"status", "Discharging"},
                  {"capacity", "50"},
                  {"energy_now", "50000000"},
                  {"energy_full", "100000000"}});
  // An empty bay and a mouse's battery count for nothing.
  Supply("BAT2", {{"type", "Battery"}, {"present", "0"}, {"capacity", "0"}});
  Supply("hidpp_battery_0",
         {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"}, {"capacity", "1"}});
  EXPECT_EQ(Read(), std::make_pair(int(POWER_BATTERY), 36));
  // Without energies for all, the lowest capacity.
  unlink((root + "/BAT0/energy_now").c_str());
  EXPECT_EQ(Read(), std::make_pair(int(POWER_BATTERY), 8));
}

TEST_F(PowerTree, ARunNeedsTenPercent) {
  Supply("AC", {{"type", "Mains"}, {"online", "0"}});
  Supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "9"}});
  EXPECT_TRUE(BatteryTooLow(ReadPowerStatusIn(root)));
  Supply("BAT0", {{"capacity", "10"}});
  EXPECT_FALSE(BatteryTooLow(ReadPowerStatusIn(root)));
}
