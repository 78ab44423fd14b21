// The update-file format: its 32-byte header, the scrambling, and the check every downloaded file
// passes.
#pragma once

#include <cstdint>

#include "base/error_codes.h"

constexpr int UPDATE_HEADER_SIZE = 32;
constexpr int MAX_INDEX_FILE_SIZE = 2048;
// An index buffer holds one byte more than an index file may have: a file one byte too long then
// arrives whole and the check refuses it as too long (-6); a longer one does not fit the buffer
// and fails its download with ERR_READ.
constexpr int INDEX_BUFFER_SIZE = MAX_INDEX_FILE_SIZE + 1;
constexpr int MODE_INDEX_FILE = 5;
constexpr int MODE_IMAGE_FILE = 32;
// Page data per sector in an image file: 16 pages of 256 bytes.
constexpr int SECTOR_BYTES_IN_FILE = 4096;
inline constexpr char UPDATE_FILE_MAGIC[4] = {'W', 'A', 'M', 'o'};

// The header as it lies at the start of every index and image file (all fields are bytes, so the
// struct has no padding on any build). Multi-byte numbers are read with the functions below.
struct UpdateFileHeader {
  uint8_t magic[4];    // "WAMo", never scrambled
  uint8_t unused4[4];  // never scrambled, not examined
  uint8_t xorCheck;    // XOR of bytes 10 .. end
  uint8_t sumCheck;    // sum mod 256 of bytes 10 .. end
  uint8_t unused10[2];
  uint8_t versionWord[4];  // little-endian
  uint8_t fileTag[4];
  uint8_t unused20;
  uint8_t fileLength[3];  // big-endian, whole file
  uint8_t unused24[3];
  uint8_t unused27;
  uint8_t firstSector[2];  // big-endian
  uint8_t lastSector[2];   // big-endian, inclusive
};
static_assert(sizeof(UpdateFileHeader) == UPDATE_HEADER_SIZE, "the header is 32 bytes");

// Header fields of a file buffer (at least 32 bytes).
uint32_t HeaderFileLength(const uint8_t* data);
uint32_t HeaderVersionWord(const uint8_t* data);
uint16_t HeaderFirstSector(const uint8_t* data);
uint16_t HeaderLastSector(const uint8_t* data);

// 3 x the sum of the four tag characters taken as signed bytes.
int ScrambleSeed(const char* tag);

// XORs the scrambled bytes of a file with the table, in place: for MODE_INDEX_FILE every byte
// from 8 to the end of the last whole 32-byte row, for MODE_IMAGE_FILE header bytes 8..31. The same
// call scrambles a plain file and descrambles a published one. Other modes change nothing.
void ScrambleUpdateFile(int length, uint8_t* data, const char* tag, int mode);

// Descrambles the file in place (by mode) and checks it. `data` must hold at least 32 bytes even
// when length is smaller; exactly four tag characters are read. Returns CHECK_OK (0) or, at the
// first failure in this order: -1 null data, -9 negative length, -2 magic, -6 index file over
// 2048 bytes (nothing changed), -7 tag, -3 fileLength, -4 xorCheck, -5 sumCheck.
int CheckUpdateFile(int length, uint8_t* data, const char* tag, int mode);

// Publisher's side: writes fileLength = length and both checksums into a plain file's header.
void SealUpdateFile(int length, uint8_t* data);

// CHECK_OK when a checked image of `length` bytes holds the page data of its whole sector range
// (32 + (last - first + 1) x 4096 bytes, nothing for an empty range), else CHECK_IMAGE_TOO_SHORT.
int CheckImageRange(int length, const uint8_t* data);
