// The catalogue read from an index file: entries, version text, combo lines, comparison and limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "support/recording_ui.h"
#include "update_builder.h"
#include "workflow/catalogue_compare.h"

namespace {

// Names are 8 characters; character 6 is the kind digit, 2..5 the tag, 3..5 the stamp.
const IndexEntrySpec T_ENTRY{"TT9C4D0x", 5000, u"model"};
const IndexEntrySpec V_ENTRY{"VV9V121x", 6000, u"voice"};
const IndexEntrySpec C_ENTRY{"CC91232x", 7000, u"main 1.2.3"};
const IndexEntrySpec C2_ENTRY{"CC94562x", 7100, u"main 4.5.6"};
const IndexEntrySpec I_ENTRY{"II9ABC3x", 8000, u"data"};

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAppState(&ui, nullptr);
    DeviceIdentity& id = g_app.identity;
    id.modelCode = 0x4D;
    std::strcpy(id.mainVersion, "7123");
    std::strcpy(id.stampV, "V12");
    std::strcpy(id.stampI, "ABC");
  }
  void TearDown() override { ResetAppState(nullptr, nullptr); }

  int Parse(const std::vector<IndexEntrySpec>& entries, int fillCombo = 1,
            uint32_t version = 0x12AB34CD) {
    file = BuildIndexFile("4D9C", version, entries, false);
    return ParseCatalogue(file.data(), static_cast<int>(file.size()), fillCombo, &catalogue);
  }

  std::vector<int32_t> Pending() const {
    std::vector<int32_t> out;
    for (int i = 0; i < catalogue.entryCount; ++i) out.push_back(catalogue.entries[i].pendingSize);
    return out;
  }

  CRecordingUi ui;
  UpdateCatalogue catalogue = EmptyCatalogue();
  std::vector<uint8_t> file;
};

}  // namespace

TEST(HexDigits, ValuesAndDigits) {
  EXPECT_EQ(HexDigitValue('7'), 7);
  EXPECT_EQ(HexDigitValue('c'), 12);
  EXPECT_EQ(HexDigitValue('F'), 15);
  EXPECT_EQ(HexDigitValue('g'), 0);
  EXPECT_EQ(NibbleToHexDigit(0xAB), 'B');
  EXPECT_EQ(NibbleToHexDigit(0x09), '9');
  int32_t error = 0;
  EXPECT_EQ(CheckHexDigit('E', &error), 'E');
  EXPECT_EQ(error, 0);
  EXPECT_EQ(CheckHexDigit('e', &error), '?');
  EXPECT_EQ(error, 1);
  EXPECT_EQ(CheckHexDigit('5', &error), '5');
  EXPECT_EQ(error, 1) << "the mark is never reset";
  EXPECT_EQ(ItemKindLetter(2), 'C');
  EXPECT_EQ(ItemKindLetter(5), '?');
  EXPECT_EQ(ItemKindLetter(-1), '?');
}

