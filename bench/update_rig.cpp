// The whole-update rig: a published server tree, the local server, and one forced update run.
#include "update_rig.h"

#include <chrono>
#include <cstring>

#include "app/app_state.h"
#include "device/sim_platform.h"
#include "files/server_layout.h"
#include "publisher.h"
#include "update_builder.h"
#include "workflow/identify.h"
#include "workflow/update_run.h"

namespace {

// Counts the error boxes; everything else as the null window.
class CCountingUi : public CNullUiPort {
 public:
  int ShowMessage(const WChar*, const WChar*, unsigned style) override {
    if (style & MB_STYLE_ICON_ERROR) ++errors;
    return 1;
  }
  int errors = 0;
};

}  // namespace

std::string RigModelId(size_t index) {
  // Character 1 tells the models apart; all share the pool directory of character 2.
  static const char digits[] = "0123456789ABCDEF";
  return std::string("4") + digits[index & 15] + "9C";
}

std::string RigEntryName(size_t index, uint32_t imageBytes) {
  // Characters 2..5 carry the tag; the second-to-last is the kind (0: T).
  return "BN" + RigModelId(index) + "-" + std::to_string(imageBytes / 1024) + "k-00";
}

bool WriteRigTree(const std::string& root, const std::vector<uint32_t>& imageSizes) {
  ServerPlan plan;
  for (size_t i = 0; i < imageSizes.size(); ++i) {
    ModelPlan model;
    model.modelId = RigModelId(i);
    ImagePlan image;
    image.name = RigEntryName(i, imageSizes[i]);
    image.firstSector = 0;
    image.lastSector = static_cast<uint16_t>(imageSizes[i] / SECTOR_SIZE - 1);
    image.versionWord = 0x01000000;
    image.payload = PatternPayload(imageSizes[i], static_cast<uint32_t>(i + 1));
    model.images.push_back(std::move(image));
    model.step.versionWord = 0x01000000;
    model.step.entries.push_back({RigEntryName(i, imageSizes[i]), u"bench", -1});
    model.hasFinal = true;
    model.final = model.step;
    plan.models.push_back(std::move(model));
  }
  std::string error;
  return WriteServerTree(plan, root, &error);
}

std::vector<uint8_t> RigInfoPage(size_t index) {
  return BuildInfoPage(0x40, RigModelId(index), "1000", "ABC", "123");
}

CUpdateRig::CUpdateRig(const std::vector<uint32_t>& imageSizes, size_t plainFileBytes)
    : sizes(imageSizes) {
  if (root.Path().empty() || !WriteRigTree(root.Path(), sizes)) return;
  if (plainFileBytes != 0 &&
      !WriteWholeFile(root.Path() + "/plain.bin", PatternPayload(plainFileBytes, 99)))
    return;
  if (!WriteWholeFile(root.Path() + "/tiny.bin", PatternPayload(TINY_FILE_BYTES, 98))) return;
  server = std::make_unique<CLocalServer>(root.Path());
}

std::vector<uint8_t> CUpdateRig::InfoPage(uint32_t imageBytes) const {
  for (size_t i = 0; i < sizes.size(); ++i)
    if (sizes[i] == imageBytes) return RigInfoPage(i);
  return {};
}

std::string CUpdateRig::ImageUrl(uint32_t imageBytes) const {
  for (size_t i = 0; i < sizes.size(); ++i)
    if (sizes[i] == imageBytes) {
      char pool[9];
      PoolDirectoryFor(RigModelId(i).c_str(), pool);
      return server->BaseUrl() + pool + "/" + RigEntryName(i, imageBytes);
    }
  return {};
}

UpdateRunResult CUpdateRig::Run(CSimDevice* device) {
  UpdateRunResult result;
  CCountingUi ui;
  CSimPlatform platform(device);
  device->pace = SimPace();
  device->sectorPace = SimPace();
  ResetAppState(&ui, &platform);
  uint64_t before = device->requestCount;
  size_t commands = device->commands.size();
  auto start = std::chrono::steady_clock::now();
  if (g_app.hidCmd.FindDevice() == 1) {
    CopyText(g_app.baseUrl, sizeof g_app.baseUrl, server->BaseUrl().c_str());
    g_app.runFlags |= FLAG_FORCE;
    IdentifyDevice();
    if (ui.endedWith < 0 && ui.errors == 0) {
      auto started = std::chrono::steady_clock::now();
      RunUpdate();
      result.runSeconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
  }
  auto end = std::chrono::steady_clock::now();
  ResetAppState(nullptr, nullptr);
  result.seconds = std::chrono::duration<double>(end - start).count();
  result.requests = device->requestCount - before;
  // The device times the gaps between its requests when requests take time.
  const SimPace& pace = device->pace;
  result.gapSeconds = static_cast<double>(pace.totalNanos) * 1e-9;
  result.medianGap = static_cast<double>(pace.MedianNanos()) * 1e-9;
  result.slowGaps = pace.slowGaps;
  result.sectorMedianGap = static_cast<double>(device->sectorPace.MedianNanos()) * 1e-9;
  result.sectorGaps = device->sectorPace.gaps;
  result.ok = ui.errors == 0 && ui.endedWith == 0 && device->commands.size() == commands + 1 &&
              device->commands.back() == CMD_UPDATE_DONE && device->UnverifiedBytes() == 0;
  return result;
}
