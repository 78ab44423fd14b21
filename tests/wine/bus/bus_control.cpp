// tolvarin-bus: installs the test bus driver, plugs and unplugs its child disks, and answers their
// pass-through requests with the project's simulated device on state files (tests under Wine).
//
//   tolvarin-bus install      installs and starts the driver service (once per Wine session)
//   tolvarin-bus session DIR  reads commands on stdin, one a line; answers each "ok" or "error ..."
//     plug VENDOR PRODUCT REVISION INSTANCE
//                             a child disk under the program's interface class, its device the
//                             state file DIR\INSTANCE.state (none there: its requests fail);
//                             waits until SetupAPI lists it
//     unplug INSTANCE|*       unplugs, saves the device into its state file, waits until unlisted
//     serve                   answers requests from now on (before this the bus has no helper)
//     list                    the listed interface paths, a line each in enumeration order
//     read-info INSTANCE      the disk's information page in hex, read with a 32-bit caller's
//                             request block
// A device's state file is read when it is plugged and written when it is unplugged; a session's
// disks go away with it (the driver unplugs them when its handle closes).
#include <windows.h>
// windows.h first: SetupAPI and the driver headers build on its types.
#include <setupapi.h>
#include <winioctl.h>
// winioctl.h first: ntddscsi.h builds its control codes from it.
#include <ntddscsi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus_protocol.h"
#include "device/disk_interface_win32.h"
#include "device/scsi_request.h"
#include "device/sim_device.h"

static_assert(sizeof(BusBlock) == sizeof(ScsiRequest) &&
                  offsetof(BusBlock, sense) == offsetof(ScsiRequest, sense) &&
                  offsetof(BusBlock, data) == offsetof(ScsiRequest, data) &&
                  offsetof(BusHeader32, cdb) == offsetof(ScsiRequest, cdb),
              "the bus hands over the program's own request block");

namespace {

constexpr DWORD LISTING_TIMEOUT_MS = 5000;

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

void CopyId(wchar_t* to, const std::wstring& from) {
  lstrcpynW(to, from.c_str(), BUS_ID_UNITS);
}

HANDLE OpenBus() {
  return CreateFileW(BUS_USER_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

std::string LastError(const char* what) {
  return std::string("error ") + what + " " + std::to_string(GetLastError());
}

// The 64-bit driver wherever the system is 64-bit (a 32-bit exe under WoW64 included).
std::wstring DriverFile() {
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  bool wide = sizeof(void*) == 8 || wow64;
  wchar_t exe[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe, n);
  path.resize(path.rfind(L'\\') + 1);
  return path + (wide ? L"tolvarin-bus-x86_64.sys" : L"tolvarin-bus-i686.sys");
}

int Install() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return std::puts(LastError("OpenSCManager").c_str()), 1;
  std::wstring image = L"\\??\\" + DriverFile();
  SC_HANDLE service =
      CreateServiceW(manager, BUS_SERVICE_NAME, BUS_SERVICE_NAME, SERVICE_ALL_ACCESS,
                     SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
    service = OpenServiceW(manager, BUS_SERVICE_NAME, SERVICE_ALL_ACCESS);
    // The build folder may have moved since the prefix last saw it.
    if (service != nullptr)
      ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                           image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  if (service == nullptr) return std::puts(LastError("CreateService").c_str()), 1;
  if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return std::puts(LastError("StartService").c_str()), 1;
  for (DWORD waited = 0; waited < LISTING_TIMEOUT_MS; waited += 50) {
    HANDLE bus = OpenBus();
    if (bus != INVALID_HANDLE_VALUE) {
      CloseHandle(bus);
      return std::puts("ok"), 0;
    }
    Sleep(50);
  }
  return std::puts(LastError("open bus").c_str()), 1;
}

// The interface paths SetupAPI lists under the program's class, in its order.
std::vector<std::wstring> ListInterfaces() {
  std::vector<std::wstring> paths;
  HDEVINFO set = SetupDiGetClassDevsW(&CDROM_INTERFACE_CLASS, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA record = {};
  record.cbSize = sizeof record;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &CDROM_INTERFACE_CLASS, i, &record);
       ++i) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &record, nullptr, 0, &required, nullptr);
    std::vector<uint8_t> buffer(required + sizeof(wchar_t));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailW(set, &record, detail, required, nullptr, nullptr))
      paths.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

// The listed path of a child; empty when it is not listed.
std::wstring InterfacePath(const std::wstring& instance) {
  std::wstring part = L"#" + instance + L"#";
  CharLowerW(&part[0]);
  for (const std::wstring& path : ListInterfaces())
    if (path.find(part) != std::wstring::npos) return path;
  return {};
}

bool Listed(const std::wstring& instance) {
  return !InterfacePath(instance).empty();
}

// The program's own request block, 44-byte header first, as the i686 program sends it. Sent from
// a 64-bit process it reaches the same driver code: the driver tells layouts apart by the length.
std::string ReadInfo(const std::string& instance) {
  std::wstring path = InterfacePath(Wide(instance));
  if (path.empty()) return "error not listed";
  HANDLE disk = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (disk == INVALID_HANDLE_VALUE) return LastError("open");
  ScsiRequest request = {};
  FillReadRequest(&request, INFO_PAGE_ADDRESS);
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH, &request, sizeof request, &request,
                            sizeof request, &returned, nullptr);
  CloseHandle(disk);
  if (!ok) return LastError("read");
  if (request.dataTransferLength != PAGE_SIZE) return "error length";
  for (uint8_t byte : request.data) std::printf("%02x", byte);
  std::printf("\n");
  return "ok";
}

