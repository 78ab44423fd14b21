// tolvarin-tool sim: creating, showing, dumping and setting faults of simulated device states.
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "device/scsi_request.h"
#include "files/catalogue.h"
#include "publisher.h"
#include "tool_common.h"
#include "update_builder.h"
#include "workflow/identify.h"

namespace {

struct SimOptions {
  std::string state, info, modelId, version, stampV = "000", stampI = "000", longVersion, modelCode,
                                             sectors, out;
  CLI::Option *infoOption = nullptr, *modelIdOption = nullptr, *versionOption = nullptr,
              *longOption = nullptr, *modelCodeOption = nullptr, *outOption = nullptr;
  bool clear = false;
  // sim fault: each fault option's text, when given.
  std::array<std::pair<CLI::Option*, std::string>, 7> faults{};
  bool json = false;
};

int SimCreate(const SimOptions& o) {
  std::string error;
  std::vector<uint8_t> page(PAGE_SIZE);
  if (Given(o.infoOption)) {
    if (Given(o.modelIdOption) || Given(o.versionOption))
      return Fail("sim create takes either --info or the identity options, not both");
    if (!ReadPage(o.info, page.data(), &error)) return Fail(error);
  } else {
    if (o.modelId.size() != 4) return Fail("--model-id needs 4 characters");
    if (!IsUpperHex(o.version, 4)) return Fail("--version needs 4 hex digits (0-9, A-F)");
    if (o.stampV.size() != 3) return Fail("--stamp-v needs 3 characters");
    if (!IsUpperHex(o.stampI, 3)) return Fail("--stamp-i needs 3 hex digits (0-9, A-F)");
    uint64_t longVersion = 0, modelCode = HexDigitValue(o.version[0]);
    if (Given(o.longOption)) {
      if (!IsUpperHex(o.longVersion, 8)) return Fail("--long needs 8 hex digits");
      ParseUnsigned("0x" + o.longVersion, 0xFFFFFFFF, &longVersion);
      if ((longVersion & 0xFF) == 0)
        return Fail("--long must end in a non-zero byte, or the device shows the short form");
    }
    if (Given(o.modelCodeOption)) {
      if (!NumberOption("--model-code", o.modelCode, 255, &modelCode, &error)) return Fail(error);
      // Byte 0 is both: its low nibble is the first version digit.
      if ((modelCode & 15) != HexDigitValue(o.version[0]))
        return Fail("the low hex digit of --model-code must be the first digit of --version");
    }
    page = BuildInfoPage(static_cast<int>(modelCode), o.modelId, o.version, o.stampV, o.stampI,
                         static_cast<uint32_t>(longVersion));
  }
  CSimDevice device;
  device.SetInfoPage(page.data());
  if (!device.Save(o.state)) return Fail("cannot write " + o.state);
  IdentityResult result = DeriveIdentity(page.data());
  Json j;
  j["state"] = o.state;
  j["identity"] = IdentityJson(result);
  Print(o.json, j, "created " + o.state + "\n" + IdentityText(result));
  return EXIT_OK;
}

std::string SectorRanges(const std::vector<uint32_t>& sectors) {
  std::string out;
  auto it = sectors.begin();
  while (it != sectors.end()) {
    uint32_t first = *it, last = first;
    for (++it; it != sectors.end() && *it == last + 1; ++it) last = *it;
    if (!out.empty()) out += ", ";
    out += std::to_string(first);
    if (last != first) out += "-" + std::to_string(last);
  }
  return out.empty() ? "none" : out;
}

Json FaultsJson(const SimFaults& f) {
  Json j;
  j["failRequest"] = f.failRequest;
  j["failPage"] = f.failPage;
  j["ignoreWritePage"] = f.ignoreWritePage;
  j["partialWritePage"] = f.partialWritePage;
  j["ignoreEraseSector"] = f.ignoreEraseSector;
  j["dropFrom"] = f.dropFrom;
  j["delayMicros"] = f.delayMicros;
  return j;
}

std::string FaultsText(const SimFaults& f) {
  std::ostringstream out;
  if (f.failRequest) out << " fail-request " << f.failRequest;
  if (f.failPage >= 0) out << " fail-page " << f.failPage;
  if (f.ignoreWritePage >= 0) out << " ignore-write " << f.ignoreWritePage;
  if (f.partialWritePage >= 0) out << " partial-write " << f.partialWritePage;
  if (f.ignoreEraseSector >= 0) out << " ignore-erase " << f.ignoreEraseSector;
  if (f.dropFrom) out << " drop-from " << f.dropFrom;
  if (f.delayMicros) out << " delay-us " << f.delayMicros;
  std::string text = out.str();
  return text.empty() ? " none" : text;
}

int SimShow(const SimOptions& o) {
  CSimDevice device;
  std::string error;
  if (!LoadState(o.state, &device, &error)) return Fail(error);
  uint8_t info[PAGE_SIZE];
  device.ReadFlashPage(INFO_PAGE_ADDRESS, info);
  IdentityResult result = DeriveIdentity(info);
  Json j;
  j["identity"] = IdentityJson(result);
  j["requestCount"] = device.requestCount;
  Json commands = Json::array();
  std::string commandText;
  for (uint32_t code : device.commands) {
    commands.push_back(Hex(code, 5));
    commandText += " " + Hex(code, 5);
  }
  j["commands"] = commands;
  j["faults"] = FaultsJson(device.faults);
  // As the state file lists them: the information page alone is no written sector.
  std::vector<uint32_t> listed = device.ListedSectors();
  j["sectors"] = listed;
  std::ostringstream text;
  text << IdentityText(result) << "requestCount  " << device.requestCount << "\n"
       << "commands     " << (commandText.empty() ? " none" : commandText) << "\n"
       << "faults       " << FaultsText(device.faults) << "\n"
       << "sectors       " << SectorRanges(listed) << "\n";
  Print(o.json, j, text.str());
  return EXIT_OK;
}

int SimDump(const SimOptions& o) {
  CSimDevice device;
  std::string error;
  if (!LoadState(o.state, &device, &error)) return Fail(error);
  const std::string& range = o.sectors;
  size_t dash = range.find('-');
  uint64_t first = 0, last = 0;
  if (!ParseUnsigned(range.substr(0, dash), 0xFFFF, &first) ||
      !ParseUnsigned(dash == std::string::npos ? range.substr(0, dash) : range.substr(dash + 1),
                     0xFFFF, &last) ||
      last < first)
    return Fail("--sectors needs A or A-B with A <= B <= 65535");
  std::vector<uint8_t> bytes;
  uint8_t page[PAGE_SIZE];
  for (uint64_t s = first; s <= last; ++s)
    for (uint32_t j = 0; j < PAGES_PER_SECTOR; ++j) {
      device.ReadFlashPage(static_cast<uint32_t>(s * PAGES_PER_SECTOR + j), page);
      bytes.insert(bytes.end(), page, page + PAGE_SIZE);
    }
  // Byte addresses of flash: page address x 256.
  const uint64_t base = first * PAGES_PER_SECTOR * PAGE_SIZE;
  Json j;
  j["state"] = o.state;
  j["firstSector"] = first;
  j["lastSector"] = last;
  j["address"] = base;
  j["length"] = bytes.size();
  if (Given(o.outOption)) {
    if (!WriteWholeFile(o.out, bytes)) return Fail("cannot write " + o.out);
    j["out"] = o.out;
    if (o.json)
      Print(true, j, "");
    else
      std::fprintf(stderr, "%zu bytes of sectors %llu-%llu written to %s\n", bytes.size(),
                   static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
                   o.out.c_str());
    return EXIT_OK;
  }
  if (o.json) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (uint8_t byte : bytes) {
      hex += DIGITS[byte >> 4];
      hex += DIGITS[byte & 15];
    }
    j["hex"] = hex;
    Print(true, j, "");
    return EXIT_OK;
  }
  for (size_t at = 0; at < bytes.size(); at += 16) {
    std::printf("%08llx ", static_cast<unsigned long long>(base + at));
    for (size_t k = 0; k < 16; ++k) std::printf(" %02x", bytes[at + k]);
    std::printf("\n");
  }
  return EXIT_OK;
}

