// The fault matrix: bad device, bad network and bad files against whole runs, each case with the
// box, the exit, the finishing command and the flash it must end with.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "files/download.h"
#include "files/update_file.h"
#include "support/fault_world.h"
#include "update_builder.h"

namespace {

std::string CaseName(const std::string& name) {
  std::string out;
  for (char c : name) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out;
}

ExpectedBox Fatal(const std::u16string& text) {
  return {u"執行時錯誤", text, 0x10};
}

ExpectedBox VerifyFailed(int mismatches) {
  // The one image is entry 0; its file is the 32-byte header and 5 sectors of page data.
  return FatalBox(u"錯誤碼: 0403+%2d\n%8d\n%8d", 0, 32 + 5 * 4096, mismatches);
}

// ---------------------------------------------------------------------------------------------
// Device faults x phase x position, on the one image of sectors 2..6 over old firmware (0x00).

constexpr uint64_t INFO_READ = 1;
constexpr uint64_t COMMAND = 167;
constexpr uint64_t EraseRequest(int k) {
  return 2 + 17 * k;
}
constexpr uint64_t WriteRequest(int k, int j) {
  return 3 + 17 * k + j;
}
constexpr uint64_t ReadRequest(int k, int j) {
  return 87 + 16 * k + j;
}
constexpr int64_t Page(int k, int j) {
  return (2 + k) * 16 + j;
}

enum DeviceOutcome { IDENTIFY_REFUSED, VERIFY_REFUSED, UPDATED };

struct DeviceCase {
  std::string name;
  SimFaults faults;
  DeviceOutcome outcome;
  int reported;      // the mismatch count in 0403 (VERIFY_REFUSED)
  size_t flashDiff;  // bytes of the image range that differ from the image afterwards
  bool commandAccepted;
};

void PrintTo(const DeviceCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<DeviceCase> DeviceCases() {
  std::vector<DeviceCase> cases;
  auto add = [&](std::string name, auto setFault, DeviceOutcome outcome, int reported,
                 size_t flashDiff, bool commandAccepted = false) {
    SimFaults f;
    setFault(f);
    cases.push_back({std::move(name), f, outcome, reported, flashDiff, commandAccepted});
  };
  const int whole = 5 * 4096;

  // The information page: a failed read is an all-zero page, whose model identifier is refused.
  add(
      "info_read_fails", [](SimFaults& f) { f.failRequest = INFO_READ; }, IDENTIFY_REFUSED, 0,
      whole);
  add(
      "info_read_device_gone", [](SimFaults& f) { f.dropFrom = INFO_READ; }, IDENTIFY_REFUSED, 0,
      whole);

  struct Position {
    const char* name;
    int k, j;
  };
  for (Position p : {Position{"first", 0, 0}, Position{"middle", 2, 7}, Position{"last", 4, 15}}) {
    const std::string at = std::string("_") + p.name + "_sector";
    const int k = p.k, j = p.j;
    // Erase: a sector left unerased keeps 0x00, and writing ANDs into it: the whole sector wrong.
    add(
        "erase_fails" + at, [&](SimFaults& f) { f.failRequest = EraseRequest(k); }, VERIFY_REFUSED,
        4096, 4096);
    add(
        "erase_ignored" + at, [&](SimFaults& f) { f.ignoreEraseSector = 2 + k; }, VERIFY_REFUSED,
        4096, 4096);
    // Gone from here on: nothing more lands and every read back fails.
    add(
        "erase_device_gone" + at, [&](SimFaults& f) { f.dropFrom = EraseRequest(k); },
        VERIFY_REFUSED, whole, static_cast<size_t>(5 - k) * 4096);
    // Page writes: the page stays erased (0xFF), or half of it does.
    add(
        "write_fails" + at, [&](SimFaults& f) { f.failRequest = WriteRequest(k, j); },
        VERIFY_REFUSED, 256, 256);
    add(
        "write_ignored" + at, [&](SimFaults& f) { f.ignoreWritePage = Page(k, j); }, VERIFY_REFUSED,
        256, 256);
    add(
        "write_lands_partly" + at, [&](SimFaults& f) { f.partialWritePage = Page(k, j); },
        VERIFY_REFUSED, 128, 128);
    add(
        "write_device_gone" + at, [&](SimFaults& f) { f.dropFrom = WriteRequest(k, j); },
        VERIFY_REFUSED, whole,
        static_cast<size_t>(16 - j) * 256 + static_cast<size_t>(4 - k) * 4096);
    // The verify pass: a page that cannot be read back is never taken as right, though it is.
    add(
        "read_fails" + at, [&](SimFaults& f) { f.failRequest = ReadRequest(k, j); }, VERIFY_REFUSED,
        256, 0);
    add(
        "read_device_gone" + at, [&](SimFaults& f) { f.dropFrom = ReadRequest(k, j); },
        VERIFY_REFUSED, (80 - (16 * k + j)) * 256, 0);
  }
  // One page that fails every request: the write and the read of page 7 of the middle sector; for
  // page 0 of the first sector also its sector's erase (which names that page).
  add(
      "page_fails_middle_sector", [](SimFaults& f) { f.failPage = Page(2, 7); }, VERIFY_REFUSED,
      256, 256);
  add(
      "page_fails_first_page", [](SimFaults& f) { f.failPage = Page(0, 0); }, VERIFY_REFUSED, 4096,
      4096);
  // The finishing command: its result is not looked at, and the flash is right.
  add(
      "command_fails", [](SimFaults& f) { f.failRequest = COMMAND; }, UPDATED, 0, 0);
  add(
      "command_device_gone", [](SimFaults& f) { f.dropFrom = COMMAND; }, UPDATED, 0, 0);
  add(
      "slow_device", [](SimFaults& f) { f.delayMicros = 100; }, UPDATED, 0, 0, true);
  return cases;
}

class DeviceFaultMatrix : public ::testing::TestWithParam<DeviceCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Started()); }

  CFaultWorld world{SingleImageModel()};
  CLocalServer server{world.root.Path()};
};

