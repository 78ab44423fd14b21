// The main window under Wine: its controls as created, the search tick, the removal test and the
// Start guard, on real windows of the platform; and WoW64 in a 64-bit prefix.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "base/strings.h"
#include "ui/win32/ui_port_win32.h"
#include "ui/win32/window_win32.h"
// window_win32.h first: dbt.h builds on the types of windows.h.
#include <dbt.h>

namespace {

std::u16string Text(HWND window) {
  wchar_t buffer[256] = {};
  GetWindowTextW(window, buffer, 256);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer));
}

std::wstring ClassOf(HWND window) {
  wchar_t buffer[64] = {};
  GetClassNameW(window, buffer, 64);
  return buffer;
}

// A removal record as the system builds it: header, class GUID, then the interface name.
std::vector<uint8_t> Record(const std::u16string& name, DWORD type = DBT_DEVTYP_DEVICEINTERFACE) {
  std::vector<uint8_t> record(BROADCAST_NAME_OFFSET + (name.size() + 1) * 2, 0);
  auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(record.data());
  header->dbch_size = static_cast<DWORD>(record.size());
  header->dbch_devicetype = type;
  std::memcpy(record.data() + BROADCAST_NAME_OFFSET, name.c_str(), name.size() * 2);
  return record;
}

const std::u16string DEVICE_NAME =
    u"\\\\?\\usbstor#disk&ven_quorvel&prod_482diskprobexq&rev_1.00#0001#";

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAppState(Win32UiPort(), nullptr);
    g_app.instance = GetModuleHandleW(nullptr);
    g_app.ui->LoadString(STR_SEARCH_FORMAT, g_app.searchFormat, TEXT_CAPACITY);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = static_cast<HINSTANCE>(g_app.instance);
    windowClass.lpszClassName = L"k47Q-window-test";
    RegisterClassExW(&windowClass);
    window = CreateWindowExW(0, L"k47Q-window-test", L"test", MAIN_WINDOW_STYLE, 0, 0, 420, 500,
                             nullptr, nullptr, static_cast<HINSTANCE>(g_app.instance), nullptr);
    ASSERT_NE(window, nullptr);
    g_app.mainWindow = window;
  }
  void TearDown() override {
    DestroyWindow(window);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    ResetAppState(nullptr, nullptr);
  }

  HWND window = nullptr;
};

struct Expected {
  const wchar_t* windowClass;
  std::u16string text;
  DWORD style;
  int x, y, width, height;
  int id;
  bool enabled;
};

}  // namespace

TEST_F(WindowTest, CreationBuildsTheEightControlsInOrder) {
  const Expected expected[] = {
      {L"Button", u" 你的版本 : ", 0x50000007, 15, 10, 370, 80, 0x72, true},
      {L"Static", u"尋 找 中.....   0", 0x50000001, 50, 40, 300, 40, 0x74, true},
      {L"Button", u" 最新版本 : ", 0x50000007, 15, 100, 370, 70, 0x73, true},
      {L"Button", u" 可取得版本 :", 0x50000007, 15, 180, 370, 80, 0x73, true},
      {L"Static", u"", 0x50000001, 60, 130, 280, 35, 0x75, true},
      {L"Button", u"開 始 更 新", 0x50000001, 100, 290, 200, 50, 0x70, false},
      {L"Button", u"離  開", 0x50000001, 100, 370, 200, 50, 0x71, true},
      {L"ComboBox", u"", 0x50000203, 40, 210, 320, -1, 0x7d, false},
  };
  HWND child = GetWindow(window, GW_CHILD);
  for (const Expected& e : expected) {
    ASSERT_NE(child, nullptr) << "missing control " << e.id;
    EXPECT_EQ(_wcsicmp(ClassOf(child).c_str(), e.windowClass), 0) << e.id;
    EXPECT_EQ(Text(child), e.text) << e.id;
    DWORD style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
    EXPECT_EQ(style & ~static_cast<DWORD>(WS_DISABLED), e.style) << e.id;
    EXPECT_EQ(GetDlgCtrlID(child), e.id);
    EXPECT_EQ(IsWindowEnabled(child) != FALSE, e.enabled) << e.id;
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, e.x) << e.id;
    EXPECT_EQ(rect.top, e.y) << e.id;
    EXPECT_EQ(rect.right - rect.left, e.width) << e.id;
    // A closed drop-down list is as tall as its field, whatever height it was created with.
    if (e.height > 0) {
      EXPECT_EQ(rect.bottom - rect.top, e.height) << e.id;
    }
    child = GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(child, nullptr) << "more than eight controls";
  EXPECT_EQ(g_app.startButton, GetDlgItem(window, 0x70));
  EXPECT_EQ(g_app.exitButton, GetDlgItem(window, 0x71));
  EXPECT_EQ(g_app.deviceVersionLabel, GetDlgItem(window, 0x74));
  EXPECT_EQ(g_app.latestVersionLabel, GetDlgItem(window, 0x75));
  EXPECT_EQ(g_app.versionCombo, GetDlgItem(window, 0x7d));
}

