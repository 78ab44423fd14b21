// Text for the terminal front end: UTF-8 output, display widths, framed boxes and the progress bar.
#include "ui/term/term_text.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "base/utf8.h"

namespace {

// Decodes one UTF-8 sequence at text[*i]; advances *i. A malformed byte is returned as U+FFFD.
char32_t NextCodePoint(const std::string& text, size_t* i) {
  unsigned char lead = static_cast<unsigned char>(text[*i]);
  int extra = (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
  ++*i;
  if (lead < 0x80) return lead;
  if (extra < 0 || *i + extra > text.size()) return 0xFFFD;
  char32_t code = lead & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    unsigned char next = static_cast<unsigned char>(text[*i + k]);
    if ((next & 0xC0) != 0x80) return 0xFFFD;
    code = (code << 6) | (next & 0x3F);
  }
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

}  // namespace

bool UseUtf8Locale() {
  std::setlocale(LC_CTYPE, "");
  if (MB_CUR_MAX > 1) return true;
  return std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
}

std::string TermUtf8(const WChar* text) {
  if (text == nullptr) return "";
  return Utf16ToUtf8(std::u16string(text));
}

int DisplayWidth(const std::string& text) {
  int width = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t code = NextCodePoint(text, &i);
    if (code < 0x20 || code == 0x7F) continue;
    int w = wcwidth(static_cast<wchar_t>(code));
    width += w < 0 ? 1 : w;
  }
  return width;
}

std::string PadToWidth(const std::string& text, int width) {
  int have = DisplayWidth(text);
  return have >= width ? text : text + std::string(static_cast<size_t>(width - have), ' ');
}

int TerminalRows(const std::string& text, int columns) {
  int width = DisplayWidth(text);
  if (columns <= 0 || width <= columns) return 1;
  return (width + columns - 1) / columns;
}

std::vector<std::string> FrameBox(const std::string& caption, const std::string& text) {
  std::vector<std::string> lines = SplitLines(text);
  int captionWidth = DisplayWidth(caption);
  int inner = captionWidth + 2;
  for (const std::string& line : lines) {
    int w = DisplayWidth(line);
    if (w > inner) inner = w;
  }
  std::vector<std::string> box;
  box.push_back("┌─ " + caption + " " + Repeat("─", inner + 2 - 3 - captionWidth) + "┐");
  for (const std::string& line : lines) box.push_back("│ " + PadToWidth(line, inner) + " │");
  box.push_back("└" + Repeat("─", inner + 2) + "┘");
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
