// Text for the terminal front end: UTF-8 output, display widths, framed boxes and the progress bar.
#pragma once

#include <string>
#include <vector>

#include "base/text.h"

// Puts LC_CTYPE on the user's locale, or C.UTF-8 when that one is not UTF-8, so that wcwidth
// knows the width of Chinese characters. Output is UTF-8 either way. true when a UTF-8 locale is
// in effect.
bool UseUtf8Locale();

// UTF-8 of a terminated UTF-16 text (nullptr gives "").
std::string TermUtf8(const WChar* text);

// Columns a UTF-8 text takes on a terminal: wide (East Asian) characters 2, combining marks and
// control characters 0, everything else 1. A malformed byte counts 1.
int DisplayWidth(const std::string& text);

// text followed by spaces up to `width` columns (unchanged when already that wide).
std::string PadToWidth(const std::string& text, int width);

// Terminal rows that a line of text takes when it wraps at `columns` (at least 1).
int TerminalRows(const std::string& text, int columns);

// A message box as text lines: a frame with the caption in its top edge and every line of text
// ('\n' splits them) padded to the widest by display width, so the right edge stays straight.
std::vector<std::string> FrameBox(const std::string& caption, const std::string& text);

// "[#####.....]  50%" for done of total (cells '#' or '.'; done is capped at total; a total of 0
// shows an empty bar and 0%).
std::string ProgressBar(long done, long total, int cells);
