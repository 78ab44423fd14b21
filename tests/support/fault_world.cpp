// The fault matrix's world: trees, the recorded run and the invariants of every case.
#include "support/fault_world.h"

#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "base/text.h"
#include "device/device_ops.h"
#include "device/hid.h"
#include "update_builder.h"
#include "workflow/identify.h"
#include "workflow/update_run.h"

const char MATRIX_MODEL[] = "4D9C";

namespace {

constexpr uint32_t PAGES_PER_SECTOR_ = 16;
constexpr uint32_t SECTOR_BYTES = 4096;

bool IsFlashRequest(const SimRecord& r) {
  return r.kind == SIM_ERASE || r.kind == SIM_WRITE;
}

bool InRange(const ImagePlan& image, uint32_t page) {
  return page >= image.firstSector * PAGES_PER_SECTOR_ &&
         page < (image.lastSector + 1u) * PAGES_PER_SECTOR_;
}

bool SectorOfSomeImage(const ModelPlan& model, uint32_t sector) {
  for (const ImagePlan& image : model.images)
    if (sector >= image.firstSector && sector <= image.lastSector) return true;
  return false;
}

// The images a run applies, in the order it applies them: the step index's entries (every one is
// pending on the matrix's device, and each model has one main image).
std::vector<const ImagePlan*> AppliedImages(const ModelPlan& model) {
  std::vector<const ImagePlan*> out;
  for (const IndexEntryPlan& entry : model.step.entries)
    for (const ImagePlan& image : model.images)
      if (image.name == entry.name) out.push_back(&image);
  return out;
}

std::u16string Wide(const char* ascii) {
  std::u16string out;
  for (; *ascii; ++ascii) out += static_cast<char16_t>(static_cast<unsigned char>(*ascii));
  return out;
}

}  // namespace

void CFaultUi::SetControlText(int id, const WChar* text) {
  if (id == ID_START_BUTTON) {
    std::u16string caption(text);
    if (caption == u"下載更新檔中...")  // string 140, while the run fetches its images
      events->push_back({FaultEvent::DOWNLOAD_CAPTION, {}});
    else if (!caption.empty() && caption[0] == u'[')  // "[ %5d ]": the image passed its checks
      events->push_back({FaultEvent::PROGRAM_START, {}});
  }
  CRecordingUi::SetControlText(id, text);
}

void CFaultUi::ComboSelect(int line) {
  CRecordingUi::ComboSelect(line);
  if (onComboSelect) onComboSelect();
}

int CFaultPlatform::DeviceIo(DeviceHandle handle, ScsiRequest* request) {
  size_t before = device->log.size();
  int result = CSimPlatform::DeviceIo(handle, request);
  if (device->log.size() > before) events->push_back({FaultEvent::DEVICE, device->log.back()});
  return result;
}

std::vector<uint8_t> MatrixPayload(int sectors, uint32_t seed) {
  std::vector<uint8_t> data(static_cast<size_t>(sectors) * SECTOR_BYTES);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(1 + (i * 7 + (i / 256) * 29 + seed * 53) % 254);
  return data;
}

std::vector<uint8_t> MatrixInfoPage() {
  return BuildInfoPage(0x10, MATRIX_MODEL, "1200", "OLD", "123");
}

ModelPlan SingleImageModel() {
  ModelPlan model;
  model.modelId = MATRIX_MODEL;
  model.images.push_back({"CM4D9C-2c", 2, 6, 0x00020100, MatrixPayload(5, 1)});
  model.step.versionWord = 0x00020100;
  model.step.entries.push_back({"CM4D9C-2c", u"v2.1.", -1});
  model.hasFinal = true;
  model.final = model.step;
  return model;
}

ModelPlan TwoImageModel() {
  ModelPlan model = SingleImageModel();
  model.images.insert(model.images.begin(), {"VM7A31-1v", 10, 11, 0x00000031, MatrixPayload(2, 2)});
  model.step.entries.insert(model.step.entries.begin(), {"VM7A31-1v", u"voice", -1});
  model.final = model.step;
  return model;
}

CFaultWorld::CFaultWorld(const ModelPlan& model) : model(model) {
  RestoreTree();
  std::vector<uint8_t> info = MatrixInfoPage();
  device.SetInfoPage(info.data());
  std::vector<uint8_t> old(256, OLD_FIRMWARE_BYTE);
  for (uint32_t page = 0; page < FLASH_SECTORS_WATCHED * PAGES_PER_SECTOR_; ++page)
    device.LoadFlashPage(page, old.data());
}

void CFaultWorld::RestoreTree() {
  ServerPlan plan;
  plan.models.push_back(model);
  WriteTreeOrFail(plan, root.Path());
}

CFaultWorld::~CFaultWorld() {
  ResetAppState(nullptr, nullptr);
}

RunRecord CFaultWorld::Run(const std::string& baseUrl, const RunHooks& hooks) {
  RunRecord record;
  // Replugged: request numbers count from this run's first request.
  device.requestCount = 0;
  device.log.clear();
  device.commands.clear();
  events.clear();
  ui = std::make_unique<CFaultUi>(&events);
  ui->onComboSelect = hooks.afterStepIndex;
  ResetAppState(ui.get(), &platform);
  CopyText(g_app.baseUrl, LOCATION_CAPACITY, baseUrl.c_str());
  EXPECT_EQ(g_app.hidCmd.FindDevice(), 1);

  IdentifyDevice();
  record.latestLabel = ui->Text(ID_LATEST_LABEL);
  if (ui->Ended() || !ui->Enabled(ID_START_BUTTON)) return record;
  record.identified = true;
  if (hooks.beforeRun) hooks.beforeRun();
  record.ranUpdate = true;
  RunUpdate();
  return record;
}

