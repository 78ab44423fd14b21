// The whole workflow on a simulated device against the local update server.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/messages.h"
#include "base/strings.h"
#include "device/scsi_request.h"
#include "files/download.h"
#include "files/server_layout.h"
#include "files/update_file.h"
#include "seal.h"
#include "support/local_server.h"
#include "support/sim_fixture.h"
#include "support/test_clock.h"
#include "update_builder.h"
#include "workflow/identify.h"
#include "workflow/run_images.h"
#include "workflow/update_run.h"

namespace {

// Entry names: characters 2..5 the tag, 3..5 the stamp, the second-to-last the kind. The T
// entry's characters 4..5 are model code 0x52; its character 5 starts the main stamp.
const std::string T = "Mt9C520b";
const std::string V = "Mv9V181b";
const std::string C1 = "Mc91312b";
const std::string C2 = "Mc91322b";
const std::string I = "Mi90073b";
const std::string X5 = "Mx9ABC5b";  // a kind without a letter

template <typename... Args>
std::u16string Fmt(const WChar* format, Args... args) {
  WChar text[TEXT_CAPACITY];
  FormatText(text, TEXT_CAPACITY, format, args...);
  return text;
}

std::u16string TableString(int id) {
  WChar text[TEXT_CAPACITY];
  LoadTableString(id, text, TEXT_CAPACITY);
  return text;
}

ImagePlan Image(const std::string& name, uint16_t first, uint16_t last, uint32_t seed) {
  ImagePlan image;
  image.name = name;
  image.firstSector = first;
  image.lastSector = last;
  image.payload = PatternPayload(RangeBytes(first, last), seed);
  return image;
}

IndexEntryPlan Entry(const std::string& name, const std::u16string& description = u"") {
  return {name, description, -1};
}

// Model 4D9C with T, V, two C and I entries; the final index is the step index.
ModelPlan SampleModel() {
  ModelPlan model;
  model.modelId = "4D9C";
  model.images = {Image(T, 0, 0, 1), Image(V, 1, 2, 2), Image(C1, 24, 31, 3), Image(C2, 16, 23, 4),
                  Image(I, 3, 3, 5)};
  model.step.versionWord = 0x01020304;
  model.step.entries = {Entry(T), Entry(V), Entry(C1, u"版本 1.31."), Entry(C2, u"版本 1.32."),
                        Entry(I)};
  model.hasFinal = true;
  model.final = model.step;
  return model;
}

// The same model with one C entry, so that a device can be current with it.
ModelPlan SingleMainModel() {
  ModelPlan model = SampleModel();
  model.images.erase(model.images.begin() + 3);
  model.step.entries.erase(model.step.entries.begin() + 3);
  model.final = model.step;
  return model;
}

const ImagePlan& ImageNamed(const ModelPlan& model, const std::string& name) {
  for (const ImagePlan& image : model.images)
    if (image.name == name) return image;
  ADD_FAILURE() << "no image " << name;
  return model.images.front();
}

// Behind on every item: model code 0x42 (the T entry says 0x52), V17, main 130, I 006.
std::vector<uint8_t> BehindPage() {
  return BuildInfoPage(0x42, "4D9C", "2130", "V17", "006");
}
// Current with SingleMainModel on every item.
std::vector<uint8_t> CurrentPage() {
  return BuildInfoPage(0x52, "4D9C", "2131", "V18", "007");
}

// The Start captions that programming `image` shows. The download caption comes once, before the
// first image, while the run fetches its images.
std::vector<std::u16string> ProgressTexts(const ImagePlan& image, char letter) {
  std::vector<std::u16string> out;
  int first = image.firstSector, last = image.lastSector;
  out.push_back(Fmt(FORMAT_PROGRESS_COUNT, last - first + 1));
  for (int s = first; s <= last; ++s) out.push_back(Fmt(FORMAT_PROGRESS_WRITE, letter, last - s));
  for (int s = first; s <= last; ++s) out.push_back(Fmt(FORMAT_PROGRESS_VERIFY, letter, last - s));
  out.push_back(Fmt(FORMAT_PROGRESS_DONE, letter));
  return out;
}

class WorkflowTest : public SimDeviceTest {
 protected:
  void Publish(const ServerPlan& plan) { WriteTreeOrFail(plan, root.Path()); }
  void Publish(const ModelPlan& model) { Publish(ServerPlan{{model}}); }

  void StartServer(const std::string& fault = "", const std::string& faultPath = "") {
    server = std::make_unique<CLocalServer>(root.Path(), fault, faultPath);
    ASSERT_TRUE(server->Started());
    CopyText(g_app.baseUrl, sizeof g_app.baseUrl, server->BaseUrl().c_str());
  }

  void Plug(const std::vector<uint8_t>& page) { device.SetInfoPage(page.data()); }

  // Every page of the image's range holds the image's page data.
  void ExpectProgrammed(const ImagePlan& image) {
    SCOPED_TRACE(image.name);
    uint8_t page[PAGE_SIZE];
    size_t offset = 0;
    for (uint32_t s = image.firstSector; s <= image.lastSector; ++s)
      for (uint32_t j = 0; j < PAGES_PER_SECTOR; ++j, offset += PAGE_SIZE) {
        device.ReadFlashPage(s * PAGES_PER_SECTOR + j, page);
        ASSERT_EQ(std::memcmp(page, image.payload.data() + offset, PAGE_SIZE), 0)
            << "page " << s * PAGES_PER_SECTOR + j;
      }
  }

  // Sectors erased, in order.
  std::vector<uint32_t> Erased() const {
    std::vector<uint32_t> out;
    for (uint32_t page : Addresses(SIM_ERASE)) out.push_back(page / PAGES_PER_SECTOR);
    return out;
  }

  static std::vector<uint32_t> Sectors(const ImagePlan& image) {
    std::vector<uint32_t> out;
    for (uint32_t s = image.firstSector; s <= image.lastSector; ++s) out.push_back(s);
    return out;
  }

  void ExpectOneBox(const std::u16string& text, const std::u16string& caption, unsigned style) {
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(Utf8(ui.boxes[0].text), Utf8(text));
    EXPECT_EQ(Utf8(ui.boxes[0].caption), Utf8(caption));
    EXPECT_EQ(ui.boxes[0].style, style);
    EXPECT_EQ(ui.endCode, 0);
  }

