// Benchmarks of the core path on the simulated device with no delay, beside the floor of one page.
#include <benchmark/benchmark.h>
#include <openssl/ec.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "device/device_ops.h"
#include "device/sim_platform.h"
#include "files/crypto.h"
#include "files/update_file.h"
#include "signing.h"
#include "update_builder.h"
#include "workflow/program.h"

namespace {

// An opened simulated device with no delay and no request log, behind a window that does nothing.
struct CoreRig {
  CoreRig() {
    device.keepLog = false;
    ResetAppState(&ui, &platform);
    g_app.hidCmd.FindDevice();
  }
  ~CoreRig() { ResetAppState(nullptr, nullptr); }

  CSimDevice device;
  CSimPlatform platform{&device};
  CNullUiPort ui;
};

std::vector<uint8_t> Payload(size_t bytes) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256 + 1);
  return data;
}

// The least a page can cost: its 256 bytes copied into a request block and compared once.
void BM_PageFloor(benchmark::State& state) {
  ScsiRequest request;
  std::memset(&request, 0, sizeof request);
  std::vector<uint8_t> page = Payload(PAGE_SIZE);
  std::vector<uint8_t> other = page;
  for (auto _ : state) {
    benchmark::DoNotOptimize(page.data());
    std::memcpy(request.data, page.data(), PAGE_SIZE);
    benchmark::ClobberMemory();
    int same = std::memcmp(request.data, other.data(), PAGE_SIZE);
    benchmark::DoNotOptimize(same);
  }
}
BENCHMARK(BM_PageFloor);

// One write request: the block built, sent through the back end and answered by the device.
void BM_WriteRequest(benchmark::State& state) {
  CoreRig rig;
  std::vector<uint8_t> page = Payload(PAGE_SIZE);
  uint32_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(g_app.hidCmd.Write(n++ & 4095, page.data(), 256));
}
BENCHMARK(BM_WriteRequest);

// One read request, its page copied out to the caller.
void BM_ReadRequest(benchmark::State& state) {
  CoreRig rig;
  std::vector<uint8_t> page(PAGE_SIZE);
  uint32_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(g_app.hidCmd.Read(n++ & 4095, page.data(), 256));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ReadRequest);

// One erase (no-data) request.
void BM_EraseRequest(benchmark::State& state) {
  CoreRig rig;
  uint32_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(g_app.hidCmd.Erase((n++ & 255) * 16));
}
BENCHMARK(BM_EraseRequest);

// The processor yield that every erase and page write ends with (a system call).
void BM_Yield(benchmark::State& state) {
  for (auto _ : state) std::this_thread::yield();
}
BENCHMARK(BM_Yield);

// ProgramAndVerify of an image of range(0) sectors: erase, write, read back and compare; items
// are pages.
void BM_ProgramAndVerify(benchmark::State& state) {
  CoreRig rig;
  const uint16_t sectors = static_cast<uint16_t>(state.range(0));
  std::vector<uint8_t> image =
      BuildImageFile("4D9C", 0, sectors - 1, Payload(size_t{sectors} * SECTOR_SIZE), false);
  for (auto _ : state) {
    int32_t mismatches = ProgramAndVerify(image.data(), 'T');
    if (mismatches != 0) state.SkipWithError("the image did not verify");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * sectors * PAGES_PER_SECTOR);
  state.counters["pages"] = sectors * PAGES_PER_SECTOR;
}
BENCHMARK(BM_ProgramAndVerify)->Arg(256)->Unit(benchmark::kMillisecond);

// A key pair and a valid signature over message, by the publisher's own signer.
bool SignForBench(const std::vector<uint8_t>& message, uint8_t* publicKey, uint8_t* signature) {
  PrivateKey key(EVP_EC_gen("P-256"));
  return key && PublicPoint(key.get(), publicKey) &&
         SignP256(key.get(), message.data(), message.size(), signature);
}

// What a signed program adds to an update of `bytes` of image: the SHA-256 of the image and of
// both index files as downloaded, and one verify of a record's signature.
void BM_PublicationChecks(benchmark::State& state) {
  size_t bytes = static_cast<size_t>(state.range(0)) * 1024;
  std::vector<uint8_t> image = Payload(bytes + 32);
  std::vector<uint8_t> index = Payload(INDEX_BUFFER_SIZE);
  std::vector<uint8_t> record = Payload(1024);
  uint8_t key[P256_PUBLIC_KEY_BYTES], signature[P256_SIGNATURE_BYTES], digest[SHA256_BYTES];
  if (!SignForBench(record, key, signature)) {
    state.SkipWithError("no signature");
    return;
  }
  for (auto _ : state) {
    bool ok = VerifyP256(key, record.data(), record.size(), signature, sizeof signature);
    ok = Sha256(index.data(), index.size(), digest) && ok;
    ok = Sha256(index.data(), index.size(), digest) && ok;
    ok = Sha256(image.data(), image.size(), digest) && ok;
    if (!ok) state.SkipWithError("a check failed");
    benchmark::DoNotOptimize(digest);
  }
  state.counters["kib"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_PublicationChecks)->Arg(1024)->Unit(benchmark::kMillisecond);

// The floor of `pages` pages, for callgrind: each copied into a block and compared once.
__attribute__((noinline)) int FloorPages(const std::vector<uint8_t>& data, uint32_t pages) {
  ScsiRequest request;
  std::memset(&request, 0, sizeof request);
  int differ = 0;
  for (uint32_t p = 0; p < pages; ++p) {
    const uint8_t* page = data.data() + size_t{p} * PAGE_SIZE;
    std::memcpy(request.data, page, PAGE_SIZE);
    benchmark::ClobberMemory();
    differ += std::memcmp(request.data, page, PAGE_SIZE) != 0;
  }
  return differ;
}

}  // namespace

// For callgrind, one call and nothing else (--toggle-collect='ProgramAndVerify*' or
// 'FloorPages*' counts exactly its instructions):
//   profile [SECTORS]        one ProgramAndVerify of an image of SECTORS sectors (256: 1 MiB)
//   profile-floor [SECTORS]  the floor of the same number of pages
int main(int argc, char** argv) {
  if (argc >= 2 &&
      (std::strcmp(argv[1], "profile") == 0 || std::strcmp(argv[1], "profile-floor") == 0)) {
    int sectors = argc > 2 ? std::atoi(argv[2]) : 256;
    if (sectors < 1 || sectors > 65536) return 2;
    std::vector<uint8_t> payload = Payload(size_t(sectors) * SECTOR_SIZE);
    if (argv[1][7] == '-')
      return FloorPages(payload, static_cast<uint32_t>(sectors) * PAGES_PER_SECTOR) == 0 ? 0 : 1;
    CoreRig rig;
    std::vector<uint8_t> image =
        BuildImageFile("4D9C", 0, static_cast<uint16_t>(sectors - 1), payload, false);
    return ProgramAndVerify(image.data(), 'T') == 0 ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