TEST_F(CatalogueTest, CurrentDeviceIsUpToDate) {
  ASSERT_EQ(Parse({T_ENTRY, V_ENTRY, C_ENTRY, I_ENTRY}), 1);
  EXPECT_EQ(catalogue.entryCount, 4);
  EXPECT_EQ(Pending(), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(catalogue.flags, CATALOGUE_UP_TO_DATE);
  EXPECT_STREQ(catalogue.mainVersionText, "D123") << "T character 5, then C characters 3..5";
  EXPECT_STREQ(catalogue.entries[2].name, "CC91232x");
  EXPECT_EQ(catalogue.entries[2].kind, KIND_C);
  EXPECT_EQ(catalogue.entries[2].fullSize, 7000);
  EXPECT_EQ(catalogue.entryOfKind[KIND_I], 3);
  EXPECT_EQ(ui.comboLines, (std::vector<std::u16string>{u" D123  [ main 1.2.3 ]"}));
  EXPECT_EQ(ui.comboSelection, 0);
  EXPECT_TRUE(ui.Enabled(ID_VERSION_COMBO));
}

TEST_F(CatalogueTest, EachKindComparesWithItsOwnField) {
  g_app.identity.modelCode = 0x4E;
  std::strcpy(g_app.identity.stampV, "V13");
  std::strcpy(g_app.identity.stampI, "ABD");
  std::strcpy(g_app.identity.mainVersion, "0124");
  Parse({T_ENTRY, V_ENTRY, C_ENTRY, I_ENTRY});
  EXPECT_EQ(Pending(), (std::vector<int32_t>{5000, 6000, 7000, 8000}));
  EXPECT_EQ(catalogue.flags, 0u);

  std::strcpy(g_app.identity.mainVersion, "F123");  // character 0 is never compared
  Parse({C_ENTRY});
  EXPECT_EQ(Pending(), (std::vector<int32_t>{0}));
  EXPECT_EQ(catalogue.flags, CATALOGUE_UP_TO_DATE);
}

TEST_F(CatalogueTest, TwoMainEntriesAreNeverUpToDate) {
  Parse({T_ENTRY, C_ENTRY, C2_ENTRY});
  EXPECT_EQ(catalogue.mainEntryCount, 2);
  EXPECT_EQ(Pending(), (std::vector<int32_t>{0, 7000, 7100}));
  EXPECT_EQ(catalogue.flags, 0u);
  EXPECT_EQ(ui.comboLines,
            (std::vector<std::u16string>{u" D123  [ main 1.2.3 ]", u" D456  [ main 4.5.6 ]"}));
  // The device's main version is the later C entry's: still neither is cleared.
  Parse({T_ENTRY, C2_ENTRY, C_ENTRY});
  EXPECT_EQ(Pending(), (std::vector<int32_t>{0, 7100, 7000}));
  EXPECT_EQ(catalogue.flags, 0u);
}

TEST_F(CatalogueTest, BehindOnOneItemOnlyIsNotUpToDate) {
  // The device is current on everything but the one field changed; the main image is current.
  struct Case {
    const char* what;
    void (*behind)(DeviceIdentity&);
    std::vector<int32_t> pending;
  };
  const Case cases[] = {
      {"T", [](DeviceIdentity& id) { id.modelCode = 0x4C; }, {5000, 0, 0, 0}},
      {"V", [](DeviceIdentity& id) { std::strcpy(id.stampV, "V11"); }, {0, 6000, 0, 0}},
      {"I", [](DeviceIdentity& id) { std::strcpy(id.stampI, "ABB"); }, {0, 0, 0, 8000}},
  };
  const DeviceIdentity current = g_app.identity;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_app.identity = current;
    c.behind(g_app.identity);
    Parse({T_ENTRY, V_ENTRY, C_ENTRY, I_ENTRY});
    EXPECT_EQ(Pending(), c.pending);
    EXPECT_EQ(catalogue.flags, 0u);
  }
}

TEST_F(CatalogueTest, VersionTextShortForm) {
  Parse({C_ENTRY, T_ENTRY});
  EXPECT_STREQ(catalogue.mainVersionText, "") << "C first: the T character is still 0";
  EXPECT_EQ(catalogue.stamps[0][0], 'D') << "a later T entry changes the stamp, not the text";
}

TEST_F(CatalogueTest, VersionTextLongFormAndDescriptionCut) {
  g_app.runFlags |= FLAG_LONG_VERSION;
  Parse({{"CC91232x", 1, u"one.two.three"}, {"CC91242x", 1, u"v1.0"}, {"CC91252x", 1, u"none"}});
  EXPECT_STREQ(catalogue.mainVersionText, "12AB34CD");
  EXPECT_EQ(ui.comboLines, (std::vector<std::u16string>{u" 12AB34CD  [ one.two ]",
                                                        u" 12AB34CD  [ v1 ]", u" 12AB34CD  [  ]"}));
}