TEST_P(DeviceFaultMatrix, EndsAsTheDeviceDeservesAndACleanRerunRestores) {
  const DeviceCase& c = GetParam();
  SCOPED_TRACE(c.name);
  world.device.faults = c.faults;
  RunRecord run = world.Run(server.BaseUrl());
  world.CheckInvariants();

  bool commandSent = false;
  for (const SimRecord& r : world.device.log) commandSent |= r.kind == SIM_COMMAND;
  switch (c.outcome) {
    case IDENTIFY_REFUSED:
      EXPECT_FALSE(run.identified);
      ExpectBox(world.Ui(), Fatal(u"錯誤碼: 0300 機名錯誤"));
      EXPECT_EQ(world.FlashRequests(), 0u);
      EXPECT_FALSE(commandSent);
      break;
    case VERIFY_REFUSED:
      EXPECT_TRUE(run.ranUpdate);
      ExpectBox(world.Ui(), VerifyFailed(c.reported));
      EXPECT_FALSE(commandSent) << "no finishing command after a failure";
      break;
    case UPDATED:
      ExpectBox(world.Ui(), DoneBox());
      EXPECT_TRUE(commandSent);
      break;
  }
  EXPECT_EQ(world.FlashDifference(0), c.flashDiff) << "what the flash holds afterwards";
  EXPECT_EQ(world.device.commands,
            c.commandAccepted ? std::vector<uint32_t>{0x80000} : std::vector<uint32_t>{});

  ExpectCleanRerunRestores(world, server.BaseUrl());
}

INSTANTIATE_TEST_SUITE_P(Faults, DeviceFaultMatrix, ::testing::ValuesIn(DeviceCases()),
                         [](const ::testing::TestParamInfo<DeviceCase>& info) {
                           return CaseName(info.param.name);
                         });

