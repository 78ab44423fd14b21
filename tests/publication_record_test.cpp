// The signed publication record: reading, the program's whole check, files against it, and times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "files/publication_record.h"
#include "support/hex_bytes.h"

namespace {

// A throw-away key pair's public key, its id, and its signature over GOOD exactly (made once with
// Python's cryptography; the private key was not kept). The digests are SHA-256 of "abc" and "".
const std::vector<uint8_t> KEY = Bytes(
    "a5745ffc1ba89821d37bc9c393e89c2747f530ea5bc8f0fe66ee1fcb651cbc95"
    "e6dd26457cf843e536dc93467ef29731da51fe86e12a1727de214e42de6fd572");
const std::vector<uint8_t> SIGNATURE = Bytes(
    "da2dd33cf5a7c1f25f01150a233ac5f20758cbee575d0f5ab302beaf58f970b6"
    "0cec655346bfb73ca3dbd0f787a816a8322459f7717bc93962b3ee7abb1d3d44");
// The curve's generator: a point on P-256, but not the signer's.
const std::vector<uint8_t> OTHER_KEY = Bytes(
    "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"
    "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5");
const int64_t PUBLISHED = 1796781600;  // 2026-12-09T02:00:00Z
const int64_t EXPIRES = 1804557600;    // 2027-03-09T02:00:00Z

const std::string GOOD = R"({
  "format": 1,
  "model": "4D9C",
  "published": "2026-12-09T02:00:00Z",
  "expires": "2027-03-09T02:00:00Z",
  "key": "15beac937f0a00f8",
  "files": [
    {"path": "Door47/4D9C.Bin", "size": 3, "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"path": "Pool479x/Mt9C520b", "size": 0, "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}
  ]
}
)";

int Parse(const std::string& text, PublicationRecord* record) {
  return ParseRecord(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()),
                     record);
}

int Parse(const std::string& text) {
  static PublicationRecord record;
  return Parse(text, &record);
}

// GOOD with one piece of it replaced.
std::string Good(const std::string& from, const std::string& to) {
  std::string text = GOOD;
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

int Check(const std::string& text, const std::vector<uint8_t>& signature,
          const std::vector<std::vector<uint8_t>>& keys, const char* model, int64_t now,
          PublicationRecord* record) {
  uint8_t table[4][P256_PUBLIC_KEY_BYTES];
  for (size_t k = 0; k < keys.size(); ++k) std::copy(keys[k].begin(), keys[k].end(), table[k]);
  return CheckRecord(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()),
                     signature.data(), static_cast<int>(signature.size()), table,
                     static_cast<int>(keys.size()), model, now, record);
}

}  // namespace

TEST(PublicationRecordTest, TheGoodRecordReadsAndItsFilesCheck) {
  PublicationRecord record;
  ASSERT_EQ(Check(GOOD, SIGNATURE, {KEY}, "4D9C", PUBLISHED, &record), RECORD_OK);
  EXPECT_STREQ(record.model, "4D9C");
  EXPECT_EQ(record.published, PUBLISHED);
  EXPECT_EQ(record.expires, EXPIRES);
  uint8_t keyId[KEY_ID_BYTES];
  KeyIdOf(KEY.data(), keyId);
  EXPECT_EQ(std::vector<uint8_t>(keyId, keyId + KEY_ID_BYTES), Bytes("15beac937f0a00f8"));
  EXPECT_EQ(std::vector<uint8_t>(record.keyId, record.keyId + KEY_ID_BYTES),
            Bytes("15beac937f0a00f8"));
  ASSERT_EQ(record.fileCount, 2);
  EXPECT_STREQ(record.files[1].path, "Pool479x/Mt9C520b");
  EXPECT_EQ(FindRecordedFile(record, "Door47/4D9C.Bin"), &record.files[0]);
  EXPECT_EQ(FindRecordedFile(record, "DoorU/4D9C.Bin"), nullptr);

  const uint8_t* abc = reinterpret_cast<const uint8_t*>("abcd");
  EXPECT_EQ(CheckRecordedFile(record, "Door47/4D9C.Bin", abc, 3), RECORD_OK);
  EXPECT_EQ(CheckRecordedFile(record, "Pool479x/Mt9C520b", abc, 0), RECORD_OK);
  EXPECT_EQ(CheckRecordedFile(record, "Door47/4D9C.Bin", abc, 4), RECORD_FILE_DIFFERS) << "longer";
  const uint8_t* abd = reinterpret_cast<const uint8_t*>("abd");
  EXPECT_EQ(CheckRecordedFile(record, "Door47/4D9C.Bin", abd, 3), RECORD_FILE_DIFFERS);
  EXPECT_EQ(CheckRecordedFile(record, "DoorU/4D9C.Bin", abc, 3), RECORD_FILE_NOT_LISTED);
  EXPECT_EQ(CheckRecordedFile(record, "door47/4D9C.Bin", abc, 3), RECORD_FILE_NOT_LISTED);

  // The writer gives back the very bytes that were signed.
  EXPECT_EQ(RecordText(record), GOOD);
}