struct FaultSetting {
  const char* option;
  const char* help;
  uint64_t max;
  void (*apply)(SimFaults&, uint64_t);
};

const FaultSetting FAULT_SETTINGS[] = {
    {"--fail-request", "request number N (from 1) fails", UINT64_MAX,
     [](SimFaults& s, uint64_t v) { s.failRequest = v; }},
    {"--fail-page", "every request on page P fails", 0xFFFFFFFF,
     [](SimFaults& s, uint64_t v) { s.failPage = int64_t(v); }},
    {"--ignore-write", "writes of page P are taken but not stored", 0xFFFFFFFF,
     [](SimFaults& s, uint64_t v) { s.ignoreWritePage = int64_t(v); }},
    {"--partial-write", "page P stores only its even bytes", 0xFFFFFFFF,
     [](SimFaults& s, uint64_t v) { s.partialWritePage = int64_t(v); }},
    {"--ignore-erase", "erases of sector S are taken but not done", 0xFFFF,
     [](SimFaults& s, uint64_t v) { s.ignoreEraseSector = int64_t(v); }},
    {"--drop-from", "from request N on the device answers nothing", UINT64_MAX,
     [](SimFaults& s, uint64_t v) { s.dropFrom = v; }},
    {"--delay-us", "every request takes N microseconds", 0xFFFFFFFF,
     [](SimFaults& s, uint64_t v) { s.delayMicros = uint32_t(v); }},
};
static_assert(sizeof FAULT_SETTINGS / sizeof FAULT_SETTINGS[0] == 7, "one text per setting");