TEST_F(WindowTest, TicksWithoutADeviceCountInTheFirstLabel) {
  for (int i = 0; i < 3; ++i) SendMessageW(window, WM_TIMER, SEARCH_TIMER_ID, 0);
  EXPECT_EQ(g_app.searchCount, 3);
  EXPECT_EQ(Text(static_cast<HWND>(g_app.deviceVersionLabel)), u"尋 找 中.....   3");
  EXPECT_EQ(g_app.runFlags & FLAG_DEVICE_FOUND, 0u);
  g_app.searchCount = 999;
  SendMessageW(window, WM_TIMER, SEARCH_TIMER_ID, 0);
  EXPECT_EQ(Text(static_cast<HWND>(g_app.deviceVersionLabel)), u"尋 找 中..... 1000");
}

namespace {

// A notice naming exactly the opened path: only the tokens decide.
bool NamesOpened(const std::u16string& name) {
  return RemovalNamesDevice(Record(name).data(), name.c_str());
}

}  // namespace

TEST_F(WindowTest, RemovalNamesTheDeviceOnlyWithBothTokensInTheFirst255Units) {
  EXPECT_TRUE(NamesOpened(DEVICE_NAME));
  EXPECT_FALSE(NamesOpened(u"\\\\?\\usbstor#disk&ven_quorvel&prod_other#1"));
  EXPECT_FALSE(NamesOpened(u"\\\\?\\usbstor#disk&prod_482diskprobexq#1"));
  // The system's notices need not keep the path's case: the tokens match in any ASCII case.
  EXPECT_TRUE(NamesOpened(u"\\\\?\\USBSTOR#DISK&VEN_QUORVEL&PROD_482DISKPROBEXQ#1"));
  // The name is cut to 255 units before the tokens are looked for.
  std::u16string padded = u"ven_quorvel&" + std::u16string(255 - 12 - 14, u'x');
  EXPECT_TRUE(NamesOpened(padded + u"482diskprobexq"));
  EXPECT_FALSE(NamesOpened(padded + u"x482diskprobexq"));
}

TEST_F(WindowTest, RemovalOfAnotherDetectorIsNotTheOpenedOnes) {
  const std::u16string second =
      u"\\\\?\\usbstor#disk&ven_quorvel&prod_482diskprobexq&rev_1.00#0002#";
  EXPECT_FALSE(RemovalNamesDevice(Record(second).data(), DEVICE_NAME.c_str()));
  EXPECT_FALSE(RemovalNamesDevice(Record(DEVICE_NAME + u"{").data(), DEVICE_NAME.c_str()));
  EXPECT_FALSE(RemovalNamesDevice(Record(DEVICE_NAME).data(), u"")) << "nothing opened";
  // Wine's notice for the opened device: its device ID part in upper case.
  EXPECT_TRUE(RemovalNamesDevice(
      Record(u"\\\\?\\USBSTOR#DISK&VEN_QUORVEL&PROD_482DISKPROBEXQ&REV_1.00#0001#").data(),
      DEVICE_NAME.c_str()));
}

TEST_F(WindowTest, RemovalNoticesChangeNothingUnlessTheFoundDeviceGoes) {
  // Not found yet: even the device's own notice is ignored (this process would end otherwise).
  std::vector<uint8_t> own = Record(DEVICE_NAME);
  EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                         reinterpret_cast<LPARAM>(own.data())),
            0);
  g_app.runFlags |= FLAG_DEVICE_FOUND;
  std::vector<uint8_t> other = Record(u"\\\\?\\usbstor#disk&ven_other&prod_stick#2");
  EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                         reinterpret_cast<LPARAM>(other.data())),
            0);
  // Other events and other record types about the device itself.
  EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                         reinterpret_cast<LPARAM>(own.data())),
            0);
  std::vector<uint8_t> volume = Record(DEVICE_NAME, DBT_DEVTYP_VOLUME);
  EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                         reinterpret_cast<LPARAM>(volume.data())),
            0);
  EXPECT_TRUE(IsWindow(window));
}

TEST_F(WindowTest, StartIsIgnoredOnceARunHasStarted) {
  EnableWindow(static_cast<HWND>(g_app.startButton), TRUE);
  g_app.runStarted = 1;
  SendMessageW(window, WM_COMMAND, ID_START_BUTTON, 0);
  // No second run: Start is left as it was and no worker touched the window.
  EXPECT_TRUE(IsWindowEnabled(static_cast<HWND>(g_app.startButton)));
  EXPECT_EQ(Text(static_cast<HWND>(g_app.startButton)), u"開 始 更 新");
}

