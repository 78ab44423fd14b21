// The platform's side of the device link: listing disk interfaces, opening, the pass-through call,
// closing.
#pragma once

#include <cstdint>

#include "base/text.h"
#include "device/scsi_request.h"

using DeviceHandle = intptr_t;
constexpr DeviceHandle INVALID_DEVICE_HANDLE = -1;

// Device paths are handled in buffers of this many units, terminator included.
constexpr int DEVICE_PATH_CAPACITY = 260;

// Results of CDevicePlatform::InterfacePath.
enum InterfacePathResult : int {
  INTERFACE_END = 0,         // no interface at this index: the list is exhausted
  INTERFACE_OK = 1,          // path filled in
  INTERFACE_SKIP = -1,       // this interface's details could not be read; go on with the next
  INTERFACE_NO_MEMORY = -2,  // no buffer for the details: end the search at once with 0
  INTERFACE_ERROR = -3       // the list could not be read at this index: the search ends with
                             // what it has, but the list's end was not seen
};

// One back end per platform (SetupAPI and DeviceIoControl on Windows, a simulated device in tests
// and in the simulated build). The device classes call it; nothing above them sees it.
class CDevicePlatform {
 public:
  virtual ~CDevicePlatform() = default;
  // Takes a snapshot of the present disk interfaces; false when none can be had.
  virtual bool BeginInterfaceList() = 0;
  // Copies the path of interface `index` of the snapshot into path (capacity units, cut to fit
  // and terminated). See InterfacePathResult.
  virtual int InterfacePath(int index, WChar* path, int capacity) = 0;
  // Releases the snapshot; called once after every successful BeginInterfaceList.
  virtual void EndInterfaceList() = 0;
  // Opens the path with no access and closes it again; true when the open worked.
  virtual bool Probe(const WChar* path) = 0;
  // Opens the path for reading and writing; INVALID_DEVICE_HANDLE on failure.
  virtual DeviceHandle OpenReadWrite(const WChar* path) = 0;
  // Sends one request block on `handle`, blocking until it completes; nonzero on success. The
  // platform may write back into the block.
  virtual int DeviceIo(DeviceHandle handle, ScsiRequest* request) = 0;
  // Cancels pending I/O on the handle and closes it.
  virtual void CloseHandle(DeviceHandle handle) = 0;
};

// The back end this build was made with: the real device on Windows, the simulated device in the
// simulated build, and one that finds nothing on the native build (tests install their own).
CDevicePlatform* DefaultDevicePlatform();
