// Update files: descrambling both kinds, every check result in its order, and publish-then-check.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "files/update_file.h"
#include "update_builder.h"

namespace {

std::vector<uint8_t> PlainIndex(const std::string& tag, size_t extra) {
  std::vector<IndexEntrySpec> entries = {{"AB4D0x03", 4128, u"主程式 1.0."}};
  std::vector<uint8_t> file = BuildIndexFile(tag, 0x01020304, entries, false);
  // Pad so that the file ends in a partial row.
  file.insert(file.end(), extra, 0x5A);
  SealUpdateFile(static_cast<int>(file.size()), file.data());
  return file;
}

int Check(std::vector<uint8_t> file, const char* tag, int mode) {
  file.resize(std::max<size_t>(file.size(), 32));
  return CheckUpdateFile(static_cast<int>(file.size()), file.data(), tag, mode);
}

}  // namespace

TEST(ScrambleSeed, SignedTagCharacters) {
  EXPECT_EQ(ScrambleSeed("4D9C"), 3 * ('4' + 'D' + '9' + 'C'));
  EXPECT_EQ(ScrambleSeed("\xF0\x80\x01\x00"), 3 * (-16 - 128 + 1));
}

TEST(CheckUpdateFile, PublishThenCheckRestoresThePlainBytes) {
  for (const char* tag : {"4D9C", "\xF0\x80\x81\xFF"}) {  // the second has a negative seed
    for (size_t extra : {0u, 7u, 31u}) {
      std::vector<uint8_t> plain = PlainIndex(tag, extra);
      std::vector<uint8_t> published = plain;
      ScrambleUpdateFile(static_cast<int>(published.size()), published.data(), tag,
                         MODE_INDEX_FILE);
      ASSERT_NE(published, plain);
      EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 8, published.begin()))
          << "bytes 0..7 stay plain";
      size_t whole = plain.size() / 32 * 32;
      EXPECT_TRUE(std::equal(plain.begin() + whole, plain.end(), published.begin() + whole))
          << "a final partial row is stored plain";
      EXPECT_EQ(CheckUpdateFile(static_cast<int>(published.size()), published.data(), tag,
                                MODE_INDEX_FILE),
                0);
      EXPECT_EQ(published, plain);
    }
    std::vector<uint8_t> payload(4096, 0x11);
    std::vector<uint8_t> plainImage = BuildImageFile(tag, 2, 2, payload, false);
    std::vector<uint8_t> image = BuildImageFile(tag, 2, 2, payload, true);
    EXPECT_TRUE(std::equal(plainImage.begin() + 32, plainImage.end(), image.begin() + 32))
        << "an image's payload is never scrambled";
    EXPECT_EQ(CheckUpdateFile(static_cast<int>(image.size()), image.data(), tag, MODE_IMAGE_FILE),
              0);
    EXPECT_EQ(image, plainImage);
  }
}

TEST(CheckUpdateFile, ResultsInTheirOrder) {
  std::vector<uint8_t> good = BuildIndexFile("4D9C", 1, {{"AB4D0x03", 10, u"x"}});
  EXPECT_EQ(CheckUpdateFile(10, nullptr, "4D9C", MODE_INDEX_FILE), -1);
  EXPECT_EQ(Check(good, "4D9C", MODE_INDEX_FILE), 0);
  std::vector<uint8_t> f = good;
  EXPECT_EQ(CheckUpdateFile(-1, f.data(), "4D9C", MODE_INDEX_FILE), -9)
      << "before the magic is looked at";

  f = good;
  f[3] = 'O';
  std::vector<uint8_t> before = f;
  EXPECT_EQ(CheckUpdateFile(static_cast<int>(f.size()), f.data(), "4D9C", MODE_INDEX_FILE), -2);
  EXPECT_EQ(f, before) << "a wrong magic leaves the file unchanged";

  f = good;
  before = f;
  EXPECT_EQ(CheckUpdateFile(static_cast<int>(f.size()), f.data(), "4D9D", MODE_INDEX_FILE), -7);
  EXPECT_NE(f, before) << "the tag is compared after descrambling in place";

  f = good;
  f.push_back(0);
  EXPECT_EQ(Check(f, "4D9C", MODE_INDEX_FILE), -3) << "fileLength one less than the download";

  std::vector<uint8_t> plain = BuildIndexFile("4D9C", 1, {{"AB4D0x03", 10, u"x"}}, false);
  f = plain;
  f[f.size() - 1] ^= 0x01;
  EXPECT_EQ(Check(f, "4D9C", 0), -4) << "a changed byte breaks the XOR first";
  f = plain;
  f[9] ^= 0x01;
  EXPECT_EQ(Check(f, "4D9C", 0), -5);
  f = plain;
  f[8] ^= 0x01;
  f[9] ^= 0x01;
  EXPECT_EQ(Check(f, "4D9C", 0), -4) << "the XOR is compared before the sum";
}

