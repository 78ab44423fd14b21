// Benchmarks of whole updates with a device delay against requests x delay, and of the download
// against the curl command on the same local server.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "files/download.h"
#include "update_rig.h"

extern char** environ;

namespace {

CUpdateRig* g_rig = nullptr;
size_t g_plainBytes = 0;

// One whole update of an image of `bytes` with every request taking `delayMicros`; the time is
// the update's own, the counters what the device alone would have taken.
void BM_WholeUpdate(benchmark::State& state, uint32_t bytes, uint32_t delayMicros) {
  UpdateRunResult last;
  for (auto _ : state) {
    CSimDevice device;
    device.keepLog = false;
    device.faults.delayMicros = delayMicros;
    std::vector<uint8_t> info = g_rig->InfoPage(bytes);
    device.SetInfoPage(info.data());
    last = g_rig->Run(&device);
    if (!last.ok) {
      state.SkipWithError("the update did not finish cleanly");
      break;
    }
    state.SetIterationTime(last.seconds);
  }
  double deviceSeconds = static_cast<double>(last.requests) * delayMicros * 1e-6;
  state.counters["requests"] = static_cast<double>(last.requests);
  state.counters["run_s"] = last.runSeconds;
  // Between the device's answers and the next requests: the program's time, downloads included,
  // as the device saw it; the rest of the run was the device's (a wait that was preempted lasts
  // longer than its delay).
  state.counters["program_s"] = last.gapSeconds;
  state.counters["in_device_s"] = last.seconds - last.gapSeconds;
  state.counters["median_gap_us"] = last.medianGap * 1e6;
  state.counters["slow_gaps"] = static_cast<double>(last.slowGaps);
  state.counters["sector_gap_us"] = last.sectorMedianGap * 1e6;
  state.counters["sector_gaps"] = static_cast<double>(last.sectorGaps);
  state.counters["device_s"] = deviceSeconds;
  state.counters["overhead_pct"] =
      deviceSeconds > 0 ? 100.0 * (last.seconds - deviceSeconds) / deviceSeconds : 0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

// DownloadToBuffer of a file of `bytes` into a buffer allocated for it, as the update run does.
void BM_DownloadToBuffer(benchmark::State& state, std::string url, size_t bytes) {
  int capacity = static_cast<int>(bytes) + IMAGE_BUFFER_EXTRA;
  for (auto _ : state) {
    uint8_t* buffer = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(capacity), 1));
    int length = DownloadToBuffer(buffer, capacity, url.c_str(), u"");
    std::free(buffer);
    if (length != static_cast<int>(bytes)) {
      state.SkipWithError("short download");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// `curl -s -o /dev/null` of the same file: the yardstick, its process start included.
void BM_CurlCommand(benchmark::State& state, std::string url, size_t bytes) {
  std::vector<std::string> args = {"curl", "-s", "-f", "-o", "/dev/null", url};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto _ : state) {
    pid_t child = -1;
    int status = 0;
    if (posix_spawnp(&child, "curl", nullptr, nullptr, argv.data(), environ) != 0 ||
        waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("curl failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

}  // namespace

// Own flags, taken out before the library's: --smoke (a 64 KiB image and a 1 MiB file, one run
// each) and --update-reps=N (repetitions of each whole update, 3 unless told).
int main(int argc, char** argv) {
  bool smoke = false;
  int reps = 3;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0)
      smoke = true;
    else if (std::strncmp(argv[i], "--update-reps=", 14) == 0)
      reps = std::atoi(argv[i] + 14);
    else
      argv[kept++] = argv[i];
  }
  argc = kept;
  std::vector<uint32_t> sizes =
      smoke ? std::vector<uint32_t>{64 << 10} : std::vector<uint32_t>{1 << 20, 4 << 20};
  g_plainBytes = smoke ? size_t{1} << 20 : size_t{16} << 20;
  CUpdateRig rig(sizes, g_plainBytes);
  if (!rig.Started()) {
    std::fprintf(stderr, "the local update server did not start\n");
    return 1;
  }
  g_rig = &rig;

  const uint32_t delay = 500;
  for (uint32_t bytes : sizes) {
    std::string name = "BM_WholeUpdate/" + std::to_string(bytes >> 10) + "KiB/delay_us:500";
    benchmark::RegisterBenchmark(name.c_str(), BM_WholeUpdate, bytes, delay)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(smoke ? 1 : reps);
  }
  // The download beside curl's of the same file, and both of a tiny file: what any download
  // costs before its first byte (for curl, starting a process).
  int downloadReps = smoke ? 1 : 5;
  std::vector<std::pair<std::string, size_t>> files = {
      {std::to_string(g_plainBytes >> 20) + "MiB", g_plainBytes},
      {"tiny", CUpdateRig::TINY_FILE_BYTES}};
  for (const auto& [label, bytes] : files) {
    std::string url = label == "tiny" ? rig.TinyFileUrl() : rig.PlainFileUrl();
    benchmark::RegisterBenchmark(("BM_DownloadToBuffer/" + label).c_str(), BM_DownloadToBuffer, url,
                                 bytes)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(downloadReps);
    benchmark::RegisterBenchmark(("BM_CurlCommand/" + label).c_str(), BM_CurlCommand, url, bytes)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(downloadReps);
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
