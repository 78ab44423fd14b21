// The request blocks as bytes, page splitting, exact-length reads and stopping at the first
// failure.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "device/device_ops.h"
#include "device/hid.h"

namespace {

// A back end that keeps a byte copy of every block sent and can fail request N or serve data.
class CCapturePlatform : public CDevicePlatform {
 public:
  bool BeginInterfaceList() override { return true; }
  int InterfacePath(int index, WChar* path, int capacity) override {
    if (index != 0) return INTERFACE_END;
    CopyText(path, capacity, u"usbstor#quorvel_482diskprobexq");
    return INTERFACE_OK;
  }
  void EndInterfaceList() override {}
  bool Probe(const WChar*) override { return true; }
  DeviceHandle OpenReadWrite(const WChar*) override { return 7; }
  int DeviceIo(DeviceHandle, ScsiRequest* request) override {
    std::vector<uint8_t> bytes(sizeof *request);
    std::memcpy(bytes.data(), request, sizeof *request);
    sent.push_back(bytes);
    if (static_cast<int>(sent.size()) == failAt) return 0;
    if (request->dataIn)
      std::memset(request->data, fill + static_cast<int>(sent.size()), PAGE_SIZE);
    // A check condition in status and sense still counts as success: only this result decides.
    request->scsiStatus = 2;
    request->sense[0] = 0x70;
    return 1;
  }
  void CloseHandle(DeviceHandle) override {}

  std::vector<std::vector<uint8_t>> sent;
  int failAt = 0;
  int fill = 0x40;
};

std::vector<uint8_t> Header(const std::vector<uint8_t>& block) {
  return {block.begin(), block.begin() + 80};
}

std::vector<uint8_t> ExpectedHeader(uint8_t dataIn, uint32_t transfer, std::vector<uint8_t> cdb) {
  std::vector<uint8_t> h(80, 0);
  h[0] = 44;
  h[4] = 1;
  h[6] = 12;
  h[7] = 32;
  h[8] = dataIn;
  h[12] = static_cast<uint8_t>(transfer);
  h[13] = static_cast<uint8_t>(transfer >> 8);
  h[16] = 100;
  h[20] = 80;
  h[24] = 48;
  cdb.resize(16, 0);
  std::copy(cdb.begin(), cdb.end(), h.begin() + 28);
  return h;
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAppState(nullptr, &platform);
    ASSERT_EQ(FindDevice(), 1);
  }
  void TearDown() override { ResetAppState(nullptr, nullptr); }
  CCapturePlatform platform;
};

}  // namespace

TEST_F(TransportTest, NoDataRequestsForEraseAndCommands) {
  DeviceEraseSector(3);
  DeviceEraseSector(0x1000);
  DeviceSendCommand(CMD_UPDATE_AGAIN);
  DeviceSendCommand(CMD_UPDATE_DONE);
  ASSERT_EQ(platform.sent.size(), 4u);
  EXPECT_EQ(Header(platform.sent[0]), ExpectedHeader(0, 0, {0x72, 0, 0, 0, 0, 0x30, 0, 0, 0}));
  EXPECT_EQ(Header(platform.sent[1]), ExpectedHeader(0, 0, {0x72, 0, 0, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Header(platform.sent[2]), ExpectedHeader(0, 0, {0x72, 0, 0, 8, 0, 2, 0, 0, 0}));
  EXPECT_EQ(Header(platform.sent[3]), ExpectedHeader(0, 0, {0x72, 0, 0, 8, 0, 0, 0, 0, 0}));
  for (const auto& block : platform.sent)
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 80, block.end()), std::vector<uint8_t>(256, 0));
}

TEST_F(TransportTest, InfoPageReadIsOneReadRequest) {
  uint8_t page[256];
  std::memset(page, 0, sizeof page);
  EXPECT_NE(DeviceReadInfoPage(page), 0);
  ASSERT_EQ(platform.sent.size(), 1u);
  EXPECT_EQ(Header(platform.sent[0]), ExpectedHeader(1, 256, {0x28, 0xA0, 0, 1, 0, 0, 0, 0, 1}));
  EXPECT_EQ(page[0], 0x41);
  EXPECT_EQ(page[255], 0x41);
}

TEST_F(TransportTest, WriteSplitsIntoZeroPaddedPages) {
  std::vector<uint8_t> data(257);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
  EXPECT_NE(g_app.hidCmd.Write(5, data.data(), 257), 0);
  ASSERT_EQ(platform.sent.size(), 2u);
  EXPECT_EQ(Header(platform.sent[0]), ExpectedHeader(0, 256, {0x72, 0, 0, 0, 0, 5, 0, 0, 1}));
  // The block is reused: between pages only the address and the data are rewritten, and what
  // the platform wrote back (here a check-condition status and sense) stays.
  std::vector<uint8_t> reused = ExpectedHeader(0, 256, {0x72, 0, 0, 0, 0, 6, 0, 0, 1});
  reused[2] = 2;
  reused[48] = 0x70;
  EXPECT_EQ(Header(platform.sent[1]), reused);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 256, platform.sent[0].begin() + 80));
  std::vector<uint8_t> second(256, 0);
  second[0] = data[256];
  EXPECT_EQ(std::vector<uint8_t>(platform.sent[1].begin() + 80, platform.sent[1].end()), second);
}

TEST_F(TransportTest, ReadStoresExactlyTheAskedLength) {
  std::vector<uint8_t> buffer(600, 0xEE);
  EXPECT_NE(g_app.hidCmd.Read(9, buffer.data(), 300), 0);
  ASSERT_EQ(platform.sent.size(), 2u);
  EXPECT_EQ(RequestAddress(reinterpret_cast<const ScsiRequest*>(platform.sent[1].data())), 10u);
  EXPECT_EQ(buffer[255], 0x41);
  EXPECT_EQ(buffer[256], 0x42);
  EXPECT_EQ(buffer[299], 0x42);
  EXPECT_EQ(buffer[300], 0xEE) << "nothing beyond the asked length is written";
}

TEST_F(TransportTest, StopsAtTheFirstFailedRequest) {
  std::vector<uint8_t> data(4 * 256, 0x11);
  platform.failAt = 2;
  EXPECT_EQ(DeviceWritePages(data.data(), 100, 4), 0);
  EXPECT_EQ(platform.sent.size(), 2u);

  platform.sent.clear();
  std::vector<uint8_t> buffer(4 * 256, 0xEE);
  EXPECT_EQ(DeviceReadPages(buffer.data(), 100, 4), 0);
  ASSERT_EQ(platform.sent.size(), 2u);
  EXPECT_EQ(buffer[0], 0x41) << "the page before the failure was copied";
  EXPECT_EQ(buffer[256], 0xEE) << "the failed page copies nothing";
}

TEST_F(TransportTest, NothingIsSentWithoutDeviceBufferOrLength) {
  uint8_t buffer[256];
  EXPECT_EQ(g_app.hidCmd.Read(1, nullptr, 256), 0);
  EXPECT_EQ(g_app.hidCmd.Read(1, buffer, 0), 0);
  EXPECT_TRUE(platform.sent.empty());

  g_app.hidCmd.io.Close();
  EXPECT_EQ(DeviceReadInfoPage(buffer), 0);
  EXPECT_EQ(DeviceEraseSector(1), 0);
  EXPECT_EQ(DeviceWritePages(buffer, 1, 1), 0);
  EXPECT_EQ(DeviceSendCommand(CMD_UPDATE_DONE), 0);
  EXPECT_TRUE(platform.sent.empty());
}