// The request numbers the table is built on: one clean run of the 5-sector image.
TEST(DeviceFaultMatrixOrder, RequestNumbersFollowTheKnownOrder) {
  CFaultWorld world{SingleImageModel()};
  CLocalServer server{world.root.Path()};
  ASSERT_TRUE(server.Started());
  world.Run(server.BaseUrl());
  world.CheckInvariants();
  const std::vector<SimRecord>& log = world.device.log;
  ASSERT_EQ(log.size(), COMMAND);
  EXPECT_EQ(log[INFO_READ - 1].kind, SIM_READ);
  EXPECT_EQ(log[INFO_READ - 1].address, 0x10000u);
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(log[EraseRequest(k) - 1].kind, SIM_ERASE);
    EXPECT_EQ(log[EraseRequest(k) - 1].address, static_cast<uint32_t>(Page(k, 0)));
    for (int j = 0; j < 16; ++j) {
      EXPECT_EQ(log[WriteRequest(k, j) - 1].kind, SIM_WRITE);
      EXPECT_EQ(log[WriteRequest(k, j) - 1].address, static_cast<uint32_t>(Page(k, j)));
      EXPECT_EQ(log[ReadRequest(k, j) - 1].kind, SIM_READ);
      EXPECT_EQ(log[ReadRequest(k, j) - 1].address, static_cast<uint32_t>(Page(k, j)));
    }
  }
  EXPECT_EQ(log[COMMAND - 1].kind, SIM_COMMAND);
  EXPECT_EQ(log[COMMAND - 1].address, 0x80000u);
  ExpectBox(world.Ui(), DoneBox());
  // The numbered text of a failed verify, as the program shows it.
  EXPECT_EQ(Utf8(VerifyFailed(4096).text), "錯誤碼: 0403+ 0\n   20512\n    4096");
}

// ---------------------------------------------------------------------------------------------
// Network faults x file, on two images: "VM7A31-1v" (sectors 10..11) first, then the main image
// "CM4D9C-2c" (sectors 2..6).

enum Target { STEP_INDEX, FINAL_INDEX, IMAGE };
const char* const REFUSED = "refused";  // not a server mode: nobody listens

struct NetworkCase {
  std::string name;
  Target target;
  std::string fault;
  ExpectedBox box;
  bool firstProgrammed;   // the first image ends in flash; else its range is never touched
  bool secondProgrammed;  // the same for the main image
};

const ExpectedBox CANNOT_CONNECT{u"網路問題", u"無法鏈結伺服器!", 0x10};
const ExpectedBox READ_FAILED{u"網路問題", u"讀檔 失敗!", 0x10};

void PrintTo(const NetworkCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<NetworkCase> NetworkCases() {
  std::vector<NetworkCase> cases;
  // The step index: nothing to work from, so the run never starts. An error page is taken as the
  // file (the HTTP status is not looked at) and fails the check on its magic.
  cases.push_back({"step_index_refused", STEP_INDEX, REFUSED, CANNOT_CONNECT, false, false});
  cases.push_back(
      {"step_index_not_found", STEP_INDEX, "not-found", Fatal(u"錯誤碼: 0302   -2"), false, false});
  cases.push_back({"step_index_cut", STEP_INDEX, "cut", READ_FAILED, false, false});
  cases.push_back({"step_index_oversize", STEP_INDEX, "oversize", READ_FAILED, false, false});
  cases.push_back({"step_index_reset", STEP_INDEX, "reset", READ_FAILED, false, false});
  cases.push_back({"step_index_stall", STEP_INDEX, "stall", READ_FAILED, false, false});
  // Bytes past the announced length are not taken; a slow server still delivers.
  cases.push_back({"step_index_long_body", STEP_INDEX, "long-body", DoneBox(), true, true});
  cases.push_back({"step_index_slow", STEP_INDEX, "slow", DoneBox(), true, true});
  // The final index only names the last version: without it the run goes on from the step index.
  for (const char* fault :
       {REFUSED, "not-found", "cut", "oversize", "reset", "stall", "long-body", "slow"})
    cases.push_back(
        {std::string("final_index_") + fault, FINAL_INDEX, fault, DoneBox(), true, true});
  // The main image, the second of the run: the first one, in hand, is not programmed either.
  // Refused: the server is gone before the run, so the first image is the one that cannot be
  // fetched.
  cases.push_back({"image_refused", IMAGE, REFUSED, CANNOT_CONNECT, false, false});
  cases.push_back({"image_not_found", IMAGE, "not-found", Fatal(u"錯誤碼: 0402 -2"), false, false});
  cases.push_back({"image_cut", IMAGE, "cut", READ_FAILED, false, false});
  cases.push_back({"image_oversize", IMAGE, "oversize", READ_FAILED, false, false});
  cases.push_back({"image_reset", IMAGE, "reset", READ_FAILED, false, false});
  cases.push_back({"image_stall", IMAGE, "stall", READ_FAILED, false, false});
  cases.push_back({"image_long_body", IMAGE, "long-body", DoneBox(), true, true});
  cases.push_back({"image_slow", IMAGE, "slow", DoneBox(), true, true});
  return cases;
}

const char* FaultPath(Target target) {
  switch (target) {
    case STEP_INDEX:
      return "/Door47/";
    case FINAL_INDEX:
      return "/DoorU/";
    case IMAGE:
      return "/CM4D9C-2c";
  }
  return "";
}

// Checks what the flash of each image holds after a case: the whole image, or nothing of it.
void ExpectImages(const CFaultWorld& world, bool firstProgrammed, bool secondProgrammed) {
  const bool programmed[2] = {firstProgrammed, secondProgrammed};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(world.model.images[i].name);
    if (programmed[i]) {
      EXPECT_EQ(world.FlashDifference(i), 0u);
    } else {
      EXPECT_TRUE(world.RangeUntouched(i)) << "no erase or write of an image not in hand";
      EXPECT_EQ(world.FlashDifference(i), world.model.images[i].payload.size())
          << "the old firmware is still there";
    }
  }
}