TEST(CheckUpdateFile, IndexLengthLimit) {
  std::vector<uint8_t> exact = PlainIndex("4D9C", 0);
  exact.resize(2048, 0x20);
  SealUpdateFile(2048, exact.data());
  std::vector<uint8_t> published = exact;
  ScrambleUpdateFile(2048, published.data(), "4D9C", MODE_INDEX_FILE);
  EXPECT_EQ(CheckUpdateFile(2048, published.data(), "4D9C", MODE_INDEX_FILE), 0);

  std::vector<uint8_t> over(2049, 0x20);
  std::memcpy(over.data(), "WAMo", 4);
  std::vector<uint8_t> before = over;
  EXPECT_EQ(CheckUpdateFile(2049, over.data(), "4D9C", MODE_INDEX_FILE), -6);
  EXPECT_EQ(over, before) << "nothing is changed before the length is refused";
  EXPECT_NE(CheckUpdateFile(2049, over.data(), "4D9C", MODE_IMAGE_FILE), -6)
      << "images have no limit";
}

TEST(CheckUpdateFile, OtherModesOnlyCheck) {
  std::vector<uint8_t> plain = BuildIndexFile("4D9C", 1, {{"AB4D0x03", 10, u"x"}}, false);
  std::vector<uint8_t> f = plain;
  EXPECT_EQ(Check(f, "4D9C", 0), 0) << "a plain file passes with no descrambling";
  std::vector<uint8_t> scrambled = BuildIndexFile("4D9C", 1, {{"AB4D0x03", 10, u"x"}}, true);
  f = scrambled;
  EXPECT_EQ(CheckUpdateFile(static_cast<int>(f.size()), f.data(), "4D9C", 7), -7);
  EXPECT_EQ(f, scrambled);
}

TEST(CheckUpdateFile, TinyFilesChecksumNothing) {
  uint8_t file[32] = {'W', 'A', 'M', 'o'};
  std::memcpy(file + 16, "4D9C", 4);
  file[23] = 10;
  EXPECT_EQ(CheckUpdateFile(10, file, "4D9C", 0), 0) << "10 bytes or fewer: both checks are 0";
}

TEST(CheckImageRange, DataMustCoverTheSectorRange) {
  std::vector<uint8_t> payload(3 * 4096, 0);
  std::vector<uint8_t> image = BuildImageFile("4D9C", 2, 4, payload, false);
  EXPECT_EQ(CheckImageRange(static_cast<int>(image.size()), image.data()), 0);
  EXPECT_EQ(CheckImageRange(static_cast<int>(image.size()) - 1, image.data()),
            CHECK_IMAGE_TOO_SHORT);
  std::vector<uint8_t> empty = BuildImageFile("4D9C", 5, 4, {}, false);
  EXPECT_EQ(CheckImageRange(32, empty.data()), 0) << "an empty range needs no data";
  std::vector<uint8_t> huge = BuildImageFile("4D9C", 0, 0xFFFF, payload, false);
  EXPECT_EQ(CheckImageRange(static_cast<int>(huge.size()), huge.data()), CHECK_IMAGE_TOO_SHORT);
}