int SimFault(const SimOptions& o) {
  CSimDevice device;
  std::string error;
  if (!LoadState(o.state, &device, &error)) return Fail(error);
  SimFaults& f = device.faults;
  if (o.clear) f = SimFaults();
  bool any = o.clear;
  for (size_t i = 0; i < o.faults.size(); ++i) {
    if (!Given(o.faults[i].first)) continue;
    uint64_t value = 0;
    const FaultSetting& setting = FAULT_SETTINGS[i];
    if (!NumberOption(setting.option, o.faults[i].second, setting.max, &value, &error))
      return Fail(error);
    setting.apply(f, value);
    any = true;
  }
  if (!any) return Fail("sim fault needs a fault option or --clear");
  if (!device.Save(o.state)) return Fail("cannot write " + o.state);
  Json j;
  j["state"] = o.state;
  j["faults"] = FaultsJson(f);
  Print(o.json, j, "faults of " + o.state + ":" + FaultsText(f) + "\n");
  return EXIT_OK;
}

void AddState(CLI::App* c, SimOptions* o) {
  c->add_option("--state", o->state, "the simulated device state file")->required();
  AddJsonFlag(c, &o->json);
}

}  // namespace

void AddSimCommands(CLI::App& tool, ToolCommands* commands) {
  CLI::App* sim = tool.add_subcommand("sim", "simulated device state files");
  sim->require_subcommand(1);
  sim->footer(
      "Example:\n  tolvarin-tool sim create --model-id 4D9C --version 2130 --state dev.state");

  auto o = std::make_shared<SimOptions>();
  CLI::App* c = sim->add_subcommand("create", "write a new state file with an information page");
  o->infoOption = c->add_option("--info", o->info, "the information page from a 256-byte file");
  o->modelIdOption = c->add_option("--model-id", o->modelId, "4 characters, e.g. 4D9C");
  o->versionOption = c->add_option("--version", o->version, "main version, 4 hex digits (HHHH)");
  c->add_option("--stamp-v", o->stampV, "V stamp, 3 characters (default 000)");
  c->add_option("--stamp-i", o->stampI, "I stamp, 3 hex digits (default 000)");
  o->longOption = c->add_option("--long", o->longVersion, "long version, 8 hex digits");
  o->modelCodeOption =
      c->add_option("--model-code", o->modelCode, "information byte 0 (its low digit: version's)");
  AddState(c, o.get());
  c->footer(
      "Example:\n  tolvarin-tool sim create --model-id 4D9C --version 2130 --model-code 0x42 \\\n"
      "      --stamp-v V17 --stamp-i 006 --state dev.state");
  commands->push_back({c, [o] { return SimCreate(*o); }});

  auto s = std::make_shared<SimOptions>();
  c = sim->add_subcommand("show", "identity, commands, faults, stored sectors");
  AddState(c, s.get());
  c->footer("Example:\n  tolvarin-tool sim show --state dev.state --json");
  commands->push_back({c, [s] { return SimShow(*s); }});

  auto d = std::make_shared<SimOptions>();
  c = sim->add_subcommand("dump", "flash sectors as hex, or into a file");
  AddState(c, d.get());
  c->add_option("--sectors", d->sectors, "A or A-B")->required();
  d->outOption = c->add_option("--out", d->out, "write the bytes to this file");
  c->footer("Example:\n  tolvarin-tool sim dump --state dev.state --sectors 16-23 --out main.bin");
  commands->push_back({c, [d] { return SimDump(*d); }});

  auto f = std::make_shared<SimOptions>();
  c = sim->add_subcommand("fault", "set or clear the device's faults");
  AddState(c, f.get());
  c->add_flag("--clear", f->clear, "clear every fault first");
  for (size_t i = 0; i < f->faults.size(); ++i)
    f->faults[i].first =
        c->add_option(FAULT_SETTINGS[i].option, f->faults[i].second, FAULT_SETTINGS[i].help);
  c->footer(
      "Example:\n  tolvarin-tool sim fault --state dev.state --ignore-write 32 --delay-us 500");
  commands->push_back({c, [f] { return SimFault(*f); }});
}
