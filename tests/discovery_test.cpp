// The device search rules, against a fake list of disk interfaces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/hid.h"

namespace {

struct FakeInterface {
  std::u16string path;
  int listed = INTERFACE_OK;
  bool probeOk = true;
  bool openOk = true;
};

class CFakeEnumeration : public CDevicePlatform {
 public:
  bool BeginInterfaceList() override {
    ++begun;
    return listAvailable;
  }
  int InterfacePath(int index, WChar* path, int capacity) override {
    if (index >= static_cast<int>(interfaces.size())) return INTERFACE_END;
    if (interfaces[index].listed == INTERFACE_OK)
      CopyText(path, capacity, interfaces[index].path.c_str());
    return interfaces[index].listed;
  }
  void EndInterfaceList() override { ++ended; }
  bool Probe(const WChar* path) override {
    probed.push_back(path);
    return Find(path).probeOk;
  }
  DeviceHandle OpenReadWrite(const WChar* path) override {
    opened.push_back(path);
    return Find(path).openOk ? 100 + static_cast<DeviceHandle>(opened.size())
                             : INVALID_DEVICE_HANDLE;
  }
  int DeviceIo(DeviceHandle, ScsiRequest*) override { return 1; }
  void CloseHandle(DeviceHandle handle) override { closed.push_back(handle); }

  const FakeInterface& Find(const std::u16string& path) {
    for (const FakeInterface& i : interfaces)
      if (i.path.substr(0, 259) == path) return i;
    static FakeInterface none{u"", INTERFACE_SKIP, false, false};
    return none;
  }

  std::vector<FakeInterface> interfaces;
  bool listAvailable = true;
  int begun = 0, ended = 0;
  std::vector<std::u16string> probed, opened;
  std::vector<DeviceHandle> closed;
};

const std::u16string DEVICE = u"\\\\?\\usbstor#disk&ven_quorvel&prod_482diskprobexq#1#{53f56308}";
const std::u16string OTHER = u"\\\\?\\usbstor#disk&ven_other&prod_stick#1#{53f56308}";

}  // namespace

TEST(MatchesDevicePath, BothTokensExactCase) {
  EXPECT_TRUE(MatchesDevicePath(DEVICE.c_str()));
  EXPECT_TRUE(MatchesDevicePath(u"482diskprobexq...quorvel"));
  EXPECT_FALSE(MatchesDevicePath(u"usbstor#prod_482diskprobexq"));
  EXPECT_FALSE(MatchesDevicePath(u"ven_QUORVEL&prod_482DISKPROBEXQ"));
  EXPECT_FALSE(MatchesDevicePath(u"ven_quorvel"));
  EXPECT_FALSE(MatchesDevicePath(u""));
}

TEST(MatchesRemovedDeviceName, BothTokensInAnyAsciiLetterCase) {
  // A removal notice as Wine words it: the device ID part upper case, the instance as it was.
  EXPECT_TRUE(MatchesRemovedDeviceName(
      u"\\\\?\\USBSTOR#DISK&VEN_QUORVEL&PROD_482DISKPROBEXQ&REV_1.00#0123456789abcdef&0#"
      u"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"));
  EXPECT_TRUE(MatchesRemovedDeviceName(u"USBSTOR#Disk&Ven_QQuorvel&Prod_482DiskProbeXQ#1"));
  EXPECT_TRUE(MatchesRemovedDeviceName(DEVICE.c_str()));
  EXPECT_FALSE(MatchesRemovedDeviceName(u"USBSTOR#DISK&VEN_OTHER&PROD_482DISKPROBEXQ#1"));
  EXPECT_FALSE(MatchesRemovedDeviceName(u"USBSTOR#DISK&VEN_QUORVEL&PROD_STICK#1"));
  EXPECT_FALSE(MatchesRemovedDeviceName(u"VEN_QUORVEL&PROD_482DISKPROBEX"));
  // Only ASCII letters fold: the Kelvin sign lower-cases to 'k' in Unicode, but is no K here.
  EXPECT_FALSE(MatchesRemovedDeviceName(u"VEN_QUORVEL&PROD_482DIS\u212APROBEXQ"));
  // The search itself keeps the exact test.
  EXPECT_FALSE(MatchesDevicePath(u"VEN_QUORVEL&PROD_482DISKPROBEXQ"));
}