  CTempDir root;
  std::unique_ptr<CLocalServer> server;
};

std::vector<uint32_t> Concat(std::initializer_list<std::vector<uint32_t>> parts) {
  std::vector<uint32_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

TEST_F(WorkflowTest, APendingUpdateAppliesEveryItemAndTheSelectedMainImage) {
  ModelPlan model = SampleModel();
  Publish(model);
  StartServer();
  Plug(BehindPage());

  EXPECT_EQ(IdentifyDevice(), 1);
  EXPECT_EQ(ui.Text(ID_DEVICE_LABEL), u"[ 2130 ]");
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 2132 ]  請<開始更新>"));
  EXPECT_EQ(ui.comboLines,
            (std::vector<std::u16string>{u" 2131  [ 版本 1.31. ]", u" 2132  [ 版本 1.32. ]"}));
  EXPECT_TRUE(ui.Enabled(ID_START_BUTTON));
  EXPECT_TRUE(ui.Enabled(ID_VERSION_COMBO));
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_FALSE(ui.Ended());

  ui.comboSelection = 1;
  EXPECT_EQ(RunUpdate(), 0);

  const ImagePlan &t = ImageNamed(model, T), &v = ImageNamed(model, V), &c2 = ImageNamed(model, C2),
                  &i = ImageNamed(model, I);
  EXPECT_EQ(Erased(), Concat({Sectors(t), Sectors(v), Sectors(c2), Sectors(i)}))
      << "catalogue order, and of the main images only the second line's";
  for (const ImagePlan* image : {&t, &v, &c2, &i}) ExpectProgrammed(*image);
  EXPECT_EQ(device.UnverifiedBytes(), 0u) << "everything written was read back";

  std::vector<std::u16string> progress = {TableString(STR_DOWNLOADING)};
  for (auto [image, letter] : {std::pair{&t, 'T'}, {&v, 'V'}, {&c2, 'C'}, {&i, 'I'}}) {
    std::vector<std::u16string> part = ProgressTexts(*image, letter);
    progress.insert(progress.end(), part.begin(), part.end());
  }
  EXPECT_EQ(ui.Texts(ID_START_BUTTON), progress);
  EXPECT_EQ(ui.Texts(ID_START_BUTTON)[1], u"[     1 ]");
  EXPECT_EQ(ui.Texts(ID_START_BUTTON)[2], u"T -     0 -");

  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
  ExpectOneBox(
      u"1.請移除<測速器>與<電腦>的USB連線,\n        之後,\n   "
      u"電腦即可自動離開更新程式.\n2.Goodbye.",
      u"更新完成.", MB_STYLE_OK);
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
  EXPECT_FALSE(ui.Enabled(ID_EXIT_BUTTON));
  EXPECT_FALSE(ui.Enabled(ID_VERSION_COMBO));
}

TEST_F(WorkflowTest, ALongFormDeviceSeesTheIndexVersionWord) {
  ModelPlan model = SampleModel();
  model.step.entries[3].description = u"main.1.32.beta";
  model.final = model.step;
  Publish(model);
  StartServer();
  Plug(BuildInfoPage(0x42, "4D9C", "2130", "V17", "006", 0x00090801));

  IdentifyDevice();
  EXPECT_EQ(ui.Text(ID_DEVICE_LABEL), u"[ 00090801 ]");
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 01020304 ]  請<開始更新>"));
  EXPECT_EQ(ui.comboLines,
            (std::vector<std::u16string>{u" 01020304  [ 版本 1.31 ]", u" 01020304  [ main.1.32 ]"}))
      << "descriptions end before their last '.'";
  ui.comboSelection = 1;
  RunUpdate();
  ExpectProgrammed(ImageNamed(model, C2));
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
}

TEST_F(WorkflowTest, AnUpToDateDeviceIsNotOfferedAnything) {
  Publish(SingleMainModel());
  StartServer();
  Plug(CurrentPage());

  IdentifyDevice();
  EXPECT_EQ(ui.Text(ID_DEVICE_LABEL), u"[ 2131 ]");
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 2131 ]  請<離開>,不須更新"));
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
  EXPECT_EQ(g_app.catalogue.flags, CATALOGUE_UP_TO_DATE);
  for (int e = 0; e < g_app.catalogue.entryCount; ++e)
    EXPECT_EQ(g_app.catalogue.entries[e].pendingSize, 0) << g_app.catalogue.entries[e].name;
  EXPECT_TRUE(Erased().empty());
  EXPECT_TRUE(Addresses(SIM_WRITE).empty());
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_FALSE(ui.Ended());
}

TEST_F(WorkflowTest, ForcedModeRewritesACurrentDevice) {
  ModelPlan model = SingleMainModel();
  Publish(model);
  StartServer();
  Plug(CurrentPage());
  g_app.runFlags |= FLAG_FORCE;

  IdentifyDevice();
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 2131 ]  請<開始更新>"));
  EXPECT_TRUE(ui.Enabled(ID_START_BUTTON));
  RunUpdate();

  const ImagePlan &t = ImageNamed(model, T), &v = ImageNamed(model, V), &c1 = ImageNamed(model, C1),
                  &i = ImageNamed(model, I);
  EXPECT_EQ(Erased(), Concat({Sectors(t), Sectors(v), Sectors(c1), Sectors(i)}));
  for (const ImagePlan* image : {&t, &v, &c1, &i}) ExpectProgrammed(*image);
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
  ExpectOneBox(TEXT_DONE, CAPTION_DONE, MB_STYLE_OK);
}

TEST_F(WorkflowTest, ForcedModeAppliesOnlyTheSelectedMainImage) {
  ModelPlan model = SampleModel();
  Publish(model);
  StartServer();
  Plug(CurrentPage());  // current for T, V and I
  g_app.runFlags |= FLAG_FORCE;

  IdentifyDevice();
  ASSERT_EQ(ui.comboSelection, 0);
  RunUpdate();
  EXPECT_EQ(Erased(), Concat({Sectors(ImageNamed(model, T)), Sectors(ImageNamed(model, V)),
                              Sectors(ImageNamed(model, C1)), Sectors(ImageNamed(model, I))}));
  ExpectProgrammed(ImageNamed(model, C1));
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
}

TEST_F(WorkflowTest, AnImageOverTheInformationPageGivesTheDeviceItsNewVersion) {
  ModelPlan model = SingleMainModel();
  ImagePlan& i = model.images.back();
  ASSERT_EQ(i.name, I);
  const uint16_t infoSector = INFO_PAGE_ADDRESS / PAGES_PER_SECTOR;
  i = Image(I, infoSector, infoSector, 5);
  const std::vector<uint8_t> current = CurrentPage();
  std::copy(current.begin(), current.end(), i.payload.begin());
  Publish(model);
  StartServer();
  Plug(BehindPage());

  IdentifyDevice();
  RunUpdate();
  ExpectOneBox(TEXT_DONE, CAPTION_DONE, MB_STYLE_OK);
  ExpectProgrammed(i);
  EXPECT_EQ(device.UnverifiedBytes(), 0u);

  // Plugged in again, it reports the version the image gave it and is up to date.
  ResetAppState(&ui, &platform);
  CopyText(g_app.baseUrl, sizeof g_app.baseUrl, server->BaseUrl().c_str());
  ASSERT_EQ(g_app.hidCmd.FindDevice(), 1);
  IdentifyDevice();
  EXPECT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.Text(ID_DEVICE_LABEL), u"[ 2131 ]");
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 2131 ]  請<離開>,不須更新"));
}

