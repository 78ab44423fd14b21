// Device back ends built on the simulated device: one in memory for tests, one on a state file for
// the simulated build.
#pragma once

#include <string>

#include "device/device_platform.h"
#include "device/sim_device.h"

// The interface path under which the simulated device is listed; it holds both tokens.
extern const WChar SIM_DEVICE_PATH[];

// Lists the simulated device as the one disk interface while `present`, and sends every request
// to it. Tests set `present` and the device's faults directly.
class CSimPlatform : public CDevicePlatform {
 public:
  explicit CSimPlatform(CSimDevice* device) : device(device) {}

  bool BeginInterfaceList() override;
  int InterfacePath(int index, WChar* path, int capacity) override;
  void EndInterfaceList() override {}
  bool Probe(const WChar* path) override;
  DeviceHandle OpenReadWrite(const WChar* path) override;
  int DeviceIo(DeviceHandle handle, ScsiRequest* request) override;
  void CloseHandle(DeviceHandle handle) override;

  CSimDevice* device;
  bool present = true;
};

// The simulated build's back end: the device is plugged in while its state file exists. Opening
// loads the file; closing saves the flash and log back into it, unless the file has gone (the
// device was unplugged).
class CSimFilePlatform : public CSimPlatform {
 public:
  explicit CSimFilePlatform(std::string statePath)
      : CSimPlatform(&fileDevice), statePath(std::move(statePath)) {}

  bool BeginInterfaceList() override;
  DeviceHandle OpenReadWrite(const WChar* path) override;
  void CloseHandle(DeviceHandle handle) override;

  std::string statePath;
  CSimDevice fileDevice;
};

// True when a file exists at path.
bool SimStateFileExists(const std::string& path);
