// The release build's device back end: SetupAPI enumeration, CreateFileW and SCSI pass-through.
#include <windows.h>
// windows.h first: the SetupAPI and driver headers build on its types.
#include <winioctl.h>
// winioctl.h first: ntddscsi.h builds its control codes from it.
#include <ntddscsi.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdlib>

#include "device/device_platform.h"
#include "device/disk_interface_win32.h"

// The request block must be what the driver reads: the 32-bit SCSI_PASS_THROUGH header first.
static_assert(sizeof(SCSI_PASS_THROUGH) == SCSI_HEADER_LENGTH, "32-bit pass-through header");
static_assert(
    offsetof(SCSI_PASS_THROUGH, DataTransferLength) == offsetof(ScsiRequest, dataTransferLength) &&
        offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == offsetof(ScsiRequest, dataBufferOffset) &&
        offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == offsetof(ScsiRequest, senseInfoOffset) &&
        offsetof(SCSI_PASS_THROUGH, Cdb) == offsetof(ScsiRequest, cdb),
    "request block fields where the driver reads them");
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004, "pass-through control code");
static_assert(sizeof(wchar_t) == sizeof(WChar), "UTF-16 units are handed over as wchar_t");

namespace {

// Sizes the enumeration calls expect in their records' size fields (the 32-bit layouts).
constexpr DWORD INTERFACE_RECORD_SIZE = 28;
constexpr DWORD DETAIL_FIXED_SIZE = 6;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == INTERFACE_RECORD_SIZE, "i686 layout");

class CWin32DevicePlatform : public CDevicePlatform {
 public:
  bool BeginInterfaceList() override {
    set = SetupDiGetClassDevsW(&DISK_INTERFACE_CLASS, nullptr, nullptr,
                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return set != INVALID_HANDLE_VALUE;
  }

  int InterfacePath(int index, WChar* path, int capacity) override {
    SP_DEVICE_INTERFACE_DATA record;
    record.cbSize = INTERFACE_RECORD_SIZE;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &DISK_INTERFACE_CLASS, static_cast<DWORD>(index),
                                     &record))
      return INTERFACE_END;
    // The first call only learns the size; its failure is expected.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &record, nullptr, 0, &required, nullptr);
    // Zeroed, with room for a terminator, so a failed second call leaves an empty path.
    size_t bytes = required + sizeof(WChar) > 8 ? required + sizeof(WChar) : 8;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(bytes, 1));
    if (detail == nullptr) return INTERFACE_NO_MEMORY;
    detail->cbSize = DETAIL_FIXED_SIZE;
    BOOL ok = SetupDiGetDeviceInterfaceDetailW(set, &record, detail, required, nullptr, nullptr);
    CopyText(path, capacity, reinterpret_cast<const WChar*>(detail->DevicePath));
    std::free(detail);
    return ok ? INTERFACE_OK : INTERFACE_SKIP;
  }

  void EndInterfaceList() override {
    SetupDiDestroyDeviceInfoList(set);
    set = INVALID_HANDLE_VALUE;
  }

  bool Probe(const WChar* path) override {
    HANDLE probe = Open(path, 0);
    if (probe == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(probe);
    return true;
  }

  DeviceHandle OpenReadWrite(const WChar* path) override {
    HANDLE handle = Open(path, GENERIC_READ | GENERIC_WRITE);
    if (handle == INVALID_HANDLE_VALUE) return INVALID_DEVICE_HANDLE;
    return reinterpret_cast<DeviceHandle>(handle);
  }

  int DeviceIo(DeviceHandle handle, ScsiRequest* request) override {
    // Without an OVERLAPPED the call needs somewhere to put the byte count.
    DWORD returned = 0;
    return DeviceIoControl(reinterpret_cast<HANDLE>(handle), IOCTL_SCSI_PASS_THROUGH, request,
                           sizeof *request, request, sizeof *request, &returned, nullptr);
  }

  void CloseHandle(DeviceHandle handle) override {
    CancelIo(reinterpret_cast<HANDLE>(handle));
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
  }

 private:
  static HANDLE Open(const WChar* path, DWORD access) {
    return CreateFileW(reinterpret_cast<const wchar_t*>(path), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  HDEVINFO set = INVALID_HANDLE_VALUE;
};

}  // namespace

CDevicePlatform* DefaultDevicePlatform() {
  static CWin32DevicePlatform platform;
  return &platform;
}
