// Bounded text handling shared by every build: copy, append and printf-style formatting of UTF-16
// and 8-bit text.
#pragma once

#include <cstdint>

// UTF-16 code unit of every control and message text. It is 16 bits on every build; the Windows
// shell hands it to the platform as wchar_t, which has the same size there.
using WChar = char16_t;

// Size of the shared scratch buffer and of every message text, in units including the terminator.
constexpr int TEXT_CAPACITY = 128;

// Number of units before the terminator.
int TextLength(const WChar* text);
int TextLength(const char* text);

// Copies src into dst, which holds `capacity` units including the terminator. The result is
// always terminated (when capacity > 0) and cut to capacity - 1 units. Returns 1 when all of src
// fit, 0 when it was cut.
int CopyText(WChar* dst, int capacity, const WChar* src);
int CopyText(char* dst, int capacity, const char* src);

// Appends src to the text already in dst, same rules as CopyText.
int AppendText(WChar* dst, int capacity, const WChar* src);

// Formats into dst (capacity units including the terminator), always terminated, cut to fit.
// Returns the length written, or -1 when the result was cut. Formats are read in the Windows
// (MSVCRT) sense on every build:
//   %d %ld with optional '-' / '0' flags and a width (int argument),
//   %c   one character (int argument),
//   %s   text of the format's own width (const WChar* in a UTF-16 format, const char* in an 8-bit
//   one), %S   text of the other width (const char* in a UTF-16 format: each byte widened to one
//   unit),
//   %%   a percent sign.
// Any other conversion is copied as it stands. A null text argument prints "(null)".
int FormatText(WChar* dst, int capacity, const WChar* format, ...);
int FormatText(char* dst, int capacity, const char* format, ...);

// Compares two texts unit by unit; true when equal up to and including the terminator.
bool TextEquals(const WChar* a, const WChar* b);
// The same with the ASCII letters A-Z and a-z taken as equal; every other unit compares exactly.
// Reads neither text past the first unit where they differ.
bool TextEqualsIgnoringAsciiCase(const WChar* a, const WChar* b);

// Finds needle inside haystack (exact, case-sensitive); true when found. An empty needle is found.
bool TextContains(const WChar* haystack, const WChar* needle);
// The same with the ASCII letters A-Z and a-z taken as equal; every other unit compares exactly.
bool TextContainsIgnoringAsciiCase(const WChar* haystack, const WChar* needle);
