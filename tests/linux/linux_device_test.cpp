// The Linux device back end against a fake SG_IO pass-through and a fake udev enumeration: the
// request translation byte for byte, the result mapping, the interface paths and the search rules.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "device/device_platform_linux.h"
#include "device/hid.h"

namespace {

// Host and driver statuses as the kernel reports them.
constexpr unsigned short DID_TIME_OUT = 0x03;
constexpr unsigned short DID_NO_CONNECT = 0x01;
constexpr unsigned short DRIVER_TIMEOUT = 0x06;
constexpr unsigned short DRIVER_SENSE = 0x08;
constexpr unsigned short SUGGEST_RETRY = 0x10;
constexpr unsigned char CHECK_CONDITION = 0x02;

// What one SG_IO call carried, copied while the buffers were valid.
struct SentRequest {
  int fd;
  sg_io_hdr_t io;
  std::vector<uint8_t> cdb;
  std::vector<uint8_t> data;
};

struct Answer {
  int result = 0;
  int error = 0;  // errno when result is negative
  unsigned char status = 0;
  unsigned short host = 0, driver = 0;
  uint8_t fill = 0;  // written into a data-in buffer
  std::vector<uint8_t> sense;
};

class CFakeKernel : public CScsiPassThrough {
 public:
  int Open(const char* node, int flags) override {
    opens.push_back({node, flags});
    for (const std::string& refused : refuse)
      if (refused == node && (flags & O_PATH) == 0) {
        errno = EACCES;
        return -1;
      }
    for (const std::string& missing : absent)
      if (missing == node) {
        errno = ENOENT;
        return -1;
      }
    return nextFd++;
  }
  int SgIo(int fd, sg_io_hdr_t* io) override {
    SentRequest sent{fd, *io, {io->cmdp, io->cmdp + io->cmd_len}, {}};
    if (io->dxfer_direction == SG_DXFER_TO_DEV) {
      auto* data = static_cast<uint8_t*>(io->dxferp);
      sent.data.assign(data, data + io->dxfer_len);
    }
    sent_.push_back(sent);
    Answer answer = answers.empty() ? otherwise : answers.front();
    if (!answers.empty()) answers.erase(answers.begin());
    if (answer.result < 0) {
      errno = answer.error;
      return answer.result;
    }
    if (io->dxfer_direction == SG_DXFER_FROM_DEV)
      std::memset(io->dxferp, answer.fill, io->dxfer_len);
    if (!answer.sense.empty()) std::memcpy(io->sbp, answer.sense.data(), answer.sense.size());
    io->sb_len_wr = static_cast<unsigned char>(answer.sense.size());
    io->status = answer.status;
    io->host_status = answer.host;
    io->driver_status = answer.driver;
    return 0;
  }
  void Close(int fd) override { closed.push_back(fd); }
  // The scripted states one after the other, the last one for good.
  std::string DeviceState(const std::string& syspath) override {
    stateOf = syspath;
    std::string state = states.empty() ? "running" : states.front();
    if (states.size() > 1) states.erase(states.begin());
    return state;
  }
  long long Milliseconds() override { return now; }
  void Pause(int milliseconds) override { now += milliseconds; }

