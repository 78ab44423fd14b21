// The Linux device back end: SCSI generic devices on USB found through libudev, requests sent with
// the SG_IO ioctl. The kernel and libudev calls sit behind two small seams so tests can fake them.
#pragma once

#include <scsi/sg.h>

#include <string>
#include <vector>

#include "device/device_platform.h"

// One SCSI generic device on a USB bus, as the enumeration reports it. vendor, model and revision
// are the SCSI inquiry fields as sysfs gives them (padded with spaces).
struct ScsiGenericDevice {
  std::string node;     // "/dev/sg2"
  std::string syspath;  // the sysfs path, which the removal watch compares
  std::string vendor, model, revision;
};

// The enumeration seam: the SCSI generic devices present on USB, in the system's order.
class CScsiGenericSource {
 public:
  virtual ~CScsiGenericSource() = default;
  // Fills `devices` (cleared first); false when the list cannot be had at all.
  virtual bool List(std::vector<ScsiGenericDevice>* devices) = 0;
};

// The kernel seam: open, the SG_IO ioctl and close, with the kernel's results (-1 and errno);
// the state sysfs gives the SCSI device of a SCSI generic device ("running", "cancel"...; empty
// once the device is gone from sysfs); the monotonic clock and the pause between two questions
// about it.
class CScsiPassThrough {
 public:
  virtual ~CScsiPassThrough() = default;
  virtual int Open(const char* node, int flags) = 0;
  virtual int SgIo(int fd, sg_io_hdr_t* io) = 0;
  virtual void Close(int fd) = 0;
  virtual std::string DeviceState(const std::string& syspath) = 0;
  virtual long long Milliseconds() = 0;
  virtual void Pause(int milliseconds) = 0;
};

// The Windows-style interface path of a device, as the USB storage driver forms it:
// "\\?\usbstor#disk&ven_<vendor>&prod_<model>&rev_<rev>#<sg name>#{disk class}", each field cut of
// its trailing spaces, in lower case, with spaces and unprintable characters as '_'. Written into
// path (capacity units, cut and terminated).
void LinuxInterfacePath(const ScsiGenericDevice& device, WChar* path, int capacity);

// Fills `io` for one request block: the CDB, the direction, the transfer length (the data area at
// most), the time-out in milliseconds, and the block's own sense and data areas as the buffers,
// so the kernel fills them back in place. false when the block asks for something it cannot hold
// (a transfer beyond its data area or a CDB beyond 16 bytes): nothing is then sent.
bool FillSgIo(ScsiRequest* request, sg_io_hdr_t* io);

// What the request's result means, as on Windows: 0 when the ioctl failed or the transport did
// (host status, or a driver status other than sense); nonzero otherwise, a check condition
// included. Copies the SCSI status into the block.
int SgIoResult(int ioctlResult, const sg_io_hdr_t& io, ScsiRequest* request);

// The back end over the two seams. Interface indexes and paths refer to the snapshot the last
// BeginInterfaceList took; Probe opens the node with O_PATH (no access, like Windows' access 0),
// OpenReadWrite with O_RDWR. The handle is the file descriptor.
class CLinuxDevicePlatform : public CDevicePlatform {
 public:
  CLinuxDevicePlatform(CScsiGenericSource* source, CScsiPassThrough* kernel)
      : source(source), kernel(kernel) {}

  bool BeginInterfaceList() override;
  int InterfacePath(int index, WChar* path, int capacity) override;
  void EndInterfaceList() override {}
  bool Probe(const WChar* path) override;
  DeviceHandle OpenReadWrite(const WChar* path) override;
  int DeviceIo(DeviceHandle handle, ScsiRequest* request) override;
  void CloseHandle(DeviceHandle handle) override;

  // The device opened last (empty syspath when none), for the removal watch.
  ScsiGenericDevice opened;
  // errno of the last failed read-write open (0 after a good one) and the node it named.
  int openError = 0;
  std::string openErrorNode;
  // Called from DeviceIo when a request failed because the device has gone (DeviceLeft), which
  // the kernel knows before udev's removal event; null: nobody is told and nothing is asked. The
  // request still fails as usual when it returns.
  void (*onDetached)() = nullptr;

  // After a request on `fd` failed (error: its errno, 0 when the ioctl itself succeeded), whether
  // the opened device has gone. The kernel fails requests from the moment the device is pulled
  // but takes it away only once its hub driver has noticed, so this waits for a verdict: the
  // kernel refusing the node (ENODEV) or taking the SCSI device away (true), or the device
  // answering a TEST UNIT READY (false: the failure was its own). Without either within
  // DETACH_WAIT_MS the device counts as there and is not waited for again until reopened.
  bool DeviceLeft(int fd, int error);

 private:
  const ScsiGenericDevice* Find(const WChar* path) const;

  CScsiGenericSource* source;
  CScsiPassThrough* kernel;
  std::vector<ScsiGenericDevice> snapshot;
  bool unresponsive = false;  // DeviceLeft found no verdict for the opened device
};

// How long DeviceLeft asks, and how often.
constexpr int DETACH_WAIT_MS = 5000;
constexpr int DETACH_POLL_MS = 50;

// The build's back end as its concrete type (the same object DefaultDevicePlatform returns).
CLinuxDevicePlatform* LinuxDevicePlatform();

// Watches udev for the removal of `syspath` and calls onRemoved from the watch's own thread when it
// goes. false when no watch can be started (no udev).
bool WatchScsiGenericRemoval(const std::string& syspath, void (*onRemoved)());
