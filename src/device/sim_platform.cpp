// The simulated device as a device back end: an in-memory one for tests, a state-file one for the
// simulated build.
#include "device/sim_platform.h"

#include <cstdio>

const WChar SIM_DEVICE_PATH[] =
    u"\\\\?\\usbstor#disk&ven_quorvel&prod_482diskprobexq&rev_1.00#0001#"
    u"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

namespace {
constexpr DeviceHandle SIM_HANDLE = 0x5EED;
}

bool CSimPlatform::BeginInterfaceList() {
  return true;
}

int CSimPlatform::InterfacePath(int index, WChar* path, int capacity) {
  if (!present || index != 0) return INTERFACE_END;
  CopyText(path, capacity, SIM_DEVICE_PATH);
  return INTERFACE_OK;
}

bool CSimPlatform::Probe(const WChar*) {
  return present;
}

DeviceHandle CSimPlatform::OpenReadWrite(const WChar*) {
  if (!present) return INVALID_DEVICE_HANDLE;
  return SIM_HANDLE;
}

int CSimPlatform::DeviceIo(DeviceHandle handle, ScsiRequest* request) {
  if (handle != SIM_HANDLE) return 0;
  return device->HandleRequest(request);
}

// The simulated device has nothing to release.
void CSimPlatform::CloseHandle(DeviceHandle) {}

bool SimStateFileExists(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool CSimFilePlatform::BeginInterfaceList() {
  present = SimStateFileExists(statePath);
  return true;
}

DeviceHandle CSimFilePlatform::OpenReadWrite(const WChar* path) {
  if (!fileDevice.Load(statePath)) return INVALID_DEVICE_HANDLE;
  return CSimPlatform::OpenReadWrite(path);
}

void CSimFilePlatform::CloseHandle(DeviceHandle) {
  if (SimStateFileExists(statePath)) fileDevice.Save(statePath);
}
