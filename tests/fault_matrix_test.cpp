// The fault matrix: bad device, bad network and bad files against whole runs, each case with the
// box, the exit, the finishing command and the flash it must end with.
#include <gtest/gtest.h>

#include <memory>
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

}  // namespace
