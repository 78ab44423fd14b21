// The terminal front end's text layout, and the core seams it draws its progress bar from.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "files/update_file.h"
#include "support/sim_fixture.h"
#include "ui/term/privileges.h"
#include "ui/term/term_text.h"
#include "update_builder.h"
#include "workflow/program.h"
#include "workflow/update_run.h"

namespace {

class TermTextTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(UseTerminalLocale()); }
};

// Counts the per-sector ticks and checks each comes right before a countdown text.
class CTickUi : public CRecordingUi {
 public:
  void SetControlText(int id, const WChar* text) override {
    if (id == ID_START_BUTTON) captionsAfterTick.push_back(tickPending);
    tickPending = false;
    CRecordingUi::SetControlText(id, text);
  }
  void SectorDone() override {
    ++ticks;
    tickPending = true;
  }
  int ticks = 0;
  bool tickPending = false;
  std::vector<bool> captionsAfterTick;
};

CatalogueEntry Entry(const char* name, int32_t kind, int32_t sectors, bool pending) {
  CatalogueEntry entry;
  std::memset(&entry, 0, sizeof entry);
  std::strncpy(entry.name, name, sizeof entry.name - 1);
  entry.kind = kind;
  entry.fullSize = UPDATE_HEADER_SIZE + sectors * SECTOR_BYTES_IN_FILE;
  entry.pendingSize = pending ? entry.fullSize : 0;
  return entry;
}

}  // namespace

TEST_F(TermTextTest, WidthCountsWideCharactersTwice) {
  EXPECT_EQ(DisplayWidth("abc"), 3);
  EXPECT_EQ(DisplayWidth("尋 找 中..... %3d"), 2 + 1 + 2 + 1 + 2 + 5 + 4);
  EXPECT_EQ(DisplayWidth("[ 2131 ]  請<開始更新>"), 10 + 2 + 1 + 8 + 1);
  EXPECT_EQ(DisplayWidth("e\xcc\x81"), 1) << "a combining accent takes no column";
  EXPECT_EQ(DisplayWidth("\xff"
                         "a"),
            2)
      << "a malformed byte counts one";
  EXPECT_EQ(PadToWidth("更新", 6), "更新  ");
  EXPECT_EQ(TerminalRows(std::string(30, 'x'), 80), 1);
  EXPECT_EQ(TerminalRows(std::string(41, 'x') + "更", 20), 3);
}

TEST_F(TermTextTest, OutsideTextCannotActOnTheTerminal) {
  const std::string standIn = "\xef\xbf\xbd";
  // A title change ended by BEL, then a screen clear.
  EXPECT_EQ(TerminalSafe("a\x1b]0;x\x07\x1b[2Jb"),
            "a" + standIn + "]0;x" + standIn + standIn + "[2Jb");
  // C1 controls (NEL, CSI), DEL, a malformed byte; U+00A0 after them is text.
  EXPECT_EQ(TerminalSafe("\xc2\x85\xc2\x9b\x7f\xff\xc2\xa0"),
            standIn + standIn + standIn + standIn + "\xc2\xa0");
  // The bidi overrides and isolates, U+202A-U+202E and U+2066-U+2069, and their neighbours.
  EXPECT_EQ(TerminalSafe("\xe2\x80\xa9\xe2\x80\xaa\xe2\x80\xae\xe2\x80\xaf"),
            "\xe2\x80\xa9" + standIn + standIn + "\xe2\x80\xaf");
  EXPECT_EQ(TerminalSafe("\xe2\x81\xa5\xe2\x81\xa6\xe2\x81\xa9\xe2\x81\xaa"),
            "\xe2\x81\xa5" + standIn + standIn + "\xe2\x81\xaa");
  // A line break stays only where a box's text has its own.
  EXPECT_EQ(TerminalSafe("1\r\n2"), "1" + standIn + standIn + "2");
  EXPECT_EQ(TerminalSafe("1\r\n2", true), "1" + standIn + "\n2");
  EXPECT_EQ(TerminalSafe("版本 1.31."), "版本 1.31.");
}

