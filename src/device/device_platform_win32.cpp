// The release build's device back end: SetupAPI enumeration, CreateFileW and SCSI pass-through.
#include <windows.h>
// windows.h first: the SetupAPI and driver headers build on its types.
#include <winioctl.h>
// winioctl.h first: ntddscsi.h builds its control codes from it.
#include <ntddscsi.h>
#include <setupapi.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "device/device_platform.h"
#include "device/device_platform_win32.h"
#include "device/disk_interface_win32.h"
#include "platform/win32/system_library_win32.h"

// The 32-bit build hands the request block to the driver as it is: the 32-bit SCSI_PASS_THROUGH
// header first. A 64-bit build (whose header is wider) copies it into the native layout.
constexpr bool NATIVE_IS_REQUEST_BLOCK = sizeof(SCSI_PASS_THROUGH) == SCSI_HEADER_LENGTH;
static_assert(sizeof(void*) != 4 || NATIVE_IS_REQUEST_BLOCK, "32-bit pass-through header");
static_assert(
    !NATIVE_IS_REQUEST_BLOCK ||
        (offsetof(SCSI_PASS_THROUGH, DataTransferLength) ==
             offsetof(ScsiRequest, dataTransferLength) &&
         offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == offsetof(ScsiRequest, dataBufferOffset) &&
         offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == offsetof(ScsiRequest, senseInfoOffset) &&
         offsetof(SCSI_PASS_THROUGH, Cdb) == offsetof(ScsiRequest, cdb)),
    "request block fields where the driver reads them");
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004, "pass-through control code");
static_assert(sizeof(wchar_t) == sizeof(WChar), "UTF-16 units are handed over as wchar_t");

namespace {

std::atomic<void (*)()> g_onDetached{nullptr};

// Sizes the enumeration calls expect in their records' size fields: 28 and 6 in the 32-bit
// layouts.
constexpr DWORD INTERFACE_RECORD_SIZE = sizeof(SP_DEVICE_INTERFACE_DATA);
constexpr DWORD DETAIL_FIXED_SIZE = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
static_assert(sizeof(void*) != 4 || (INTERFACE_RECORD_SIZE == 28 && DETAIL_FIXED_SIZE == 6),
              "i686 layout");

// The request in the native layout of a build whose pass-through header is not the 32-bit one.
struct NativeRequest {
  SCSI_PASS_THROUGH header;
  uint8_t sense[SCSI_SENSE_LENGTH];
  uint8_t data[PAGE_SIZE];
};

int NativeDeviceIo(HANDLE handle, ScsiRequest* request) {
  NativeRequest native = {};
  native.header.Length = sizeof native.header;
  native.header.PathId = request->pathId;
  native.header.TargetId = request->targetId;
  native.header.Lun = request->lun;
  native.header.CdbLength = request->cdbLength;
  native.header.SenseInfoLength = request->senseInfoLength;
  native.header.DataIn = request->dataIn;
  native.header.DataTransferLength = request->dataTransferLength;
  native.header.TimeOutValue = request->timeOutValue;
  native.header.DataBufferOffset = offsetof(NativeRequest, data);
  native.header.SenseInfoOffset = offsetof(NativeRequest, sense);
  std::memcpy(native.header.Cdb, request->cdb, sizeof native.header.Cdb);
  std::memcpy(native.data, request->data, sizeof native.data);
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH, &native, sizeof native, &native,
                            sizeof native, &returned, nullptr);
  request->scsiStatus = native.header.ScsiStatus;
  request->dataTransferLength = native.header.DataTransferLength;
  std::memcpy(request->sense, native.sense, sizeof native.sense);
  std::memcpy(request->data, native.data, sizeof native.data);
  return ok;
}

// SetupAPI is loaded from the system folder on first use, never imported: its own dependencies
// (cfgmgr32 among them) are no KnownDLLs and would be looked up beside the exe first.
SetupApi LoadSetupApi() {
  SetupApi api = {};
  HMODULE module = LoadSystemLibrary(L"setupapi.dll");
  api.complete = ResolveSystemFunction(module, "SetupDiGetClassDevsW", api.SetupDiGetClassDevsW) &&
                 ResolveSystemFunction(module, "SetupDiEnumDeviceInterfaces",
                                       api.SetupDiEnumDeviceInterfaces) &&
                 ResolveSystemFunction(module, "SetupDiGetDeviceInterfaceDetailW",
                                       api.SetupDiGetDeviceInterfaceDetailW) &&
                 ResolveSystemFunction(module, "SetupDiDestroyDeviceInfoList",
                                       api.SetupDiDestroyDeviceInfoList);
  return api;
}

// Null when SetupAPI or one of its functions is missing; the search then sees no interfaces.
const SetupApi* Setup() {
  static const SetupApi api = LoadSetupApi();
  return api.complete ? &api : nullptr;
}

class CWin32DevicePlatform : public CDevicePlatform {
 public:
  explicit CWin32DevicePlatform(const SetupApi* listApi) : given(listApi) {}