TEST_F(WorkflowTest, DifferentIndexFilesAskForAnotherPass) {
  ModelPlan model = SingleMainModel();
  model.final.versionWord = 0x01020305;
  model.final.entries = {Entry(T), Entry("Mc91332b", u"版本 1.33.")};
  model.final.entries[1].size = 4096 + UPDATE_HEADER_SIZE;  // listed only, never fetched
  Publish(model);
  StartServer();
  Plug(CurrentPage());  // current with the step index

  IdentifyDevice();
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 2133 ]  須<開始更新>數次"))
      << "the final index's version";
  EXPECT_TRUE(ui.Enabled(ID_START_BUTTON));
  EXPECT_EQ(g_app.catalogue.flags, CATALOGUE_UP_TO_DATE | CATALOGUE_MORE_PASSES);
  EXPECT_EQ(ui.comboLines, std::vector<std::u16string>{u" 2131  [ 版本 1.31. ]"})
      << "the version list comes from the step index";

  RunUpdate();
  EXPECT_TRUE(Erased().empty()) << "nothing was pending";
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_AGAIN});
  ExpectOneBox(
      u"1.請移除<測速器>與<電腦>的USB連線,\n  之後,電腦將自動離開更新程式.\n"
      u"2.重新連接<測速器>與<電腦>的USB連線,\n3.電腦:再度執行更新程式.\n",
      u"還有更新!", MB_STYLE_OK);
}

TEST_F(WorkflowTest, IndexFilesThatDifferOnlyAfterTheHeaderAreTheSame) {
  ModelPlan model = SingleMainModel();
  model.step.entries[2].description = u"ab";
  model.final = model.step;
  Publish(model);
  // The final file's description becomes "ba": swapping two bytes keeps both checksums, so bytes
  // 8..23 stay equal while the entries differ.
  std::string path = IndexFilePath(root.Path(), "4D9C", 0);
  std::vector<uint8_t> final;
  ASSERT_TRUE(ReadWholeFile(path, &final));
  const int length = static_cast<int>(final.size());
  ASSERT_EQ(CheckUpdateFile(length, final.data(), "4D9C", MODE_INDEX_FILE), CHECK_OK);
  const uint8_t ab[] = {'a', 0, 'b', 0};
  auto at = std::search(final.begin(), final.end(), std::begin(ab), std::end(ab));
  ASSERT_NE(at, final.end());
  std::swap(at[0], at[2]);
  ScrambleUpdateFile(length, final.data(), "4D9C", MODE_INDEX_FILE);
  ASSERT_TRUE(WriteWholeFile(path, final));
  StartServer();
  Plug(CurrentPage());

  IdentifyDevice();
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 2131 ]  請<離開>,不須更新"));
  EXPECT_EQ(g_app.catalogue.flags, CATALOGUE_UP_TO_DATE);
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
}

namespace {

// Rewrites a published index file: descrambled, edited, sealed and scrambled again.
void EditIndex(const std::string& path, const std::function<void(std::vector<uint8_t>&)>& edit) {
  std::vector<uint8_t> file;
  ASSERT_TRUE(ReadWholeFile(path, &file));
  const int length = static_cast<int>(file.size());
  ASSERT_EQ(CheckUpdateFile(length, file.data(), "4D9C", MODE_INDEX_FILE), CHECK_OK);
  edit(file);
  SealUpdateFile(length, file.data());
  ScrambleUpdateFile(length, file.data(), "4D9C", MODE_INDEX_FILE);
  ASSERT_TRUE(WriteWholeFile(path, file));
}

// Step and final index files with the same version word that differ in bytes 8..23 elsewhere:
// in bytes 8..9 (the final file lists another description), or only in byte 10 or 20 (swapped
// with byte 24, which the comparison leaves out, so that both checksums stay the same).
class SameVersionWordTest : public WorkflowTest, public ::testing::WithParamInterface<int> {};

}  // namespace

TEST_P(SameVersionWordTest, OtherBytesIn8To23AskForAnotherPass) {
  const int at = GetParam();
  ModelPlan model = SingleMainModel();
  if (at == 8) model.final.entries[2].description = u"版本 1,31.";  // same length
  Publish(model);
  if (at != 8) {
    EditIndex(IndexFilePath(root.Path(), "4D9C", 1), [at](std::vector<uint8_t>& f) {
      f[at] = 0x11;
      f[24] = 0x22;
    });
    EditIndex(IndexFilePath(root.Path(), "4D9C", 0), [at](std::vector<uint8_t>& f) {
      f[at] = 0x22;
      f[24] = 0x11;
    });
  }
  // The plain headers differ where intended, and only there in 8..23.
  std::vector<uint8_t> files[2];
  for (int which : {0, 1}) {
    ASSERT_TRUE(ReadWholeFile(IndexFilePath(root.Path(), "4D9C", which), &files[which]));
    ASSERT_EQ(CheckUpdateFile(static_cast<int>(files[which].size()), files[which].data(), "4D9C",
                              MODE_INDEX_FILE),
              CHECK_OK);
  }
  std::vector<int> differ;
  for (int p = 8; p < 24; ++p)
    if (files[0][p] != files[1][p]) differ.push_back(p);
  if (at == 8)
    ASSERT_TRUE(!differ.empty() && differ.back() <= 9) << differ.size();
  else
    ASSERT_EQ(differ, std::vector<int>{at});

  StartServer();
  Plug(CurrentPage());  // current with the step index

  IdentifyDevice();
  EXPECT_EQ(g_app.catalogue.flags, CATALOGUE_UP_TO_DATE | CATALOGUE_MORE_PASSES);
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 2131 ]  須<開始更新>數次"));
  EXPECT_TRUE(ui.Enabled(ID_START_BUTTON));
}

INSTANTIATE_TEST_SUITE_P(Bytes, SameVersionWordTest, ::testing::Values(8, 10, 20));

TEST_F(WorkflowTest, AMissingFinalIndexLeavesTheStatusEmpty) {
  ModelPlan model = SampleModel();
  model.hasFinal = false;
  Publish(model);
  StartServer();
  Plug(BehindPage());

  IdentifyDevice();
  EXPECT_EQ(ui.Text(ID_LATEST_LABEL), u"");
  EXPECT_TRUE(ui.Texts(ID_LATEST_LABEL).empty());
  EXPECT_TRUE(ui.Enabled(ID_START_BUTTON));
  RunUpdate();
  ExpectProgrammed(ImageNamed(model, C1));  // line 0 selected
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
  ExpectOneBox(TEXT_DONE, CAPTION_DONE, MB_STYLE_OK);
}