TEST(PublicationRecordTest, TheSignatureModelAndExpiryAreChecked) {
  PublicationRecord record;
  EXPECT_EQ(Check(GOOD, SIGNATURE, {OTHER_KEY, KEY}, "4D9C", EXPIRES, &record), RECORD_OK)
      << "any of the keys; still good at its expiry";
  EXPECT_EQ(Check(GOOD, SIGNATURE, {KEY}, "4D9C", EXPIRES + 1, &record), RECORD_EXPIRED);
  EXPECT_EQ(Check(GOOD, SIGNATURE, {KEY}, "4D9B", PUBLISHED, &record), RECORD_OTHER_MODEL);
  EXPECT_EQ(Check(GOOD, SIGNATURE, {OTHER_KEY}, "4D9C", PUBLISHED, &record), RECORD_NOT_SIGNED);
  EXPECT_EQ(Check(GOOD, SIGNATURE, {}, "4D9C", PUBLISHED, &record), RECORD_NOT_SIGNED);
  std::vector<uint8_t> flipped = SIGNATURE;
  flipped[40] ^= 0x01;
  EXPECT_EQ(Check(GOOD, flipped, {KEY}, "4D9C", PUBLISHED, &record), RECORD_NOT_SIGNED);
  std::vector<uint8_t> cut(SIGNATURE.begin(), SIGNATURE.end() - 1);
  EXPECT_EQ(Check(GOOD, cut, {KEY}, "4D9C", PUBLISHED, &record), RECORD_NOT_SIGNED);
  // Bytes as served: the same record with other white space is not what was signed.
  EXPECT_EQ(
      Check(Good("\"format\": 1", "\"format\":1"), SIGNATURE, {KEY}, "4D9C", PUBLISHED, &record),
      RECORD_NOT_SIGNED);
  // The signature is checked before the text is read: ten MiB of nothing is "not signed".
  std::string big(10 << 20, ' ');
  EXPECT_EQ(Check(big, SIGNATURE, {KEY}, "4D9C", PUBLISHED, &record), RECORD_NOT_SIGNED);
  EXPECT_EQ(Parse(big), RECORD_MALFORMED);
}