TEST_F(TermTextTest, EveryByteOfAnIllFormedSequenceIsAStandIn) {
  const std::string standIn = "\xef\xbf\xbd";
  auto times = [&](int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += standIn;
    return out;
  };
  // Overlong forms: '[' on two bytes (its second byte 0x9B would be CSI raw), '/' on three,
  // U+009B on three, U+FFFF on four.
  EXPECT_EQ(TerminalSafe("\xc1\x9b"), times(2));
  EXPECT_EQ(TerminalSafe("a\xe0\x80\xaf"
                         "b"),
            "a" + times(3) + "b");
  EXPECT_EQ(TerminalSafe("\xe0\x82\x9b"), times(3));
  EXPECT_EQ(TerminalSafe("\xf0\x8f\xbf\xbf"), times(4));
  // Encoded surrogates, one half and a pair.
  EXPECT_EQ(TerminalSafe("\xed\xa0\x80"), times(3));
  EXPECT_EQ(TerminalSafe("\xed\xa0\xbd\xed\xb8\x80"), times(6));
  // Above U+10FFFF, with a lead byte that may and one that may never start a sequence.
  EXPECT_EQ(TerminalSafe("\xf4\x90\x80\x80"), times(4));
  EXPECT_EQ(TerminalSafe("\xf7\xbf\xbf\xbf"), times(4));
  // Text at the edges: U+00A0 (after C1), U+0800, U+D7FF, U+E000, U+10000 and U+10FFFF.
  const std::string edges =
      "\xc2\xa0\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf";
  EXPECT_EQ(TerminalSafe(edges), edges);
}

TEST_F(TermTextTest, RowsBreakWhereTheTerminalWraps) {
  using Rows = std::vector<std::string>;
  EXPECT_EQ(WrapRows("abc", 3), (Rows{"abc"})) << "a full row does not wrap by itself";
  EXPECT_EQ(WrapRows("ab更", 3), (Rows{"ab", "更"})) << "a wide character never splits";
  EXPECT_EQ(WrapRows("更更x", 3), (Rows{"更", "更x"}));
  EXPECT_EQ(WrapRows("e\xcc\x81"
                     "f",
                     1),
            (Rows{"e\xcc\x81", "f"}))
      << "a combining mark stays";
  EXPECT_EQ(WrapRows("", 5), (Rows{""}));
  EXPECT_EQ(WrapRows("abcd", 0), (Rows{"abcd"}));
}

TEST(TermCharset, ConvertsCharacterByCharacter) {
  bool lost = false;
  EXPECT_EQ(ConvertText("測速器 ok", "BIG5", &lost), "\xb4\xfa\xb3\x74\xbe\xb9 ok");
  EXPECT_FALSE(lost);
  // What Big5 lacks (a smiley, U+FFFD) and a malformed byte each become one '?'.
  EXPECT_EQ(ConvertText("\xe2\x98\xba更\xef\xbf\xbd\xff.", "BIG5", &lost), "?\xa7\xf3??.");
  EXPECT_TRUE(lost);
  lost = false;
  EXPECT_EQ(ConvertText("é更", "ISO-8859-1", &lost), "\xe9?");
  EXPECT_TRUE(lost);
  EXPECT_EQ(ConvertText("a更", "NO-SUCH-CHARSET"), "a?") << "an unknown set keeps ASCII";
  // What single-byte sets put on 0x80-0x9F would be C1 controls (0x9B CSI, 0x9D OSC); the rest
  // of their upper half is text.
  lost = false;
  EXPECT_EQ(ConvertText("\u203a2J\u045c\u0416", "CP1251", &lost), "?2J?\xc6");
  EXPECT_TRUE(lost);
  EXPECT_EQ(ConvertText("\u2321\u0416", "KOI8-R"), "?\xf6");
}

TEST(Privileges, SudoIsTrustedOnlyWhereItCanHaveRun) {
  auto plan = [](ProcessIds ids, const char* uid, const char* gid) {
    PrivilegePlan p = PlanPrivileges(ids, uid, gid);
    return std::vector<long>{p.step, static_cast<long>(p.uid), static_cast<long>(p.gid)};
  };
  using V = std::vector<long>;
  const ProcessIds root{0, 0, 0, 0, 0, 0};
  EXPECT_EQ(plan(root, "1000", "1001"), (V{STEP_SUDO_USER, 1000, 1001})) << "sudo";
  EXPECT_EQ(plan(root, nullptr, nullptr), (V{STEP_KEEP, 0, 0})) << "root itself";
  EXPECT_EQ(plan(root, "0", "0"), (V{STEP_KEEP, 0, 0})) << "sudo by root";
  EXPECT_EQ(plan(root, "1000", nullptr)[0], STEP_MALFORMED);
  EXPECT_EQ(plan(root, "-1", "1000")[0], STEP_MALFORMED);
  EXPECT_EQ(plan(root, "4294967295", "1000")[0], STEP_MALFORMED) << "the no-id value";
  // A set-user-ID root install run by 1000: the variables are the caller's, whatever they say.
  const ProcessIds setuid{1000, 0, 0, 1000, 1000, 1000};
  EXPECT_EQ(plan(setuid, "0", "0"), (V{STEP_REAL_IDS, 1000, 1000}));
  EXPECT_EQ(plan(setuid, "1001", "1001"), (V{STEP_REAL_IDS, 1000, 1000}));
  EXPECT_EQ(plan(setuid, nullptr, nullptr), (V{STEP_REAL_IDS, 1000, 1000}));
  // Root only in the saved id, or a set-group-ID install: still given up.
  EXPECT_EQ(plan({1000, 1000, 0, 1000, 1000, 1000}, nullptr, nullptr)[0], STEP_REAL_IDS);
  EXPECT_EQ(plan({1000, 1000, 1000, 1000, 6, 6}, nullptr, nullptr), (V{STEP_REAL_IDS, 1000, 1000}));
  // An ordinary user who sets the variables gets nothing from them.
  EXPECT_EQ(plan({1000, 1000, 1000, 1000, 1000, 1000}, "0", "0"), (V{STEP_KEEP, 1000, 1000}));
}