namespace {

// The sample's step index padded after its list's terminator to `size` bytes: padding is part of
// the file (and of its checksums) but no entry.
void PublishPaddedStepIndex(const ModelPlan& model, const std::string& root, size_t size) {
  std::vector<IndexEntrySpec> entries;
  for (const IndexEntryPlan& e : model.step.entries)
    entries.push_back(
        {e.name,
         static_cast<uint32_t>(ImageNamed(model, e.name).payload.size() + UPDATE_HEADER_SIZE),
         e.description});
  std::vector<uint8_t> index =
      BuildIndexFile(model.modelId, model.step.versionWord, entries, false);
  index.resize(size, 0x5A);
  PublishUpdateFile(index, model.modelId, MODE_INDEX_FILE);
  ASSERT_TRUE(WriteWholeFile(IndexFilePath(root, model.modelId, 1), index));
}

}  // namespace

TEST_F(WorkflowTest, AStepIndexThatFillsItsBufferIsRead) {
  ModelPlan model = SampleModel();
  model.hasFinal = false;
  Publish(model);
  PublishPaddedStepIndex(model, root.Path(), MAX_INDEX_FILE_SIZE);
  StartServer();
  Plug(BehindPage());
  IdentifyDevice();
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(g_app.catalogue.entryCount, 5);
  EXPECT_TRUE(ui.Enabled(ID_START_BUTTON));
}

TEST_F(WorkflowTest, AStepIndexOneByteTooLongIsRefusedAsTooLong) {
  ModelPlan model = SampleModel();
  model.hasFinal = false;
  Publish(model);
  PublishPaddedStepIndex(model, root.Path(), MAX_INDEX_FILE_SIZE + 1);
  StartServer();
  Plug(BehindPage());
  IdentifyDevice();
  // The index buffer takes the one byte too many, so the check can tell what is wrong.
  ExpectOneBox(u"錯誤碼: 0302   -6", u"執行時錯誤", MB_STYLE_ICON_ERROR);
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
}

TEST_F(WorkflowTest, AMissingStepIndexEndsWithTheCheckOfTheErrorPage) {
  ModelPlan model = SampleModel();
  model.modelId = "1234";  // published for another model only
  Publish(model);
  StartServer();
  Plug(BehindPage());

  IdentifyDevice();
  ExpectOneBox(u"錯誤碼: 0302   -2", u"執行時錯誤", MB_STYLE_ICON_ERROR);
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
  EXPECT_TRUE(ui.comboLines.empty());
}

TEST_F(WorkflowTest, AServerThatIsDownCannotBeReached) {
  Plug(BehindPage());
  CopyText(g_app.baseUrl, sizeof g_app.baseUrl, BaseUrlForPort(UnusedPort()).c_str());
  IdentifyDevice();
  ExpectOneBox(u"無法鏈結伺服器!", u"網路問題", MB_STYLE_ICON_ERROR);
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
}

TEST_F(WorkflowTest, AStepIndexCutShortIsAReadFailure) {
  Publish(SampleModel());
  StartServer("cut", "Door47/");
  Plug(BehindPage());
  IdentifyDevice();
  ExpectOneBox(u"讀檔 失敗!", u"網路問題", MB_STYLE_ICON_ERROR);
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
}

TEST_F(WorkflowTest, ACorruptImageIsRefusedBeforeAnythingIsErased) {
  ModelPlan model = SampleModel();
  Publish(model);
  std::string path = ImageFilePath(root.Path(), "4D9C", T);
  std::vector<uint8_t> image;
  ASSERT_TRUE(ReadWholeFile(path, &image));
  image[UPDATE_HEADER_SIZE + 100] ^= 0x01;
  ASSERT_TRUE(WriteWholeFile(path, image));
  StartServer();
  Plug(BehindPage());

  IdentifyDevice();
  RunUpdate();
  ExpectOneBox(u"錯誤碼: 0402 -4", u"執行時錯誤", MB_STYLE_ICON_ERROR);
  EXPECT_TRUE(Erased().empty());
  EXPECT_TRUE(Addresses(SIM_WRITE).empty());
  EXPECT_TRUE(device.commands.empty());
}

TEST_F(WorkflowTest, AnImageShorterThanItsSectorRangeIsRefusedBeforeAnythingIsErased) {
  ModelPlan model = SampleModel();
  model.images[0].lastSector = 1;  // T claims two sectors but carries one
  Publish(model);
  StartServer();
  Plug(BehindPage());

  IdentifyDevice();
  RunUpdate();
  ExpectOneBox(u"錯誤碼: 0402 -11", u"執行時錯誤", MB_STYLE_ICON_ERROR);
  EXPECT_TRUE(Erased().empty());
  EXPECT_TRUE(device.commands.empty());
}

TEST_F(WorkflowTest, APageThatIgnoresWritesFailsTheVerification) {
  ModelPlan model = SampleModel();
  Publish(model);
  StartServer();
  Plug(BehindPage());
  const ImagePlan& v = ImageNamed(model, V);
  const uint32_t badPage = v.firstSector * PAGES_PER_SECTOR + 5;
  device.faults.ignoreWritePage = badPage;

  IdentifyDevice();
  RunUpdate();
  // The page stays erased: every byte of it that is not 0xFF in the image differs.
  int differing = 0;
  for (uint32_t k = 0; k < PAGE_SIZE; ++k) differing += v.payload[5 * PAGE_SIZE + k] != 0xFF;
  ASSERT_GT(differing, 0);
  const int listed = static_cast<int>(v.payload.size()) + UPDATE_HEADER_SIZE;
  ExpectOneBox(Fmt(u"錯誤碼: 0403+%2d\n%8d\n%8d", 1, listed, differing), u"執行時錯誤",
               MB_STYLE_ICON_ERROR);
  EXPECT_EQ(Erased(), Concat({Sectors(ImageNamed(model, T)), Sectors(v)}))
      << "the run stops at the failing entry";
  EXPECT_TRUE(device.commands.empty());
}

TEST_F(WorkflowTest, AServerThatDiesMidImageStopsTheRun) {
  ModelPlan model = SampleModel();
  Publish(model);
  StartServer("cut", C2);
  Plug(BehindPage());

  IdentifyDevice();
  ui.comboSelection = 1;
  RunUpdate();
  ExpectOneBox(u"讀檔 失敗!", u"網路問題", MB_STYLE_ICON_ERROR);
  EXPECT_TRUE(Erased().empty()) << "nothing is erased without every image in hand";
  EXPECT_TRUE(device.commands.empty());
}