TEST(PublicationRecordTest, AnythingButTheFormatIsMalformed) {
  const std::string digest = std::string(64, 'a');
  const std::string cases[] = {
      GOOD.substr(0, GOOD.size() - 3),  // truncated
      "",
      "{\"format\": 1,}",
      GOOD + "x",
      "[" + GOOD + "]",
      Good("\"model\": \"4D9C\",", "\"model\": \"4D9C\", \"model\": \"4D9C\","),
      Good("\"size\": 3,", "\"size\": 3, \"size\": 3,"),
      Good("Pool479x/Mt9C520b", "Door47/4D9C.Bin"),  // a path twice
      Good("  \"key\": \"15beac937f0a00f8\",\n", ""),
      Good("\"format\": 1,", "\"format\": 1, \"comment\": \"\","),
      Good("\"format\": 1", "\"format\": 2"),
      Good("\"format\": 1", "\"format\": 1.0"),
      Good("\"model\": \"4D9C\"", "\"model\": \"4d9c\""),
      Good("\"model\": \"4D9C\"", "\"model\": \"4D9\""),
      Good("15beac937f0a00f8", "15beac937f0a00f"),
      Good("15beac937f0a00f8", "15beac937f0a00fg"),
      Good("ba7816bf8f01", "ba7816bf8f0"),    // 63 digits
      Good("ba7816bf8f01", "ba7816bf8f011"),  // 65
      Good("\"size\": 3", "\"size\": -3"),
      Good("\"size\": 3", "\"size\": 2147483648"),
      Good("\"size\": 3", "\"size\": \"3\""),
      Good("\"size\": 0", "\"size\": {\"bytes\": 0}"),
      Good("Door47/4D9C.Bin", "Door47/4D9C.Bin\\u0000x"),
      Good("Door47/4D9C.Bin", std::string(RECORD_PATH_CAPACITY, 'P')),
      Good("2026-12-09T02:00:00Z", "2027-03-09T02:00:01Z"),  // published after it expires
      Good("2027-03-09T02:00:00Z", "2027-02-29T02:00:00Z"),
      Good("\"files\": [", "\"files\": [[[]], "),
      "{\"format\": 1, \"model\": \"4D9C\", \"published\": \"2026-12-09T02:00:00Z\", "
      "\"expires\": \"2027-03-09T02:00:00Z\", \"key\": \"15beac937f0a00f8\", \"files\": []}",
      std::string(8000, '[') + std::string(8000, ']'),
  };
  for (const std::string& text : cases) EXPECT_EQ(Parse(text), RECORD_MALFORMED) << text;
  EXPECT_EQ(Parse(Good("Door47/4D9C.Bin", std::string(RECORD_PATH_CAPACITY - 1, 'P'))), RECORD_OK);
  EXPECT_EQ(Parse(Good("\"size\": 3", "\"size\": 2147483647")), RECORD_OK);
  EXPECT_EQ(Parse(Good("ba7816bf8f01", "BA7816BF8F01")), RECORD_OK);

  // As many files as the program may fetch (GOOD's two and these), and one more.
  for (int count : {RECORD_MAX_FILES - 2, RECORD_MAX_FILES - 1}) {
    std::string files;
    for (int i = 0; i < count; ++i)
      files += std::string(i ? ", " : "") + "{\"path\": \"Pool479x/M" + std::to_string(i) +
               "\", \"size\": 1, \"sha256\": \"" + digest + "\"}";
    std::string text = Good("\"files\": [", "\"files\": [" + files + ", ");
    EXPECT_EQ(Parse(text), count + 2 <= RECORD_MAX_FILES ? RECORD_OK : RECORD_MALFORMED) << count;
  }
}

TEST(PublicationRecordTest, UtcTimesOfTheFixedFormOnly) {
  const std::pair<const char*, int64_t> good[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2000-02-29T12:34:56Z", 951827696},
      {"2024-02-29T23:59:59Z", 1709251199},
      {"9999-12-31T23:59:59Z", 253402300799},
      {"0000-01-01T00:00:00Z", -62167219200},
  };
  for (const auto& [text, seconds] : good) {
    int64_t got = 0;
    EXPECT_TRUE(ParseUtcTime(text, &got)) << text;
    EXPECT_EQ(got, seconds) << text;
    EXPECT_EQ(FormatUtcTime(seconds), text);
  }
  for (const char* text :
       {"2023-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2026-04-31T00:00:00Z",
        "2026-13-01T00:00:00Z", "2026-00-10T00:00:00Z", "2026-01-00T00:00:00Z",
        "2026-12-31T24:00:00Z", "2026-12-31T23:60:00Z", "2016-12-31T23:59:60Z",
        "2026-12-09t02:00:00Z", "2026-12-09T02:00:00z", "2026-12-09 02:00:00Z",
        "2026-12-09T02:00:00+00:00", "2026-12-09T02:00:00.5Z", "2026-12-09T02:00Z",
        " 2026-12-09T02:00:00Z", "+2026-12-09T02:00:0Z", "2026-12-09"}) {
    int64_t got = 7;
    EXPECT_FALSE(ParseUtcTime(text, &got)) << text;
    EXPECT_EQ(got, 7) << text;
  }
  EXPECT_EQ(FormatUtcTime(253402300800), "");
  EXPECT_EQ(FormatUtcTime(-62167219201), "");
}

TEST(PublicationRecordTest, TheWriterEscapesWhatAPathMayHold) {
  PublicationRecord record;
  ASSERT_EQ(Parse(GOOD, &record), RECORD_OK);
  std::strcpy(record.files[1].path, "Pool479x/M\"q\\9C0b");
  PublicationRecord reread;
  ASSERT_EQ(Parse(RecordText(record), &reread), RECORD_OK);
  EXPECT_STREQ(reread.files[1].path, "Pool479x/M\"q\\9C0b");
}
