// The compiled-in copy of the string table, read from the same list as the resource script.
#include "base/strings.h"

namespace {

struct StringEntry {
  int id;
  const WChar* text;
};

const StringEntry STRING_TABLE[] = {
#define TOLVARIN_STRING(symbol, id, text) {id, u"" text},
#include "strings.def"
#undef TOLVARIN_STRING
};

}  // namespace

const WChar* StringTableText(int id) {
  for (const StringEntry& entry : STRING_TABLE)
    if (entry.id == id) return entry.text;
  return nullptr;
}

int LoadTableString(int id, WChar* dst, int capacity) {
  const WChar* text = StringTableText(id);
  if (capacity <= 0) return 0;
  if (text == nullptr) {
    dst[0] = 0;
    return 0;
  }
  CopyText(dst, capacity, text);
  return TextLength(dst);
}
