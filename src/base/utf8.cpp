// Conversion between UTF-16 texts and UTF-8 (file names on POSIX, terminals, manifests).
#include "base/utf8.h"

namespace {

void Append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    Append(out, c);
  }
  return out;
}

bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80         ? 0
                : (lead >> 5) == 6  ? 1
                : (lead >> 4) == 14 ? 2
                : (lead >> 3) == 30 ? 3
                                    : -1;
    if (extra < 0 || i + extra >= text.size()) return false;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      *out += static_cast<char16_t>(0xD800 + (c >> 10));
      *out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      *out += static_cast<char16_t>(c);
    }
  }
  return true;
}
