// Scrambling, checking and sealing of update files.
#include "files/update_file.h"

#include <cstring>

#include "files/scramble_table.h"

namespace {

void Checksums(const uint8_t* data, int length, uint8_t* x, uint8_t* s) {
  // A byte accumulator wraps modulo 256 by itself, which keeps the loop free of branches (an
  // image is checked byte by byte, megabytes of them).
  uint8_t xr = 0;
  uint8_t sum = 0;
  for (int p = 10; p < length; ++p) {
    xr ^= data[p];
    sum = static_cast<uint8_t>(sum + data[p]);
  }
  *x = xr;
  *s = sum;
}

}  // namespace

uint32_t HeaderFileLength(const uint8_t* data) {
  return static_cast<uint32_t>(data[21]) << 16 | static_cast<uint32_t>(data[22]) << 8 | data[23];
}

uint32_t HeaderVersionWord(const uint8_t* data) {
  return static_cast<uint32_t>(data[15]) << 24 | static_cast<uint32_t>(data[14]) << 16 |
         static_cast<uint32_t>(data[13]) << 8 | data[12];
}

uint16_t HeaderFirstSector(const uint8_t* data) {
  return static_cast<uint16_t>(data[28] << 8 | data[29]);
}
uint16_t HeaderLastSector(const uint8_t* data) {
  return static_cast<uint16_t>(data[30] << 8 | data[31]);
}

int ScrambleSeed(const char* tag) {
  int sum = 0;
  for (int i = 0; i < 4; ++i) sum += static_cast<signed char>(tag[i]);
  return 3 * sum;
}

void ScrambleUpdateFile(int length, uint8_t* data, const char* tag, int mode) {
  uint8_t table[64];
  std::memcpy(table, SCRAMBLE_TABLE, sizeof table);
  int seed = ScrambleSeed(tag);
  if (mode == MODE_INDEX_FILE) {
    for (int row = 0; row < length / 32; ++row)
      for (int column = 0; column < 32; ++column) {
        int p = 32 * row + column;
        // The low six bits of the two's-complement sum: a negative seed still gives 0..63.
        if (p >= 8) data[p] ^= table[(column + 2 * row + seed) & 63];
      }
  } else if (mode == MODE_IMAGE_FILE) {
    for (int p = 8; p < 32; ++p) data[p] ^= table[(p + seed) & 63];
  }
}

int CheckUpdateFile(int length, uint8_t* data, const char* tag, int mode) {
  if (data == nullptr) return CHECK_NULL_DATA;
  if (length < 0) return CHECK_NEGATIVE_LENGTH;
  if (std::memcmp(data, UPDATE_FILE_MAGIC, 4) != 0) return CHECK_BAD_MAGIC;
  if (mode == MODE_INDEX_FILE && length > MAX_INDEX_FILE_SIZE) return CHECK_INDEX_TOO_LONG;
  ScrambleUpdateFile(length, data, tag, mode);
  if (std::memcmp(data + 16, tag, 4) != 0) return CHECK_BAD_TAG;
  if (HeaderFileLength(data) != static_cast<uint32_t>(length)) return CHECK_BAD_LENGTH;
  uint8_t x, s;
  Checksums(data, length, &x, &s);
  if (x != data[8]) return CHECK_BAD_XOR;
  if (s != data[9]) return CHECK_BAD_SUM;
  return CHECK_OK;
}

void SealUpdateFile(int length, uint8_t* data) {
  data[21] = static_cast<uint8_t>(length >> 16);
  data[22] = static_cast<uint8_t>(length >> 8);
  data[23] = static_cast<uint8_t>(length);
  Checksums(data, length, &data[8], &data[9]);
}

int CheckImageRange(int length, const uint8_t* data) {
  long long sectors = static_cast<long long>(HeaderLastSector(data)) - HeaderFirstSector(data) + 1;
  if (sectors <= 0) return CHECK_OK;
  long long needed = UPDATE_HEADER_SIZE + sectors * SECTOR_BYTES_IN_FILE;
  return length >= needed ? CHECK_OK : CHECK_IMAGE_TOO_SHORT;
}
