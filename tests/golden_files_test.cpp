// Update files written out byte by byte from the format, not by the project's code: the check must
// accept and descramble them, and the publisher must write the same bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "files/update_file.h"
#include "publisher.h"

namespace {

// Worked out from the layout: header fields placed by hand, checksums over bytes 10..end, each
// scrambled byte XORed with the table entry of its key index (index files: column + 2 x row +
// seed, whole rows only from byte 8; images: p + seed, bytes 8..31).
//
// A: an index file as the publisher writes it, tag 4D9C (seed 28 mod 64), version 0x00010131,
// entries Mt9C520b (4128 bytes, no description) and Mc91312b (0x100020 bytes, "v1.31."); two
// whole rows and an 11-byte tail stored plain.
// 75 bytes
const char PLAIN_A[] =
    "57414D6F544C56525781000031010100344439430000004B0000000000000000"
    "4D74394335323062000000102000004D63393133313262000010002076003100"
    "2E00330031002E00000000";
// 75 bytes
const char PUBLISHED_A[] =
    "57414D6F544C56528676E3CE9D437B0318852A05930A9BA29DC4749BFD6F5FCD"
    "4BBADE4572D7E195E3CEAC525A032C8C707FA239AADBFFC4748BFD4F29CDEF72"
    "2E00330031002E00000000";
// B: an image file as the publisher writes it, tag 9C52 (seed 41 mod 64), sectors 0x0102..0x0102,
// version 7, 24 bytes of page data 0x10..0x27 (stored plain).
// 56 bytes
const char PLAIN_B[] =
    "57414D6F544C565242BC00000700000039433532000000380000000001020102"
    "101112131415161718191A1B1C1D1E1F2021222324252627";
// 56 bytes
const char PUBLISHED_B[] =
    "57414D6F544C56524827E99DC3749BFD561CF8EC7228D05A0E93AE24F33703E7"
    "101112131415161718191A1B1C1D1E1F2021222324252627";
// C: an index file from another producer: bytes 4..7, 10, 11, 20 and 24..27 are not zero, and the
// tag F0 41 42 43 counts its first byte as -16 (seed 546, 34 mod 64). Three whole rows and a
// 4-byte plain tail; padding after the list's terminator.
// 100 bytes
const char PLAIN_C[] =
    "57414D6F58595A217105A55AEFCDAB89F0414243330000640102030400000000"
    "4363393132333278000000012361002E00620000000040414243444546474849"
    "4A4B4C4D4E4F505152535455565758595A5B5C5D5E5F60616263646566676869"
    "6A6B6C6D";
// 100 bytes
const char PUBLISHED_C[] =
    "57414D6F58595A210B06899BFC8B38836BA8DF87479BFD0B5ECFDD7628D0620E"
    "9294DAFF9E71487B2CC11347B06B9BC79DA6749BFD6F1F8C9C316C952449DBE7"
    "A985E00F344C7C904115C75FCDBEC59D2EC0A1320192BE134AB3066BF5C94C9B"
    "6A6B6C6D";
// D: an image file from another producer, tag 9C52, byte 10 = 0x80, an empty sector range (5..4).
// 40 bytes
const char PLAIN_D[] =
    "57414D6FFFFE0001EAC6800104030201394335327F0000281020304000050004"
    "FF0055AA01020304";
// 40 bytes
const char PUBLISHED_D[] =
    "57414D6FFFFE0001E05D699CC07799FC561CF8EC0D28D04A1EB39E64F23002E1"
    "FF0055AA01020304";

std::vector<uint8_t> Bytes(const char* hex) {
  std::vector<uint8_t> out;
  for (const char* p = hex; p[0] != 0 && p[1] != 0; p += 2) {
    const char digits[3] = {p[0], p[1], 0};
    out.push_back(static_cast<uint8_t>(std::strtoul(digits, nullptr, 16)));
  }
  return out;
}

struct Golden {
  const char* name;
  const char* published;
  const char* plain;
  std::string tag;
  int mode;
};

const Golden GOLDEN[] = {
    {"A", PUBLISHED_A, PLAIN_A, "4D9C", MODE_INDEX_FILE},
    {"B", PUBLISHED_B, PLAIN_B, "9C52", MODE_IMAGE_FILE},
    {"C", PUBLISHED_C, PLAIN_C,
     "\xF0"
     "ABC",
     MODE_INDEX_FILE},
    {"D", PUBLISHED_D, PLAIN_D, "9C52", MODE_IMAGE_FILE},
};

}  // namespace

TEST(GoldenFiles, TheCheckAcceptsThemAndRestoresThePlainBytes) {
  for (const Golden& g : GOLDEN) {
    SCOPED_TRACE(g.name);
    std::vector<uint8_t> file = Bytes(g.published);
    EXPECT_EQ(CheckUpdateFile(static_cast<int>(file.size()), file.data(), g.tag.data(), g.mode),
              CHECK_OK);
    EXPECT_EQ(file, Bytes(g.plain));
  }
  // Byte 10 is the first byte both checksums cover.
  std::vector<uint8_t> c = Bytes(PUBLISHED_C);
  c[10] ^= 0x01;
  EXPECT_EQ(CheckUpdateFile(static_cast<int>(c.size()), c.data(),
                            "\xF0"
                            "ABC",
                            MODE_INDEX_FILE),
            CHECK_BAD_XOR);
}

TEST(GoldenFiles, ThePublisherWritesTheSameBytes) {
  ModelPlan model;
  model.modelId = "4D9C";
  model.step.versionWord = 0x00010131;
  model.step.entries = {{"Mt9C520b", u"", 4128}, {"Mc91312b", u"v1.31.", 0x100020}};
  std::string error;
  EXPECT_EQ(PublishIndex(model, model.step, &error), Bytes(PUBLISHED_A)) << error;

  std::vector<uint8_t> payload;
  for (int b = 0x10; b < 0x28; ++b) payload.push_back(static_cast<uint8_t>(b));
  EXPECT_EQ(PublishImageFile("9C52", 0x0102, 0x0102, 7, payload), Bytes(PUBLISHED_B));
}
