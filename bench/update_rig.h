// A whole update (identification, index files, image download, programming, verification) against
// the local server and the simulated device; shared by the update benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/sim_device.h"
#include "support/local_server.h"

struct UpdateRunResult {
  bool ok = false;  // finished with CMD_UPDATE_DONE, no error box, nothing left unverified
  uint64_t requests = 0;
  double seconds = 0;     // the whole run
  double runSeconds = 0;  // the update run alone, from Start to the closing box
  // As the device saw it (with a delay only): the time between its answers and the next
  // requests, which is the program's (downloads included), and the typical one of them.
  double gapSeconds = 0;
  double medianGap = 0;
  uint64_t slowGaps = 0;  // gaps of 100 us or more: downloads, or the program off the processor
  // The typical gap before a sector's first request, where the program shows its progress.
  double sectorMedianGap = 0;
  uint64_t sectorGaps = 0;
};

class CUpdateRig {
 public:
  // Publishes one model per image size (bytes of page data, whole sectors), a plain file of
  // plainFileBytes (0: none) and a tiny one of TINY_FILE_BYTES, then starts the server.
  CUpdateRig(const std::vector<uint32_t>& imageSizes, size_t plainFileBytes);
  bool Started() const { return server != nullptr && server->Started(); }

  // The information page of the model whose image holds `imageBytes`; a device to be updated
  // serves it.
  std::vector<uint8_t> InfoPage(uint32_t imageBytes) const;
  // One whole forced update of `device` (which must serve InfoPage(imageBytes)), as the two
  // workers run it one after the other.
  UpdateRunResult Run(CSimDevice* device);

  std::string PlainFileUrl() const { return server->Url("plain.bin"); }
  // A file so small that fetching it costs what any download costs before its first byte.
  static constexpr size_t TINY_FILE_BYTES = 1024;
  std::string TinyFileUrl() const { return server->Url("tiny.bin"); }
  std::string ImageUrl(uint32_t imageBytes) const;
  const std::string& Root() const { return root.Path(); }

 private:
  CTempDir root;
  std::vector<uint32_t> sizes;
  std::unique_ptr<CLocalServer> server;
};

// The model identifier and the entry name of the image of each size, by its index in the rig.
std::string RigModelId(size_t index);
std::string RigEntryName(size_t index, uint32_t imageBytes);
// The rig's server tree under root: one model per image size, each listing its one image (kind T)
// in identical step and final index files. true on success.
bool WriteRigTree(const std::string& root, const std::vector<uint32_t>& imageSizes);
// The information page of the rig's model `index`.
std::vector<uint8_t> RigInfoPage(size_t index);
