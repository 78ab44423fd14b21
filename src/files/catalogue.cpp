// The catalogue's vocabulary and the check that an index file's entry list is well formed.
#include "files/catalogue.h"

#include <cstring>

#include "files/update_file.h"

char ItemKindLetter(int32_t kind) {
  return kind >= 0 && kind < 4 ? ITEM_KIND_LETTERS[kind] : '?';
}

UpdateCatalogue EmptyCatalogue() {
  UpdateCatalogue catalogue;
  std::memset(&catalogue, 0, sizeof catalogue);
  return catalogue;
}

uint8_t HexDigitValue(char digit) {
  if (digit >= '0' && digit <= '9') return static_cast<uint8_t>(digit - '0');
  if (digit >= 'A' && digit <= 'F') return static_cast<uint8_t>(digit - 'A' + 10);
  if (digit >= 'a' && digit <= 'f') return static_cast<uint8_t>(digit - 'a' + 10);
  return 0;
}

char NibbleToHexDigit(uint8_t value) {
  int n = value & 15;
  return static_cast<char>(n < 10 ? '0' + n : 'A' + n - 10);
}

char CheckHexDigit(char digit, int32_t* errorFlag) {
  if ((digit >= '0' && digit <= '9') || (digit >= 'A' && digit <= 'F')) return digit;
  *errorFlag = 1;
  return '?';
}

int ValidateCatalogue(const uint8_t* data, int length) {
  int pos = UPDATE_HEADER_SIZE;
  for (int entries = 0;; ++entries) {
    if (pos >= length) return CHECK_CATALOGUE_MALFORMED;  // no terminator inside the file
    if (data[pos] == 0) return CHECK_OK;
    if (entries == MAX_CATALOGUE_ENTRIES) return CHECK_CATALOGUE_MALFORMED;
    int nameLength = 0;
    while (pos + nameLength < length && data[pos + nameLength] != 0) ++nameLength;
    if (nameLength < MIN_ENTRY_NAME || nameLength > MAX_ENTRY_NAME)
      return CHECK_CATALOGUE_MALFORMED;
    pos += nameLength;                                        // on the name's 0 byte
    if (pos + 4 >= length) return CHECK_CATALOGUE_MALFORMED;  // skipped byte and the size
    pos += 5;
    for (int units = 0;; ++units) {
      if (pos + 1 >= length) return CHECK_CATALOGUE_MALFORMED;
      bool end = data[pos] == 0 && data[pos + 1] == 0;
      pos += 2;
      if (end) break;
      if (units == MAX_ENTRY_DESCRIPTION) return CHECK_CATALOGUE_MALFORMED;
    }
  }
}