namespace {

int g_starts = 0;
bool FailToStart(unsigned(__stdcall*)(void*)) {
  ++g_starts;
  return false;
}
bool PretendToStart(unsigned(__stdcall*)(void*)) {
  ++g_starts;
  return true;
}

}  // namespace

TEST_F(WindowTest, StartAfterAWorkerThatDidNotStartTriesAgain) {
  const WorkerStarter real = g_startWorker;
  HWND start = static_cast<HWND>(g_app.startButton);
  EnableWindow(start, TRUE);
  g_starts = 0;
  g_startWorker = FailToStart;
  SendMessageW(window, WM_COMMAND, ID_START_BUTTON, 0);
  EXPECT_EQ(g_starts, 1);
  EXPECT_TRUE(IsWindowEnabled(start)) << "the window stays as it was";
  EXPECT_EQ(g_app.runStarted, 0);
  g_startWorker = PretendToStart;
  SendMessageW(window, WM_COMMAND, ID_START_BUTTON, 0);
  SendMessageW(window, WM_COMMAND, ID_START_BUTTON, 0);
  g_startWorker = real;
  EXPECT_EQ(g_starts, 2) << "the second press starts a run, the third is ignored";
  EXPECT_FALSE(IsWindowEnabled(start));
}

namespace {

// Skips a name-or-ordinal field of a dialog template; returns the ordinal, or -1 for a name.
int SkipNameOrOrdinal(const uint16_t*& at) {
  if (*at == 0xFFFF) {
    int ordinal = at[1];
    at += 2;
    return ordinal;
  }
  while (*at++ != 0) {
  }
  return -1;
}

}  // namespace

// Another process cannot read a control's font (Wine answers WM_GETFONT across processes with 0):
// here, at each scale a change of DPI brings, every control has one, the same, and not the
// system's raster font; it grows with the scale and holds the longest texts the run writes. The
// rectangles follow the 100 % numbers, and are those numbers again back at 96 DPI.
TEST_F(WindowTest, AChangeOfDpiScalesTheLayoutAndTheFontFromTheHundredPercentNumbers) {
  const int layout[][4] = {{15, 10, 370, 80},   {50, 40, 300, 40},  {15, 100, 370, 70},
                           {15, 180, 370, 80},  {60, 130, 280, 35}, {100, 290, 200, 50},
                           {100, 370, 200, 50}, {40, 210, 320, 0}};
  SetWindowTextW(static_cast<HWND>(g_app.latestVersionLabel), L"[ 1124 ]  須<開始更新>數次");
  SetWindowTextW(static_cast<HWND>(g_app.startButton), L"Verify C Complete!");
  LONG lastHeight = 0;
  for (UINT dpi : {96u, 120u, 144u, 192u, 96u}) {
    RECT suggested = {0, 0, 420, 500};
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    HWND first = GetWindow(window, GW_CHILD), child = first;
    auto font = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr) << dpi;
    HDC dc = GetDC(child);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    EXPECT_NE(metrics.tmPitchAndFamily & TMPF_TRUETYPE, 0) << "a TrueType face at " << dpi;
    if (dpi > 96) {
      EXPECT_GT(metrics.tmHeight, lastHeight) << dpi;
    }
    lastHeight = metrics.tmHeight;
    std::printf("  %u DPI: the controls' font %ld px high\n", dpi, metrics.tmHeight);
    for (const int* row : layout) {
      ASSERT_NE(child, nullptr);
      EXPECT_EQ(SendMessageW(child, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(font));
      RECT rect, client;
      GetWindowRect(child, &rect);
      MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
      int at[4] = {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
      for (int i = 0; i < 4; ++i) {
        if (row[i] != 0) {
          EXPECT_NEAR(at[i], row[i] * static_cast<int>(dpi) / 96.0, 0.5) << dpi;
        }
      }
      std::wstring text(static_cast<size_t>(GetWindowTextLengthW(child)), L'\0');
      GetWindowTextW(child, &text[0], static_cast<int>(text.size() + 1));
      SIZE extent = {0, 0};
      GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
      GetClientRect(child, &client);
      EXPECT_LT(extent.cx, client.right) << dpi << " " << GetDlgCtrlID(child);
      EXPECT_LE(extent.cy, client.bottom) << dpi << " " << GetDlgCtrlID(child);
      child = GetWindow(child, GW_HWNDNEXT);
    }
    SelectObject(dc, old);
    ReleaseDC(first, dc);
  }
}

TEST_F(WindowTest, TheAboutIconIsStoredAt20By20DialogUnits) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(ABOUT_DIALOG_ID), MAKEINTRESOURCEW(5));
  ASSERT_NE(found, nullptr);
  const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
  // DLGTEMPLATEEX: version 1, signature 0xFFFF, help id, extended style, style, item count and
  // the box's rectangle; then menu, class, caption, and the font (DS_SETFONT).
  const auto* words = reinterpret_cast<const uint16_t*>(bytes);
  ASSERT_EQ(words[0], 1);
  ASSERT_EQ(words[1], 0xFFFF);
  EXPECT_EQ(words[8], 3) << "three controls";
  EXPECT_EQ(words[11], 170);
  EXPECT_EQ(words[12], 62);
  const uint16_t* at = words + 13;
  SkipNameOrOrdinal(at);  // menu
  SkipNameOrOrdinal(at);  // class
  SkipNameOrOrdinal(at);  // caption
  at += 3;                // point size, weight, italic and character set
  SkipNameOrOrdinal(at);  // typeface
  // The first item starts on a 4-byte boundary: help id, extended style, style, x, y, cx, cy, id
  // (32 bits), then its class.
  const uint8_t* item = bytes + ((reinterpret_cast<const uint8_t*>(at) - bytes + 3) & ~3);
  DWORD style;
  int16_t box[4];
  std::memcpy(&style, item + 8, 4);
  std::memcpy(box, item + 12, sizeof box);
  EXPECT_EQ(style & SS_TYPEMASK, static_cast<DWORD>(SS_ICON));
  EXPECT_EQ(box[0], 14);
  EXPECT_EQ(box[1], 14);
  EXPECT_EQ(box[2], 20) << "width";
  EXPECT_EQ(box[3], 20) << "height";
  // The class: the static class's ordinal 0x0082, or its name as windres stores a CONTROL line's.
  at = reinterpret_cast<const uint16_t*>(item + 24);
  if (*at == 0xFFFF) {
    EXPECT_EQ(at[1], 0x0082);
  } else {
    EXPECT_EQ(_wcsicmp(reinterpret_cast<const wchar_t*>(at), L"STATIC"), 0);
  }
  SkipNameOrOrdinal(at);
  EXPECT_EQ(SkipNameOrOrdinal(at), LARGE_ICON_ID) << "showing icon 107";
}