  std::vector<std::pair<std::string, int>> opens;
  std::vector<std::string> refuse, absent;
  std::vector<SentRequest> sent_;
  std::vector<Answer> answers;
  Answer otherwise;  // once answers run out
  std::vector<int> closed;
  std::vector<std::string> states;
  std::string stateOf;
  long long now = 0;
  int nextFd = 10;
};

class CFakeUdev : public CScsiGenericSource {
 public:
  bool List(std::vector<ScsiGenericDevice>* out) override {
    ++listed;
    *out = devices;
    return available;
  }
  std::vector<ScsiGenericDevice> devices;
  bool available = true;
  int listed = 0;
};

const ScsiGenericDevice DETECTOR = {"/dev/sg3", "/sys/class/scsi_generic/sg3", "QUORVEL ",
                                    "482DiskProbeXQ  ", "1.00"};
const ScsiGenericDevice STICK = {"/dev/sg1", "/sys/class/scsi_generic/sg1", "Generic ",
                                 "Flash Disk      ", "8.07"};

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

std::string Utf8Path(const ScsiGenericDevice& device) {
  WChar path[DEVICE_PATH_CAPACITY];
  LinuxInterfacePath(device, path, DEVICE_PATH_CAPACITY);
  std::string out;
  for (const WChar* p = path; *p; ++p) out.push_back(static_cast<char>(*p));
  return out;
}

class LinuxDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { udev.devices = {STICK, DETECTOR}; }
  // An I/O member with the detector found and opened.
  void Open(CHidIO* io) { ASSERT_EQ(io->Search(), 1); }

  CFakeKernel kernel;
  CFakeUdev udev;
  CLinuxDevicePlatform platform{&udev, &kernel};
};

}  // namespace

TEST(LinuxInterfacePath, FormedAsTheUsbStorageDriverFormsIt) {
  EXPECT_EQ(Utf8Path(DETECTOR),
            "\\\\?\\usbstor#disk&ven_quorvel&prod_482diskprobexq&rev_1.00#sg3#"
            "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_EQ(Utf8Path(STICK),
            "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#sg1#"
            "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}");
  // A field cannot add path separators of its own, and bytes outside ASCII become '_'.
  ScsiGenericDevice odd = {"/dev/sg9", "", "A#B&C,D", "M\xc3\xa9", ""};
  EXPECT_EQ(
      Utf8Path(odd),
      "\\\\?\\usbstor#disk&ven_a_b_c_d&prod_m__&rev_#sg9#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}");
  WChar small[20];
  LinuxInterfacePath(DETECTOR, small, 20);
  EXPECT_EQ(TextLength(small), 19) << "cut to the buffer and terminated";
}

