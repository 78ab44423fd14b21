// Fuzz target of the bounded text functions: FormatText with the program's formats and with made-up
// ones, random arguments and capacities, in UTF-16 and 8-bit, against a model of the formatter;
// also CopyText, AppendText, TextEquals and TextContains.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "app/messages.h"
#include "base/text.h"
#include "fuzz_support.h"

namespace {

// Input: control byte, capacity byte, then what the mode reads (format choice or format text,
// then arguments as the conversions ask for them).
//   bit 0     8-bit texts, else UTF-16
//   bits 1-2  0, 3: one of the program's formats; 1: a made-up format; 2: copy and append
//   capacity  0..159, or from 160 on -1..4 (the tiny ones)

const WChar* const PROGRAM_FORMATS[] = {
    FORMAT_ERROR_INDEX_CHECK,
    FORMAT_ERROR_NO_BUFFER,
    FORMAT_ERROR_IMAGE_CHECK,
    FORMAT_ERROR_VERIFY,
    FORMAT_TITLE,
    FORMAT_DEVICE_VERSION,
    FORMAT_STATUS_MORE_PASSES,
    FORMAT_STATUS_UP_TO_DATE,
    FORMAT_STATUS_OFFER,
    FORMAT_COMBO_LINE,
    FORMAT_PROGRESS_COUNT,
    FORMAT_PROGRESS_WRITE,
    FORMAT_PROGRESS_VERIFY,
    FORMAT_PROGRESS_DONE,
    u"尋 找 中..... %3d",
    u"%3d",
    u"%2d",
    u"%4d",
    u"%5d",
    u"%8d",
    u"%c",
    u"%ld",
    u"%s%s/%s",
    u"%s%s/%s.Bin",
    u"%-5d|%05d|%%|%hd|%li",
    u"%q%l%",
};
constexpr int PROGRAM_FORMAT_COUNT = sizeof PROGRAM_FORMATS / sizeof PROGRAM_FORMATS[0];
constexpr int MAX_ARGS = 4;
// The model keeps this much of the expected text; it counts all of it.
constexpr size_t MODEL_KEEP = 512;

template <class C>
using OtherChar = typename std::conditional<std::is_same<C, char>::value, WChar, char>::type;

// A format in the 8-bit version: ASCII as it is, anything else as its UTF-8 bytes.
std::string Narrow(const WChar* text) {
  std::string out;
  for (; *text; ++text) {
    unsigned u = *text;
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | u >> 6);
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | u >> 12);
      out += static_cast<char>(0x80 | (u >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

enum ArgKind { ARG_INT, ARG_LONG, ARG_OWN_TEXT, ARG_OTHER_TEXT };

template <class C>
struct Arguments {
  int count = 0;
  ArgKind kinds[MAX_ARGS];
  int ints[MAX_ARGS] = {};
  long longs[MAX_ARGS] = {};
  std::basic_string<C> ownStore[MAX_ARGS];
  std::basic_string<OtherChar<C>> otherStore[MAX_ARGS];
  bool null[MAX_ARGS] = {};
  const C* Own(int i) const { return null[i] ? nullptr : ownStore[i].c_str(); }
  const OtherChar<C>* Other(int i) const { return null[i] ? nullptr : otherStore[i].c_str(); }
};

template <class T>
std::basic_string<T> ReadText(FuzzReader& in, bool* null) {
  uint8_t n = in.Byte();
  *null = n == 0xFF;
  std::basic_string<T> text;
  for (int i = 0; i < n % 48; ++i) {
    unsigned unit = sizeof(T) == 1 ? in.Byte() : in.Word();
    if (unit == 0) break;
    text += static_cast<T>(unit);
  }
  return text;
}

// Records the expected output: its first MODEL_KEEP units and its full length.
template <class C>
struct ModelSink {
  std::basic_string<C> kept;
  long long total = 0;
  void Put(unsigned unit, long long times = 1) {
    for (long long i = 0; i < times && kept.size() < MODEL_KEEP; ++i) kept += static_cast<C>(unit);
    total += times;
  }
};

// Walks a format as the formatter's documentation reads it, taking an argument of the right type
// for every conversion from the input. With `cut`, the format ends before the conversion that
// would need a fifth argument (a call passes at most four).
template <class C>
void Model(std::basic_string<C>& format, FuzzReader& in, Arguments<C>& args, ModelSink<C>& out) {
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out.Put(static_cast<unsigned>(format[i]));
      continue;
    }
    size_t start = i++;
    bool left = false, zero = false;
    for (; i < format.size() && (format[i] == '-' || format[i] == '0'); ++i)
      (format[i] == '-' ? left : zero) = true;
    long long width = 0;
    for (; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i)
      width = std::min(width * 10 + (format[i] - '0'), 1LL << 40);
    bool isLong = false;
    if (i < format.size() && (format[i] == 'l' || format[i] == 'h')) isLong = format[i++] == 'l';
    unsigned conversion = i < format.size() ? static_cast<unsigned>(format[i]) : 0;
    bool takes = conversion == 'd' || conversion == 'i' || conversion == 'c' || conversion == 's' ||
                 conversion == 'S';
    if (takes && args.count == MAX_ARGS) {
      format.resize(start);
      return;
    }
    int a = args.count;
    switch (conversion) {
      case 'd':
      case 'i': {
        long value;
        if (isLong) {
          args.kinds[a] = ARG_LONG;
          value = args.longs[a] = static_cast<long>(in.Qword());
        } else {
          args.kinds[a] = ARG_INT;
          value = args.ints[a] = static_cast<int>(in.Dword());
        }
        ++args.count;
        unsigned long magnitude =
            value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
        std::string digits = std::to_string(magnitude);
        long long length = static_cast<long long>(digits.size()) + (value < 0 ? 1 : 0);
        long long pad = width > length ? width - length : 0;
        if (!left && !zero) out.Put(' ', pad);
        if (value < 0) out.Put('-');
        if (!left && zero) out.Put('0', pad);
        for (char d : digits) out.Put(static_cast<unsigned>(d));
        if (left) out.Put(' ', pad);
        break;
      }
      case 'c':
        args.kinds[a] = ARG_INT;
        args.ints[a] = static_cast<int>(in.Dword());
        ++args.count;
        out.Put(static_cast<unsigned char>(args.ints[a]));
        break;
      case 's':
      case 'S': {
        bool own = conversion == 's';
        args.kinds[a] = own ? ARG_OWN_TEXT : ARG_OTHER_TEXT;
        if (own)
          args.ownStore[a] = ReadText<C>(in, &args.null[a]);
        else
          args.otherStore[a] = ReadText<OtherChar<C>>(in, &args.null[a]);
        ++args.count;
        if (args.null[a]) {
          for (const char* p = "(null)"; *p; ++p) out.Put(static_cast<unsigned>(*p));
        } else if (own) {
          for (C unit : args.ownStore[a])
            out.Put(static_cast<typename std::make_unsigned<C>::type>(unit));
        } else {
          for (auto unit : args.otherStore[a]) {
            unsigned u = static_cast<typename std::make_unsigned<decltype(unit)>::type>(unit);
            // Into 8-bit text only ASCII survives; a byte widens to the unit of its value.
            if (sizeof(C) == 1 && u > 0x7F) u = '?';
            out.Put(u);
          }
        }
        break;
      }
      case '%':
        out.Put('%');
        break;
      default:
        // Copied as it stands, up to and with the character that is not a conversion.
        for (size_t q = start; q <= i && q < format.size(); ++q)
          out.Put(static_cast<unsigned>(format[q]));
        if (conversion == 0) return;
        break;
    }
  }
}

template <class C>
struct Call {
  C* dst;
  int capacity;
  const C* format;
  const Arguments<C>* args;
};

// Turns the argument kinds chosen at run time into a call with those types.
template <class C, class... A>
int Dispatch(const Call<C>& call, A... values) {
  constexpr int slot = sizeof...(A);
  if constexpr (slot < MAX_ARGS) {
    const Arguments<C>& args = *call.args;
    if (slot < args.count) {
      switch (args.kinds[slot]) {
        case ARG_INT:
          return Dispatch(call, values..., args.ints[slot]);
        case ARG_LONG:
          return Dispatch(call, values..., args.longs[slot]);
        case ARG_OWN_TEXT:
          return Dispatch(call, values..., args.Own(slot));
        case ARG_OTHER_TEXT:
          return Dispatch(call, values..., args.Other(slot));
      }
    }
  }
  return FormatText(call.dst, call.capacity, call.format, values...);
}

constexpr unsigned SENTINEL = 0x7E;

// An exact-size destination prefilled with a sentinel, so that both ASan and the checks see any
// unit written past the terminator or the capacity.
template <class C>
std::unique_ptr<C[]> Destination(int capacity) {
  int n = capacity > 0 ? capacity : 0;
  std::unique_ptr<C[]> dst(new C[n]);
  for (int i = 0; i < n; ++i) dst[i] = static_cast<C>(SENTINEL);
  return dst;
}

// What every bounded write leaves: `expected` cut to capacity - 1 units, the terminator, the rest
// untouched.
template <class C>
void CheckWritten(const C* dst, int capacity, const std::basic_string<C>& expected,
                  long long fromUnit) {
  if (capacity <= 0) return;
  long long n = static_cast<long long>(expected.size()) < capacity - 1
                    ? static_cast<long long>(expected.size())
                    : capacity - 1;
  for (long long i = fromUnit; i < n; ++i) FUZZ_CHECK(dst[i] == expected[i]);
  FUZZ_CHECK(dst[n] == 0);
  for (long long i = n + 1; i < capacity; ++i) FUZZ_CHECK(dst[i] == static_cast<C>(SENTINEL));
}

template <class C>
void FuzzFormat(FuzzReader& in, int capacity, bool programFormat) {
  std::basic_string<C> format;
  if (programFormat) {
    const WChar* wide = PROGRAM_FORMATS[in.Byte() % PROGRAM_FORMAT_COUNT];
    if constexpr (std::is_same<C, char>::value)
      format = Narrow(wide);
    else
      format = wide;
  } else {
    bool null;
    format = ReadText<C>(in, &null);
  }
  Arguments<C> args;
  ModelSink<C> model;
  Model(format, in, args, model);

  std::unique_ptr<C[]> dst = Destination<C>(capacity);
  int result = Dispatch(Call<C>{dst.get(), capacity, format.c_str(), &args});
  bool fits = capacity > 0 && model.total <= capacity - 1;
  FUZZ_CHECK(result == (fits ? static_cast<int>(model.total) : -1));
  CheckWritten(dst.get(), capacity, model.kept, 0);
}

template <class C>
void FuzzCopy(FuzzReader& in, int capacity) {
  bool null;
  std::basic_string<C> src = ReadText<C>(in, &null);
  std::unique_ptr<C[]> dst = Destination<C>(capacity);
  int copied = CopyText(dst.get(), capacity, src.c_str());
  FUZZ_CHECK(copied == (capacity > 0 && static_cast<long long>(src.size()) <= capacity - 1));
  CheckWritten(dst.get(), capacity, src, 0);
  FUZZ_CHECK(TextLength(src.c_str()) == static_cast<int>(src.size()));

  if constexpr (std::is_same<C, WChar>::value) {
    // Append onto whatever the buffer holds: a shorter text, or units with no terminator at all.
    std::basic_string<C> add = ReadText<C>(in, &null);
    std::basic_string<C> held = ReadText<C>(in, &null);
    bool terminated = in.Byte() & 1;
    std::unique_ptr<C[]> buffer = Destination<C>(capacity);
    long long used = 0;
    if (capacity > 0) {
      used = terminated ? std::min<long long>(held.size(), capacity - 1) : capacity;
      for (long long i = 0; i < used; ++i)
        buffer[i] = i < static_cast<long long>(held.size()) ? held[i] : u'x';
      if (used < capacity) buffer[used] = 0;
    }
    int appended = AppendText(buffer.get(), capacity, add.c_str());
    if (capacity <= 0) {
      FUZZ_CHECK(appended == 0);
    } else if (used >= capacity) {
      FUZZ_CHECK(appended == 0 && buffer[capacity - 1] == 0);
    } else {
      std::basic_string<C> whole = held.substr(0, static_cast<size_t>(used)) + add;
      FUZZ_CHECK(appended == (static_cast<long long>(whole.size()) <= capacity - 1));
      CheckWritten(buffer.get(), capacity, whole, 0);
    }
    FUZZ_CHECK(TextEquals(src.c_str(), add.c_str()) == (src == add));
    FUZZ_CHECK(TextContains(src.c_str(), add.c_str()) == (src.find(add) != src.npos));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  uint8_t control = in.Byte();
  uint8_t c = in.Byte();
  int capacity = c < 160 ? c : (c - 160) % 6 - 1;
  bool narrow = (control & 1) != 0;
  int mode = (control >> 1) & 3;
  if (mode == 2) {
    if (narrow)
      FuzzCopy<char>(in, capacity);
    else
      FuzzCopy<WChar>(in, capacity);
  } else if (narrow) {
    FuzzFormat<char>(in, capacity, mode != 1);
  } else {
    FuzzFormat<WChar>(in, capacity, mode != 1);
  }
  return 0;
}
