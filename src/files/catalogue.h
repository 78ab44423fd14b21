// The catalogue an index file lists: its entries, their kinds and what the device still needs.
#pragma once

#include <cstdint>

#include "base/error_codes.h"

constexpr int MAX_CATALOGUE_ENTRIES = 8;
constexpr int MAX_ENTRY_NAME = 31;         // characters, without the 0 byte
constexpr int MIN_ENTRY_NAME = 6;          // characters 2..5 carry the tag and the stamps
constexpr int MAX_ENTRY_DESCRIPTION = 63;  // UTF-16 units, without the 0 unit
constexpr uint32_t CATALOGUE_UP_TO_DATE = 0x01;
constexpr uint32_t CATALOGUE_MORE_PASSES = 0x04;

enum ItemKind : int32_t { KIND_T = 0, KIND_V = 1, KIND_C = 2, KIND_I = 3 };
inline constexpr char ITEM_KIND_LETTERS[] = "TVCI";

// Letter of `kind` for the progress texts: 'T', 'V', 'C', 'I', or '?' for a kind without one.
char ItemKindLetter(int32_t kind);

struct CatalogueEntry {
  char name[32];
  int32_t kind;
  int32_t fullSize;
  int32_t pendingSize;  // fullSize, or 0 when the device already has this item
};

struct UpdateCatalogue {
  uint32_t flags;
  int32_t entryCount;
  int32_t entryOfKind[8];
  int32_t mainEntryCount;
  char mainVersionText[16];
  char stamps[3][16];
  CatalogueEntry entries[MAX_CATALOGUE_ENTRIES];
};

// A cleared catalogue (flags 0, every text empty).
UpdateCatalogue EmptyCatalogue();

// '0'..'9' -> 0..9, 'A'..'F' and 'a'..'f' -> 10..15, anything else -> 0.
uint8_t HexDigitValue(char digit);
// The low four bits of value as '0'..'9' or 'A'..'F'.
char NibbleToHexDigit(uint8_t value);
// digit itself when '0'..'9' or 'A'..'F'; otherwise sets *errorFlag to 1 and returns '?'.
char CheckHexDigit(char digit, int32_t* errorFlag);

// CHECK_OK when the entries of a checked index file of `length` bytes lie inside it, end with a
// terminator there and keep the catalogue's limits (at most 8 entries, names of 6 to 31
// characters, descriptions of at most 63 units); else CHECK_CATALOGUE_MALFORMED. Reads nothing
// outside data[0 .. length).
int ValidateCatalogue(const uint8_t* indexData, int length);
