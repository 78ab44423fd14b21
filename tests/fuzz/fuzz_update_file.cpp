// Fuzz target of the update-file check: both descrambling modes against a model of the format.
#include <algorithm>
#include <cstring>
#include <vector>

#include "files/scramble_table.h"
#include "files/update_file.h"
#include "fuzz_support.h"

namespace {

// Input: one control byte, then (tag source 1 only) four tag bytes, then the file.
//   bits 0-1  mode: index, image, 0 or 6 (neither descrambles)
//   bits 2-3  tag: "4D9C", the next four input bytes, high bytes (a negative seed), "0000"
//   bit 4     publish the file first (magic, tag, length, checksums, scrambling): it must then
//             pass and come back plain
const int MODES[4] = {MODE_INDEX_FILE, MODE_IMAGE_FILE, 0, 6};

// The check worked out from the file format alone, on a copy: the result, and the bytes left in
// `file`.
int ModelCheck(int length, std::vector<uint8_t>& file, const char* tag, int mode) {
  if (std::memcmp(file.data(), "WAMo", 4) != 0) return CHECK_BAD_MAGIC;
  if (mode == MODE_INDEX_FILE && length > 2048) return CHECK_INDEX_TOO_LONG;
  int seed = 0;
  for (int i = 0; i < 4; ++i) seed += static_cast<signed char>(tag[i]);
  seed *= 3;
  if (mode == MODE_INDEX_FILE) {
    for (int p = 8; p < 32 * (length / 32); ++p)
      file[p] ^= SCRAMBLE_TABLE[(p % 32 + 2 * (p / 32) + seed) & 63];
  } else if (mode == MODE_IMAGE_FILE) {
    for (int p = 8; p < 32; ++p) file[p] ^= SCRAMBLE_TABLE[(p + seed) & 63];
  }
  if (std::memcmp(file.data() + 16, tag, 4) != 0) return CHECK_BAD_TAG;
  uint32_t fileLength = static_cast<uint32_t>(file[21] << 16 | file[22] << 8 | file[23]);
  if (fileLength != static_cast<uint32_t>(length)) return CHECK_BAD_LENGTH;
  uint8_t x = 0;
  unsigned sum = 0;
  for (int p = 10; p < length; ++p) {
    x ^= file[p];
    sum = (sum + file[p]) % 256;
  }
  if (x != file[8]) return CHECK_BAD_XOR;
  if (sum != file[9]) return CHECK_BAD_SUM;
  return CHECK_OK;
}

bool IsDocumentedResult(int result) {
  switch (result) {
    case CHECK_OK:
    case CHECK_NULL_DATA:
    case CHECK_NEGATIVE_LENGTH:
    case CHECK_BAD_MAGIC:
    case CHECK_INDEX_TOO_LONG:
    case CHECK_BAD_TAG:
    case CHECK_BAD_LENGTH:
    case CHECK_BAD_XOR:
    case CHECK_BAD_SUM:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  uint8_t control = in.Byte();
  int mode = MODES[control & 3];
  char tag[4];
  switch ((control >> 2) & 3) {
    case 0:
      std::memcpy(tag, "4D9C", 4);
      break;
    case 1:
      for (char& c : tag) c = static_cast<char>(in.Byte());
      break;
    case 2:
      std::memcpy(tag, "\xC4\xB3\xE6\x9E", 4);
      break;
    default:
      std::memcpy(tag, "0000", 4);
      break;
  }
  bool publish = (control & 0x10) != 0;

  // The caller's contract: the buffer holds the file and never fewer than 32 bytes. Its exact size
  // lets ASan see any read past it.
  int length = static_cast<int>(in.Remaining());
  std::vector<uint8_t> file(std::max(length, UPDATE_HEADER_SIZE), 0);
  std::copy(in.Rest(), in.Rest() + length, file.begin());
  std::vector<uint8_t> plain;
  if (publish) {
    std::memcpy(file.data(), UPDATE_FILE_MAGIC, 4);
    std::memcpy(file.data() + 16, tag, 4);
    SealUpdateFile(length, file.data());
    plain = file;
    ScrambleUpdateFile(length, file.data(), tag, mode);
  }

  const std::vector<uint8_t> before = file;
  std::vector<uint8_t> expected = file;
  int want = ModelCheck(length, expected, tag, mode);
  int got = CheckUpdateFile(length, file.data(), tag, mode);

  FUZZ_CHECK(IsDocumentedResult(got));
  FUZZ_CHECK(got == want);
  FUZZ_CHECK(file == expected);
  FUZZ_CHECK(std::equal(file.begin(), file.begin() + 8, before.begin()));
  if (mode == MODE_INDEX_FILE && length > MAX_INDEX_FILE_SIZE) FUZZ_CHECK(file == before);
  if (mode != MODE_INDEX_FILE && mode != MODE_IMAGE_FILE) FUZZ_CHECK(file == before);
  if (got == CHECK_BAD_MAGIC) FUZZ_CHECK(file == before);
  if (publish && !(mode == MODE_INDEX_FILE && length > MAX_INDEX_FILE_SIZE)) {
    FUZZ_CHECK(got == CHECK_OK);
    FUZZ_CHECK(file == plain);
  }
  if (got == CHECK_OK && mode == MODE_IMAGE_FILE) {
    int range = CheckImageRange(length, file.data());
    long long sectors =
        static_cast<long long>(HeaderLastSector(file.data())) - HeaderFirstSector(file.data()) + 1;
    bool fits = sectors <= 0 || length >= 32 + sectors * SECTOR_BYTES_IN_FILE;
    FUZZ_CHECK(range == (fits ? CHECK_OK : CHECK_IMAGE_TOO_SHORT));
  }

  // The guards come before anything is read or changed.
  std::vector<uint8_t> copy = before;
  FUZZ_CHECK(CheckUpdateFile(length, nullptr, tag, mode) == CHECK_NULL_DATA);
  FUZZ_CHECK(CheckUpdateFile(-1 - length, copy.data(), tag, mode) == CHECK_NEGATIVE_LENGTH);
  FUZZ_CHECK(copy == before);

  // One routine scrambles and descrambles.
  ScrambleUpdateFile(length, copy.data(), tag, mode);
  ScrambleUpdateFile(length, copy.data(), tag, mode);
  FUZZ_CHECK(copy == before);
  return 0;
}
