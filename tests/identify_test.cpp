// Identification from the information page, and the phase that shows it or ends with error 0300.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/messages.h"
#include "files/server_layout.h"
#include "support/sim_fixture.h"
#include "workflow/identify.h"

namespace {

struct Page {
  uint8_t bytes[256] = {};
  Page& Set(int at, std::initializer_list<uint8_t> values) {
    for (uint8_t v : values) bytes[at++] = v;
    return *this;
  }
  Page& Id(const char* id) {
    std::memcpy(bytes + 12, id, 4);
    return *this;
  }
};

}  // namespace

TEST(DeriveIdentity, ExamplesFromTheDevicePage) {
  Page page;
  page.Set(0, {0x12, 0x34, 0x5A, 0x0F})
      .Set(20, {0x01, 0x02, 0x03, 0x04})
      .Set(16, {0x31, 0x3C, 0x07})
      .Id("4D9C");
  page.Set(4, {'v', 0x01, 0xFF});
  IdentityResult r = DeriveIdentity(page.bytes);
  EXPECT_EQ(r.identity.modelCode, 18);
  EXPECT_STREQ(r.identity.mainVersion, "24AF");
  EXPECT_STREQ(r.identity.longVersion, "04030201");
  EXPECT_STREQ(r.identity.stampI, "1C7");
  EXPECT_STREQ(r.identity.stampV, "v\x01\xFF") << "stampV is taken as it is";
  EXPECT_STREQ(r.identity.modelId, "4D9C");
  EXPECT_EQ(r.poolChar, '9');
  EXPECT_FALSE(r.malformed);
  EXPECT_FALSE(r.longForm) << "bit 0x02 of byte 7 is clear";
  EXPECT_STREQ(r.identity.shownVersion, "24AF");
}

TEST(DeriveIdentity, LongFormNeedsBothTheFlagAndByte20) {
  Page a;
  a.Set(7, {0x02}).Set(21, {9, 9, 9}).Id("0000");
  EXPECT_FALSE(DeriveIdentity(a.bytes).longForm);
  Page b;
  b.Set(7, {0x02}).Set(20, {0x01}).Id("0000");
  IdentityResult rb = DeriveIdentity(b.bytes);
  EXPECT_TRUE(rb.longForm);
  EXPECT_STREQ(rb.identity.shownVersion, "00000001");
  Page c;
  c.Set(7, {0xFD}).Set(20, {0x01}).Id("0000");
  EXPECT_FALSE(DeriveIdentity(c.bytes).longForm);
}

TEST(DeriveIdentity, HighNibblesAndMalformedIdentifiers) {
  Page page;
  page.Set(0, {0xA7}).Set(16, {0xF1, 0xF2, 0xF3}).Id("4d9C");
  IdentityResult r = DeriveIdentity(page.bytes);
  EXPECT_EQ(r.identity.modelCode, 167);
  EXPECT_EQ(r.identity.mainVersion[0], '7');
  EXPECT_STREQ(r.identity.stampI, "123");
  EXPECT_STREQ(r.identity.modelId, "4?9C");
  EXPECT_TRUE(r.malformed);
  EXPECT_EQ(r.poolChar, '9');
  Page last;
  last.Id("ABC\x00");
  EXPECT_TRUE(DeriveIdentity(last.bytes).malformed) << "every byte is examined";
}

TEST_F(SimDeviceTest, IdentificationShowsTheVersionAndSetsThePool) {
  Page page;
  page.Set(0, {0x12, 0x34, 0x5A, 0x0F}).Id("4D9C").Set(7, {0x02}).Set(20, {0x01, 0x02, 0x03, 0x04});
  device.SetInfoPage(page.bytes);
  EXPECT_TRUE(IdentifyConnectedDevice());
  EXPECT_EQ(ui.Text(ID_DEVICE_LABEL), u"[ 04030201 ]");
  EXPECT_STREQ(g_app.poolDirectory, "Pool479x");
  EXPECT_TRUE(g_app.runFlags & FLAG_LONG_VERSION);
  EXPECT_STREQ(g_app.identity.modelId, "4D9C");
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(SimDeviceTest, MalformedModelShowsTheLineThenError0300) {
  Page page;
  page.Id("4d9C");
  device.SetInfoPage(page.bytes);
  EXPECT_FALSE(IdentifyConnectedDevice());
  EXPECT_EQ(ui.Text(ID_DEVICE_LABEL), u"[ 0000 ]");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, u"錯誤碼: 0300 機名錯誤");
  EXPECT_EQ(ui.boxes[0].caption, u"執行時錯誤");
  EXPECT_EQ(ui.endCode, 0);
}

TEST_F(SimDeviceTest, FailedInfoReadIsAnAllZeroPage) {
  Page page;
  page.Set(0, {0x12, 0x34}).Id("4D9C");
  device.SetInfoPage(page.bytes);
  device.faults.failPage = INFO_PAGE_ADDRESS;
  EXPECT_FALSE(IdentifyConnectedDevice());
  EXPECT_EQ(ui.Text(ID_DEVICE_LABEL), u"[ 0000 ]");
  EXPECT_STREQ(g_app.identity.modelId, "????");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, u"錯誤碼: 0300 機名錯誤");
}

// The update URL a build may be given: a scheme the program speaks, a host, then the server path.
TEST(ServerLayout, ABaseUrlIsHttpOrHttpsAHostAndTheServerPath) {
  for (const char* good :
       {"http://update.tolvarin.example/Mvlq5/Oxt/k4/", "https://localhost:18047/Mvlq5/Oxt/k4/",
        "https://cdn.example/t/Mvlq5/Oxt/k4/", "http://h/Mvlq5/Oxt/k4/"})
    EXPECT_TRUE(IsUpdateBaseUrl(good)) << good;
  for (const char* bad : {"update.tolvarin.example/Mvlq5/Oxt/k4/", "ftp://host/Mvlq5/Oxt/k4/",
                          "https:///Mvlq5/Oxt/k4/", "http://host/Mvlq5/Oxt/k4",
                          "http://host/Mvlq5/Oxt/", "HTTPS://host/Mvlq5/Oxt/k4/", "http://", ""})
    EXPECT_FALSE(IsUpdateBaseUrl(bad)) << bad;
  EXPECT_TRUE(IsUpdateBaseUrl(UPDATE_BASE_URL)) << UPDATE_BASE_URL;
  EXPECT_STREQ(g_app.baseUrl, UPDATE_BASE_URL) << "the program starts from its built-in URL";
}
