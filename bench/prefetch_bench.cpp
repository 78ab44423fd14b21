// Start to the closing box for the sample release: over a slow link with the images fetched while
// the offer is on screen, over the same link with Start pressed at once, and on plain loopback;
// beside the device's own time and the run's peak memory against its images.
//
//   tolvarin-prefetch-bench [--smoke] [--reps N]   one "key value" line per figure on stdout
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "device/sim_platform.h"
#include "files/server_layout.h"
#include "publisher.h"
#include "support/local_server.h"
#include "update_builder.h"
#include "workflow/identify.h"
#include "workflow/run_images.h"
#include "workflow/update_run.h"

namespace {

using Clock = std::chrono::steady_clock;

// About 5 Mbit/s from the test server's slow mode: 4 KiB chunks, each followed by a pause.
constexpr int LINK_CHUNK = 4096;
constexpr double LINK_BITS_PER_SECOND = 5e6;

// The window as far as a run needs it: the first line picked, boxes counted.
class CBenchUi : public CNullUiPort {
 public:
  int ComboSelection() override { return 0; }
  int ShowMessage(const WChar*, const WChar*, unsigned style) override {
    if (style & MB_STYLE_ICON_ERROR) ++errors;
    return 1;
  }
  int errors = 0;
};

// Bytes the heap holds now, every arena and every block of its own mapping. Exact, where the
// kernel's resident counters run behind by up to some hundreds of KiB.
int64_t HeapBytes() {
  struct mallinfo2 info = mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

// The heap's peak while it runs, sampled every half millisecond (every image is held for tens of
// milliseconds at least: the first one's programming).
class CHeapPeak {
 public:
  CHeapPeak()
      : start(HeapBytes()), peak(start), sampler([this] {
          while (!done.load()) {
            peak = std::max(peak.load(), HeapBytes());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
          }
        }) {}
  // Stops sampling; the peak above the start, in bytes.
  int64_t Stop() {
    done = true;
    sampler.join();
    return std::max(peak.load(), HeapBytes()) - start;
  }

 private:
  int64_t start;
  std::atomic<int64_t> peak;
  std::atomic<bool> done{false};
  std::thread sampler;
};

struct RunFigures {
  bool ok = false;
  double offerSeconds = 0;  // the offer on screen before Start (the prefetch's time, when waited)
  double runSeconds = 0;    // Start to the closing box
  uint64_t requests = 0;    // the device's, during the run
  int64_t peakBytes = 0;    // the heap's peak above its start, identification to the closing box
  int64_t imageBytes = 0;   // the run's files
};

// One program start against baseUrl on `device`: identification, the offer with the prefetch on
// its worker, Start (once the prefetch has settled when waitForPrefetch), the run to its box.
RunFigures OneRun(CSimDevice* device, const std::vector<uint8_t>& info, const std::string& baseUrl,
                  bool waitForPrefetch) {
  RunFigures figures;
  device->SetInfoPage(info.data());
  CBenchUi ui;
  CSimPlatform platform(device);
  ResetAppState(&ui, &platform);
  CHeapPeak heap;
  if (g_app.hidCmd.FindDevice() == 1) {
    CopyText(g_app.baseUrl, sizeof g_app.baseUrl, baseUrl.c_str());
    IdentifyDevice();
    RunEntry entries[MAX_CATALOGUE_ENTRIES];
    int count = RunEntries(0, entries);
    for (int k = 0; k < count; ++k) figures.imageBytes += entries[k].size;
    if (ui.errors == 0 && ui.endedWith < 0 && count > 0) {
      Clock::time_point offered = Clock::now();
      std::thread prefetch(PrefetchRunImages);
      while (waitForPrefetch && !PrefetchSettled())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      Clock::time_point start = Clock::now();
      uint64_t requests = device->requestCount;
      size_t commands = device->commands.size();
      RunUpdate();
      figures.runSeconds = std::chrono::duration<double>(Clock::now() - start).count();
      figures.offerSeconds = std::chrono::duration<double>(start - offered).count();
      figures.requests = device->requestCount - requests;
      prefetch.join();
      // The sample release takes another pass: its step and final index differ.
      figures.ok = ui.errors == 0 && ui.endedWith == 0 && device->commands.size() == commands + 1 &&
                   device->UnverifiedBytes() == 0;
    }
  }
  figures.peakBytes = heap.Stop();
  ResetAppState(nullptr, nullptr);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  bool smoke = false;
  int reps = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0)
      smoke = true;
    else if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
      reps = std::atoi(argv[++i]);
  }
  if (smoke) reps = 1;
  ServerPlan plan;
  std::string error;
  CTempDir root;
  if (!ReadManifestFile(TOLVARIN_SAMPLE_MANIFEST, &plan, &error) ||
      !WriteServerTree(plan, root.Path(), &error)) {
    std::fprintf(stderr, "the sample release: %s\n", error.c_str());
    return 1;
  }
  char delay[32];
  std::snprintf(delay, sizeof delay, "%.6f", LINK_CHUNK * 8 / LINK_BITS_PER_SECOND);
  CLocalServer loopback(root.Path());
  CLocalServer slow(root.Path(), "slow", "",
                    {"--chunk", std::to_string(LINK_CHUNK), "--delay", delay});
  if (!loopback.Started() || !slow.Started()) {
    std::fprintf(stderr, "the local update server did not start\n");
    return 1;
  }
  // A device behind on every item of the sample release, its requests taking 0.5 ms each.
  const uint32_t delayMicros = smoke ? 50 : 500;
  std::vector<uint8_t> info = BuildInfoPage(0x42, "4D9C", "2130", "V17", "006");
  CSimDevice device;
  device.keepLog = false;
  device.faults.delayMicros = delayMicros;
  // The first run brings in what stays (the device's flash, libcurl's state, the code's pages).
  if (!OneRun(&device, info, loopback.BaseUrl(), false).ok) return 1;

  struct Mode {
    const char* name;
    const CLocalServer* server;
    bool waitForPrefetch;
  };
  const Mode modes[] = {{"loopback_at_once", &loopback, false},
                        {"slow_prefetched", &slow, true},
                        {"slow_at_once", &slow, false}};
  std::printf("delay_us %u\nlink_bits_per_s %.0f\n", delayMicros, LINK_BITS_PER_SECOND);
  for (int r = 0; r < reps; ++r)
    for (const Mode& mode : modes) {
      RunFigures f = OneRun(&device, info, mode.server->BaseUrl(), mode.waitForPrefetch);
      if (!f.ok) {
        std::fprintf(stderr, "%s: the update did not finish cleanly\n", mode.name);
        return 1;
      }
      std::printf("%s run_s %.4f offer_s %.4f requests %llu peak_bytes %lld image_bytes %lld\n",
                  mode.name, f.runSeconds, f.offerSeconds,
                  static_cast<unsigned long long>(f.requests), static_cast<long long>(f.peakBytes),
                  static_cast<long long>(f.imageBytes));
    }
  return 0;
}
