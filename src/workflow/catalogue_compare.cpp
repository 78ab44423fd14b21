// Reading an index file's entries into the catalogue and comparing them with the device.
#include "workflow/catalogue_compare.h"

#include <cstring>

#include "app/app_state.h"
#include "app/messages.h"
#include "files/update_file.h"

namespace {

void MakeVersionLine(const uint8_t* data, UpdateCatalogue* catalogue, WChar* description,
                     int lastDot, int fillCombo) {
  if (g_app.runFlags & FLAG_LONG_VERSION) {
    char* text = catalogue->mainVersionText;
    for (int i = 0; i < 4; ++i) {
      uint8_t byte = data[15 - i];
      text[2 * i] = NibbleToHexDigit(static_cast<uint8_t>(byte >> 4));
      text[2 * i + 1] = NibbleToHexDigit(byte);
    }
    text[8] = 0;
    description[lastDot] = 0;
  } else {
    CopyText(catalogue->mainVersionText, 16, catalogue->stamps[0]);
  }
  if (fillCombo == 1) {
    WChar line[TEXT_CAPACITY];
    FormatText(line, TEXT_CAPACITY, FORMAT_COMBO_LINE, catalogue->mainVersionText, description);
    g_app.ui->ComboAddLine(line);
  }
}

}  // namespace

int ParseCatalogue(const uint8_t* data, int length, int fillCombo, UpdateCatalogue* catalogue) {
  if (ValidateCatalogue(data, length) != CHECK_OK) return CHECK_CATALOGUE_MALFORMED;
  catalogue->mainEntryCount = 0;
  catalogue->flags = 0;
  int pos = UPDATE_HEADER_SIZE;
  int i = 0;
  for (; data[pos] != 0; ++i) {
    CatalogueEntry& entry = catalogue->entries[i];
    int n = 0;
    for (; data[pos] != 0; ++pos) entry.name[n++] = static_cast<char>(data[pos]);
    entry.name[n] = 0;
    entry.kind = HexDigitValue(static_cast<char>(data[pos - 2]));
    // Kinds 8..15 have no slot of their own.
    if (entry.kind < 8) catalogue->entryOfKind[entry.kind] = i;
    int32_t size = data[pos + 2] << 16 | data[pos + 3] << 8 | data[pos + 4];
    entry.fullSize = entry.pendingSize = size;
    pos += 5;

    WChar description[MAX_ENTRY_DESCRIPTION + 1];
    int units = 0, lastDot = 0;
    for (;; pos += 2) {
      WChar unit = static_cast<WChar>(data[pos] | data[pos + 1] << 8);
      description[units] = unit;
      if (unit == u'.') lastDot = units;
      ++units;
      if (unit == 0) {
        pos += 2;
        break;
      }
    }

    const char* name = entry.name;
    switch (entry.kind) {
      case KIND_T:
        catalogue->stamps[0][0] = name[5];
        break;
      case KIND_V:
      case KIND_I: {
        char* stamp = catalogue->stamps[entry.kind == KIND_V ? 1 : 2];
        std::memcpy(stamp, name + 3, 3);
        stamp[3] = 0;
        break;
      }
      case KIND_C:
        ++catalogue->mainEntryCount;
        std::memcpy(catalogue->stamps[0] + 1, name + 3, 3);
        catalogue->stamps[0][4] = 0;
        MakeVersionLine(data, catalogue, description, lastDot, fillCombo);
        break;
      default:
        break;
    }
  }
  catalogue->entryCount = i;
  if (fillCombo == 1) {
    g_app.ui->ComboSelect(0);
    g_app.ui->EnableControl(ID_VERSION_COMBO, true);
  }

  const DeviceIdentity& device = g_app.identity;
  int64_t pendingTotal = 0;
  bool mainCurrent = false;
  for (int e = 0; e < catalogue->entryCount; ++e) {
    CatalogueEntry& entry = catalogue->entries[e];
    const char* name = entry.name;
    switch (entry.kind) {
      case KIND_T:
        if (HexDigitValue(name[4]) * 16 + HexDigitValue(name[5]) == device.modelCode)
          entry.pendingSize = 0;
        pendingTotal += entry.pendingSize;
        break;
      case KIND_V:
        if (std::strcmp(catalogue->stamps[1], device.stampV) == 0) entry.pendingSize = 0;
        pendingTotal += entry.pendingSize;
        break;
      case KIND_I:
        if (std::strcmp(catalogue->stamps[2], device.stampI) == 0) entry.pendingSize = 0;
        pendingTotal += entry.pendingSize;
        break;
      case KIND_C:
        mainCurrent = false;
        if (catalogue->mainEntryCount == 1 && device.mainVersion[1] == catalogue->stamps[0][1] &&
            device.mainVersion[2] == catalogue->stamps[0][2] &&
            device.mainVersion[3] == catalogue->stamps[0][3]) {
          mainCurrent = true;
          entry.pendingSize = 0;
        }
        break;
      default:
        break;
    }
  }
  if (pendingTotal == 0 && mainCurrent) catalogue->flags |= CATALOGUE_UP_TO_DATE;
  return 1;
}