TEST(DeviceSearch, FirstMatchThatPassesTheProbeWins) {
  CFakeEnumeration fake;
  std::u16string second = DEVICE + u"#2";
  fake.interfaces = {{OTHER}, {DEVICE + u"#1", INTERFACE_OK, false}, {second}, {DEVICE + u"#3"}};
  CHidIO io(&fake);
  EXPECT_EQ(io.Search(), 1);
  EXPECT_EQ(fake.probed, (std::vector<std::u16string>{DEVICE + u"#1", second}))
      << "the other disk is never probed";
  EXPECT_EQ(fake.opened, (std::vector<std::u16string>{second})) << "the fourth is never looked at";
  EXPECT_NE(io.deviceHandle, INVALID_DEVICE_HANDLE);
  EXPECT_EQ(std::u16string(io.OpenedPath()), second);
  EXPECT_EQ(fake.ended, 1);
  io.Close();
  EXPECT_EQ(fake.closed.size(), 1u);
  EXPECT_EQ(io.deviceHandle, INVALID_DEVICE_HANDLE);
  io.Close();
  EXPECT_EQ(fake.closed.size(), 1u) << "an invalid handle is left alone";
}

TEST(DeviceSearch, FailedReadWriteOpenEndsTheSearch) {
  CFakeEnumeration fake;
  fake.interfaces = {{DEVICE + u"#1", INTERFACE_OK, true, false}, {DEVICE + u"#2"}};
  CHidIO io(&fake);
  EXPECT_EQ(io.Search(), 0);
  EXPECT_EQ(io.deviceHandle, INVALID_DEVICE_HANDLE);
  EXPECT_EQ(fake.opened.size(), 1u);
  EXPECT_EQ(fake.ended, 1) << "the list is released on every path";
  EXPECT_EQ(io.OpenedPath()[0], 0) << "a path that did not open is not the device's";
  // The next tick searches again from the start.
  fake.interfaces[0].openOk = true;
  EXPECT_EQ(io.Search(), 1);
  EXPECT_EQ(fake.opened.back(), DEVICE + u"#1");
  io.Close();
  EXPECT_EQ(std::u16string(io.OpenedPath()), DEVICE + u"#1") << "kept after Close";
  fake.interfaces.clear();
  EXPECT_EQ(io.Search(), 0);
  EXPECT_EQ(io.OpenedPath()[0], 0) << "a later search forgets it";
}

TEST(DeviceSearch, UnreadableEntriesNoMemoryAndEmptyLists) {
  CFakeEnumeration fake;
  fake.interfaces = {{DEVICE, INTERFACE_SKIP}, {DEVICE + u"#b"}};
  CHidIO io(&fake);
  EXPECT_EQ(io.Search(), 1) << "an entry whose details fail is skipped";
  io.Close();

  fake.interfaces = {{DEVICE, INTERFACE_NO_MEMORY}, {DEVICE + u"#b"}};
  EXPECT_EQ(io.Search(), 0) << "out of memory ends the search at once";
  EXPECT_EQ(fake.ended, 2);

  fake.interfaces.clear();
  EXPECT_EQ(io.Search(), 0);
  fake.listAvailable = false;
  EXPECT_EQ(io.Search(), 0);
  EXPECT_EQ(fake.begun, 4);
  EXPECT_EQ(fake.ended, 3) << "a list that could not be had is not released";
}

TEST(DeviceSearch, LongPathsAreTestedInTheirCutForm) {
  CFakeEnumeration fake;
  std::u16string padding(250, u'x');
  // The product token begins at unit 255 and is cut off at 259 units.
  fake.interfaces = {{u"quorvel" + padding.substr(0, 248) + u"482diskprobexq"}};
  CHidIO io(&fake);
  EXPECT_EQ(io.Search(), 0);
  EXPECT_TRUE(fake.probed.empty());
  fake.interfaces = {{u"quorvel482diskprobexq" + padding + padding}};
  EXPECT_EQ(io.Search(), 1);
  ASSERT_EQ(fake.opened.size(), 1u);
  EXPECT_EQ(fake.opened[0].size(), 259u);
  EXPECT_EQ(std::u16string(io.OpenedPath()), fake.opened[0]);
}
