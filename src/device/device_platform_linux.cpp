// The Linux device back end: libudev enumeration of SCSI generic devices on USB, SG_IO requests,
// and the udev removal watch.
#include "device/device_platform_linux.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

// Driver status values of the SG_IO header (the kernel's, not exported by <scsi/sg.h>): the low
// nibble is the status, the high one a suggestion.
constexpr unsigned SG_DRIVER_STATUS_MASK = 0x0f;
constexpr unsigned SG_DRIVER_SENSE = 0x08;

// The probe of DeviceLeft: TEST UNIT READY, which any storage device answers (with sense, when it
// has no medium), briefly.
constexpr uint8_t CDB_TEST_UNIT_READY_LENGTH = 6;
constexpr uint32_t PROBE_TIMEOUT_SECONDS = 2;

// The disk interface class Windows names the device by; the path keeps its shape.
constexpr char PATH_PREFIX[] = "\\\\?\\usbstor#disk&ven_";
constexpr char PATH_SUFFIX[] = "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

// Appends one inquiry field the way the USB storage driver writes it into a device id.
void AppendField(std::string* out, const std::string& field) {
  size_t end = field.find_last_not_of(' ');
  if (end == std::string::npos) return;
  for (size_t i = 0; i <= end; ++i) {
    unsigned char c = static_cast<unsigned char>(field[i]);
    if (c <= ' ' || c > '~' || c == ',' || c == '#' || c == '&')
      c = '_';
    else if (c >= 'A' && c <= 'Z')
      c = static_cast<unsigned char>(c - 'A' + 'a');
    out->push_back(static_cast<char>(c));
  }
}

std::string BaseName(const std::string& node) {
  size_t slash = node.rfind('/');
  return slash == std::string::npos ? node : node.substr(slash + 1);
}

// The real enumeration: libudev's scsi_generic devices that have a USB device above them.
class CUdevSource : public CScsiGenericSource {
 public:
  bool List(std::vector<ScsiGenericDevice>* devices) override {
    devices->clear();
    udev* context = udev_new();
    if (context == nullptr) return false;
    udev_enumerate* enumeration = udev_enumerate_new(context);
    bool ok = enumeration != nullptr &&
              udev_enumerate_add_match_subsystem(enumeration, "scsi_generic") >= 0 &&
              udev_enumerate_scan_devices(enumeration) >= 0;
    udev_list_entry* entry = nullptr;
    if (ok) {
      udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration)) {
        udev_device* device =
            udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        if (device == nullptr) continue;
        Add(device, devices);
        udev_device_unref(device);
      }
    }
    if (enumeration != nullptr) udev_enumerate_unref(enumeration);
    udev_unref(context);
    return ok;
  }

 private:
  static void Add(udev_device* device, std::vector<ScsiGenericDevice>* devices) {
    // Parents belong to the child: they are not released here.
    const char* node = udev_device_get_devnode(device);
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    udev_device* scsi =
        udev_device_get_parent_with_subsystem_devtype(device, "scsi", "scsi_device");
    if (node == nullptr || usb == nullptr || scsi == nullptr) return;
    auto attribute = [scsi](const char* name) {
      const char* value = udev_device_get_sysattr_value(scsi, name);
      return std::string(value != nullptr ? value : "");
    };
    devices->push_back({node, udev_device_get_syspath(device), attribute("vendor"),
                        attribute("model"), attribute("rev")});
  }
};

