// The test USB disk: a FunctionFS bulk-only mass-storage function whose vendor commands are
// answered by the simulated device on a state file. Runs inside the test guest.
//
//   tolvarin-usb-gadget --ffs DIR --state FILE --vendor V --product P --revision R
//
// DIR is a mounted functionfs instance. Prints READY once the function's descriptors are written
// (the gadget may then be bound to a UDC), and saves the state file when the function is unbound
// (the disk unplugged) or the process is told to end; then exits.
//
// Standard SCSI commands are answered as a card reader without a card: INQUIRY with the given
// fields, every media command "not ready, medium not present", so that the disk driver reads no
// partitions. A request the model fails ends in a phase error: the host resets the port and
// reports a transport error, which is how a failing device reaches the program.
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/scsi_request.h"
#include "device/sim_device.h"

namespace {

constexpr uint32_t CBW_SIGNATURE = 0x43425355;  // "USBC"
constexpr uint32_t CSW_SIGNATURE = 0x53425355;  // "USBS"
constexpr size_t CBW_SIZE = 31;
constexpr uint8_t CSW_PASSED = 0, CSW_FAILED = 1, CSW_PHASE_ERROR = 2;
constexpr uint8_t MASS_STORAGE_RESET = 0xFF, GET_MAX_LUN = 0xFE;
// Data the host may send with a command the disk does not take, read and dropped.
constexpr size_t MAX_TRANSFER = 64 * 1024;

struct Gadget {
  std::mutex lock;  // the device and its file, between the command loop and the unplug
  CSimDevice device;
  std::string state;
  int in = -1, out = -1;
  std::string vendor, product, revision;
  uint8_t senseKey = 0, asc = 0;  // what the next REQUEST SENSE reports
};

Gadget g_gadget;

void Put16(std::vector<uint8_t>* b, uint16_t v) {
  b->push_back(static_cast<uint8_t>(v));
  b->push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>* b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v));
  Put16(b, static_cast<uint16_t>(v >> 16));
}

uint32_t Get32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// One interface of class mass storage, SCSI, bulk-only, with a bulk IN and a bulk OUT endpoint.
void PutInterface(std::vector<uint8_t>* b, uint16_t maxPacket) {
  const uint8_t interface[] = {
      USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, 0x08, 0x06, 0x50, 1};
  b->insert(b->end(), interface, interface + sizeof interface);
  for (uint8_t address : {uint8_t{1 | USB_DIR_IN}, uint8_t{2 | USB_DIR_OUT}}) {
    const uint8_t endpoint[] = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address,
                                USB_ENDPOINT_XFER_BULK};
    b->insert(b->end(), endpoint, endpoint + sizeof endpoint);
    Put16(b, maxPacket);
    b->push_back(0);
  }
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// Full- and high-speed descriptors and the interface's name, into ep0.
bool WriteDescriptors(int ep0) {
  std::vector<uint8_t> d;
  Put32(&d, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  Put32(&d, 0);  // length, filled in below
  Put32(&d, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  Put32(&d, 3);
  Put32(&d, 3);
  PutInterface(&d, 64);
  PutInterface(&d, 512);
  uint32_t length = static_cast<uint32_t>(d.size());
  std::memcpy(d.data() + 4, &length, 4);

  const char name[] = "Tolvarin test disk";
  std::vector<uint8_t> s;
  Put32(&s, FUNCTIONFS_STRINGS_MAGIC);
  Put32(&s, static_cast<uint32_t>(16 + 2 + sizeof name));
  Put32(&s, 1);
  Put32(&s, 1);
  Put16(&s, 0x0409);
  s.insert(s.end(), name, name + sizeof name);
  return WriteAll(ep0, d) && WriteAll(ep0, s);
}

// Saves the device as it is and ends the process; the command loop is held off meanwhile.
[[noreturn]] void SaveAndExit(const char* why) {
  g_gadget.lock.lock();
  bool saved = g_gadget.device.Save(g_gadget.state);
  std::fprintf(stderr, "gadget: %s, %llu requests, state %s\n", why,
               static_cast<unsigned long long>(g_gadget.device.requestCount),
               saved ? "saved" : "NOT SAVED");
  _exit(saved ? 0 : 1);
}

// Control requests and the function's life: the class requests of bulk-only transport are
// answered, every other request is stalled; unbinding is the unplug.
void ControlLoop(int ep0) {
  usb_functionfs_event events[4];
  for (;;) {
    ssize_t n = read(ep0, events, sizeof events);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) SaveAndExit("control endpoint closed");
    for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof events[0]); ++i) {
      const usb_functionfs_event& e = events[i];
      if (e.type == FUNCTIONFS_UNBIND) SaveAndExit("unplugged");
      if (e.type == FUNCTIONFS_ENABLE) std::fprintf(stderr, "gadget: configured\n");
      if (e.type != FUNCTIONFS_SETUP) continue;
      const usb_ctrlrequest& r = e.u.setup;
      bool in = r.bRequestType & USB_DIR_IN;
      bool ok = false;
      if ((r.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS) {
        if (r.bRequest == GET_MAX_LUN && in) {
          uint8_t lun = 0;
          ok = write(ep0, &lun, 1) == 1;
        } else if (r.bRequest == MASS_STORAGE_RESET && !in) {
          ok = read(ep0, nullptr, 0) == 0;
        }
      }
      // A transfer in the wrong direction is how FunctionFS stalls a request.
      if (!ok && in) (void)!read(ep0, nullptr, 0);
      if (!ok && !in) (void)!write(ep0, nullptr, 0);
    }
  }
}