TEST_F(WorkflowTest, AServerGoneBeforeTheRunCannotBeReached) {
  Publish(SampleModel());
  StartServer();
  Plug(BehindPage());
  IdentifyDevice();
  ASSERT_TRUE(ui.Enabled(ID_START_BUTTON));
  server->Stop();

  RunUpdate();
  ExpectOneBox(u"無法鏈結伺服器!", u"網路問題", MB_STYLE_ICON_ERROR);
  EXPECT_TRUE(Erased().empty());
  EXPECT_TRUE(device.commands.empty());
}

TEST_F(WorkflowTest, AnEmptyFileIsAFailedDownloadShownAsZero) {
  ModelPlan model = SampleModel();
  Publish(model);
  ASSERT_TRUE(WriteWholeFile(ImageFilePath(root.Path(), "4D9C", T), {}));
  StartServer();
  Plug(BehindPage());
  IdentifyDevice();
  RunUpdate();
  ExpectOneBox(u"0", u"0", MB_STYLE_ICON_ERROR);
  EXPECT_TRUE(Erased().empty());
  EXPECT_TRUE(device.commands.empty());
}

TEST_F(WorkflowTest, AnEmptyStepIndexIsAFailedDownloadShownAsZero) {
  Publish(SampleModel());
  ASSERT_TRUE(WriteWholeFile(IndexFilePath(root.Path(), "4D9C", 1), {}));
  StartServer();
  Plug(BehindPage());
  IdentifyDevice();
  ExpectOneBox(u"0", u"0", MB_STYLE_ICON_ERROR);
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
}

TEST_F(WorkflowTest, AnEntryOfAKindWithoutALetterShowsAQuestionMark) {
  ModelPlan model;
  model.modelId = "4D9C";
  model.images = {Image(T, 0, 0, 1), Image(C1, 24, 31, 3), Image(X5, 40, 41, 9)};
  model.step.entries = {Entry(T), Entry(C1, u"版本 1.31."), Entry(X5)};
  Publish(model);
  StartServer();
  Plug(BehindPage());

  IdentifyDevice();
  EXPECT_EQ(ui.Text(ID_LATEST_LABEL), u"");  // no final index
  EXPECT_EQ(g_app.catalogue.entries[2].kind, 5);
  EXPECT_EQ(g_app.catalogue.entries[2].pendingSize, g_app.catalogue.entries[2].fullSize)
      << "a kind without a stamp is never current";
  RunUpdate();
  std::vector<std::u16string> progress = {TableString(STR_DOWNLOADING)};
  for (auto [name, letter] : {std::pair{T, 'T'}, {C1, 'C'}, {X5, '?'}}) {
    std::vector<std::u16string> part = ProgressTexts(ImageNamed(model, name), letter);
    progress.insert(progress.end(), part.begin(), part.end());
  }
  EXPECT_EQ(ui.Texts(ID_START_BUTTON), progress);
  std::vector<std::u16string> texts = ui.Texts(ID_START_BUTTON);
  EXPECT_NE(std::find(texts.begin(), texts.end(), u"? -     0 -"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), u"Verify ? Complete!"), texts.end());
  ExpectProgrammed(ImageNamed(model, X5));
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
}

TEST_F(WorkflowTest, AnEntryOfAKindWithoutALetterDoesNotKeepADeviceFromBeingCurrent) {
  ModelPlan model = SingleMainModel();
  model.images.push_back(Image(X5, 40, 40, 9));
  model.step.entries.push_back(Entry(X5));
  model.final = model.step;
  Publish(model);
  StartServer();
  Plug(CurrentPage());

  IdentifyDevice();
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 2131 ]  請<離開>,不須更新"));
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
}

namespace {

// Records the order of the run's first window calls.
class COrderUi : public CRecordingUi {
 public:
  void EnableControl(int id, bool on) override {
    order.push_back("enable " + std::to_string(id) + (on ? " on" : " off"));
    CRecordingUi::EnableControl(id, on);
  }
  void SetControlText(int id, const WChar* text) override {
    order.push_back("text " + std::to_string(id));
    CRecordingUi::SetControlText(id, text);
  }
  int ComboSelection() override {
    order.push_back("selection");
    return CRecordingUi::ComboSelection();
  }
  std::vector<std::string> order;
};

}  // namespace

TEST_F(WorkflowTest, TheRunDisablesStartBeforeAnythingElse) {
  COrderUi orderUi;
  ResetAppState(&orderUi, &platform);
  ASSERT_EQ(g_app.hidCmd.FindDevice(), 1);
  ModelPlan model = SampleModel();
  Publish(model);
  StartServer();
  Plug(BehindPage());
  IdentifyDevice();
  ASSERT_TRUE(orderUi.Enabled(ID_START_BUTTON));

  orderUi.order.clear();
  RunUpdate();
  ASSERT_GE(orderUi.order.size(), 4u);
  EXPECT_EQ(orderUi.order[0], "enable " + std::to_string(ID_START_BUTTON) + " off")
      << "a second press of Start finds it disabled";
  EXPECT_EQ(orderUi.order[1], "enable " + std::to_string(ID_EXIT_BUTTON) + " off");
  EXPECT_EQ(orderUi.order[2], "selection");
  EXPECT_EQ(orderUi.order[3], "enable " + std::to_string(ID_VERSION_COMBO) + " off");
  for (size_t k = 4; k < orderUi.order.size(); ++k)
    EXPECT_NE(orderUi.order[k].rfind("enable", 0), 0u) << "nothing is enabled again";
}

