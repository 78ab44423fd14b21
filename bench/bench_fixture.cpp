// tolvarin-bench-fixture: writes the whole-update rig's server tree and a simulated device state
// file for the simulated Windows build.
//
// Usage: tolvarin-bench-fixture ROOT STATE KIB DELAY_US
//   ROOT   server root to fill with the rig's one model and its image of KIB KiB
//   STATE  device state file to write: the model's information page and the delay per request
#include <cstdio>
#include <cstdlib>

#include "update_rig.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: tolvarin-bench-fixture ROOT STATE KIB DELAY_US\n");
    return 1;
  }
  uint32_t bytes = static_cast<uint32_t>(std::atoi(argv[3])) << 10;
  if (bytes == 0 || bytes % SECTOR_SIZE != 0 || !WriteRigTree(argv[1], {bytes})) return 2;
  CSimDevice device;
  std::vector<uint8_t> info = RigInfoPage(0);
  device.SetInfoPage(info.data());
  device.faults.delayMicros = static_cast<uint32_t>(std::atoi(argv[4]));
  return device.Save(argv[2]) ? 0 : 2;
}