// Reads up to `length` bytes of one transfer; -1 when the transfer was cut (reset, unplug).
ssize_t Receive(uint8_t* data, size_t length) {
  ssize_t n;
  do n = read(g_gadget.out, data, length);
  while (n < 0 && errno == EINTR);
  return n;
}

bool Send(const uint8_t* data, size_t length) {
  ssize_t n;
  do n = write(g_gadget.in, data, length);
  while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(length);
}

void SendStatus(uint32_t tag, uint32_t residue, uint8_t status) {
  std::vector<uint8_t> csw;
  Put32(&csw, CSW_SIGNATURE);
  Put32(&csw, tag);
  Put32(&csw, residue);
  csw.push_back(status);
  Send(csw.data(), csw.size());
}

// A SCSI text field: the given text, cut or padded with spaces to `width`.
void PutField(uint8_t* out, const std::string& text, size_t width) {
  std::memset(out, ' ', width);
  std::memcpy(out, text.data(), text.size() < width ? text.size() : width);
}

// The vendor commands go to the model; its answer decides the status.
uint8_t VendorCommand(bool in, const uint8_t* cb, uint8_t cbLength, uint32_t length,
                      std::vector<uint8_t>* data) {
  ScsiRequest request;
  std::memset(&request, 0, sizeof request);
  if (in)
    FillReadRequest(&request, 0);
  else
    FillWriteRequest(&request, 0);
  request.cdbLength = cbLength;
  std::memcpy(request.cdb, cb, sizeof request.cdb);
  request.dataTransferLength = length;
  if (!in) std::memcpy(request.data, data->data(), std::min(data->size(), size_t{PAGE_SIZE}));
  int ok;
  {
    std::lock_guard<std::mutex> hold(g_gadget.lock);
    ok = g_gadget.device.HandleRequest(&request);
  }
  if (in && ok && length == PAGE_SIZE) data->assign(request.data, request.data + PAGE_SIZE);
  if (!ok) std::fprintf(stderr, "gadget: request failed, phase error\n");
  return ok ? CSW_PASSED : CSW_PHASE_ERROR;
}

// The standard commands of a card reader without a card.
uint8_t StandardCommand(const uint8_t* cb, std::vector<uint8_t>* data) {
  switch (cb[0]) {
    case 0x12:  // INQUIRY; no vital product data pages
      if (cb[1] & 1) break;
      data->assign(36, 0);
      (*data)[1] = 0x80;  // removable
      (*data)[2] = 0x02;
      (*data)[3] = 0x02;
      (*data)[4] = 31;
      PutField(data->data() + 8, g_gadget.vendor, 8);
      PutField(data->data() + 16, g_gadget.product, 16);
      PutField(data->data() + 32, g_gadget.revision, 4);
      if (cb[4] < data->size()) data->resize(cb[4]);
      return CSW_PASSED;
    case 0x03:  // REQUEST SENSE: fixed format, then cleared
      data->assign(18, 0);
      (*data)[0] = 0x70;
      (*data)[2] = g_gadget.senseKey;
      (*data)[7] = 10;
      (*data)[12] = g_gadget.asc;
      if (cb[4] < data->size()) data->resize(cb[4]);
      g_gadget.senseKey = g_gadget.asc = 0;
      return CSW_PASSED;
  }
  data->clear();
  g_gadget.senseKey = 0x02;  // not ready: medium not present
  g_gadget.asc = 0x3A;
  return CSW_FAILED;
}

