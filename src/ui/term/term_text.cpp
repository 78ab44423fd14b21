// Text for the terminal front end: character set, widths, cleaning, wrapping, boxes, progress bar.
#include "ui/term/term_text.h"

#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "base/utf8.h"

namespace {

// U+FFFD, what a character that may not reach the terminal is shown as.
constexpr char32_t STAND_IN = 0xFFFD;
constexpr char STAND_IN_UTF8[] = "\xef\xbf\xbd";

std::string g_charset = "UTF-8";
bool g_utf8 = true;

// Decodes one UTF-8 sequence at text[*i]; advances *i. A malformed byte (also the lead of an
// overlong form, an encoded surrogate or a code point above U+10FFFF) is returned as U+FFFD and
// advances by that byte alone, so that each byte of a bad sequence stands for itself.
char32_t NextCodePoint(const std::string& text, size_t* i) {
  static constexpr char32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
  unsigned char lead = static_cast<unsigned char>(text[*i]);
  int extra = (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
  ++*i;
  if (lead < 0x80) return lead;
  if (extra < 0 || *i + extra > text.size()) return STAND_IN;
  char32_t code = lead & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    unsigned char next = static_cast<unsigned char>(text[*i + k]);
    if ((next & 0xC0) != 0x80) return STAND_IN;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < SMALLEST[extra] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
    return STAND_IN;
  *i += static_cast<size_t>(extra);
  return code;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (char c : text) {
    if (c == '\n')
      lines.emplace_back();
    else
      lines.back().push_back(c);
  }
  // A text that ends with a line break has no empty last line of its own.
  if (lines.size() > 1 && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string Repeat(const char* piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// U+FFFD that stands for a malformed byte rather than for itself.
bool Malformed(const std::string& text, size_t start, size_t end, char32_t code) {
  return code == STAND_IN && text.compare(start, end - start, STAND_IN_UTF8) != 0;
}

bool ActsOnTerminal(char32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

int ColumnsOf(char32_t code) {
  if (code < 0x20 || code == 0x7F) return 0;
  int w = wcwidth(static_cast<wchar_t>(code));
  return w < 0 ? 1 : w;
}

}  // namespace

bool UseTerminalLocale() {
  const char* name = std::setlocale(LC_CTYPE, "");
  const char* codeset = nl_langinfo(CODESET);
  bool unset = name == nullptr || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0;
  if (unset || std::strcmp(codeset, "UTF-8") == 0) {
    if (unset) std::setlocale(LC_CTYPE, "C.UTF-8");
    g_charset = "UTF-8";
    g_utf8 = true;
  } else {
    g_charset = codeset;
    g_utf8 = false;
  }
  return g_utf8;
}

const std::string& TerminalCharset() {
  return g_charset;
}

bool TerminalIsUtf8() {
  return g_utf8;
}

std::string ToTerminalCharset(const std::string& text, bool* lost) {
  if (g_utf8) return text;
  return ConvertText(text, g_charset.c_str(), lost);
}

std::string ConvertText(const std::string& text, const char* charset, bool* lost) {
  std::string out;
  iconv_t cd = iconv_open(charset, "UTF-8");
  bool known = cd != reinterpret_cast<iconv_t>(-1);
  char buffer[64];
  for (size_t i = 0; i < text.size();) {
    size_t start = i;
    char32_t code = NextCodePoint(text, &i);
    if (!known && code < 0x80) {
      out += static_cast<char>(code);
      continue;
    }
    if (known && !Malformed(text, start, i, code)) {
      // One character at a time, so that one the set lacks costs only itself.
      char* in = const_cast<char*>(text.data() + start);
      size_t inLeft = i - start;
      char* at = buffer;
      size_t outLeft = sizeof buffer;
      bool converted =
          iconv(cd, &in, &inLeft, &at, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
      // A character the set puts on one byte of 0x80-0x9F (CP1251's U+203A on 0x9B, CSI) would
      // be a C1 control to a terminal that takes 8-bit ones: it fares as one the set lacks.
      unsigned char first = static_cast<unsigned char>(buffer[0]);
      if (converted && !(at - buffer == 1 && first >= 0x80 && first <= 0x9F)) {
        out.append(buffer, static_cast<size_t>(at - buffer));
        continue;
      }
    }
    out += '?';
    if (lost != nullptr) *lost = true;
  }
  if (known) {
    // Back to the initial shift state, for character sets that have one.
    char* at = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &at, &outLeft);
    out.append(buffer, static_cast<size_t>(at - buffer));
    iconv_close(cd);
  }
  return out;
}

std::string TermUtf8(const WChar* text) {
  if (text == nullptr) return "";
  return Utf16ToUtf8(std::u16string(text));
}

std::string TerminalSafe(const std::string& text, bool keepLineBreaks) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t start = i;
    char32_t code = NextCodePoint(text, &i);
    if (code == '\n' && keepLineBreaks)
      out += '\n';
    else if (ActsOnTerminal(code) || Malformed(text, start, i, code))
      out += STAND_IN_UTF8;
    else
      out.append(text, start, i - start);
  }
  return out;
}

int DisplayWidth(const std::string& text) {
  int width = 0;
  for (size_t i = 0; i < text.size();) width += ColumnsOf(NextCodePoint(text, &i));
  return width;
}

std::string PadToWidth(const std::string& text, int width) {
  int have = DisplayWidth(text);
  return have >= width ? text : text + std::string(static_cast<size_t>(width - have), ' ');
}

std::vector<std::string> WrapRows(const std::string& text, int columns) {
  std::vector<std::string> rows(1);
  int used = 0;
  for (size_t i = 0; i < text.size();) {
    size_t start = i;
    int w = ColumnsOf(NextCodePoint(text, &i));
    if (columns > 0 && used > 0 && used + w > columns) {
      rows.emplace_back();
      used = 0;
    }
    rows.back().append(text, start, i - start);
    used += w;
  }
  return rows;
}

int TerminalRows(const std::string& text, int columns) {
  return static_cast<int>(WrapRows(text, columns).size());
}

std::vector<std::string> FrameBox(const std::string& caption, const std::string& text,
                                  bool asciiEdges) {
  std::vector<std::string> lines = SplitLines(text);
  int captionWidth = DisplayWidth(caption);
  int inner = captionWidth + 2;
  for (const std::string& line : lines) {
    int w = DisplayWidth(line);
    if (w > inner) inner = w;
  }
  const char* across = asciiEdges ? "-" : "─";
  const char* side = asciiEdges ? "|" : "│";
  std::vector<std::string> box;
  box.push_back(std::string(asciiEdges ? "+" : "┌") + across + " " + caption + " " +
                Repeat(across, inner + 2 - 3 - captionWidth) + (asciiEdges ? "+" : "┐"));
  for (const std::string& line : lines)
    box.push_back(std::string(side) + " " + PadToWidth(line, inner) + " " + side);
  box.push_back(std::string(asciiEdges ? "+" : "└") + Repeat(across, inner + 2) +
                (asciiEdges ? "+" : "┘"));
  return box;
}

std::string ProgressBar(long done, long total, int cells) {
  if (done > total) done = total;
  if (done < 0 || total <= 0) done = 0;
  int filled = total > 0 ? static_cast<int>(done * cells / total) : 0;
  int percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
  char number[16];
  std::snprintf(number, sizeof number, "%3d%%", percent);
  return "[" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(cells - filled), '.') + "] " + number;
}
