// Peak memory of a whole update against the image's size, and a single update run for callgrind.
//
//   tolvarin-update-memory [KiB]           peak memory of an update of a KiB image (4096 unless
//   told) tolvarin-update-memory profile [KiB]   one update with no device delay (for callgrind)
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "update_rig.h"

namespace {

// A field of /proc/self/status in KiB (VmRSS, VmHWM), or -1.
long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(status, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::atol(line.c_str() + n + 1);
  return -1;
}

// Makes VmHWM start again from the current resident size.
bool ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

}  // namespace

int main(int argc, char** argv) {
  bool profile = argc > 1 && std::strcmp(argv[1], "profile") == 0;
  int sizeArg = profile ? 2 : 1;
  uint32_t kib = argc > sizeArg ? static_cast<uint32_t>(std::atoi(argv[sizeArg])) : 4096;
  uint32_t bytes = kib << 10;
  // Large blocks always come from (and go back to) the system, so a freed image cannot stay
  // resident and hide the next one from the peak.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);

  CUpdateRig rig({bytes}, 0);
  if (!rig.Started()) {
    std::fprintf(stderr, "the local update server did not start\n");
    return 1;
  }
  CSimDevice device;
  device.keepLog = false;
  std::vector<uint8_t> info = rig.InfoPage(bytes);
  device.SetInfoPage(info.data());
  if (profile) return rig.Run(&device).ok ? 0 : 1;

  // The first run brings in everything that stays: the device's flash, libcurl's state, the
  // code's pages. The second run's peak above what stayed is the update's own memory.
  if (!rig.Run(&device).ok) return 1;
  malloc_trim(0);
  long before = StatusKiB("VmRSS");
  if (!ResetPeak()) {
    std::fprintf(stderr, "cannot reset the peak (/proc/self/clear_refs)\n");
    return 1;
  }
  UpdateRunResult run = rig.Run(&device);
  long peak = StatusKiB("VmHWM");
  if (!run.ok || before < 0 || peak < 0) return 1;
  long image = static_cast<long>(bytes + 32) / 1024;
  std::printf("image_kib %ld\nresident_before_kib %ld\npeak_kib %ld\nupdate_peak_kib %ld\n", image,
              before, peak, peak - before);
  std::printf("peak_over_image %.3f\n", static_cast<double>(peak - before) / image);
  return 0;
}