// Bulk-only transport: command block, data, status. A cut transfer (the host resetting the port,
// or the unplug) starts over at the next command block.
void CommandLoop() {
  std::vector<uint8_t> cbw(512), data;
  for (;;) {
    ssize_t n = Receive(cbw.data(), cbw.size());
    if (n < 0) continue;
    if (static_cast<size_t>(n) != CBW_SIZE || Get32(cbw.data()) != CBW_SIGNATURE) {
      std::fprintf(stderr, "gadget: %zd bytes that are no command block\n", n);
      continue;
    }
    uint32_t tag = Get32(&cbw[4]), length = Get32(&cbw[8]);
    bool in = cbw[12] & 0x80;
    uint8_t cbLength = cbw[14];
    const uint8_t* cb = &cbw[15];
    data.clear();
    if (!in && length > 0) {
      data.resize(length < MAX_TRANSFER ? length : MAX_TRANSFER);
      n = Receive(data.data(), data.size());
      if (n < 0) continue;
      data.resize(static_cast<size_t>(n));
    }
    // The vendor read shares READ(10)'s operation code; its 12-byte block and 0xA0 tell it apart.
    bool vendor = cb[0] == CDB_OP_WRITE ||
                  (cb[0] == CDB_OP_READ && cbLength == SCSI_CDB_LENGTH && cb[1] == 0xA0);
    uint8_t status =
        vendor ? VendorCommand(in, cb, cbLength, length, &data) : StandardCommand(cb, &data);
    uint32_t residue = length;
    if (in && length > 0) {
      if (data.size() > length) data.resize(length);
      // A short answer ends with a short (or empty) packet.
      if (!Send(data.data(), data.size())) continue;
      residue = length - static_cast<uint32_t>(data.size());
    } else if (!in) {
      residue = length - static_cast<uint32_t>(data.size() < length ? data.size() : length);
    }
    SendStatus(tag, residue, status);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string ffs;
  CLI::App app("The test USB disk on FunctionFS, answered by the simulated device");
  app.add_option("--ffs", ffs, "mounted functionfs folder")->required();
  app.add_option("--state", g_gadget.state, "simulated device state file")->required();
  app.add_option("--vendor", g_gadget.vendor, "INQUIRY vendor (8 characters)")->required();
  app.add_option("--product", g_gadget.product, "INQUIRY product (16 characters)")->required();
  app.add_option("--revision", g_gadget.revision, "INQUIRY revision (4 characters)")->required();
  CLI11_PARSE(app, argc, argv);
  if (!g_gadget.device.Load(g_gadget.state)) {
    std::fprintf(stderr, "gadget: cannot load %s\n", g_gadget.state.c_str());
    return 1;
  }
  // Ending signals are taken by a thread of their own, which saves the device first.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGINT);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);

  int ep0 = open((ffs + "/ep0").c_str(), O_RDWR);
  if (ep0 < 0 || !WriteDescriptors(ep0)) {
    std::fprintf(stderr, "gadget: cannot set up %s: %s\n", ffs.c_str(), std::strerror(errno));
    return 1;
  }
  g_gadget.in = open((ffs + "/ep1").c_str(), O_RDWR);
  g_gadget.out = open((ffs + "/ep2").c_str(), O_RDWR);
  if (g_gadget.in < 0 || g_gadget.out < 0) {
    std::fprintf(stderr, "gadget: no endpoints in %s\n", ffs.c_str());
    return 1;
  }
  std::thread([ending] {
    int signal = 0;
    sigwait(&ending, &signal);
    SaveAndExit("ended");
  }).detach();
  std::thread([ep0] { ControlLoop(ep0); }).detach();
  std::printf("READY\n");
  std::fflush(stdout);
  CommandLoop();
}
