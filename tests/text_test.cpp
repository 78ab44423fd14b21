// The bounded formatter and text helpers must give the same UTF-16 on every build.
#include <gtest/gtest.h>

#include <string>

#include "app/messages.h"
#include "base/strings.h"
#include "base/text.h"
#include "files/server_layout.h"

namespace {

template <class... Args>
std::u16string Wide(const WChar* format, Args... args) {
  WChar out[TEXT_CAPACITY];
  FormatText(out, TEXT_CAPACITY, format, args...);
  return out;
}

}  // namespace

TEST(FormatText, NumbersRightAlignedInTheirWidth) {
  EXPECT_EQ(Wide(u"%3d", 0), u"  0");
  EXPECT_EQ(Wide(u"%3d", 1000), u"1000");
  EXPECT_EQ(Wide(u"%2d", 7), u" 7");
  EXPECT_EQ(Wide(u"%4d", -3), u"  -3");
  EXPECT_EQ(Wide(u"%5d", -2147483647 - 1), u"-2147483648");
  EXPECT_EQ(Wide(u"%8d", 1048576), u" 1048576");
  EXPECT_EQ(Wide(u"[%-4d]", 5), u"[5   ]");
  EXPECT_EQ(Wide(u"%05d", -42), u"-0042");
}

TEST(FormatText, CharactersAndBothTextWidths) {
  EXPECT_EQ(Wide(u"%c - %5d -", 'C', 2), u"C -     2 -");
  // %S takes an 8-bit text inside a UTF-16 format (the Windows sense), on every build.
  EXPECT_EQ(Wide(u"[ %S ]", "24AF"), u"[ 24AF ]");
  EXPECT_EQ(Wide(u" %S  [ %s ]", "0123", u"主程式"), u" 0123  [ 主程式 ]");
  EXPECT_EQ(Wide(u"100%%"), u"100%");
  const char* none = nullptr;
  EXPECT_EQ(Wide(u"%S", none), u"(null)");
  // Bytes above 0x7F are widened as they are, not read as a multi-byte sequence.
  EXPECT_EQ(Wide(u"%S", "\xE9"), std::u16string(1, u'\u00E9'));
}

TEST(FormatText, NarrowFormats) {
  char out[256];
  EXPECT_EQ(FormatText(out, sizeof out, "%s%s/%s.Bin", "http://h/Mvlq5/Oxt/k4/", "Door47", "4D9C"),
            37);
  EXPECT_STREQ(out, "http://h/Mvlq5/Oxt/k4/Door47/4D9C.Bin");
  FormatText(out, sizeof out, "Agent%ld", -5L);
  EXPECT_STREQ(out, "Agent-5");
}

TEST(ServerLayout, ImagesLieInTheModelsPoolDirectory) {
  // The program and the publisher both build image locations from here; this pins them down.
  char pool[9];
  PoolDirectoryFor("4D9C", pool);
  EXPECT_STREQ(pool, "Pool479x");
  char url[LOCATION_CAPACITY];
  EXPECT_EQ(ImageFileLocation(url, sizeof url, "http://h/Mvlq5/Oxt/k4/", pool, "Mc91312b"), 39);
  EXPECT_STREQ(url, "http://h/Mvlq5/Oxt/k4/Pool479x/Mc91312b");
}

TEST(FormatText, CutsTo127UnitsAndReportsIt) {
  std::u16string longText(300, u'字');
  WChar out[TEXT_CAPACITY];
  EXPECT_EQ(FormatText(out, TEXT_CAPACITY, u"%s", longText.c_str()), -1);
  EXPECT_EQ(TextLength(out), 127);
  EXPECT_EQ(std::u16string(out), longText.substr(0, 127));
  EXPECT_EQ(FormatText(out, TEXT_CAPACITY, u"%s", longText.substr(0, 127).c_str()), 127);
  // A tiny buffer still ends terminated.
  WChar tiny[4] = {1, 1, 1, 1};
  EXPECT_EQ(FormatText(tiny, 4, u"%5d", 1), -1);
  EXPECT_EQ(std::u16string(tiny), u"   ");
}