namespace {

// The simulated device, also noting when its first erase arrives.
class CTimedPlatform : public CSimPlatform {
 public:
  using CSimPlatform::CSimPlatform;
  int DeviceIo(DeviceHandle handle, ScsiRequest* request) override {
    int result = CSimPlatform::DeviceIo(handle, request);
    if (firstErase == Clock::time_point{} && !device->log.empty() &&
        device->log.back().kind == SIM_ERASE)
      firstErase = Clock::now();
    return result;
  }
  using Clock = std::chrono::steady_clock;
  Clock::time_point firstErase;
};

// Waits up to 30 s for the prefetch to have tried everything the current selection needs.
bool PrefetchSettles() {
  for (int k = 0; k < 3000 && !PrefetchSettled(); ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return PrefetchSettled();
}

// The prefetch on a thread of its own, as a front end runs it; at the end of the test the run's
// claim stops it (it claims nothing when the run has) and the thread is joined.
class CPrefetchThread {
 public:
  CPrefetchThread() : thread(PrefetchRunImages) {}
  ~CPrefetchThread() {
    ClaimRunImages(nullptr, 0);
    thread.join();
  }

 private:
  std::thread thread;
};

class PrefetchTest : public WorkflowTest {
 protected:
  void SetUp() override {
    WorkflowTest::SetUp();
    ResetAppState(&ui, &timed);
    ASSERT_EQ(g_app.hidCmd.FindDevice(), 1);
  }
  CTimedPlatform timed{&device};
};

}  // namespace

// The prefetch on its worker while the offer stays on screen, from a slow server: first for the
// first line, then for the second one picked meanwhile, the first and the second again. Then the
// server is gone: Start finds everything in hand, fetches nothing, shows no download caption and
// erases at once.
TEST_F(PrefetchTest, TheImagesAreInHandBeforeStart) {
  ModelPlan model = SampleModel();
  Publish(model);
  char pool[9];
  PoolDirectoryFor("4D9C", pool);
  StartServer("slow", pool);
  Plug(BehindPage());
  IdentifyDevice();
  ASSERT_TRUE(ui.Enabled(ID_START_BUTTON));

  CPrefetchThread prefetch;
  ASSERT_TRUE(PrefetchSettles());
  for (int line : {1, 0, 1}) {
    ui.ComboSelect(line);
    NoteSelectionChanged();
    ASSERT_TRUE(PrefetchSettles());
  }
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_TRUE(ui.Enabled(ID_START_BUTTON)) << "the offer stays on screen";
  EXPECT_TRUE(Addresses(SIM_ERASE).empty());
  server->Stop();

  auto start = CTimedPlatform::Clock::now();
  RunUpdate();
  ExpectOneBox(TEXT_DONE, CAPTION_DONE, MB_STYLE_OK);
  for (const std::string& name : {T, V, C2, I}) ExpectProgrammed(ImageNamed(model, name));
  std::vector<std::u16string> captions = ui.Texts(ID_START_BUTTON);
  EXPECT_EQ(std::find(captions.begin(), captions.end(), TableString(STR_DOWNLOADING)),
            captions.end())
      << "nothing to wait for";
  auto untilErase = std::chrono::duration_cast<std::chrono::milliseconds>(timed.firstErase - start);
  EXPECT_LT(untilErase.count(), 100) << "the first erase follows Start at once";
}

// A prefetch that failed showed nothing; Start fetches that image again, from a server that now
// has it, and the run succeeds.
TEST_F(PrefetchTest, AnImageItCouldNotHaveIsFetchedAtStart) {
  ModelPlan model = SampleModel();
  Publish(model);
  StartServer("not-found", C1);
  Plug(BehindPage());
  IdentifyDevice();
  CPrefetchThread prefetch;
  ASSERT_TRUE(PrefetchSettles());
  EXPECT_TRUE(ui.boxes.empty()) << "a failed prefetch is not reported";
  StartServer();

  RunUpdate();
  ExpectOneBox(TEXT_DONE, CAPTION_DONE, MB_STYLE_OK);
  for (const std::string& name : {T, V, C1, I}) ExpectProgrammed(ImageNamed(model, name));
  EXPECT_EQ(ui.Texts(ID_START_BUTTON)[0], TableString(STR_DOWNLOADING));
}

// One update of a 1 MiB main image with no injected device delay. Times and peak memory are
// recorded as the test's "updateUs", "runUs" and "peakRssKb" properties and printed; rerun it with
//   build/native/tests/tolvarin_native_tests --gtest_filter=WorkflowTest.BenchOneMebibyteUpdate
TEST_F(WorkflowTest, BenchOneMebibyteUpdate) {
  ModelPlan model;
  model.modelId = "4D9C";
  model.images = {Image(C1, 16, 16 + 255, 77)};
  ASSERT_EQ(model.images[0].payload.size(), 1u << 20);
  model.step.entries = {Entry(C1, u"1 MiB")};
  Publish(model);
  StartServer();
  Plug(BehindPage());

  using Clock = std::chrono::steady_clock;
  auto micros = [](Clock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
  };
  Clock::time_point start = Clock::now();
  IdentifyDevice();
  Clock::time_point identified = Clock::now();
  RunUpdate();
  Clock::time_point done = Clock::now();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  RecordProperty("updateUs", static_cast<int>(micros(done - start)));
  RecordProperty("runUs", static_cast<int>(micros(done - identified)));
  RecordProperty("peakRssKb", static_cast<int>(usage.ru_maxrss));
  // The server is a child process: the peak is the program's side alone.
  std::printf(
      "one 1 MiB update: %lld us (identification and check %lld us, run %lld us), peak resident "
      "set of the test process %ld KiB\n",
      micros(done - start), micros(identified - start), micros(done - identified),
      static_cast<long>(usage.ru_maxrss));
  ExpectProgrammed(model.images[0]);
  EXPECT_EQ(Erased().size(), 256u);
  EXPECT_EQ(Addresses(SIM_WRITE).size(), 256u * PAGES_PER_SECTOR);
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
}

// A whole update from nginx with the site configuration of deploy/nginx/, over http and over
// https (the test CA given to libcurl), timed from identification to the closing box: a 1 MiB main
// image beside the sample model's T, V and I. Rerun with
//   build/native/tests/tolvarin_native_tests --gtest_filter='WorkflowOverNginx*'
class WorkflowOverNginx : public WorkflowTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void TearDown() override {
    g_downloadExtraCaFile.clear();
    WorkflowTest::TearDown();
  }
};

TEST_P(WorkflowOverNginx, AWholeUpdate) {
  std::string certificate = GetParam();
  ASSERT_FALSE(TestCertificates().empty());
  g_downloadExtraCaFile = TestCertificates() + "/ca.pem";
  ModelPlan model = SingleMainModel();
  model.images[2] = Image(C1, 16, 16 + 255, 77);
  Publish(model);
  CNginxServer nginx(root.Path(), certificate);
  ASSERT_TRUE(nginx.Started());
  CopyText(g_app.baseUrl, sizeof g_app.baseUrl, nginx.BaseUrl().c_str());
  Plug(BehindPage());

  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(IdentifyDevice(), 1);
  EXPECT_EQ(Utf8(ui.Text(ID_LATEST_LABEL)), Utf8(u"[ 2131 ]  請<開始更新>"));
  ui.comboSelection = 0;
  RunUpdate();
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  std::printf("whole update (1 MiB main image) over %s from nginx: %.3f s\n",
              certificate.empty() ? "http" : "https", took.count());
  for (const ImagePlan& image : model.images) ExpectProgrammed(image);
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
  ExpectOneBox(
      u"1.請移除<測速器>與<電腦>的USB連線,\n        之後,\n   "
      u"電腦即可自動離開更新程式.\n2.Goodbye.",
      u"更新完成.", MB_STYLE_OK);
}

INSTANTIATE_TEST_SUITE_P(Site, WorkflowOverNginx, ::testing::Values("", "localhost"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param[0] == 0 ? "http" : "https");
                         });