bool WaitListed(const std::wstring& instance, bool listed) {
  for (DWORD waited = 0; waited < LISTING_TIMEOUT_MS; waited += 20) {
    if (Listed(instance) == listed) return true;
    Sleep(20);
  }
  return false;
}

// The session: the devices of the plugged children that have a state file, by instance ID.
struct Session {
  std::wstring folder;
  HANDLE bus;
  std::mutex mutex;
  std::set<std::wstring> plugged;
  std::map<std::wstring, CSimDevice> devices;

  std::string StatePath(const std::wstring& instance) const {
    return Narrow(folder + L"\\" + instance + L".state");
  }

  std::string Plug(std::istringstream& words) {
    std::string vendor, product, revision, instance;
    if (!(words >> vendor >> product >> revision >> instance)) return "error usage";
    BusPlug plug = {};
    static_assert(sizeof plug.interfaceClass == sizeof(GUID), "a GUID");
    std::memcpy(plug.interfaceClass, &CDROM_INTERFACE_CLASS, sizeof(GUID));
    CopyId(plug.deviceId,
           Wide("USBSTOR\\Disk&Ven_" + vendor + "&Prod_" + product + "&Rev_" + revision));
    CopyId(plug.instanceId, Wide(instance));
    {
      std::lock_guard<std::mutex> lock(mutex);
      CSimDevice device;
      if (device.Load(StatePath(Wide(instance)))) devices[Wide(instance)] = std::move(device);
      plugged.insert(Wide(instance));
    }
    DWORD returned = 0;
    if (!DeviceIoControl(bus, BUS_IOCTL_PLUG, &plug, sizeof plug, nullptr, 0, &returned, nullptr))
      return LastError("plug");
    return WaitListed(Wide(instance), true) ? "ok" : "error not listed";
  }

  std::string Unplug(const std::string& which) {
    BusUnplug unplug = {};
    if (which != "*") CopyId(unplug.instanceId, Wide(which));
    std::vector<std::wstring> gone;
    {
      std::lock_guard<std::mutex> lock(mutex);
      DWORD returned = 0;
      if (!DeviceIoControl(bus, BUS_IOCTL_UNPLUG, &unplug, sizeof unplug, nullptr, 0, &returned,
                           nullptr))
        return LastError("unplug");
      // Nothing reaches these devices from here on: what they hold now is what their files keep.
      for (auto it = plugged.begin(); it != plugged.end();) {
        if (which != "*" && *it != Wide(which)) {
          ++it;
          continue;
        }
        auto device = devices.find(*it);
        if (device != devices.end()) {
          if (!device->second.Save(StatePath(*it))) return "error save";
          devices.erase(device);
        }
        gone.push_back(*it);
        it = plugged.erase(it);
      }
    }
    for (const std::wstring& instance : gone)
      if (!WaitListed(instance, false)) return "error still listed";
    return "ok";
  }

  // One request at a time, each on its own child's device; a child without one fails it.
  void Serve(HANDLE serving) {
    BusAnswer answer = {};
    BusRequest request;
    DWORD returned = 0;
    while (DeviceIoControl(serving, BUS_IOCTL_SERVE, &answer, sizeof answer, &request,
                           sizeof request, &returned, nullptr)) {
      answer = {};
      answer.tag = request.tag;
      std::lock_guard<std::mutex> lock(mutex);
      auto it = devices.find(request.instanceId);
      if (it == devices.end()) continue;
      ScsiRequest block;
      std::memcpy(&block, &request.block, sizeof block);
      answer.ok = it->second.HandleRequest(&block) != 0;
      std::memcpy(&answer.block, &block, sizeof block);
    }
    std::fprintf(stderr, "serving ended: %lu\n", GetLastError());
  }
};

int RunSession(const wchar_t* folder) {
  // Never destroyed: the serving thread may still be using it when the process ends.
  Session& session = *new Session;
  session.folder = folder;
  session.bus = OpenBus();
  if (session.bus == INVALID_HANDLE_VALUE) return std::puts(LastError("open bus").c_str()), 1;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command, answer;
    words >> command;
    if (command == "plug") {
      answer = session.Plug(words);
    } else if (command == "unplug") {
      std::string instance;
      answer = words >> instance ? session.Unplug(instance) : "error usage";
    } else if (command == "serve") {
      // A handle of its own: the serve call waits in the driver while commands go on.
      HANDLE serving = OpenBus();
      answer = serving == INVALID_HANDLE_VALUE ? LastError("open bus") : "ok";
      if (serving != INVALID_HANDLE_VALUE)
        std::thread([&session, serving] { session.Serve(serving); }).detach();
    } else if (command == "read-info") {
      std::string instance;
      answer = words >> instance ? ReadInfo(instance) : "error usage";
    } else if (command == "list") {
      for (const std::wstring& path : ListInterfaces()) std::printf("%s\n", Narrow(path).c_str());
      answer = "ok";
    } else {
      answer = "error unknown command " + command;
    }
    std::printf("%s\n", answer.c_str());
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"install") return Install();
  if (command == L"session" && argc > 2) return RunSession(argv[2]);
  std::fputs("usage: tolvarin-bus install | session DIR\n", stderr);
  return 2;
}
