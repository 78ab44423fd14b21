// Programming and verifying an image on the simulated device: request order, progress and mismatch
// counts.
#include <gtest/gtest.h>

#include <vector>

#include "files/update_file.h"
#include "support/sim_fixture.h"
#include "update_builder.h"
#include "workflow/program.h"

namespace {

std::vector<uint8_t> Payload(int sectors, uint8_t seed = 1) {
  std::vector<uint8_t> data(static_cast<size_t>(sectors) * 4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + seed + i / 256);
  return data;
}

// A checked image as the run hands it over: plain header and payload.
std::vector<uint8_t> Image(uint16_t first, uint16_t last, const std::vector<uint8_t>& payload) {
  return BuildImageFile("4D9C", first, last, payload, false);
}

class ProgramTest : public SimDeviceTest {
 protected:
  std::vector<uint8_t> FlashRange(uint32_t firstPage, uint32_t pages) const {
    std::vector<uint8_t> out(pages * 256);
    for (uint32_t p = 0; p < pages; ++p) device.ReadFlashPage(firstPage + p, out.data() + p * 256);
    return out;
  }
  std::vector<SimRecord> FlashRequests() const {
    std::vector<SimRecord> out;
    for (const SimRecord& r : device.log)
      if (r.kind != SIM_COMMAND) out.push_back(r);
    return out;
  }
};

}  // namespace

TEST_F(ProgramTest, EraseBeforeEachSectorThenVerifyTheWholeRange) {
  std::vector<uint8_t> payload = Payload(3);
  std::vector<uint8_t> image = Image(2, 4, payload);
  EXPECT_EQ(ProgramAndVerify(image.data(), 'C'), 0);

  std::vector<SimRecord> requests = FlashRequests();
  ASSERT_EQ(requests.size(), 3u * 17 + 48);
  size_t n = 0;
  for (uint32_t s = 2; s <= 4; ++s) {
    EXPECT_EQ(requests[n].kind, SIM_ERASE);
    EXPECT_EQ(requests[n++].address, s * 16) << "each sector erased right before its pages";
    for (uint32_t j = 0; j < 16; ++j, ++n) {
      EXPECT_EQ(requests[n].kind, SIM_WRITE);
      EXPECT_EQ(requests[n].address, s * 16 + j);
    }
  }
  for (uint32_t page = 32; page < 80; ++page, ++n) {
    EXPECT_EQ(requests[n].kind, SIM_READ) << "verify only after the whole range is written";
    EXPECT_EQ(requests[n].address, page);
  }
  EXPECT_EQ(FlashRange(32, 48), payload);
  EXPECT_EQ(device.UnverifiedBytes(), 0u) << "every changed byte was read back";
  EXPECT_EQ(ui.Texts(ID_START_BUTTON),
            (std::vector<std::u16string>{
                u"[     3 ]", u"C -     2 -", u"C -     1 -", u"C -     0 -", u"Verify C -     2 -",
                u"Verify C -     1 -", u"Verify C -     0 -", u"Verify C Complete!"}));
}

TEST_F(ProgramTest, OneSectorAndEmptyRanges) {
  std::vector<uint8_t> image = Image(7, 7, Payload(1));
  EXPECT_EQ(ProgramAndVerify(image.data(), 'T'), 0);
  EXPECT_EQ(ui.Texts(ID_START_BUTTON),
            (std::vector<std::u16string>{u"[     1 ]", u"T -     0 -", u"Verify T -     0 -",
                                         u"Verify T Complete!"}));
  device.log.clear();
  ui.texts.clear();
  std::vector<uint8_t> backwards = Image(5, 3, {});
  EXPECT_EQ(ProgramAndVerify(backwards.data(), 'V'), 0);
  EXPECT_TRUE(device.log.empty()) << "nothing erased, written or read";
  EXPECT_EQ(ui.Texts(ID_START_BUTTON),
            (std::vector<std::u16string>{u"[    -1 ]", u"Verify V Complete!"}));
}

TEST_F(ProgramTest, HighSectorNumbersAreUnsigned) {
  std::vector<uint8_t> image = Image(0xFFFF, 0xFFFF, Payload(1));
  EXPECT_EQ(ProgramAndVerify(image.data(), 'I'), 0);
  EXPECT_EQ(Addresses(SIM_ERASE), (std::vector<uint32_t>{0xFFFF0}));
}

TEST_F(ProgramTest, IgnoredWritesCountTheDifferingBytesOfThatPage) {
  std::vector<uint8_t> payload = Payload(2);
  payload[16 * 256 + 5 * 256 + 10] = 0xFF;  // one byte of the page already equals erased flash
  std::vector<uint8_t> image = Image(0, 1, payload);
  device.faults.ignoreWritePage = 16 + 5;
  int expected = 0;
  for (int i = 0; i < 256; ++i) expected += payload[(16 + 5) * 256 + i] != 0xFF;
  EXPECT_EQ(ProgramAndVerify(image.data(), 'C'), expected);
  EXPECT_LT(expected, 256) << "bytes that already read 0xFF are not counted";
}

TEST_F(ProgramTest, AFailedReadBackNeverPasses) {
  // The page before holds the same bytes, so comparing a stale buffer would find nothing wrong.
  std::vector<uint8_t> payload(4096, 0x3C);
  std::vector<uint8_t> image = Image(1, 1, payload);
  device.faults.failRequest = 1 + 16 + 1 + 4;  // the fifth read of the verify pass
  EXPECT_EQ(ProgramAndVerify(image.data(), 'C'), 256);
  EXPECT_EQ(FlashRange(16, 16), payload) << "the flash itself was written";
}

TEST_F(ProgramTest, UnerasedFlashShowsUpInTheReadBack) {
  std::vector<uint8_t> old(256, 0x0F);
  for (uint32_t p = 48; p < 64; ++p) device.LoadFlashPage(p, old.data());
  std::vector<uint8_t> payload(4096, 0xF0);
  std::vector<uint8_t> image = Image(3, 3, payload);
  device.faults.ignoreEraseSector = 3;
  EXPECT_EQ(ProgramAndVerify(image.data(), 'C'), 4096) << "0x0F AND 0xF0 reads back 0x00";
  device.faults.ignoreEraseSector = -1;
  EXPECT_EQ(ProgramAndVerify(image.data(), 'C'), 0) << "with the erase the same image verifies";
}

TEST_F(ProgramTest, HeaderBytes24To27DoNotMatter) {
  std::vector<uint8_t> payload = Payload(1, 9);
  std::vector<uint8_t> a = Image(1, 1, payload), b = a;
  for (int i = 24; i < 28; ++i) b[i] = 0xA5;
  EXPECT_EQ(ProgramAndVerify(b.data(), 'C'), 0);
  EXPECT_EQ(FlashRange(16, 16), payload);
}