class CKernelPassThrough : public CScsiPassThrough {
 public:
  int Open(const char* node, int flags) override { return ::open(node, flags | O_CLOEXEC); }
  int SgIo(int fd, sg_io_hdr_t* io) override { return ::ioctl(fd, SG_IO, io); }
  void Close(int fd) override { ::close(fd); }
  std::string DeviceState(const std::string& syspath) override {
    std::ifstream file(syspath + "/device/state");
    std::string state;
    std::getline(file, state);
    return file ? state : std::string();
  }
  long long Milliseconds() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  void Pause(int milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

}  // namespace

void LinuxInterfacePath(const ScsiGenericDevice& device, WChar* path, int capacity) {
  std::string text = PATH_PREFIX;
  AppendField(&text, device.vendor);
  text += "&prod_";
  AppendField(&text, device.model);
  text += "&rev_";
  AppendField(&text, device.revision);
  text += "#";
  AppendField(&text, BaseName(device.node));
  text += PATH_SUFFIX;
  // Every byte is ASCII by now, so each one is one UTF-16 unit.
  int n = 0;
  for (; n + 1 < capacity && n < static_cast<int>(text.size()); ++n)
    path[n] = static_cast<WChar>(static_cast<unsigned char>(text[n]));
  if (capacity > 0) path[n] = 0;
}

bool FillSgIo(ScsiRequest* request, sg_io_hdr_t* io) {
  std::memset(io, 0, sizeof *io);
  if (request->dataTransferLength > sizeof request->data || request->cdbLength == 0 ||
      request->cdbLength > sizeof request->cdb)
    return false;
  io->interface_id = 'S';
  if (request->dataTransferLength == 0)
    io->dxfer_direction = SG_DXFER_NONE;
  else
    io->dxfer_direction = request->dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  io->cmd_len = request->cdbLength;
  io->cmdp = request->cdb;
  io->mx_sb_len = request->senseInfoLength < sizeof request->sense
                      ? request->senseInfoLength
                      : static_cast<unsigned char>(sizeof request->sense);
  io->sbp = request->sense;
  io->dxfer_len = request->dataTransferLength;
  io->dxferp = io->dxfer_len != 0 ? request->data : nullptr;
  io->timeout = request->timeOutValue * 1000u;
  return true;
}

int SgIoResult(int ioctlResult, const sg_io_hdr_t& io, ScsiRequest* request) {
  if (ioctlResult < 0) return 0;
  request->scsiStatus = io.status;
  if (io.host_status != 0) return 0;
  unsigned driver = io.driver_status & SG_DRIVER_STATUS_MASK;
  // Sense data is the device answering, not the transport failing: a check condition counts as a
  // completed request, as DeviceIoControl reports it on Windows.
  return driver == 0 || driver == SG_DRIVER_SENSE ? 1 : 0;
}

bool CLinuxDevicePlatform::BeginInterfaceList() {
  return source->List(&snapshot);
}

int CLinuxDevicePlatform::InterfacePath(int index, WChar* path, int capacity) {
  if (index < 0 || index >= static_cast<int>(snapshot.size())) return INTERFACE_END;
  LinuxInterfacePath(snapshot[index], path, capacity);
  return INTERFACE_OK;
}

const ScsiGenericDevice* CLinuxDevicePlatform::Find(const WChar* path) const {
  WChar listed[DEVICE_PATH_CAPACITY];
  for (const ScsiGenericDevice& device : snapshot) {
    LinuxInterfacePath(device, listed, DEVICE_PATH_CAPACITY);
    if (TextEquals(listed, path)) return &device;
  }
  return nullptr;
}

bool CLinuxDevicePlatform::Probe(const WChar* path) {
  const ScsiGenericDevice* device = Find(path);
  if (device == nullptr) return false;
  int fd = kernel->Open(device->node.c_str(), O_PATH);
  if (fd < 0) return false;
  kernel->Close(fd);
  return true;
}

DeviceHandle CLinuxDevicePlatform::OpenReadWrite(const WChar* path) {
  const ScsiGenericDevice* device = Find(path);
  if (device == nullptr) return INVALID_DEVICE_HANDLE;
  // O_NONBLOCK only keeps the open from waiting for another user's exclusive open; SG_IO itself
  // always blocks until the request completes.
  int fd = kernel->Open(device->node.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    openError = errno;
    openErrorNode = device->node;
    return INVALID_DEVICE_HANDLE;
  }
  openError = 0;
  openErrorNode.clear();
  opened = *device;
  unresponsive = false;
  return fd;
}

int CLinuxDevicePlatform::DeviceIo(DeviceHandle handle, ScsiRequest* request) {
  sg_io_hdr_t io;
  if (!FillSgIo(request, &io)) return 0;
  int fd = static_cast<int>(handle);
  int result = kernel->SgIo(fd, &io);
  int error = result < 0 ? errno : 0;
  int answered = SgIoResult(result, io, request);
  if (!answered && onDetached != nullptr && DeviceLeft(fd, error)) onDetached();
  return answered;
}

bool CLinuxDevicePlatform::DeviceLeft(int fd, int error) {
  // The node refuses requests once the kernel has begun to take the device away.
  if (error == ENODEV) return true;
  if (unresponsive) return false;
  long long deadline = kernel->Milliseconds() + DETACH_WAIT_MS;
  for (;;) {
    // The SCSI device is cancelled at the start of its removal and never runs again.
    std::string state = kernel->DeviceState(opened.syspath);
    if (state.empty() || state == "cancel" || state == "deleted") return true;
    ScsiRequest probe;
    std::memset(&probe, 0, sizeof probe);
    probe.cdbLength = CDB_TEST_UNIT_READY_LENGTH;
    probe.senseInfoLength = sizeof probe.sense;
    probe.timeOutValue = PROBE_TIMEOUT_SECONDS;
    sg_io_hdr_t io;
    FillSgIo(&probe, &io);
    int result = kernel->SgIo(fd, &io);
    if (result < 0 && errno == ENODEV) return true;
    // Any answer, sense included, comes from a device still on the bus.
    if (SgIoResult(result, io, &probe)) return false;
    if (kernel->Milliseconds() >= deadline) break;
    kernel->Pause(DETACH_POLL_MS);
  }
  unresponsive = true;
  return false;
}

void CLinuxDevicePlatform::CloseHandle(DeviceHandle handle) {
  // Nothing is left pending: every request is synchronous, so close is all there is to do.
  kernel->Close(static_cast<int>(handle));
  opened = ScsiGenericDevice();
}

CLinuxDevicePlatform* LinuxDevicePlatform() {
  static CUdevSource source;
  static CKernelPassThrough kernel;
  static CLinuxDevicePlatform platform(&source, &kernel);
  return &platform;
}

CDevicePlatform* DefaultDevicePlatform() {
  return LinuxDevicePlatform();
}

bool WatchScsiGenericRemoval(const std::string& syspath, void (*onRemoved)()) {
  udev* context = udev_new();
  if (context == nullptr) return false;
  udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
  if (monitor == nullptr ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor, "scsi_generic", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor) < 0) {
    if (monitor != nullptr) udev_monitor_unref(monitor);
    udev_unref(context);
    return false;
  }
  // The monitor and its context live as long as the process, like the thread that reads them.
  std::thread([monitor, syspath, onRemoved] {
    pollfd watched = {udev_monitor_get_fd(monitor), POLLIN, 0};
    for (;;) {
      if (poll(&watched, 1, -1) <= 0) continue;
      udev_device* device = udev_monitor_receive_device(monitor);
      if (device == nullptr) continue;
      const char* action = udev_device_get_action(device);
      const char* path = udev_device_get_syspath(device);
      bool gone = action != nullptr && std::strcmp(action, "remove") == 0 && path != nullptr &&
                  syspath == path;
      udev_device_unref(device);
      if (gone) onRemoved();
    }
  }).detach();
  // A removal between the open and the monitor's start sent no event the monitor could see.
  if (access(syspath.c_str(), F_OK) != 0) onRemoved();
  return true;
}
