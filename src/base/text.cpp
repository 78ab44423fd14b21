// Bounded text handling shared by every build: one formatter so that every platform prints alike.
#include "base/text.h"

#include <cstdarg>
#include <type_traits>

namespace {

template <class C>
int LengthOf(const C* text) {
  int n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// Writes into a bounded buffer and remembers whether anything was dropped.
template <class C>
struct Sink {
  C* dst;
  int capacity;
  int used = 0;
  bool cut = false;

  void Put(unsigned unit) {
    if (used + 1 < capacity) {
      dst[used++] = static_cast<C>(unit);
    } else {
      cut = true;
    }
  }
  int Finish() {
    if (capacity <= 0) return -1;
    dst[used] = 0;
    return cut ? -1 : used;
  }
};

template <class C>
void PutNumber(Sink<C>& out, long value, long long width, bool left, bool zero) {
  char digits[24];
  int n = 0;
  // Work in unsigned so that the most negative value prints correctly.
  unsigned long magnitude =
      value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int length = n + (value < 0 ? 1 : 0);
  long long pad = width > length ? width - length : 0;
  if (!left && !zero)
    for (long long i = 0; i < pad; ++i) out.Put(' ');
  if (value < 0) out.Put('-');
  if (!left && zero)
    for (long long i = 0; i < pad; ++i) out.Put('0');
  while (n > 0) out.Put(static_cast<unsigned char>(digits[--n]));
  if (left)
    for (long long i = 0; i < pad; ++i) out.Put(' ');
}

template <class From, class C>
void PutText(Sink<C>& out, const From* text) {
  static const char kNull[] = "(null)";
  if (text == nullptr) {
    for (const char* p = kNull; *p; ++p) out.Put(static_cast<unsigned char>(*p));
    return;
  }
  for (; *text; ++text) {
    unsigned unit =
        static_cast<unsigned>(static_cast<typename std::make_unsigned<From>::type>(*text));
    // Narrowing a UTF-16 unit keeps ASCII only; widening a byte keeps its value.
    if (sizeof(C) < sizeof(From) && unit > 0x7F) unit = '?';
    out.Put(unit);
  }
}

template <class C, class Other>
int Format(C* dst, int capacity, const C* format, va_list args) {
  Sink<C> out{dst, capacity};
  for (const C* p = format; *p; ++p) {
    if (*p != '%') {
      out.Put(static_cast<unsigned>(*p));
      continue;
    }
    const C* start = p++;
    bool left = false, zero = false;
    for (; *p == '-' || *p == '0'; ++p) (*p == '-' ? left : zero) = true;
    // A width past the buffer's end prints the same as any wider one (padding to the cut), so it
    // is capped there: the count cannot overflow and the padding stays as short as the buffer.
    const long long widthCap = (capacity > 0 ? capacity : 0) + 32LL;
    long long width = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      width = width * 10 + (*p - '0');
      if (width > widthCap) width = widthCap;
    }
    bool isLong = false;
    if (*p == 'l' || *p == 'h') {
      isLong = *p == 'l';
      ++p;
    }
    switch (*p) {
      case 'd':
      case 'i':
        PutNumber(out, isLong ? va_arg(args, long) : va_arg(args, int), width, left, zero);
        break;
      case 'c':
        out.Put(static_cast<unsigned>(static_cast<unsigned char>(va_arg(args, int))));
        break;
      case 's':
        PutText(out, va_arg(args, const C*));
        break;
      case 'S':
        PutText(out, va_arg(args, const Other*));
        break;
      case '%':
        out.Put('%');
        break;
      default:
        // Unknown conversion: copy it literally so nothing is silently lost.
        for (const C* q = start; q <= p && *q; ++q) out.Put(static_cast<unsigned>(*q));
        if (*p == 0) --p;
        break;
    }
  }
  return out.Finish();
}

template <class C>
int Copy(C* dst, int capacity, const C* src, int offset) {
  if (capacity <= 0) return 0;
  int i = offset;
  for (; src[i - offset] != 0; ++i) {
    if (i + 1 >= capacity) {
      dst[i] = 0;
      return 0;
    }
    dst[i] = src[i - offset];
  }
  dst[i] = 0;
  return 1;
}

}  // namespace

int TextLength(const WChar* text) {
  return LengthOf(text);
}
int TextLength(const char* text) {
  return LengthOf(text);
}

int CopyText(WChar* dst, int capacity, const WChar* src) {
  return Copy(dst, capacity, src, 0);
}
int CopyText(char* dst, int capacity, const char* src) {
  return Copy(dst, capacity, src, 0);
}

int AppendText(WChar* dst, int capacity, const WChar* src) {
  int used = 0;
  while (used < capacity && dst[used] != 0) ++used;
  if (used >= capacity) {
    if (capacity > 0) dst[capacity - 1] = 0;
    return 0;
  }
  return Copy(dst, capacity, src, used);
}

int FormatText(WChar* dst, int capacity, const WChar* format, ...) {
  va_list args;
  va_start(args, format);
  int result = Format<WChar, char>(dst, capacity, format, args);
  va_end(args);
  return result;
}

int FormatText(char* dst, int capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = Format<char, WChar>(dst, capacity, format, args);
  va_end(args);
  return result;
}

bool TextEquals(const WChar* a, const WChar* b) {
  for (;; ++a, ++b) {
    if (*a != *b) return false;
    if (*a == 0) return true;
  }
}

namespace {

WChar FoldAscii(WChar c) {
  return c >= u'A' && c <= u'Z' ? static_cast<WChar>(c - u'A' + u'a') : c;
}

template <class Same>
bool Contains(const WChar* haystack, const WChar* needle, Same same) {
  if (*needle == 0) return true;
  for (; *haystack; ++haystack) {
    int i = 0;
    while (needle[i] != 0 && same(haystack[i], needle[i])) ++i;
    if (needle[i] == 0) return true;
  }
  return false;
}

}  // namespace

bool TextContains(const WChar* haystack, const WChar* needle) {
  return Contains(haystack, needle, [](WChar a, WChar b) { return a == b; });
}

bool TextContainsIgnoringAsciiCase(const WChar* haystack, const WChar* needle) {
  return Contains(haystack, needle, [](WChar a, WChar b) { return FoldAscii(a) == FoldAscii(b); });
}

bool TextEqualsIgnoringAsciiCase(const WChar* a, const WChar* b) {
  for (;; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
    if (*a == 0) return true;
  }
}
