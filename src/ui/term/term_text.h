// Text for the terminal front end: the terminal's character set, display widths, the cleaning of
// outside text, rows as the terminal wraps them, framed boxes and the progress bar.
#pragma once

#include <string>
#include <vector>

#include "base/text.h"

// Puts LC_CTYPE on the user's locale, so that wcwidth counts columns as a terminal in that
// locale does, and takes the locale's character set as the terminal's. An unset locale (C or
// POSIX) says nothing about the terminal: it is taken as UTF-8 (C.UTF-8). true when the
// terminal's character set is UTF-8.
bool UseTerminalLocale();

// The terminal's character set as the locale names it ("UTF-8", "BIG5", ...), and whether it is
// UTF-8 (as UseTerminalLocale last decided; UTF-8 before it is called).
const std::string& TerminalCharset();
bool TerminalIsUtf8();

// text (UTF-8) in the terminal's character set (unchanged when that is UTF-8), see ConvertText.
std::string ToTerminalCharset(const std::string& text, bool* lost = nullptr);

// text (UTF-8) converted to `charset` with iconv; each character the set cannot hold becomes '?'
// and sets *lost (when given), and so does each the set would put on one byte of 0x80-0x9F (a C1
// control to a terminal that takes 8-bit ones: CP1251's U+203A is 0x9B, CSI). A charset iconv
// does not know keeps ASCII only.
std::string ConvertText(const std::string& text, const char* charset, bool* lost = nullptr);

// UTF-8 of a terminated UTF-16 text (nullptr gives "").
std::string TermUtf8(const WChar* text);

// Text from outside (the server, the device) made safe to print: every character that would act
// on the terminal instead of showing (C0 and C1 controls, DEL, the bidi overrides and isolates
// U+202A-U+202E and U+2066-U+2069) and every malformed byte becomes U+FFFD; malformed are also
// the bytes of overlong forms, of encoded surrogates and of code points above U+10FFFF.
// keepLineBreaks keeps
// '\n' (a box's own line breaks); otherwise it is replaced too.
std::string TerminalSafe(const std::string& text, bool keepLineBreaks = false);

// Columns a UTF-8 text takes on a terminal: wide (East Asian) characters 2, combining marks and
// control characters 0, everything else 1 (also what the locale cannot show: it prints as '?').
// A malformed byte counts 1.
int DisplayWidth(const std::string& text);

// text followed by spaces up to `width` columns (unchanged when already that wide).
std::string PadToWidth(const std::string& text, int width);

// The rows a line of text takes on a terminal `columns` wide, split where the terminal wraps it:
// a wide character that does not fit in the row's last column starts the next row. At least one
// row; columns <= 0 means no wrapping.
std::vector<std::string> WrapRows(const std::string& text, int columns);

// WrapRows(text, columns).size().
int TerminalRows(const std::string& text, int columns);

// A message box as text lines: a frame with the caption in its top edge and every line of text
// ('\n' splits them) padded to the widest by display width, so the right edge stays straight.
// asciiEdges draws the frame with '+', '-' and '|' (for character sets whose line-drawing
// characters are missing or two columns wide).
std::vector<std::string> FrameBox(const std::string& caption, const std::string& text,
                                  bool asciiEdges = false);

// "[#####.....]  50%" for done of total (cells '#' or '.'; done is capped at total; a total of 0
// shows an empty bar and 0%).
std::string ProgressBar(long done, long total, int cells);
