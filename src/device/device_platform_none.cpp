// The native build's default device back end: no device is ever found (tests install their own).
#include "device/device_platform.h"

namespace {

class CNoDevicePlatform : public CDevicePlatform {
 public:
  bool BeginInterfaceList() override { return false; }
  int InterfacePath(int, WChar*, int) override { return INTERFACE_END; }
  void EndInterfaceList() override {}
  bool Probe(const WChar*) override { return false; }
  DeviceHandle OpenReadWrite(const WChar*) override { return INVALID_DEVICE_HANDLE; }
  int DeviceIo(DeviceHandle, ScsiRequest*) override { return 0; }
  void CloseHandle(DeviceHandle) override {}
};

}  // namespace

CDevicePlatform* DefaultDevicePlatform() {
  static CNoDevicePlatform platform;
  return &platform;
}