// A certificate that does not verify (its CA unknown, made for another host, expired): the step
// index cannot be fetched and the connect box shows, as for a server that is down.
using UntrustedNginx = WorkflowOverNginx;
TEST_P(UntrustedNginx, ShowsTheConnectBox) {
  std::string certificate = GetParam();
  ASSERT_FALSE(TestCertificates().empty());
  g_downloadExtraCaFile = TestCertificates() + "/ca.pem";
  Publish(SampleModel());
  CNginxServer nginx(root.Path(), certificate);
  ASSERT_TRUE(nginx.Started());
  CopyText(g_app.baseUrl, sizeof g_app.baseUrl, nginx.BaseUrl().c_str());
  Plug(BehindPage());
  IdentifyDevice();
  ExpectOneBox(u"無法鏈結伺服器!", u"網路問題", MB_STYLE_ICON_ERROR);
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
  EXPECT_TRUE(ui.comboLines.empty());
  EXPECT_EQ(nginx.AccessLog(), "") << "nothing requested";
}

INSTANTIATE_TEST_SUITE_P(Certificate, UntrustedNginx,
                         ::testing::Values("unknownca", "wronghost", "expired"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

// --- signed publications: the same workflow in a program with a public key ---------------------

namespace {

class SignedWorkflowTest : public WorkflowTest {
 public:  // the cases' table spoils the tree through these
  using WorkflowTest::Publish;
  void SetUp() override {
    WorkflowTest::SetUp();
    key.reset(EVP_EC_gen("P-256"));
    ASSERT_TRUE(key && PublicPoint(key.get(), publicKey));
    g_app.publicKeys = &publicKey;
    g_app.publicKeyCount = 1;
  }

  void TearDown() override {
    ResetTestClock();
    WorkflowTest::TearDown();
  }

  // Signs modelId's files as the tree now holds them, valid for a day or until expires.
  void Seal(const std::string& modelId = "4D9C", int64_t expires = 0) {
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    SealedModel sealed;
    std::string error;
    ASSERT_TRUE(SealModel(root.Path(), modelId, key.get(), publicKey, now,
                          expires != 0 ? expires : now + 86400, &sealed, &error))
        << error;
  }

  std::string TreeFile(const std::string& underBase) const {
    return root.Path() + UPDATE_BASE_PATH + underBase;
  }
  std::string RecordPath(bool signature) const {
    char path[LOCATION_CAPACITY];
    RecordFileLocation(path, sizeof path, "", "4D9C", signature);
    return TreeFile(path);
  }

  // Nothing reached the flash: no erase, no write, no finishing command, Start never offered
  // (or, at Start, no erase before the box).
  void ExpectFlashUntouched() {
    EXPECT_TRUE(Addresses(SIM_ERASE).empty());
    EXPECT_TRUE(Addresses(SIM_WRITE).empty());
    EXPECT_TRUE(device.commands.empty());
  }

  PrivateKey key;
  uint8_t publicKey[P256_PUBLIC_KEY_BYTES];
};

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(ReadWholeFile(path, &bytes)) << path;
  return bytes;
}

}  // namespace

TEST_F(SignedWorkflowTest, ASignedReleaseIsAppliedWhole) {
  ModelPlan model = SampleModel();
  Publish(model);
  Seal();
  StartServer();
  Plug(BehindPage());

  EXPECT_EQ(IdentifyDevice(), 1);
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(g_app.record.fileCount, 7) << "both index files and the five images";
  ui.comboSelection = 0;
  EXPECT_EQ(RunUpdate(), 0);
  for (const std::string& name : {T, V, C1, I}) ExpectProgrammed(ImageNamed(model, name));
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(Utf8(ui.boxes[0].caption), Utf8(CAPTION_DONE));
}

namespace {

struct RecordCase {
  const char* what;
  std::function<void(SignedWorkflowTest*)> spoil;
  std::string fault, faultPath;  // of the local server
  std::u16string text, caption;
};
const RecordCase RECORD_CASES[] = {
    {"no record at all: the server's 404 page in its place", [](SignedWorkflowTest*) {},
     "not-found", ".json", TEXT_ERROR_NOT_SIGNED, CAPTION_FATAL},
    {"a record without its signature", [](SignedWorkflowTest* t) { t->Seal(); }, "not-found",
     ".sig", TEXT_ERROR_NOT_SIGNED, CAPTION_FATAL},
    {"a record of 10 MiB: more than the bound is never read in",
     [](SignedWorkflowTest* t) {
       t->Seal();
       std::vector<uint8_t> big(10 << 20, ' ');
       ASSERT_TRUE(WriteWholeFile(t->RecordPath(false), big));
     },
     "", "", ErrorTextFor(ERR_READ), ErrorCaptionFor(ERR_READ)},
    {"a valid record of another model in this model's place",
     [](SignedWorkflowTest* t) {
       ModelPlan other = SampleModel();
       other.modelId = "4E9C";
       t->Publish(ServerPlan{{SampleModel(), other}});
       t->Seal("4E9C");
       for (bool signature : {false, true}) {
         char path[LOCATION_CAPACITY];
         RecordFileLocation(path, sizeof path, "", "4E9C", signature);
         ASSERT_TRUE(WriteWholeFile(t->RecordPath(signature), FileBytes(t->TreeFile(path))));
       }
     },
     "", "", TEXT_ERROR_RECORD_OTHER_MODEL, CAPTION_FATAL},
    {"an older release's record beside the newer release's files",
     [](SignedWorkflowTest* t) {
       t->Seal();
       ModelPlan newer = SampleModel();
       newer.step.versionWord += 1;
       newer.final = newer.step;
       std::vector<uint8_t> record = FileBytes(t->RecordPath(false));
       std::vector<uint8_t> signature = FileBytes(t->RecordPath(true));
       t->Publish(newer);
       ASSERT_TRUE(WriteWholeFile(t->RecordPath(false), record));
       ASSERT_TRUE(WriteWholeFile(t->RecordPath(true), signature));
     },
     "", "", TEXT_ERROR_FILE_DIFFERS, CAPTION_FATAL},
    // 2^31 seconds fall on 2038-01-19: a 32-bit clock reads -1 from then on.
    {"a clock in 2039, past a record that held until 2038-06-01",
     [](SignedWorkflowTest* t) {
       t->Seal("4D9C", 2158963200);
       SetTestClock(true, 2177452800);
     },
     "", "", TEXT_ERROR_RECORD_EXPIRED, CAPTION_FATAL},
    {"a clock the program cannot read",
     [](SignedWorkflowTest* t) {
       t->Seal();
       SetTestClock(false, 0);
     },
     "", "", TEXT_ERROR_RECORD_EXPIRED, CAPTION_FATAL},
};

class SignedRecordTest : public SignedWorkflowTest, public ::testing::WithParamInterface<int> {};

}  // namespace

TEST_P(SignedRecordTest, ARecordThatDoesNotHoldTouchesNothing) {
  const RecordCase& c = RECORD_CASES[GetParam()];
  SCOPED_TRACE(c.what);
  Publish(SampleModel());
  c.spoil(this);
  StartServer(c.fault, c.faultPath);
  Plug(BehindPage());
  EXPECT_EQ(IdentifyDevice(), 1);
  ExpectOneBox(c.text, c.caption, MB_STYLE_ICON_ERROR);
  EXPECT_FALSE(ui.Enabled(ID_START_BUTTON)) << "no run can start";
  EXPECT_TRUE(ui.comboLines.empty()) << "no index file was read";
  ExpectFlashUntouched();
}
INSTANTIATE_TEST_SUITE_P(Cases, SignedRecordTest,
                         ::testing::Range(0, static_cast<int>(std::size(RECORD_CASES))));

// The first entry the run applies, one byte of its page data changed after signing.
TEST_F(SignedWorkflowTest, AnImageThatDiffersFromTheRecordIsRefusedBeforeItsFirstErase) {
  ModelPlan model = SampleModel();
  const ImagePlan& t = ImageNamed(model, T);
  char pool[9], poolPath[LOCATION_CAPACITY];
  PoolDirectoryFor("4D9C", pool);
  ImageFileLocation(poolPath, sizeof poolPath, "", pool, t.name.c_str());
  Publish(model);
  Seal();
  std::vector<uint8_t> image = FileBytes(TreeFile(poolPath));
  image[UPDATE_HEADER_SIZE + 7] ^= 1;
  ASSERT_TRUE(WriteWholeFile(TreeFile(poolPath), image));
  StartServer();
  Plug(BehindPage());
  EXPECT_EQ(IdentifyDevice(), 1);
  EXPECT_TRUE(ui.Enabled(ID_START_BUTTON)) << "the index files still hold";
  EXPECT_EQ(RunUpdate(), 0);
  ExpectOneBox(TEXT_ERROR_FILE_DIFFERS, CAPTION_FATAL, MB_STYLE_ICON_ERROR);
  ExpectFlashUntouched();
}

// Each image of a four-image run failing in turn: a 404 (its error page fails the image check, or
// in a signed program the record's size), a cut body, a reset connection, and in a signed program
// a byte changed after signing. The file's box, and nothing erased or written: the images before
// it are in hand by then, and none of them is programmed.
struct ImageFault {
  std::string image, fault;
  bool signedProgram;
};

std::vector<ImageFault> ImageFaults() {
  std::vector<ImageFault> cases;
  for (const std::string& image : {T, V, C1, I}) {
    for (const char* fault : {"not-found", "cut", "reset"})
      for (bool signedProgram : {false, true}) cases.push_back({image, fault, signedProgram});
    // The first image's is AnImageThatDiffersFromTheRecordIsRefusedBeforeItsFirstErase.
    if (image != T) cases.push_back({image, "changed", true});
  }
  return cases;
}

class ImageFaultTest : public SignedWorkflowTest,
                       public ::testing::WithParamInterface<ImageFault> {};

TEST_P(ImageFaultTest, LeavesTheDeviceUntouched) {
  const ImageFault& c = GetParam();
  Publish(SampleModel());
  Seal();
  if (!c.signedProgram) g_app.publicKeyCount = 0;
  if (c.fault == "changed") {
    char pool[9], path[LOCATION_CAPACITY];
    PoolDirectoryFor("4D9C", pool);
    ImageFileLocation(path, sizeof path, "", pool, c.image.c_str());
    std::vector<uint8_t> file = FileBytes(TreeFile(path));
    file[UPDATE_HEADER_SIZE + 5] ^= 1;
    ASSERT_TRUE(WriteWholeFile(TreeFile(path), file));
    StartServer();
  } else {
    StartServer(c.fault, c.image);
  }
  Plug(BehindPage());
  ASSERT_EQ(IdentifyDevice(), 1);
  ASSERT_TRUE(ui.Enabled(ID_START_BUTTON)) << "the offer";
  EXPECT_EQ(RunUpdate(), 0);
  if (c.fault == "cut" || c.fault == "reset")
    ExpectOneBox(u"讀檔 失敗!", u"網路問題", MB_STYLE_ICON_ERROR);
  else if (c.signedProgram)
    ExpectOneBox(u"錯誤碼: 0506 檔案與簽署資料不符", u"執行時錯誤", MB_STYLE_ICON_ERROR);
  else
    ExpectOneBox(u"錯誤碼: 0402 -2", u"執行時錯誤", MB_STYLE_ICON_ERROR);
  ExpectFlashUntouched();
}
INSTANTIATE_TEST_SUITE_P(AnyImageOfTheRun, ImageFaultTest, ::testing::ValuesIn(ImageFaults()),
                         [](const ::testing::TestParamInfo<ImageFault>& info) {
                           std::string name = info.param.image + "_" + info.param.fault +
                                              (info.param.signedProgram ? "_signed" : "_keyless");
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// A release of two passes whose final index is reset mid-transfer: a signed program stops with
// the network box before anything is offered (skipping it would end the release after this
// pass); a keyless one goes on as without a final index.
class FinalIndexResetTest : public SignedWorkflowTest,
                            public ::testing::WithParamInterface<bool> {};

TEST_P(FinalIndexResetTest, OnlyAKeylessProgramGoesOnWithoutIt) {
  const bool signedProgram = GetParam();
  ModelPlan model = SampleModel();
  model.final.versionWord += 1;
  Publish(model);
  Seal();
  if (!signedProgram) g_app.publicKeyCount = 0;
  StartServer("reset", "DoorU/");
  Plug(BehindPage());
  EXPECT_EQ(IdentifyDevice(), 1);
  if (signedProgram) {
    ExpectOneBox(ErrorTextFor(ERR_READ), ErrorCaptionFor(ERR_READ), MB_STYLE_ICON_ERROR);
    EXPECT_FALSE(ui.Enabled(ID_START_BUTTON));
    ExpectFlashUntouched();
    return;
  }
  EXPECT_EQ(ui.Text(ID_LATEST_LABEL), u"");
  EXPECT_EQ(RunUpdate(), 0);
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
}
INSTANTIATE_TEST_SUITE_P(Keys, FinalIndexResetTest, ::testing::Bool());

// A signed release of one pass lists no final index, so none is asked for: were it fetched, the
// server's 404 page would be a file the record does not list.
TEST_F(SignedWorkflowTest, ASinglePassReleaseNeverAsksForAFinalIndex) {
  ModelPlan model = SampleModel();
  model.hasFinal = false;
  Publish(model);
  Seal();
  StartServer();
  Plug(BehindPage());
  EXPECT_EQ(IdentifyDevice(), 1);
  EXPECT_EQ(g_app.record.fileCount, 6) << "the step index and the five images";
  EXPECT_EQ(RunUpdate(), 0);
  EXPECT_EQ(device.commands, std::vector<uint32_t>{CMD_UPDATE_DONE});
  ExpectOneBox(TEXT_DONE, CAPTION_DONE, MB_STYLE_OK);
}
