// The simulated device behaves like flash, fails on purpose and keeps its state across processes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "device/device_ops.h"
#include "support/sim_fixture.h"

namespace {

std::vector<uint8_t> Page(uint8_t value) {
  return std::vector<uint8_t>(256, value);
}

std::vector<uint8_t> Flash(const CSimDevice& device, uint32_t page) {
  std::vector<uint8_t> out(256);
  device.ReadFlashPage(page, out.data());
  return out;
}

}  // namespace

TEST_F(SimDeviceTest, FlashErasesToFFAndWritesOnlyClearBits) {
  EXPECT_EQ(Flash(device, 40), Page(0xFF)) << "never-written flash reads erased";
  DeviceWritePages(Page(0x0F).data(), 40, 1);
  DeviceWritePages(Page(0xF3).data(), 40, 1);
  EXPECT_EQ(Flash(device, 40), Page(0x03)) << "a second write without erase ANDs into the page";
  DeviceEraseSector(2);
  EXPECT_EQ(Flash(device, 40), Page(0xFF));
  EXPECT_EQ(Flash(device, 47), Page(0xFF));
}

TEST_F(SimDeviceTest, DecodesEachRequestKind) {
  std::vector<uint8_t> info = Page(0);
  info[12] = '4';
  device.SetInfoPage(info.data());
  uint8_t page[256];
  DeviceReadInfoPage(page);
  EXPECT_EQ(page[12], '4');
  DeviceEraseSector(1);
  DeviceWritePages(Page(1).data(), 16, 1);
  DeviceReadPages(page, 16, 1);
  DeviceSendCommand(CMD_UPDATE_AGAIN);
  DeviceSendCommand(CMD_UPDATE_DONE);
  EXPECT_EQ(Addresses(SIM_READ), (std::vector<uint32_t>{INFO_PAGE_ADDRESS, 16}));
  EXPECT_EQ(Addresses(SIM_ERASE), (std::vector<uint32_t>{16}));
  EXPECT_EQ(Addresses(SIM_WRITE), (std::vector<uint32_t>{16}));
  EXPECT_EQ(device.commands, (std::vector<uint32_t>{CMD_UPDATE_AGAIN, CMD_UPDATE_DONE}));
}

TEST_F(SimDeviceTest, RefusesBlocksItDoesNotUnderstand) {
  ScsiRequest request{};
  FillWriteRequest(&request, 3);
  request.dataTransferLength = 0;
  request.cdb[8] = 0;
  EXPECT_EQ(device.HandleRequest(&request), 0) << "an erase must name a sector's first page";
  FillReadRequest(&request, 3);
  request.length = 56;  // a 64-bit header
  EXPECT_EQ(device.HandleRequest(&request), 0);
  EXPECT_EQ(Addresses(SIM_MALFORMED).size(), 2u);
}