  bool BeginInterfaceList() override {
    api = given != nullptr ? given : Setup();
    if (api == nullptr) return false;
    set = api->SetupDiGetClassDevsW(&CDROM_INTERFACE_CLASS, nullptr, nullptr,
                                    DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return set != INVALID_HANDLE_VALUE;
  }

  int InterfacePath(int index, WChar* path, int capacity) override {
    SP_DEVICE_INTERFACE_DATA record;
    record.cbSize = INTERFACE_RECORD_SIZE;
    if (!api->SetupDiEnumDeviceInterfaces(set, nullptr, &CDROM_INTERFACE_CLASS,
                                          static_cast<DWORD>(index), &record))
      return GetLastError() == ERROR_NO_MORE_ITEMS ? INTERFACE_END : INTERFACE_ERROR;
    // The first call only learns the size; its failure is expected.
    DWORD required = 0;
    api->SetupDiGetDeviceInterfaceDetailW(set, &record, nullptr, 0, &required, nullptr);
    // Zeroed, with room for a terminator, so a failed second call leaves an empty path.
    size_t bytes = required + sizeof(WChar) > 8 ? required + sizeof(WChar) : 8;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(bytes, 1));
    if (detail == nullptr) return INTERFACE_NO_MEMORY;
    detail->cbSize = DETAIL_FIXED_SIZE;
    BOOL ok =
        api->SetupDiGetDeviceInterfaceDetailW(set, &record, detail, required, nullptr, nullptr);
    CopyText(path, capacity, reinterpret_cast<const WChar*>(detail->DevicePath));
    std::free(detail);
    return ok ? INTERFACE_OK : INTERFACE_SKIP;
  }

  void EndInterfaceList() override {
    api->SetupDiDestroyDeviceInfoList(set);
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
    CopyText(opened, DEVICE_PATH_CAPACITY, path);
    answered = true;  // the first failure looks
    looked = false;
    return reinterpret_cast<DeviceHandle>(handle);
  }

  int DeviceIo(DeviceHandle handle, ScsiRequest* request) override {
    int ok = 0;
    if constexpr (!NATIVE_IS_REQUEST_BLOCK) {
      ok = NativeDeviceIo(reinterpret_cast<HANDLE>(handle), request);
    } else {
      // Without an OVERLAPPED the call needs somewhere to put the byte count.
      DWORD returned = 0;
      ok = DeviceIoControl(reinterpret_cast<HANDLE>(handle), IOCTL_SCSI_PASS_THROUGH, request,
                           sizeof *request, request, sizeof *request, &returned, nullptr);
    }
    if (ok) {
      answered.store(true, std::memory_order_relaxed);
    } else {
      void (*onDetached)() = g_onDetached.load();
      if (onDetached != nullptr && LookDue() && OpenedDeviceLeft()) onDetached();
    }
    return ok;
  }

  void CloseHandle(DeviceHandle handle) override {
    CancelIo(reinterpret_cast<HANDLE>(handle));
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
  }

 private:
  // True while the opened device is among the present disk interfaces, or when the list cannot
  // be had or read whole: only the list's own end, reached without the device, says it has gone.
  // The search runs no more once a device is open, so nothing else uses the list meanwhile.
  bool OpenedDeviceListed() {
    if (!BeginInterfaceList()) return true;
    bool listed = false;
    WChar path[DEVICE_PATH_CAPACITY];
    for (int index = 0; !listed; ++index) {
      int result = InterfacePath(index, path, DEVICE_PATH_CAPACITY);
      if (result == INTERFACE_END) break;
      // An entry that cannot be read may be the device itself.
      listed = result != INTERFACE_OK || TextEqualsIgnoringAsciiCase(path, opened);
    }
    EndInterfaceList();
    return listed;
  }

  // Whether this failure may look: the device answered since the last look, and that look ended
  // at least REMOVAL_LOOK_INTERVAL_MS ago. Requests come from one worker at a time.
  bool LookDue() {
    if (!answered.load(std::memory_order_relaxed)) return false;
    if (looked && GetTickCount() - lastLookEnd < REMOVAL_LOOK_INTERVAL_MS) return false;
    answered = false;
    looked = true;
    return true;
  }

  // Whether the opened device leaves the list within the grace.
  bool OpenedDeviceLeft() {
    bool left = false;
    for (DWORD waited = 0;; waited += LIST_POLL_MS) {
      if (!OpenedDeviceListed()) {
        left = true;
        break;
      }
      if (waited >= REMOVAL_GRACE_MS) break;
      Sleep(LIST_POLL_MS);
    }
    lastLookEnd = GetTickCount();
    return left;
  }

  static HANDLE Open(const WChar* path, DWORD access) {
    return CreateFileW(reinterpret_cast<const wchar_t*>(path), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  const SetupApi* given;  // the list's functions when not the system's
  const SetupApi* api = nullptr;
  HDEVINFO set = INVALID_HANDLE_VALUE;
  WChar opened[DEVICE_PATH_CAPACITY] = {};  // the path of the last read-write open
  // The removal look's state: a request succeeded since the last look; a look was made, ending at
  // lastLookEnd (GetTickCount).
  std::atomic<bool> answered{true};
  bool looked = false;
  DWORD lastLookEnd = 0;
};

}  // namespace

void SetDetachedHook(void (*onDetached)()) {
  g_onDetached = onDetached;
}

std::unique_ptr<CDevicePlatform> NewWin32DevicePlatform(const SetupApi* api) {
  return std::make_unique<CWin32DevicePlatform>(api);
}

CDevicePlatform* DefaultDevicePlatform() {
  static CWin32DevicePlatform platform(nullptr);
  return &platform;
}