TEST_F(CatalogueTest, LowercaseDigitsAndKindsWithoutLetters) {
  // 'd' is the lowercase model code digit; kinds 5 and 'a' (10) parse but compare nothing.
  Parse({{"TT9C4d0x", 10, u""}, {"XX9ZZZ5x", 20, u""}, {"YY9ZZZax", 30, u""}, C_ENTRY});
  EXPECT_EQ(catalogue.entries[0].kind, KIND_T);
  EXPECT_EQ(catalogue.entries[2].kind, 10);
  EXPECT_EQ(Pending(), (std::vector<int32_t>{0, 20, 30, 0}));
  EXPECT_EQ(catalogue.flags, CATALOGUE_UP_TO_DATE) << "kinds 4..15 do not count as pending";
  EXPECT_EQ(catalogue.entryOfKind[5], 1);
  for (int k = 6; k < 8; ++k) EXPECT_EQ(catalogue.entryOfKind[k], 0);
  // A non-hex kind digit counts as kind T.
  Parse({{"TT9C4DZx", 10, u""}});
  EXPECT_EQ(catalogue.entries[0].kind, KIND_T);
}

TEST_F(CatalogueTest, StampsComeFromTheLastEntryOfAKind) {
  // Both V entries are compared through the later one's stamp.
  Parse({{"VV9V121x", 1, u""}, {"VV9V991x", 2, u""}, C_ENTRY});
  EXPECT_EQ(Pending(), (std::vector<int32_t>{1, 2, 0}));
  Parse({{"VV9V991x", 1, u""}, {"VV9V121x", 2, u""}, C_ENTRY});
  EXPECT_EQ(Pending(), (std::vector<int32_t>{0, 0, 0}));
}

TEST_F(CatalogueTest, EmptyListAndNoWindowWithoutFill) {
  Parse({});
  EXPECT_EQ(catalogue.entryCount, 0);
  EXPECT_EQ(catalogue.flags, 0u) << "no C entry: never up to date";
  EXPECT_EQ(ui.comboSelectCalls, 1) << "still told to select line 0";
  EXPECT_TRUE(ui.Enabled(ID_VERSION_COMBO));

  int before = ui.windowCalls;
  Parse({T_ENTRY, C_ENTRY, C2_ENTRY}, 0);
  EXPECT_EQ(ui.windowCalls, before);
  EXPECT_EQ(catalogue.entryCount, 3);
}

TEST_F(CatalogueTest, FilesBreakingTheLimitsAreRefusedUntouched) {
  std::vector<std::vector<IndexEntrySpec>> bad = {
      std::vector<IndexEntrySpec>(9, C_ENTRY),
      {{std::string(30, 'N') + "2x", 1, u""}},
      {{"C12x", 1, u""}},
      {{"CC91232x", 1, std::u16string(64, u'字')}},
  };
  for (const auto& entries : bad) {
    catalogue = EmptyCatalogue();
    catalogue.entryCount = 77;
    int before = ui.windowCalls;
    EXPECT_EQ(Parse(entries), CHECK_CATALOGUE_MALFORMED);
    EXPECT_EQ(catalogue.entryCount, 77);
    EXPECT_EQ(ui.windowCalls, before);
  }
  // The limits themselves are accepted.
  EXPECT_EQ(Parse(std::vector<IndexEntrySpec>(8, C_ENTRY)), 1);
  EXPECT_EQ(Parse({{std::string(29, 'N') + "2x", 1, std::u16string(63, u'字')}}), 1);
  EXPECT_EQ(Parse({{"CC12x1", 1, u""}}), 1);
}

TEST_F(CatalogueTest, EntriesMustEndInsideTheFile) {
  std::vector<uint8_t> whole = BuildIndexFile("4D9C", 1, {T_ENTRY, C_ENTRY}, false);
  // Every cut of the file short of its terminator is refused, and nothing past the cut is read.
  for (size_t length = 32; length < whole.size(); ++length) {
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(length));
    EXPECT_EQ(ParseCatalogue(cut.data(), static_cast<int>(length), 1, &catalogue),
              CHECK_CATALOGUE_MALFORMED)
        << length;
  }
  EXPECT_EQ(ParseCatalogue(whole.data(), static_cast<int>(whole.size()), 1, &catalogue), 1);
}