TEST_F(SimDeviceTest, InjectedFaults) {
  uint8_t page[256];
  device.faults.failRequest = 2;
  EXPECT_NE(DeviceReadPages(page, 1, 1), 0);
  EXPECT_EQ(DeviceReadPages(page, 1, 1), 0);
  EXPECT_NE(DeviceReadPages(page, 1, 1), 0);

  device.faults.failPage = 5;
  EXPECT_EQ(DeviceWritePages(Page(0).data(), 5, 1), 0);
  EXPECT_EQ(DeviceReadPages(page, 5, 1), 0);
  EXPECT_NE(DeviceReadPages(page, 6, 1), 0);

  device.faults.ignoreWritePage = 7;
  EXPECT_NE(DeviceWritePages(Page(0).data(), 7, 1), 0) << "an ignored write still reports success";
  EXPECT_EQ(Flash(device, 7), Page(0xFF));

  device.faults.partialWritePage = 8;
  DeviceWritePages(Page(0).data(), 8, 1);
  std::vector<uint8_t> half = Flash(device, 8);
  EXPECT_EQ(half[0], 0x00);
  EXPECT_EQ(half[1], 0xFF);

  device.faults.dropFrom = device.requestCount + 2;
  EXPECT_NE(DeviceReadPages(page, 1, 1), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(DeviceReadPages(page, 1, 1), 0) << "dropped off stays off";
}

TEST_F(SimDeviceTest, StateFileRoundTrip) {
  std::vector<uint8_t> info = Page(0x5A);
  device.SetInfoPage(info.data());
  DeviceEraseSector(0x1234);
  DeviceWritePages(Page(0x42).data(), 0x1234 * 16 + 3, 1);
  DeviceSendCommand(CMD_UPDATE_DONE);
  device.faults.ignoreWritePage = 99;
  device.faults.delayMicros = 5;
  std::string path = ::testing::TempDir() + "sim-roundtrip.state";
  ASSERT_TRUE(device.Save(path));

  CSimDevice loaded;
  ASSERT_TRUE(loaded.Load(path));
  EXPECT_EQ(Flash(loaded, INFO_PAGE_ADDRESS), info);
  EXPECT_EQ(Flash(loaded, 0x1234 * 16 + 3), Page(0x42));
  EXPECT_EQ(Flash(loaded, 0x1234 * 16 + 4), Page(0xFF));
  EXPECT_EQ(loaded.ListedSectors(), std::vector<uint32_t>{0x1234}) << "only touched sectors";
  EXPECT_EQ(loaded.commands, (std::vector<uint32_t>{CMD_UPDATE_DONE}));
  EXPECT_EQ(loaded.faults.ignoreWritePage, 99);
  EXPECT_EQ(loaded.faults.delayMicros, 5u);
  EXPECT_EQ(loaded.requestCount, device.requestCount);

  std::FILE* bad = std::fopen(path.c_str(), "w");
  std::fputs("tolvarin-sim-device 1\ninfo 00\n", bad);
  std::fclose(bad);
  EXPECT_FALSE(loaded.Load(path)) << "a damaged file is refused";
  EXPECT_EQ(Flash(loaded, 0x1234 * 16 + 3), Page(0x42)) << "and the device keeps its state";
  std::remove(path.c_str());
}

TEST_F(SimDeviceTest, TheInformationPageIsFlashPage0x10000) {
  device.SetInfoPage(Page(0x5A).data());
  uint8_t page[256];
  ASSERT_NE(DeviceReadInfoPage(page), 0);
  EXPECT_EQ(std::vector<uint8_t>(page, page + 256), Page(0x5A));
  DeviceEraseSector(INFO_PAGE_ADDRESS / 16);
  EXPECT_EQ(Flash(device, INFO_PAGE_ADDRESS), Page(0xFF));
  DeviceWritePages(Page(0x21).data(), INFO_PAGE_ADDRESS, 1);
  DeviceReadInfoPage(page);
  EXPECT_EQ(std::vector<uint8_t>(page, page + 256), Page(0x21)) << "reads back what was written";
  EXPECT_EQ(device.UnverifiedBytes(), 0u) << "the read verified the written page";

  // In the state file the page is the `info` line; its sector is listed only when it holds more.
  auto saved = [&](const char* name) {
    std::string path = ::testing::TempDir() + name;
    EXPECT_TRUE(device.Save(path));
    std::FILE* file = std::fopen(path.c_str(), "r");
    std::string text;
    for (int c; file != nullptr && (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    if (file != nullptr) std::fclose(file);
    std::remove(path.c_str());
    return text;
  };
  std::string info21;
  for (int i = 0; i < 256; ++i) info21 += "21";
  EXPECT_EQ(saved("sim-info.state"), "tolvarin-sim-device 1\ninfo " + info21 + "\nrequests 4\n");
  DeviceWritePages(Page(0x00).data(), INFO_PAGE_ADDRESS + 15, 1);
  std::string text = saved("sim-info-sector.state");
  EXPECT_NE(text.find("\ninfo " + info21 + "\n"), std::string::npos);
  EXPECT_NE(text.find("\nsector 4096 " + info21), std::string::npos);

  // A file of an older version kept the page apart: its `info` line wins over the sector's.
  std::string path = ::testing::TempDir() + "sim-old.state";
  std::FILE* old = std::fopen(path.c_str(), "w");
  std::fputs(
      ("tolvarin-sim-device 1\ninfo " + info21 + "\nsector 4096 " + std::string(8192, 'f') + "\n")
          .c_str(),
      old);
  std::fclose(old);
  CSimDevice loaded;
  ASSERT_TRUE(loaded.Load(path));
  EXPECT_EQ(Flash(loaded, INFO_PAGE_ADDRESS), Page(0x21));
  std::remove(path.c_str());
}

TEST(SimFilePlatform, PluggedInWhileTheStateFileExists) {
  std::string path = ::testing::TempDir() + "sim-file-platform.state";
  std::remove(path.c_str());
  CSimFilePlatform platform(path);
  CHidIO io(&platform);
  EXPECT_EQ(io.Search(), 0);

  CSimDevice prepared;
  prepared.SetInfoPage(Page(0x33).data());
  ASSERT_TRUE(prepared.Save(path));
  ASSERT_EQ(io.Search(), 1);
  EXPECT_EQ(io.WritePages(CMD_UPDATE_DONE, nullptr, 0), 1);
  io.Close();

  CSimDevice after;
  ASSERT_TRUE(after.Load(path));
  EXPECT_EQ(after.commands, (std::vector<uint32_t>{CMD_UPDATE_DONE})) << "closing saves the device";
  std::remove(path.c_str());
}

TEST_F(SimDeviceTest, TracksChangedBytesUntilTheyAreReadBack) {
  uint8_t page[256];
  DeviceEraseSector(1);
  EXPECT_EQ(device.UnverifiedBytes(), 0u) << "erasing erased flash changes nothing";
  std::vector<uint8_t> data = Page(0xFF);
  data[3] = 0x00;
  DeviceWritePages(data.data(), 17, 1);
  DeviceWritePages(Page(0x7F).data(), 18, 1);
  EXPECT_EQ(device.UnverifiedBytes(), 1u + 256u);
  DeviceReadPages(page, 17, 1);
  EXPECT_EQ(device.UnverifiedBytes(), 256u);
  DeviceEraseSector(1);
  EXPECT_EQ(device.UnverifiedBytes(), 257u) << "the erase changed page 17's byte again";
  device.faults.failPage = 18;
  DeviceReadPages(page, 18, 1);
  EXPECT_EQ(device.UnverifiedBytes(), 257u) << "a failed read verifies nothing";
}

TEST_F(SimDeviceTest, TimesTheGapsBetweenRequestsOnlyWithADelay) {
  uint8_t page[3 * 256];  // three pages are read into it
  DeviceReadPages(page, 0, 3);
  EXPECT_EQ(device.pace.gaps, 0u) << "no delay, no timing";
  device.faults.delayMicros = 1;
  DeviceReadPages(page, 0, 3);
  EXPECT_EQ(device.pace.gaps, 2u) << "the first timed request has no answer before it";
  DeviceEraseSector(1);
  DeviceReadPages(page, 16, 2);
  DeviceReadInfoPage(page);
  DeviceSendCommand(CMD_UPDATE_DONE);
  EXPECT_EQ(device.pace.gaps, 7u);
  EXPECT_EQ(device.sectorPace.gaps, 2u) << "the erase and the read of page 16 start a sector";
  EXPECT_GT(device.pace.MedianNanos(), 0u);
  EXPECT_LE(device.pace.MedianNanos(), SimPace::PLACED_NANOS);

  std::string path = ::testing::TempDir() + "sim-pace.state";
  ASSERT_TRUE(device.Save(path));
  std::FILE* file = std::fopen(path.c_str(), "r");
  ASSERT_NE(file, nullptr);
  char line[256];
  bool reported = false;
  while (std::fgets(line, sizeof line, file) != nullptr)
    reported = reported || std::strncmp(line, "pace 7 ", 7) == 0;
  std::fclose(file);
  EXPECT_TRUE(reported) << "the state file reports the pace";
  CSimDevice loaded;
  EXPECT_TRUE(loaded.Load(path));
  EXPECT_EQ(loaded.pace.gaps, 0u) << "a loaded device times its own requests";
  std::remove(path.c_str());
}

TEST(SimPace, MedianOfTheBuckets) {
  SimPace pace;
  EXPECT_EQ(pace.MedianNanos(), 0u);
  for (uint64_t nanos : {120u, 130u, 480u}) pace.Add(nanos);
  EXPECT_EQ(pace.MedianNanos(), 125u) << "the middle of the 100..150 ns bucket";
  for (int i = 0; i < 4; ++i) pace.Add(SimPace::SLOW_NANOS + 1);
  EXPECT_EQ(pace.slowGaps, 4u);
  EXPECT_EQ(pace.MedianNanos(), SimPace::SLOW_NANOS + SimPace::SLOW_BUCKET_NANOS / 2)
      << "most gaps were slow: placed by 10 us";
  EXPECT_EQ(pace.totalNanos, 730u + 4 * (SimPace::SLOW_NANOS + 1));
  for (int i = 0; i < 8; ++i) pace.Add(SimPace::PLACED_NANOS);
  EXPECT_EQ(pace.slowGaps, 12u);
  EXPECT_EQ(pace.MedianNanos(), SimPace::PLACED_NANOS) << "longer than anything placed";
  EXPECT_EQ(pace.longestNanos, SimPace::PLACED_NANOS);
}