TEST(CopyText, BoundedCopyAndAppend) {
  WChar buffer[TEXT_CAPACITY];
  EXPECT_EQ(CopyText(buffer, TEXT_CAPACITY, u"Tolvarin - k47Q"), 1);
  EXPECT_EQ(AppendText(buffer, TEXT_CAPACITY, TITLE_FORCE_SUFFIX), 1);
  EXPECT_EQ(std::u16string(buffer), u"Tolvarin - k47Q (強制更新)");
  std::u16string filler(121, u'x');
  CopyText(buffer, TEXT_CAPACITY, filler.c_str());
  EXPECT_EQ(AppendText(buffer, TEXT_CAPACITY, TITLE_FORCE_SUFFIX), 0);
  EXPECT_EQ(TextLength(buffer), 127);
  char narrow[9];
  EXPECT_EQ(CopyText(narrow, sizeof narrow, "Pool47Axyz"), 0);
  EXPECT_STREQ(narrow, "Pool47Ax");
}

TEST(FormatText, HugeWidthIsCutLikeAnyWideField) {
  // Widths past INT_MAX once overflowed the width count; any width past the buffer pads to the cut.
  WChar text[8];
  EXPECT_EQ(FormatText(text, 8, u"%99999999999d|", 42), -1);
  EXPECT_EQ(std::u16string(text), u"       ");
  EXPECT_EQ(FormatText(text, 8, u"%-099999999999d", -42), -1);
  EXPECT_EQ(std::u16string(text), u"-42    ");
  char narrow[6];
  EXPECT_EQ(FormatText(narrow, 6, "%0999999999999999999999ld", -7L), -1);
  EXPECT_STREQ(narrow, "-0000");
  EXPECT_EQ(FormatText(narrow, 6, "%40d", 1), -1);
  EXPECT_STREQ(narrow, "     ");
}

TEST(TextContains, CaseSensitiveSubstring) {
  EXPECT_TRUE(TextContains(u"abcquorvelxyz", u"quorvel"));
  EXPECT_FALSE(TextContains(u"abcQuorvelxyz", u"quorvel"));
  EXPECT_FALSE(TextContains(u"quorve", u"quorvel"));
  EXPECT_TRUE(TextContains(u"x", u""));
}

TEST(TextEqualsIgnoringAsciiCase, WholeTextsWithOnlyAsciiLettersFolded) {
  // A removal notice as Wine names an interface the search listed in lower case.
  EXPECT_TRUE(TextEqualsIgnoringAsciiCase(u"\\\\?\\USBSTOR#DISK&VEN_Q#0001#{53f5}",
                                          u"\\\\?\\usbstor#disk&ven_q#0001#{53f5}"));
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"usbstor#disk#0001", u"usbstor#disk#0002"));
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"usbstor#disk#0001", u"usbstor#disk#0001#"));
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"usbstor#disk#0001#", u"usbstor#disk#0001"));
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"\u212A", u"k"));  // the Kelvin sign
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"@", u"`"));       // one apart from 'A' and 'a'
  EXPECT_TRUE(TextEqualsIgnoringAsciiCase(u"", u""));
}

TEST(StringTable, TextsAndIdsAsTheWindowUsesThem) {
  WChar text[TEXT_CAPACITY];
  EXPECT_EQ(LoadTableString(STR_CLASS_NAME, text, TEXT_CAPACITY), 4);
  EXPECT_EQ(std::u16string(text), u"k47Q");
  LoadTableString(STR_SEARCH_FORMAT, text, TEXT_CAPACITY);
  WChar line[TEXT_CAPACITY];
  FormatText(line, TEXT_CAPACITY, text, 0);
  EXPECT_EQ(std::u16string(line), u"尋 找 中.....   0");
  EXPECT_EQ(std::u16string(StringTableText(133)), u"離  開");
  EXPECT_EQ(std::u16string(StringTableText(131)), u" 最新版本 : ");
  EXPECT_EQ(std::u16string(StringTableText(140)), u"下載更新檔中...");
  EXPECT_EQ(StringTableText(138), nullptr);
  EXPECT_EQ(LoadTableString(138, text, TEXT_CAPACITY), 0);
  EXPECT_EQ(text[0], 0);
}