TEST_F(TermTextTest, FrameKeepsItsRightEdgeStraight) {
  std::vector<std::string> box =
      FrameBox("更新完成.", "1.請移除<測速器>與<電腦>的USB連線,\n        之後,\n2.Goodbye.");
  ASSERT_EQ(box.size(), 5u);
  int width = DisplayWidth(box[0]);
  for (const std::string& line : box) EXPECT_EQ(DisplayWidth(line), width) << line;
  EXPECT_EQ(box[0].rfind("┌─ 更新完成. ─", 0), 0u);
  EXPECT_EQ(box[2], "│         之後,                      │");
  // A caption wider than the text widens the box; a closing line break adds no empty line.
  std::vector<std::string> narrow = FrameBox("執行時錯誤", "x\n");
  ASSERT_EQ(narrow.size(), 3u);
  EXPECT_EQ(DisplayWidth(narrow[1]), DisplayWidth(narrow[0]));
  // For character sets whose line-drawing characters are missing or two columns wide.
  EXPECT_EQ(FrameBox("錯", "x", true),
            (std::vector<std::string>{"+- 錯 -+", "| x    |", "+------+"}));
}

TEST(ProgressBar, FillsByShareAndCaps) {
  EXPECT_EQ(ProgressBar(5, 10, 10), "[#####.....]  50%");
  EXPECT_EQ(ProgressBar(0, 10, 4), "[....]   0%");
  EXPECT_EQ(ProgressBar(12, 10, 4), "[####] 100%") << "an overshoot never draws past the end";
  EXPECT_EQ(ProgressBar(3, 0, 4), "[....]   0%");
}

TEST(RunSectorCount, FollowsTheRunsChoiceOfEntries) {
  ResetAppState(nullptr, nullptr);
  UpdateCatalogue& catalogue = g_app.catalogue;
  catalogue.entries[0] = Entry("Mt9C520b", KIND_T, 1, true);
  catalogue.entries[1] = Entry("Mc91312b", KIND_C, 256, true);
  catalogue.entries[2] = Entry("Mv9V181b", KIND_V, 2, false);
  catalogue.entries[3] = Entry("Mc91322b", KIND_C, 8, true);
  catalogue.entries[4] = Entry("Mc91332b", KIND_C, 4, false);
  catalogue.entryCount = 5;
  EXPECT_EQ(RunSectorCount(0), 1 + 256);
  EXPECT_EQ(RunSectorCount(1), 1 + 8);
  EXPECT_EQ(RunSectorCount(-1), 1) << "no selection: no main image";
  g_app.runFlags |= FLAG_FORCE;
  EXPECT_EQ(RunSectorCount(1), 1 + 8 + 2) << "forced: every entry with a size, one main image";
  EXPECT_EQ(RunSectorCount(2), 1 + 2 + 4) << "a main image the check found current";
  ResetAppState(nullptr, nullptr);
}

class SectorTickTest : public SimDeviceTest {
 protected:
  void SetUp() override {
    SimDeviceTest::SetUp();
    g_app.ui = &ticks;
  }
  CTickUi ticks;
};

TEST_F(SectorTickTest, OneTickPerSectorWrittenAndVerifiedEachBeforeItsCountdown) {
  std::vector<uint8_t> payload(3 * 4096, 0x11);
  std::vector<uint8_t> image = BuildImageFile("4D9C", 2, 4, payload, false);
  EXPECT_EQ(ProgramAndVerify(image.data(), 'C'), 0);
  EXPECT_EQ(ticks.ticks, 6);
  // "[ 3 ]", three write countdowns, three verify countdowns, "Complete".
  EXPECT_EQ(ticks.captionsAfterTick,
            (std::vector<bool>{false, true, true, true, true, true, true, false}));
}