bool CFaultWorld::SuccessShown() const {
  for (const RecordedBox& box : ui->boxes)
    if (box.caption == u"更新完成." || box.caption == u"還有更新!") return true;
  return false;
}

size_t CFaultWorld::FlashDifference(size_t index) const {
  const ImagePlan& image = model.images[index];
  size_t differ = 0;
  uint8_t page[256];
  uint32_t pages = (image.lastSector - image.firstSector + 1u) * PAGES_PER_SECTOR_;
  for (uint32_t p = 0; p < pages; ++p) {
    device.ReadFlashPage(image.firstSector * PAGES_PER_SECTOR_ + p, page);
    for (uint32_t i = 0; i < 256; ++i) differ += page[i] != image.payload[p * 256 + i];
  }
  return differ;
}

bool CFaultWorld::RangeUntouched(size_t index) const {
  for (const SimRecord& r : device.log)
    if (IsFlashRequest(r) && InRange(model.images[index], r.address)) return false;
  return true;
}

size_t CFaultWorld::FlashRequests() const {
  size_t n = 0;
  for (const SimRecord& r : device.log) n += IsFlashRequest(r);
  return n;
}

void CFaultWorld::CheckInvariants() const {
  // The run ended, once, with status 0, after exactly one box.
  EXPECT_EQ(ui->endCalls, 1) << "the process is told to end exactly once";
  EXPECT_EQ(ui->endCode, 0);
  EXPECT_EQ(ui->boxes.size(), 1u) << "one box, then the end";

  // Flash is touched only in the range of the image being programmed, and only once every image
  // of the run is in hand and checked: the progress count of the first image comes after them.
  std::vector<const ImagePlan*> applied = AppliedImages(model);
  int current = -1;
  for (const FaultEvent& e : events) {
    if (e.kind == FaultEvent::PROGRAM_START) {
      ++current;
    } else if (e.kind == FaultEvent::DEVICE && IsFlashRequest(e.request)) {
      ASSERT_GE(current, 0) << "flash request at page " << e.request.address
                            << " before the images were in hand and checked";
      ASSERT_LT(current, static_cast<int>(applied.size()));
      EXPECT_TRUE(InRange(*applied[static_cast<size_t>(current)], e.request.address))
          << "page " << e.request.address << " lies outside " << applied[current]->name;
    }
  }

  // Flash outside every image's range is as it was, and nothing beyond the watched sectors and
  // the information page exists.
  for (uint32_t sector : device.ListedSectors())
    ASSERT_LT(sector, FLASH_SECTORS_WATCHED) << "a sector nobody asked for was written";
  uint8_t info[PAGE_SIZE];
  device.ReadFlashPage(INFO_PAGE_ADDRESS, info);
  EXPECT_EQ(std::vector<uint8_t>(info, info + PAGE_SIZE), MatrixInfoPage());
  for (const auto& [sector, bytes] : device.sectors) {
    if (sector >= FLASH_SECTORS_WATCHED || SectorOfSomeImage(model, sector)) continue;
    size_t changed = 0;
    for (uint8_t b : bytes) changed += b != OLD_FIRMWARE_BYTE;
    EXPECT_EQ(changed, 0u) << "sector " << sector << " lies outside every image";
  }

  // A success box only over flash that holds every applied image, all of it read back.
  if (SuccessShown()) {
    for (size_t i = 0; i < model.images.size(); ++i)
      EXPECT_EQ(FlashDifference(i), 0u)
          << "success shown over wrong flash in " << model.images[i].name;
    EXPECT_EQ(device.UnverifiedBytes(), 0u) << "success shown over bytes never read back";
  }
}

ExpectedBox DoneBox() {
  return {u"更新完成.",
          u"1.請移除<測速器>與<電腦>的USB連線,\n        之後,\n   電腦即可自動離開更新程式."
          u"\n2.Goodbye.",
          0x00};
}

ExpectedBox DownloadErrorBox(int code) {
  switch (code) {
    case -66:
      return {u"網路問題", u"無法鏈結伺服器!", 0x10};
    case -70:
      return {u"網路問題", u"讀檔 失敗!", 0x10};
    case 0:
      return {u"0", u"0", 0x10};
    default:
      return {u"?", u"?", 0x10};
  }
}

ExpectedBox FatalBox(const WChar* format, int a, int b, int c) {
  // The numbered texts are an 8-bit prefix "錯誤碼: " and ASCII: format the ASCII part here.
  std::u16string wide(format);
  const std::u16string prefix = u"錯誤碼: ";
  std::string ascii;
  for (size_t i = prefix.size(); i < wide.size(); ++i) ascii += static_cast<char>(wide[i]);
  char text[128];
  std::snprintf(text, sizeof text, ascii.c_str(), a, b, c);
  return {u"執行時錯誤", prefix + Wide(text), 0x10};
}

void ExpectBox(const CFaultUi& ui, const ExpectedBox& expected) {
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(Utf8(ui.boxes[0].caption), Utf8(expected.caption));
  EXPECT_EQ(Utf8(ui.boxes[0].text), Utf8(expected.text));
  EXPECT_EQ(ui.boxes[0].style, expected.style);
}

void ExpectCleanRerunRestores(CFaultWorld& world, const std::string& baseUrl) {
  SCOPED_TRACE("clean rerun on the same device");
  world.device.faults = SimFaults{};
  world.Run(baseUrl);
  world.CheckInvariants();
  ExpectBox(world.Ui(), DoneBox());
  for (size_t i = 0; i < world.model.images.size(); ++i)
    EXPECT_EQ(world.FlashDifference(i), 0u) << world.model.images[i].name;
  EXPECT_EQ(world.device.UnverifiedBytes(), 0u);
  EXPECT_EQ(world.device.commands, (std::vector<uint32_t>{0x80000}));
}