TEST_F(LinuxDeviceTest, ReadRequestTranslatesByteForByteAndFillsTheCallerBack) {
  CHidIO io(&platform);
  Open(&io);
  Answer answer;
  answer.fill = 0x5A;
  kernel.answers = {answer};
  uint8_t page[300];
  std::memset(page, 0, sizeof page);
  ASSERT_EQ(io.ReadPages(INFO_PAGE_ADDRESS, page, 256), 1);

  ASSERT_EQ(kernel.sent_.size(), 1u);
  const SentRequest& sent = kernel.sent_[0];
  EXPECT_EQ(sent.fd, io.deviceHandle);
  EXPECT_EQ(sent.io.interface_id, 'S');
  EXPECT_EQ(sent.io.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(sent.cdb,
            Bytes({0x28, 0xA0, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(sent.io.dxfer_len, 256u);
  EXPECT_EQ(sent.io.timeout, 100000u) << "100 s in milliseconds";
  EXPECT_EQ(sent.io.mx_sb_len, 32);
  EXPECT_EQ(page[0], 0x5A);
  EXPECT_EQ(page[255], 0x5A);
  EXPECT_EQ(page[256], 0) << "nothing beyond the asked length";
}

TEST_F(LinuxDeviceTest, WriteAndNoDataRequests) {
  CHidIO io(&platform);
  Open(&io);
  std::vector<uint8_t> source(257);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(io.WritePages(5, source.data(), 257), 1);
  ASSERT_EQ(io.WritePages(CMD_UPDATE_AGAIN, nullptr, 0), 1);

  ASSERT_EQ(kernel.sent_.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    const SentRequest& sent = kernel.sent_[i];
    EXPECT_EQ(sent.io.dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(sent.io.dxfer_len, 256u);
    EXPECT_EQ(sent.cdb, Bytes({0x72, 0, 0, 0, 0, 5 + i, 0, 0, 0x01, 0, 0, 0}));
  }
  EXPECT_EQ(kernel.sent_[0].data[0], 1);
  EXPECT_EQ(kernel.sent_[0].data[255], 0);  // byte 256 of the source, (256 + 1) mod 256
  EXPECT_EQ(kernel.sent_[1].data[0], 1) << "the 257th byte";
  EXPECT_EQ(kernel.sent_[1].data[1], 0) << "then zero padding";

  const SentRequest& command = kernel.sent_[2];
  EXPECT_EQ(command.io.dxfer_direction, SG_DXFER_NONE);
  EXPECT_EQ(command.io.dxfer_len, 0u);
  EXPECT_EQ(command.io.dxferp, nullptr);
  EXPECT_EQ(command.cdb, Bytes({0x72, 0, 0x00, 0x08, 0x00, 0x02, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(command.io.timeout, 100000u);
}

TEST_F(LinuxDeviceTest, ResultMappingAsOnWindows) {
  CHidIO io(&platform);
  Open(&io);
  uint8_t page[256];
  struct Case {
    const char* what;
    Answer answer;
    int expected;
  };
  Answer failedCall;
  failedCall.result = -1;
  Answer timedOut;
  timedOut.host = DID_TIME_OUT;
  Answer noConnect;
  noConnect.host = DID_NO_CONNECT;
  Answer driverTimeout;
  driverTimeout.driver = DRIVER_TIMEOUT;
  Answer checkCondition;
  checkCondition.status = CHECK_CONDITION;
  checkCondition.driver = DRIVER_SENSE;
  checkCondition.sense = {0x70, 0, 0x05};
  Answer senseWithSuggestion;
  senseWithSuggestion.status = CHECK_CONDITION;
  senseWithSuggestion.driver = DRIVER_SENSE | SUGGEST_RETRY;
  Answer busyStatus;
  busyStatus.status = 0x08;
  const Case cases[] = {
      {"the ioctl fails", failedCall, 0},
      {"host status: time-out", timedOut, 0},
      {"host status: no connection", noConnect, 0},
      {"driver status other than sense", driverTimeout, 0},
      {"check condition over a good transport", checkCondition, 1},
      {"sense with a suggestion bit", senseWithSuggestion, 1},
      {"any SCSI status over a good transport", busyStatus, 1},
  };
  for (const Case& c : cases) {
    kernel.answers = {c.answer};
    EXPECT_EQ(io.ReadPages(0, page, 256), c.expected) << c.what;
  }

  // A failure on the second of four pages: the first is sent, nothing after the second.
  kernel.sent_.clear();
  kernel.answers = {Answer(), failedCall, Answer(), Answer()};
  uint8_t four[1024] = {};
  EXPECT_EQ(io.WritePages(0, four, sizeof four), 0);
  EXPECT_EQ(kernel.sent_.size(), 2u);
}

TEST(FillSgIo, UsesTheBlocksOwnAreasAndRefusesWhatTheyCannotHold) {
  ScsiRequest request;
  std::memset(&request, 0, sizeof request);
  FillReadRequest(&request, 7);
  sg_io_hdr_t io;
  ASSERT_TRUE(FillSgIo(&request, &io));
  EXPECT_EQ(io.cmdp, request.cdb);
  EXPECT_EQ(io.sbp, request.sense) << "sense lands in the block's sense area";
  EXPECT_EQ(io.dxferp, request.data) << "data lands in the block's data area";

  io.status = CHECK_CONDITION;
  io.driver_status = DRIVER_SENSE;
  EXPECT_EQ(SgIoResult(0, io, &request), 1);
  EXPECT_EQ(request.scsiStatus, CHECK_CONDITION) << "the status is filled back";

  request.dataTransferLength = 257;
  EXPECT_FALSE(FillSgIo(&request, &io)) << "beyond the data area";
  request.dataTransferLength = 256;
  request.cdbLength = 17;
  EXPECT_FALSE(FillSgIo(&request, &io));
}

TEST_F(LinuxDeviceTest, OversizedRequestNeverReachesTheKernel) {
  ASSERT_TRUE(platform.BeginInterfaceList());
  ScsiRequest request;
  std::memset(&request, 0, sizeof request);
  FillWriteRequest(&request, 0);
  request.dataTransferLength = 4096;
  EXPECT_EQ(platform.DeviceIo(10, &request), 0);
  EXPECT_TRUE(kernel.sent_.empty());
}

TEST_F(LinuxDeviceTest, SearchProbesWithoutAccessAndOpensTheFirstMatchReadWrite) {
  ScsiGenericDevice second = DETECTOR;
  second.node = "/dev/sg4";
  udev.devices = {STICK, DETECTOR, second};
  CHidIO io(&platform);
  ASSERT_EQ(io.Search(), 1);
  ASSERT_EQ(kernel.opens.size(), 2u) << "the stick is never opened, the second detector never";
  EXPECT_EQ(kernel.opens[0].first, "/dev/sg3");
  EXPECT_EQ(kernel.opens[0].second, O_PATH) << "the probe asks for no access";
  EXPECT_EQ(kernel.opens[1].first, "/dev/sg3");
  EXPECT_EQ(kernel.opens[1].second & O_ACCMODE, O_RDWR);
  EXPECT_EQ(kernel.closed, std::vector<int>{10}) << "the probe is closed at once";
  EXPECT_EQ(io.deviceHandle, 11);
  EXPECT_EQ(platform.opened.syspath, DETECTOR.syspath) << "what the removal watch looks for";
  io.Close();
  EXPECT_EQ(kernel.closed, (std::vector<int>{10, 11}));
}

TEST_F(LinuxDeviceTest, FailedProbeSkipsFailedReadWriteOpenEndsTheSearch) {
  ScsiGenericDevice gone = DETECTOR;
  gone.node = "/dev/sg2";
  ScsiGenericDevice refused = DETECTOR;
  refused.node = "/dev/sg5";
  udev.devices = {gone, refused, DETECTOR};
  kernel.absent = {"/dev/sg2"};
  kernel.refuse = {"/dev/sg5"};
  CHidIO io(&platform);
  EXPECT_EQ(io.Search(), 0);
  EXPECT_EQ(io.deviceHandle, INVALID_DEVICE_HANDLE);
  for (const auto& open : kernel.opens) EXPECT_NE(open.first, "/dev/sg3") << "never looked at";
  EXPECT_EQ(platform.openError, EACCES);
  EXPECT_EQ(platform.openErrorNode, "/dev/sg5") << "the front end names it";

  // The next tick searches again from the start; with access it succeeds and forgets the error.
  kernel.refuse.clear();
  EXPECT_EQ(io.Search(), 1);
  EXPECT_EQ(platform.openError, 0);
  EXPECT_EQ(udev.listed, 2);
}

TEST_F(LinuxDeviceTest, NoListOrNoMatchFindsNothing) {
  CHidIO io(&platform);
  udev.available = false;
  EXPECT_EQ(io.Search(), 0);
  udev.available = true;
  ScsiGenericDevice wrongCase = DETECTOR;
  wrongCase.vendor = "QUORVE L";
  udev.devices = {STICK, wrongCase};
  EXPECT_EQ(io.Search(), 0);
  EXPECT_TRUE(kernel.opens.empty());
  uint8_t page[256];
  EXPECT_EQ(io.ReadPages(0, page, 256), 0) << "no device open: nothing sent";
  EXPECT_TRUE(kernel.sent_.empty());
}

namespace {
int g_detachedTold = 0;
}

// A failed request asks whether the device is still there before the run may report the failure.
// The kernel refusing the node (ENODEV) or cancelling the SCSI device is the removal, told at once,
// before udev's event; a device that answers TEST UNIT READY is still there and the failure is the
// run's to report. Between the pull and the kernel's noticing, requests and probes fail with
// anything: the question is asked again until one verdict comes.
TEST_F(LinuxDeviceTest, DetachedDeviceIsToldAtOnce) {
  CHidIO io(&platform);
  Open(&io);
  uint8_t page[256] = {};
  Answer detached;
  detached.result = -1;
  detached.error = ENODEV;
  Answer failedCall;
  failedCall.result = -1;
  failedCall.error = EIO;
  Answer noConnect;
  noConnect.host = DID_NO_CONNECT;
  Answer timedOut;
  timedOut.host = DID_TIME_OUT;
  Answer noMedium;
  noMedium.status = CHECK_CONDITION;
  noMedium.driver = DRIVER_SENSE;
  noMedium.sense = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A};

  kernel.answers = {detached, noConnect};
  EXPECT_EQ(io.ReadPages(0, page, 256), 0) << "nobody to tell";
  EXPECT_EQ(io.ReadPages(0, page, 256), 0);
  EXPECT_EQ(kernel.sent_.size(), 2u) << "and nothing asked";

  g_detachedTold = 0;
  platform.onDetached = [] { ++g_detachedTold; };
  // Still there: the probe is answered, with sense (no medium) as well as without, at once or
  // after failing once.
  kernel.sent_.clear();
  kernel.answers = {failedCall, noMedium, noConnect, noConnect, Answer()};
  EXPECT_EQ(io.ReadPages(0, page, 256), 0);
  EXPECT_EQ(io.WritePages(0, page, 256), 0);
  EXPECT_EQ(g_detachedTold, 0);
  ASSERT_EQ(kernel.sent_.size(), 5u);
  const SentRequest& probe = kernel.sent_[1];
  EXPECT_EQ(probe.fd, io.deviceHandle);
  EXPECT_EQ(probe.cdb, Bytes({0, 0, 0, 0, 0, 0})) << "TEST UNIT READY";
  EXPECT_EQ(probe.io.dxfer_direction, SG_DXFER_NONE);
  EXPECT_EQ(probe.io.timeout, 2000u);
  EXPECT_EQ(kernel.stateOf, DETECTOR.syspath);
  EXPECT_EQ(kernel.now, DETACH_POLL_MS) << "one pause before asking again";

  struct Pulled {
    const char* what;
    Answer failure;
    std::vector<std::string> states;
    Answer probe;
    size_t sent;
  };
  const Pulled pulled[] = {
      {"ENODEV: nothing to ask", detached, {"running"}, Answer(), 1},
      {"time-out, then the device cancelled",
       timedOut,
       {"running", "running", "cancel"},
       noConnect,
       3},
      {"I/O error, then gone from sysfs", failedCall, {"running", ""}, failedCall, 2},
      {"no connection, then the node refused", noConnect, {"running"}, detached, 2},
  };
  for (const Pulled& c : pulled) {
    g_detachedTold = 0;
    kernel.sent_.clear();
    kernel.answers = {c.failure};
    kernel.otherwise = c.probe;
    kernel.states = c.states;
    EXPECT_EQ(io.WritePages(0, page, 256), 0) << c.what;
    EXPECT_EQ(g_detachedTold, 1) << c.what;
    EXPECT_EQ(kernel.sent_.size(), c.sent) << c.what;
  }

  // No verdict: there after the wait, and not waited for again; ENODEV is still the removal.
  g_detachedTold = 0;
  kernel.now = 0;
  kernel.states = {"running"};
  kernel.otherwise = noConnect;
  EXPECT_EQ(io.ReadPages(0, page, 256), 0);
  EXPECT_EQ(g_detachedTold, 0);
  EXPECT_GE(kernel.now, DETACH_WAIT_MS);
  EXPECT_LE(kernel.now, DETACH_WAIT_MS + DETACH_POLL_MS);
  kernel.sent_.clear();
  EXPECT_EQ(io.ReadPages(0, page, 256), 0);
  EXPECT_EQ(kernel.sent_.size(), 1u);
  kernel.answers = {detached};
  EXPECT_EQ(io.WritePages(0, page, 256), 0);
  EXPECT_EQ(g_detachedTold, 1);
}
