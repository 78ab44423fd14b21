// Building published update files from plain content, with the program's own sealing and
// scrambling.
#include "update_builder.h"

#include <cstring>

#include "files/catalogue.h"
#include "files/update_file.h"

namespace {

std::vector<uint8_t> Header(const std::string& tag) {
  std::vector<uint8_t> file(UPDATE_HEADER_SIZE, 0);
  std::memcpy(file.data(), UPDATE_FILE_MAGIC, 4);
  std::memcpy(file.data() + 4, "TLVR", 4);
  for (int i = 0; i < 4; ++i)
    file[16 + i] = i < static_cast<int>(tag.size()) ? static_cast<uint8_t>(tag[i]) : 0;
  return file;
}

}  // namespace

void PublishUpdateFile(std::vector<uint8_t>& file, const std::string& tag, int mode) {
  std::string padded = tag;
  padded.resize(4, '\0');
  SealUpdateFile(static_cast<int>(file.size()), file.data());
  ScrambleUpdateFile(static_cast<int>(file.size()), file.data(), padded.data(), mode);
}

std::vector<uint8_t> BuildIndexFile(const std::string& tag, uint32_t versionWord,
                                    const std::vector<IndexEntrySpec>& entries, bool scramble) {
  std::vector<uint8_t> file = Header(tag);
  for (int i = 0; i < 4; ++i) file[12 + i] = static_cast<uint8_t>(versionWord >> (8 * i));
  for (const IndexEntrySpec& entry : entries) {
    file.insert(file.end(), entry.name.begin(), entry.name.end());
    file.push_back(0);
    file.push_back(0);  // the byte the parser skips
    file.push_back(static_cast<uint8_t>(entry.size >> 16));
    file.push_back(static_cast<uint8_t>(entry.size >> 8));
    file.push_back(static_cast<uint8_t>(entry.size));
    for (char16_t unit : entry.description) {
      file.push_back(static_cast<uint8_t>(unit));
      file.push_back(static_cast<uint8_t>(unit >> 8));
    }
    file.push_back(0);
    file.push_back(0);
  }
  file.push_back(0);  // end of the list
  if (scramble) {
    PublishUpdateFile(file, tag, MODE_INDEX_FILE);
  } else {
    SealUpdateFile(static_cast<int>(file.size()), file.data());
  }
  return file;
}

std::vector<uint8_t> BuildImageFile(const std::string& tag, uint16_t firstSector,
                                    uint16_t lastSector, const std::vector<uint8_t>& payload,
                                    bool scramble) {
  std::vector<uint8_t> file = Header(tag);
  file[28] = static_cast<uint8_t>(firstSector >> 8);
  file[29] = static_cast<uint8_t>(firstSector);
  file[30] = static_cast<uint8_t>(lastSector >> 8);
  file[31] = static_cast<uint8_t>(lastSector);
  file.insert(file.end(), payload.begin(), payload.end());
  if (scramble) {
    PublishUpdateFile(file, tag, MODE_IMAGE_FILE);
  } else {
    SealUpdateFile(static_cast<int>(file.size()), file.data());
  }
  return file;
}

std::vector<uint8_t> BuildInfoPage(int modelCode, const std::string& modelId,
                                   const std::string& mainVersion, const std::string& stampV,
                                   const std::string& stampI, uint32_t longVersion) {
  std::vector<uint8_t> page(256, 0);
  // Byte 0 is the model code; its low nibble is also the first version digit.
  page[0] = static_cast<uint8_t>((modelCode & 0xF0) |
                                 (mainVersion.size() > 0 ? HexDigitValue(mainVersion[0]) : 0));
  for (int i = 1; i < 4 && i < static_cast<int>(mainVersion.size()); ++i)
    page[i] = HexDigitValue(mainVersion[i]);
  for (int i = 0; i < 3 && i < static_cast<int>(stampV.size()); ++i)
    page[4 + i] = static_cast<uint8_t>(stampV[i]);
  for (int i = 0; i < 4 && i < static_cast<int>(modelId.size()); ++i)
    page[12 + i] = static_cast<uint8_t>(modelId[i]);
  for (int i = 0; i < 3 && i < static_cast<int>(stampI.size()); ++i)
    page[16 + i] = HexDigitValue(stampI[i]);
  if (longVersion != 0) {
    page[7] = 0x02;
    for (int i = 0; i < 4; ++i) page[20 + i] = static_cast<uint8_t>(longVersion >> (8 * i));
  }
  return page;
}