// A stalled server costs the download its stall time: keep it short here.
class StallTimeGuard {
 public:
  StallTimeGuard() : saved(g_downloadStallSeconds) { g_downloadStallSeconds = 1; }
  ~StallTimeGuard() { g_downloadStallSeconds = saved; }

 private:
  int saved;
};

class NetworkFaultMatrix : public ::testing::TestWithParam<NetworkCase> {
 protected:
  StallTimeGuard stallTime;
  CFaultWorld world{TwoImageModel()};
};

TEST_P(NetworkFaultMatrix, NoSuccessAndNoErasureWithoutTheWholeFile) {
  const NetworkCase& c = GetParam();
  SCOPED_TRACE(c.name);
  const bool refused = c.fault == REFUSED;
  auto server = std::make_unique<CLocalServer>(world.root.Path(), refused ? "" : c.fault,
                                               refused ? "" : FaultPath(c.target));
  ASSERT_TRUE(server->Started());
  std::unique_ptr<CLocalServer> replacement;
  std::string base = server->BaseUrl();
  RunHooks hooks;
  if (refused && c.target == STEP_INDEX) base = BaseUrlForPort(UnusedPort());
  if (refused && c.target == FINAL_INDEX) {
    // Gone between the two index files; back, on another port, for the run.
    hooks.afterStepIndex = [&] { server->Stop(); };
    hooks.beforeRun = [&] {
      replacement = std::make_unique<CLocalServer>(world.root.Path());
      CopyText(g_app.baseUrl, LOCATION_CAPACITY, replacement->BaseUrl().c_str());
    };
  }
  if (refused && c.target == IMAGE) hooks.beforeRun = [&] { server->Stop(); };

  RunRecord run = world.Run(base, hooks);
  world.CheckInvariants();
  ExpectBox(world.Ui(), c.box);
  EXPECT_EQ(run.identified, c.target != STEP_INDEX || c.box.caption == DoneBox().caption);
  if (c.target == FINAL_INDEX && c.fault != "long-body" && c.fault != "slow") {
    EXPECT_EQ(Utf8(run.latestLabel), "") << "a missing final index leaves the status line empty";
  }
  ExpectImages(world, c.firstProgrammed, c.secondProgrammed);
  const bool done = c.box.caption == DoneBox().caption;
  EXPECT_EQ(world.device.commands, done ? std::vector<uint32_t>{0x80000} : std::vector<uint32_t>{});

  if (!done) {
    CLocalServer clean(world.root.Path());
    ASSERT_TRUE(clean.Started());
    ExpectCleanRerunRestores(world, clean.BaseUrl());
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, NetworkFaultMatrix, ::testing::ValuesIn(NetworkCases()),
                         [](const ::testing::TestParamInfo<NetworkCase>& info) {
                           return CaseName(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// Bad files: every refusal of the file check, the catalogue's limits and the image's range, and
// the 2048-byte limit of an index file, on the two-image tree.

std::vector<IndexEntrySpec> EntrySpecs(const ModelPlan& model) {
  std::vector<IndexEntrySpec> specs;
  for (const IndexEntryPlan& entry : model.step.entries)
    for (const ImagePlan& image : model.images)
      if (image.name == entry.name)
        specs.push_back(
            {entry.name, static_cast<uint32_t>(PublishImage(image).size()), entry.description});
  return specs;
}

// A sealed, plain index file of the model's entries (or of `specs`).
std::vector<uint8_t> PlainIndex(const ModelPlan& model, const std::vector<IndexEntrySpec>& specs,
                                const std::string& tag = MATRIX_MODEL) {
  return BuildIndexFile(tag, model.step.versionWord, specs, false);
}

// Scrambles a plain file as published, keeping its header exactly as it is.
void Scramble(std::vector<uint8_t>& file, int mode) {
  ScrambleUpdateFile(static_cast<int>(file.size()), file.data(), MATRIX_MODEL, mode);
}

void WriteIndex(const CFaultWorld& world, int which, const std::vector<uint8_t>& file) {
  ASSERT_TRUE(WriteWholeFile(IndexFilePath(world.root.Path(), MATRIX_MODEL, which), file));
}

// The same index file as both step and final index, so the run is one pass.
void WriteBothIndexes(const CFaultWorld& world, const std::vector<uint8_t>& file) {
  WriteIndex(world, 1, file);
  WriteIndex(world, 0, file);
}

const ImagePlan& MainImage(const CFaultWorld& world) {
  return world.model.images[1];
}

std::vector<uint8_t> PlainMainImage(const CFaultWorld& world, const std::string& tag,
                                    uint16_t lastSector) {
  const ImagePlan& image = MainImage(world);
  return BuildImageFile(tag, image.firstSector, lastSector, image.payload, false);
}

void WriteMainImage(const CFaultWorld& world, const std::vector<uint8_t>& file) {
  ASSERT_TRUE(
      WriteWholeFile(ImageFilePath(world.root.Path(), MATRIX_MODEL, MainImage(world).name), file));
}

// A published index file padded after its terminator to `length` bytes.
std::vector<uint8_t> PaddedIndex(const CFaultWorld& world, size_t length) {
  std::vector<uint8_t> file = PlainIndex(world.model, EntrySpecs(world.model));
  file.resize(length, 0x5A);
  PublishUpdateFile(file, MATRIX_MODEL, MODE_INDEX_FILE);
  return file;
}

// Entries that the run skips (size 0) to fill a catalogue up to its limits.
IndexEntrySpec Filler(int n, size_t nameLength = 9, size_t descriptionUnits = 4) {
  std::string name = "FL" + std::to_string(1000 + n);
  name.resize(nameLength - 2, 'x');
  return {name + "4f", 0, std::u16string(descriptionUnits, u'd')};
}

struct FileCase {
  std::string name;
  std::function<void(const CFaultWorld&)> damage;
  ExpectedBox box;
  bool firstProgrammed;
  bool secondProgrammed;
};

void PrintTo(const FileCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<FileCase> FileCases() {
  using W = const CFaultWorld&;
  std::vector<FileCase> cases;
  auto stepCheck = [&](std::string name, std::function<void(std::vector<uint8_t>&)> edit,
                       const std::u16string& text, const std::string& tag = MATRIX_MODEL) {
    cases.push_back({std::move(name),
                     [edit, tag](W w) {
                       std::vector<uint8_t> file = PlainIndex(w.model, EntrySpecs(w.model), tag);
                       edit(file);
                       Scramble(file, MODE_INDEX_FILE);
                       WriteIndex(w, 1, file);
                     },
                     Fatal(text), false, false});
  };
  // The step index's checks, in the order the check makes them.
  stepCheck(
      "step_index_magic", [](std::vector<uint8_t>& f) { f[0] = 'w'; }, u"錯誤碼: 0302   -2");
  stepCheck(
      "step_index_length", [](std::vector<uint8_t>& f) { f[23] = static_cast<uint8_t>(f[23] + 1); },
      u"錯誤碼: 0302   -3");
  stepCheck(
      "step_index_xor", [](std::vector<uint8_t>& f) { f[8] ^= 0x01; }, u"錯誤碼: 0302   -4");
  stepCheck(
      "step_index_sum", [](std::vector<uint8_t>& f) { f[9] = static_cast<uint8_t>(f[9] + 1); },
      u"錯誤碼: 0302   -5");
  stepCheck(
      "step_index_tag", [](std::vector<uint8_t>&) {}, u"錯誤碼: 0302   -7", "4D9D");
  // The index buffer holds 2049 bytes: a 2049-byte index arrives whole and the check calls it
  // too long (-6); a longer one does not fit the buffer and is a read failure. 2048 bytes are one
  // whole index file.
  cases.push_back({"step_index_2049_bytes", [](W w) { WriteIndex(w, 1, PaddedIndex(w, 2049)); },
                   Fatal(u"錯誤碼: 0302   -6"), false, false});
  cases.push_back({"step_index_2050_bytes", [](W w) { WriteIndex(w, 1, PaddedIndex(w, 2050)); },
                   READ_FAILED, false, false});
  cases.push_back({"step_index_2048_bytes", [](W w) { WriteBothIndexes(w, PaddedIndex(w, 2048)); },
                   DoneBox(), true, true});
  cases.push_back(
      {"step_index_empty", [](W w) { WriteIndex(w, 1, {}); }, {u"0", u"0", 0x10}, false, false});

  // The catalogue's limits: 8 entries, names of 6 to 31 characters, descriptions of 63 units, a
  // terminator inside the file. At the limits the file is taken; one past them it is refused.
  auto catalogue = [&](std::string name, std::function<void(std::vector<IndexEntrySpec>&)> edit,
                       bool dropTerminator, bool refused) {
    cases.push_back({std::move(name),
                     [edit, dropTerminator](W w) {
                       std::vector<IndexEntrySpec> specs = EntrySpecs(w.model);
                       edit(specs);
                       std::vector<uint8_t> file = PlainIndex(w.model, specs);
                       if (dropTerminator) file.pop_back();
                       PublishUpdateFile(file, MATRIX_MODEL, MODE_INDEX_FILE);
                       WriteBothIndexes(w, file);
                     },
                     refused ? Fatal(u"錯誤碼: 0302  -10") : DoneBox(), !refused, !refused});
  };
  catalogue(
      "catalogue_at_its_limits",
      [](std::vector<IndexEntrySpec>& s) {
        for (int n = 0; n < 6; ++n) s.push_back(Filler(n, n == 0 ? 31 : 6, n == 1 ? 63 : 0));
      },
      false, false);
  catalogue(
      "catalogue_nine_entries",
      [](std::vector<IndexEntrySpec>& s) {
        for (int n = 0; n < 7; ++n) s.push_back(Filler(n));
      },
      false, true);
  catalogue(
      "catalogue_name_of_32", [](std::vector<IndexEntrySpec>& s) { s.push_back(Filler(0, 32)); },
      false, true);
  catalogue(
      "catalogue_name_of_5", [](std::vector<IndexEntrySpec>& s) { s.push_back(Filler(0, 5)); },
      false, true);
  catalogue(
      "catalogue_description_of_64",
      [](std::vector<IndexEntrySpec>& s) { s.push_back(Filler(0, 9, 64)); }, false, true);
  catalogue(
      "catalogue_without_terminator", [](std::vector<IndexEntrySpec>&) {}, true, true);

  // A final index that is refused is as good as none.
  cases.push_back({"final_index_magic",
                   [](W w) {
                     std::vector<uint8_t> file = PlainIndex(w.model, EntrySpecs(w.model));
                     file[0] = 'w';
                     Scramble(file, MODE_INDEX_FILE);
                     WriteIndex(w, 0, file);
                   },
                   DoneBox(), true, true});
  cases.push_back({"final_index_2049_bytes", [](W w) { WriteIndex(w, 0, PaddedIndex(w, 2049)); },
                   DoneBox(), true, true});

  // The main image's checks: refused before anything is erased, the first image's range too.
  auto imageCheck = [&](std::string name, std::function<void(std::vector<uint8_t>&)> edit,
                        const std::u16string& text, const std::string& tag = MATRIX_MODEL,
                        uint16_t lastSector = 6) {
    cases.push_back({std::move(name),
                     [edit, tag, lastSector](W w) {
                       std::vector<uint8_t> file = PlainMainImage(w, tag, lastSector);
                       edit(file);
                       Scramble(file, MODE_IMAGE_FILE);
                       WriteMainImage(w, file);
                     },
                     Fatal(text), false, false});
  };
  imageCheck(
      "image_magic", [](std::vector<uint8_t>& f) { f[3] = 'O'; }, u"錯誤碼: 0402 -2");
  imageCheck(
      "image_length", [](std::vector<uint8_t>& f) { f[23] = static_cast<uint8_t>(f[23] - 1); },
      u"錯誤碼: 0402 -3");
  imageCheck(
      "image_xor", [](std::vector<uint8_t>& f) { f[8] ^= 0x80; }, u"錯誤碼: 0402 -4");
  imageCheck(
      "image_sum", [](std::vector<uint8_t>& f) { f[9] = static_cast<uint8_t>(f[9] - 1); },
      u"錯誤碼: 0402 -5");
  imageCheck(
      "image_payload_byte", [](std::vector<uint8_t>& f) { f[32 + 3 * 4096 + 77] ^= 0x10; },
      u"錯誤碼: 0402 -4");
  imageCheck(
      "image_tag", [](std::vector<uint8_t>&) {}, u"錯誤碼: 0402 -7", "4D9D");
  // Sectors 2..7 announced, page data for 2..6 only: refused before anything is erased.
  imageCheck(
      "image_range_longer_than_data",
      [](std::vector<uint8_t>& f) { SealUpdateFile(static_cast<int>(f.size()), f.data()); },
      u"錯誤碼: 0402 -11", MATRIX_MODEL, 7);
  cases.push_back(
      {"image_empty", [](W w) { WriteMainImage(w, {}); }, {u"0", u"0", 0x10}, false, false});
  // The image buffer holds the listed size plus 128 bytes: a file one byte longer than that is a
  // read failure, one that just fits is programmed.
  auto listed = [&](std::string name, int shortBy, ExpectedBox box, bool programmed) {
    cases.push_back({std::move(name),
                     [shortBy](W w) {
                       std::vector<IndexEntrySpec> specs = EntrySpecs(w.model);
                       specs[1].size -= static_cast<uint32_t>(shortBy);
                       std::vector<uint8_t> file = PlainIndex(w.model, specs);
                       PublishUpdateFile(file, MATRIX_MODEL, MODE_INDEX_FILE);
                       WriteBothIndexes(w, file);
                     },
                     box, programmed, programmed});
  };
  listed("image_128_bytes_over_its_listed_size", 128, DoneBox(), true);
  listed("image_129_bytes_over_its_listed_size", 129, READ_FAILED, false);
  return cases;
}

class BadFileMatrix : public ::testing::TestWithParam<FileCase> {
 protected:
  CFaultWorld world{TwoImageModel()};
};

TEST_P(BadFileMatrix, RefusedBeforeAnythingOfItIsErased) {
  const FileCase& c = GetParam();
  SCOPED_TRACE(c.name);
  c.damage(world);
  CLocalServer server(world.root.Path());
  ASSERT_TRUE(server.Started());
  world.Run(server.BaseUrl());
  world.CheckInvariants();
  ExpectBox(world.Ui(), c.box);
  ExpectImages(world, c.firstProgrammed, c.secondProgrammed);
  const bool done = c.box.caption == DoneBox().caption;
  EXPECT_EQ(world.device.commands, done ? std::vector<uint32_t>{0x80000} : std::vector<uint32_t>{});
  if (!done) {
    world.RestoreTree();
    ExpectCleanRerunRestores(world, server.BaseUrl());
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, BadFileMatrix, ::testing::ValuesIn(FileCases()),
                         [](const ::testing::TestParamInfo<FileCase>& info) {
                           return CaseName(info.param.name);
                         });

}  // namespace
