// The simulated build's device back end: the simulated device on its state file.
#include <cstdlib>

#include "device/sim_platform.h"

CDevicePlatform* DefaultDevicePlatform() {
  // The state file's place: TOLVARIN_SIM_STATE, or tolvarin-sim.state in the working folder.
  static CSimFilePlatform platform([] {
    const char* path = std::getenv("TOLVARIN_SIM_STATE");
    return std::string(path != nullptr && *path ? path : "tolvarin-sim.state");
  }());
  return &platform;
}
