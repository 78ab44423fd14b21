// Conversions between the program's UTF-16 texts and the UTF-8 of files and terminals.
#pragma once

#include <string>

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

// UTF-8 to UTF-16. Returns false (and leaves *out unspecified) on a malformed sequence.
bool Utf8ToUtf16(const std::string& text, std::u16string* out);
