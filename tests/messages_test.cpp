// Error boxes: captions and texts from the tables, and the end of the process after a fatal error.
#include <gtest/gtest.h>

#include "app/app_state.h"
#include "app/messages.h"
#include "support/recording_ui.h"

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetAppState(&ui, nullptr); }
  void TearDown() override { ResetAppState(nullptr, nullptr); }
  CRecordingUi ui;
};

TEST_F(MessagesTest, ShowErrorCodeUsesCategoryAndIndex) {
  struct Case {
    int code;
    const char16_t* caption;
    const char16_t* text;
  } cases[] = {
      {ERR_OFFLINE, u"網路問題", u"未連線!請先上網."},
      {ERR_CONNECT, u"網路問題", u"無法鏈結伺服器!"},
      {ERR_READ, u"網路問題", u"讀檔 失敗!"},
      {ERR_CREATE_FILE, u"寫 本地檔", u"無法建檔!"},
      {ERR_WRITE_FILE, u"寫 本地檔", u"寫檔 失敗!"},
      {0, u"0", u"0"},
      {-(64 * 3 + 4), u"讀 本地檔", u"無法開檔!"},
  };
  for (const Case& c : cases) {
    ShowErrorCode(c.code);
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes.back().caption, c.caption) << c.code;
    EXPECT_EQ(ui.boxes.back().text, c.text) << c.code;
    EXPECT_EQ(ui.boxes.back().style, 0x10u);
  }
  EXPECT_FALSE(ui.Ended()) << "ShowErrorCode leaves the ending to its caller";
}

TEST_F(MessagesTest, CodesOutsideTheTablesShowEntryZero) {
  for (int code : {-9, -(64 * 4 + 1), -(64 + 9), 5, -2147483647 - 1, 2147483647}) {
    ShowErrorCode(code);
    EXPECT_EQ(ui.boxes.back().caption, u"0") << code;
    EXPECT_EQ(ui.boxes.back().text, u"0") << code;
  }
}

TEST_F(MessagesTest, FatalErrorShowsItsTextAndEndsWithZero) {
  FatalErrorFormat(FORMAT_ERROR_INDEX_CHECK, -3);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].caption, u"執行時錯誤");
  EXPECT_EQ(ui.boxes[0].text, u"錯誤碼: 0302   -3");
  EXPECT_EQ(ui.boxes[0].style, 0x10u);
  EXPECT_EQ(ui.endCode, 0);
}

TEST_F(MessagesTest, NumberedTextsFormatTheirArguments) {
  FatalErrorFormat(FORMAT_ERROR_VERIFY, 3, 1048608, 256);
  EXPECT_EQ(ui.boxes.back().text, u"錯誤碼: 0403+ 3\n 1048608\n     256");
  FatalErrorFormat(FORMAT_ERROR_IMAGE_CHECK, -4);
  EXPECT_EQ(ui.boxes.back().text, u"錯誤碼: 0402 -4");
  FatalErrorFormat(FORMAT_ERROR_NO_BUFFER, 1);
  EXPECT_EQ(ui.boxes.back().text, u"錯誤碼: 0401+ 1");
}

TEST_F(MessagesTest, OverlongTextIsCutBeforeItIsShown) {
  std::u16string format(200, u'錯');
  FatalErrorFormat(format.c_str(), 0);
  EXPECT_EQ(ui.boxes.back().text.size(), 127u);
}
