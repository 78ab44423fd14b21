// The string table's ids and the portable lookup of its texts.
#pragma once

#include "base/text.h"

enum StringId {
#define TOLVARIN_STRING(symbol, id, text) symbol = id,
#include "strings.def"
#undef TOLVARIN_STRING
};

// The text of string `id` from the compiled-in table, or nullptr when there is no such string.
// The Windows shell loads the same list from its resources; this is the copy for the portable code.
const WChar* StringTableText(int id);

// Loads string `id` into dst (capacity units), cut to fit and terminated. Returns the length, or 0
// for an unknown id (dst then holds the empty text).
int LoadTableString(int id, WChar* dst, int capacity);
