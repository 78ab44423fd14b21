// Building published update files (index and image) from plain content; shared by the tool and the
// tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct IndexEntrySpec {
  std::string name;            // 6 to 31 characters
  uint32_t size = 0;           // size of the image file, 24 bits
  std::u16string description;  // at most 63 units
};

// A published index file: header (magic, version word, tag, length, checksums), the entries and
// the terminator, scrambled as the server holds it when `scramble` is true.
std::vector<uint8_t> BuildIndexFile(const std::string& tag, uint32_t versionWord,
                                    const std::vector<IndexEntrySpec>& entries,
                                    bool scramble = true);

// A published image file: header with the sector range, then the payload as it is (only header
// bytes 8..31 are scrambled).
std::vector<uint8_t> BuildImageFile(const std::string& tag, uint16_t firstSector,
                                    uint16_t lastSector, const std::vector<uint8_t>& payload,
                                    bool scramble = true);

// Seals (length and checksums) and scrambles a plain file in the given mode.
void PublishUpdateFile(std::vector<uint8_t>& file, const std::string& tag, int mode);

// A 256-byte information page: byte 0 takes the high nibble of modelCode and the first version
// digit as its low nibble; then the model identifier, the main version digits (4 hex
// characters), stampV (3 bytes), stampI digits (3 hex characters); long version bytes 20..23 and
// the long-form flag when longVersion is not 0.
std::vector<uint8_t> BuildInfoPage(int modelCode, const std::string& modelId,
                                   const std::string& mainVersion, const std::string& stampV,
                                   const std::string& stampI, uint32_t longVersion = 0);