TEST_F(WindowTest, ThePortLoadsStringsFromTheExesTable) {
  WChar text[TEXT_CAPACITY];
  EXPECT_EQ(g_app.ui->LoadString(STR_DOWNLOADING, text, TEXT_CAPACITY), 9);
  EXPECT_EQ(std::u16string(text), u"下載更新檔中...");
  EXPECT_EQ(g_app.ui->LoadString(138, text, TEXT_CAPACITY), 0);  // there is no string 138
  EXPECT_EQ(g_app.ui->LoadString(STR_SEARCH_FORMAT, text, 5), 4);
  EXPECT_EQ(std::u16string(text), u"尋 找 ");  // cut to 4 units and terminated
}

TEST_F(WindowTest, ThePortDrivesTheControls) {
  CUiPort* ui = g_app.ui;
  ui->SetControlText(ID_LATEST_LABEL, u"[ 1123 ]  請<開始更新>");
  EXPECT_EQ(Text(static_cast<HWND>(g_app.latestVersionLabel)), u"[ 1123 ]  請<開始更新>");
  ui->EnableControl(ID_START_BUTTON, true);
  EXPECT_TRUE(IsWindowEnabled(static_cast<HWND>(g_app.startButton)));
  ui->EnableControl(ID_EXIT_BUTTON, false);
  EXPECT_FALSE(IsWindowEnabled(static_cast<HWND>(g_app.exitButton)));
  EXPECT_EQ(ui->ComboSelection(), -1);
  ui->ComboAddLine(u" 1123  [ main ]");
  ui->ComboAddLine(u" 1124  [ next ]");
  ui->ComboSelect(1);
  EXPECT_EQ(ui->ComboSelection(), 1);
  EXPECT_EQ(SendMessageW(static_cast<HWND>(g_app.versionCombo), CB_GETCOUNT, 0, 0), 2);
}

// The 32-bit program on 64-bit Windows runs under WoW64; the test command says which prefix it
// prepared (TOLVARIN_WINEARCH, win64 or win32), so a 32-bit prefix cannot pass for a 64-bit one.
// A 64-bit build of the tests is never under WoW64.
TEST(Platform, RunsUnderWow64ExactlyWhenA32BitProgramIsInA64BitPrefix) {
  const char* arch = std::getenv("TOLVARIN_WINEARCH");
  if (arch == nullptr) GTEST_SKIP() << "TOLVARIN_WINEARCH not set: not run by the test command";
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_EQ(wow64 != FALSE, sizeof(void*) == 4 && std::string(arch) == "win64")
      << "prefix " << arch << ", " << 8 * sizeof(void*) << "-bit program";
}
