// The release device back end's removal look on a SetupAPI of the test's: only the interface
// list's own end says that an opened device has gone, never a failure to read the list.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/device_platform_win32.h"

namespace {

// The list the fake SetupAPI shows: its paths, and the error that enumerating (enumError) or
// reading the details (detailError) of the entry at failAt meets instead (0: none).
struct FakeList {
  std::vector<std::wstring> paths;
  DWORD failAt = 0;
  DWORD enumError = 0;
  DWORD detailError = 0;
};
FakeList g_list;
int g_detached = 0;

HDEVINFO WINAPI ClassDevs(const GUID*, PCWSTR, HWND, DWORD) {
  return reinterpret_cast<HDEVINFO>(1);
}

BOOL WINAPI EnumInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                           PSP_DEVICE_INTERFACE_DATA record) {
  DWORD error = index == g_list.failAt ? g_list.enumError : 0;
  if (error == 0 && index >= g_list.paths.size()) error = ERROR_NO_MORE_ITEMS;
  SetLastError(error);
  record->Reserved = index;
  return error == 0;
}

BOOL WINAPI InterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA record,
                            PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                            PSP_DEVINFO_DATA) {
  const std::wstring& path = g_list.paths[record->Reserved];
  DWORD bytes = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
  if (required != nullptr) *required = bytes;
  if (record->Reserved == g_list.failAt && g_list.detailError != 0) {
    SetLastError(g_list.detailError);
    return FALSE;
  }
  if (detail == nullptr || size < bytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  return TRUE;
}

BOOL WINAPI DestroyList(HDEVINFO) {
  return TRUE;
}

const SetupApi FAKE_API = {ClassDevs, EnumInterfaces, InterfaceDetail, DestroyList, true};

// Opens a file as the device (its path stands in the list), fails one request on it (a file
// takes no pass-through), and says whether the back end found the device gone.
bool FailedRequestFindsGone(const std::wstring& file) {
  std::unique_ptr<CDevicePlatform> platform = NewWin32DevicePlatform(&FAKE_API);
  DeviceHandle handle = platform->OpenReadWrite(reinterpret_cast<const WChar*>(file.c_str()));
  EXPECT_NE(handle, INVALID_DEVICE_HANDLE);
  g_detached = 0;
  ScsiRequest request = {};
  EXPECT_EQ(platform->DeviceIo(handle, &request), 0);
  platform->CloseHandle(handle);
  return g_detached != 0;
}

TEST(Win32DeviceTest, OnlyTheListsEndIsARemoval) {
  wchar_t folder[MAX_PATH], file[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
  ASSERT_NE(GetTempFileNameW(folder, L"dev", 0, file), 0u);
  SetDetachedHook([] { ++g_detached; });
  const std::wstring other = L"\\\\?\\usbstor#disk&ven_acme&prod_stick#1#{x}";

  // Listed: still there. The list ends without it: gone.
  g_list = {{other, file}};
  EXPECT_FALSE(FailedRequestFindsGone(file));
  g_list = {{other}};
  EXPECT_TRUE(FailedRequestFindsGone(file));
  // The list cannot be walked to its end; the device's own entry cannot be read.
  g_list = {{other, file}, 0, ERROR_NOT_ENOUGH_MEMORY, 0};
  EXPECT_FALSE(FailedRequestFindsGone(file));
  g_list = {{other, file}, 1, 0, ERROR_INVALID_DATA};
  EXPECT_FALSE(FailedRequestFindsGone(file));

  SetDetachedHook(nullptr);
  DeleteFileW(file);
}

}  // namespace
