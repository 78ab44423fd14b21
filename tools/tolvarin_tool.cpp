// tolvarin-tool: the command line for publishers and testers over the program's own code.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/error_codes.h"
#include "app/utf8.h"
#include "device/scsi_request.h"
#include "device/sim_device.h"
#include "files/catalogue.h"
#include "files/server_layout.h"
#include "files/update_file.h"
#include "publisher.h"
#include "update_builder.h"
#include "workflow/identify.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int EXIT_OK = 0;
constexpr int EXIT_REFUSED = 1;  // the input was read but fails a check the program makes
constexpr int EXIT_BAD_INPUT = 2;

const char USAGE[] =
    "usage: tolvarin-tool COMMAND [options] [--json]\n"
    "  identify PAGE                          identity of a 256-byte information page file\n"
    "  sim create (--info PAGE | --model-id ID --version HHHH [--stamp-v XXX] [--stamp-i HHH]\n"
    "             [--long HHHHHHHH] [--model-code N]) --state FILE\n"
    "  sim show --state FILE                  identity, commands, faults, stored sectors\n"
    "  sim dump --state FILE --sectors A[-B] [--out FILE]\n"
    "  sim fault --state FILE [--clear] [--fail-request N] [--fail-page P] [--ignore-write P]\n"
    "            [--partial-write P] [--ignore-erase S] [--drop-from N] [--delay-us N]\n"
    "  pack --image --tag TAG --first S --last S (--payload FILE | --pattern SEED\n"
    "       [--payload-bytes N]) [--version W] --out FILE\n"
    "  pack --index --tag TAG [--version W] --entry NAME:SIZE[:DESCRIPTION]... --out FILE\n"
    "  check (--index | --image) --tag TAG FILE\n"
    "  catalogue INDEX (--device PAGE | --state FILE) [--force]\n"
    "  publish MANIFEST --out DIR\n";

// Command-line options after the subcommand: positional words, options with values, flags.
struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> values;
  std::set<std::string> flags;

  bool Has(const std::string& name) const { return values.count(name) || flags.count(name); }
  std::string Value(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second.back();
  }
  const std::vector<std::string>& All(const std::string& name) const {
    static const std::vector<std::string> none;
    auto it = values.find(name);
    return it == values.end() ? none : it->second;
  }
};

int Fail(const std::string& message, int code = EXIT_BAD_INPUT) {
  std::fprintf(stderr, "tolvarin-tool: %s\n", message.c_str());
  return code;
}

// Reads argv[from..]: each name in `flags` stands alone, each in `options` takes the next word.
// "--json" is a flag everywhere. Returns true; false with *error on an unknown or incomplete
// option.
bool ParseArgs(int argc, char** argv, int from, std::set<std::string> flags,
               const std::set<std::string>& options, Args* out, std::string* error) {
  flags.insert("--json");
  for (int i = from; i < argc; ++i) {
    std::string word = argv[i];
    if (word.rfind("--", 0) != 0) {
      out->positional.push_back(word);
    } else if (flags.count(word)) {
      out->flags.insert(word);
    } else if (options.count(word)) {
      if (i + 1 >= argc) {
        *error = word + " needs a value";
        return false;
      }
      out->values[word].push_back(argv[++i]);
    } else {
      *error = "unknown option " + word;
      return false;
    }
  }
  return true;
}

bool NumberOption(const Args& args, const std::string& name, uint64_t max, uint64_t* out,
                  std::string* error) {
  if (!ParseUnsigned(args.Value(name), max, out)) {
    *error = name + " needs a number from 0 to " + std::to_string(max) + ", not \"" +
             args.Value(name) + "\"";
    return false;
  }
  return true;
}

bool IsUpperHex(const std::string& text, size_t digits) {
  if (text.size() != digits) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

// Text of 8-bit bytes with everything outside printable ASCII as \xHH.
std::string Printable(const char* text, size_t n = std::string::npos) {
  std::string out;
  for (size_t i = 0; i < n && text[i] != 0; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

void Print(const Args& args, const Json& json, const std::string& text) {
  if (args.flags.count("--json"))
    std::printf("%s\n", json.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
  else
    std::printf("%s", text.c_str());
}

bool ReadPage(const std::string& path, uint8_t* page, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes)) {
    *error = "cannot read " + path;
    return false;
  }
  if (bytes.size() != PAGE_SIZE) {
    *error = path + " has " + std::to_string(bytes.size()) + " bytes; an information page has " +
             std::to_string(PAGE_SIZE);
    return false;
  }
  std::memcpy(page, bytes.data(), PAGE_SIZE);
  return true;
}

bool LoadState(const std::string& path, CSimDevice* device, std::string* error) {
  if (path.empty()) {
    *error = "--state FILE is needed";
    return false;
  }
  if (!device->Load(path)) {
    *error = "cannot read the simulated device state " + path;
    return false;
  }
  return true;
}

// The pool directory the program derives for this identity.
std::string PoolDirectory(const IdentityResult& result) {
  char pool[9];
  CopyText(pool, sizeof pool, POOL_DIRECTORY_TEMPLATE);
  pool[POOL_MODEL_CHAR_INDEX] = result.poolChar;
  return pool;
}

Json IdentityJson(const IdentityResult& r) {
  const DeviceIdentity& id = r.identity;
  Json j;
  j["modelCode"] = id.modelCode;
  j["modelId"] = Printable(id.modelId);
  j["mainVersion"] = id.mainVersion;
  j["longVersion"] = id.longVersion;
  j["shownVersion"] = id.shownVersion;
  j["stampV"] = Printable(id.stampV, 3);
  j["stampI"] = id.stampI;
  j["poolDirectory"] = PoolDirectory(r);
  j["longForm"] = r.longForm;
  j["malformed"] = r.malformed;
  return j;
}

std::string IdentityText(const IdentityResult& r) {
  const DeviceIdentity& id = r.identity;
  std::ostringstream out;
  out << "modelCode     " << id.modelCode << " (" << Hex(id.modelCode, 2) << ")\n"
      << "modelId       " << Printable(id.modelId) << (r.malformed ? "  (malformed)" : "") << "\n"
      << "mainVersion   " << id.mainVersion << "\n"
      << "longVersion   " << id.longVersion << "\n"
      << "shownVersion  " << id.shownVersion << (r.longForm ? "  (long form)" : "  (short form)")
      << "\n"
      << "stampV        " << Printable(id.stampV, 3) << "\n"
      << "stampI        " << id.stampI << "\n"
      << "poolDirectory " << PoolDirectory(r) << "\n";
  return out.str();
}

int Identify(const Args& args) {
  if (args.positional.size() != 1) return Fail("identify needs one information page file");
  uint8_t page[PAGE_SIZE];
  std::string error;
  if (!ReadPage(args.positional[0], page, &error)) return Fail(error);
  IdentityResult result = DeriveIdentity(page);
  Print(args, IdentityJson(result), IdentityText(result));
  if (result.malformed)
    return Fail("the model identifier is malformed: the program stops with error 0300",
                EXIT_REFUSED);
  return EXIT_OK;
}

// ---- sim

int SimCreate(const Args& args) {
  std::string error;
  std::string state = args.Value("--state");
  if (state.empty()) return Fail("sim create needs --state FILE");
  std::vector<uint8_t> page(PAGE_SIZE);
  if (args.Has("--info")) {
    if (args.Has("--model-id") || args.Has("--version"))
      return Fail("sim create takes either --info or the identity options, not both");
    if (!ReadPage(args.Value("--info"), page.data(), &error)) return Fail(error);
  } else {
    std::string modelId = args.Value("--model-id"), version = args.Value("--version");
    std::string stampV = args.Has("--stamp-v") ? args.Value("--stamp-v") : "000";
    std::string stampI = args.Has("--stamp-i") ? args.Value("--stamp-i") : "000";
    if (modelId.size() != 4) return Fail("--model-id needs 4 characters");
    if (!IsUpperHex(version, 4)) return Fail("--version needs 4 hex digits (0-9, A-F)");
    if (stampV.size() != 3) return Fail("--stamp-v needs 3 characters");
    if (!IsUpperHex(stampI, 3)) return Fail("--stamp-i needs 3 hex digits (0-9, A-F)");
    uint64_t longVersion = 0, modelCode = HexDigitValue(version[0]);
    if (args.Has("--long")) {
      if (!IsUpperHex(args.Value("--long"), 8)) return Fail("--long needs 8 hex digits");
      ParseUnsigned("0x" + args.Value("--long"), 0xFFFFFFFF, &longVersion);
      if ((longVersion & 0xFF) == 0)
        return Fail("--long must end in a non-zero byte, or the device shows the short form");
    }
    if (args.Has("--model-code")) {
      if (!NumberOption(args, "--model-code", 255, &modelCode, &error)) return Fail(error);
      // Byte 0 is both: its low nibble is the first version digit.
      if ((modelCode & 15) != HexDigitValue(version[0]))
        return Fail("the low hex digit of --model-code must be the first digit of --version");
    }
    page = BuildInfoPage(static_cast<int>(modelCode), modelId, version, stampV, stampI,
                         static_cast<uint32_t>(longVersion));
  }
  CSimDevice device;
  device.SetInfoPage(page.data());
  if (!device.Save(state)) return Fail("cannot write " + state);
  IdentityResult result = DeriveIdentity(page.data());
  Json j;
  j["state"] = state;
  j["identity"] = IdentityJson(result);
  Print(args, j, "created " + state + "\n" + IdentityText(result));
  return EXIT_OK;
}

std::string SectorRanges(const CSimDevice& device) {
  std::string out;
  auto it = device.sectors.begin();
  while (it != device.sectors.end()) {
    uint32_t first = it->first, last = first;
    for (++it; it != device.sectors.end() && it->first == last + 1; ++it) last = it->first;
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

int SimShow(const Args& args) {
  CSimDevice device;
  std::string error;
  if (!LoadState(args.Value("--state"), &device, &error)) return Fail(error);
  IdentityResult result = DeriveIdentity(device.InfoPage());
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
  Json sectors = Json::array();
  for (const auto& entry : device.sectors) sectors.push_back(entry.first);
  j["sectors"] = sectors;
  std::ostringstream text;
  text << IdentityText(result) << "requestCount  " << device.requestCount << "\n"
       << "commands     " << (commandText.empty() ? " none" : commandText) << "\n"
       << "faults       " << FaultsText(device.faults) << "\n"
       << "sectors       " << SectorRanges(device) << "\n";
  Print(args, j, text.str());
  return EXIT_OK;
}

int SimDump(const Args& args) {
  CSimDevice device;
  std::string error;
  if (!LoadState(args.Value("--state"), &device, &error)) return Fail(error);
  std::string range = args.Value("--sectors");
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
  if (args.Has("--out")) {
    if (!WriteWholeFile(args.Value("--out"), bytes))
      return Fail("cannot write " + args.Value("--out"));
    std::fprintf(stderr, "%zu bytes of sectors %llu-%llu written to %s\n", bytes.size(),
                 static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
                 args.Value("--out").c_str());
    return EXIT_OK;
  }
  // Byte addresses of flash: page address x 256.
  const uint64_t base = first * PAGES_PER_SECTOR * PAGE_SIZE;
  for (size_t at = 0; at < bytes.size(); at += 16) {
    std::printf("%08llx ", static_cast<unsigned long long>(base + at));
    for (size_t k = 0; k < 16; ++k) std::printf(" %02x", bytes[at + k]);
    std::printf("\n");
  }
  return EXIT_OK;
}

int SimFault(const Args& args) {
  CSimDevice device;
  std::string error;
  std::string state = args.Value("--state");
  if (!LoadState(state, &device, &error)) return Fail(error);
  SimFaults& f = device.faults;
  if (args.Has("--clear")) f = SimFaults();
  struct Setting {
    const char* option;
    uint64_t max;
    void (*apply)(SimFaults&, uint64_t);
  };
  const Setting settings[] = {
      {"--fail-request", UINT64_MAX, [](SimFaults& s, uint64_t v) { s.failRequest = v; }},
      {"--fail-page", 0xFFFFFFFF, [](SimFaults& s, uint64_t v) { s.failPage = int64_t(v); }},
      {"--ignore-write", 0xFFFFFFFF,
       [](SimFaults& s, uint64_t v) { s.ignoreWritePage = int64_t(v); }},
      {"--partial-write", 0xFFFFFFFF,
       [](SimFaults& s, uint64_t v) { s.partialWritePage = int64_t(v); }},
      {"--ignore-erase", 0xFFFF,
       [](SimFaults& s, uint64_t v) { s.ignoreEraseSector = int64_t(v); }},
      {"--drop-from", UINT64_MAX, [](SimFaults& s, uint64_t v) { s.dropFrom = v; }},
      {"--delay-us", 0xFFFFFFFF, [](SimFaults& s, uint64_t v) { s.delayMicros = uint32_t(v); }},
  };
  bool any = args.Has("--clear");
  for (const Setting& setting : settings) {
    if (!args.Has(setting.option)) continue;
    uint64_t value = 0;
    if (!NumberOption(args, setting.option, setting.max, &value, &error)) return Fail(error);
    setting.apply(f, value);
    any = true;
  }
  if (!any) return Fail("sim fault needs a fault option or --clear");
  if (!device.Save(state)) return Fail("cannot write " + state);
  Json j;
  j["state"] = state;
  j["faults"] = FaultsJson(f);
  Print(args, j, "faults of " + state + ":" + FaultsText(f) + "\n");
  return EXIT_OK;
}

int Sim(int argc, char** argv) {
  if (argc < 3) return Fail(std::string("sim needs create, show, dump or fault\n") + USAGE);
  std::string what = argv[2];
  Args args;
  std::string error;
  bool ok = false;
  if (what == "create")
    ok = ParseArgs(argc, argv, 3, {},
                   {"--info", "--model-id", "--version", "--stamp-v", "--stamp-i", "--long",
                    "--model-code", "--state"},
                   &args, &error);
  else if (what == "show")
    ok = ParseArgs(argc, argv, 3, {}, {"--state"}, &args, &error);
  else if (what == "dump")
    ok = ParseArgs(argc, argv, 3, {}, {"--state", "--sectors", "--out"}, &args, &error);
  else if (what == "fault")
    ok = ParseArgs(argc, argv, 3, {"--clear"},
                   {"--state", "--fail-request", "--fail-page", "--ignore-write", "--partial-write",
                    "--ignore-erase", "--drop-from", "--delay-us"},
                   &args, &error);
  else
    return Fail("unknown sim command " + what);
  if (!ok) return Fail(error);
  if (!args.positional.empty()) return Fail("unexpected " + args.positional[0]);
  if (what == "create") return SimCreate(args);
  if (what == "show") return SimShow(args);
  if (what == "dump") return SimDump(args);
  return SimFault(args);
}

// ---- pack and check

bool TagOption(const Args& args, std::string* tag, std::string* error) {
  *tag = args.Value("--tag");
  if (tag->size() != 4) {
    *error = "--tag needs 4 characters";
    return false;
  }
  return true;
}

int Pack(const Args& args) {
  std::string error, tag;
  bool image = args.Has("--image"), index = args.Has("--index");
  if (image == index) return Fail("pack needs one of --image and --index");
  if (!TagOption(args, &tag, &error)) return Fail(error);
  std::string out = args.Value("--out");
  if (out.empty()) return Fail("pack needs --out FILE");
  uint64_t version = 0;
  if (args.Has("--version") && !NumberOption(args, "--version", 0xFFFFFFFF, &version, &error))
    return Fail(error);

  std::vector<uint8_t> file;
  if (image) {
    uint64_t first = 0, last = 0;
    if (!NumberOption(args, "--first", 0xFFFF, &first, &error) ||
        !NumberOption(args, "--last", 0xFFFF, &last, &error))
      return Fail(error);
    std::vector<uint8_t> payload;
    if (args.Has("--payload") == args.Has("--pattern"))
      return Fail("pack --image needs one of --payload FILE and --pattern SEED");
    if (args.Has("--payload")) {
      if (!ReadWholeFile(args.Value("--payload"), &payload))
        return Fail("cannot read " + args.Value("--payload"));
    } else {
      uint64_t seed = 0, bytes = RangeBytes(uint16_t(first), uint16_t(last));
      if (!NumberOption(args, "--pattern", 0xFFFFFFFF, &seed, &error)) return Fail(error);
      if (args.Has("--payload-bytes") &&
          !NumberOption(args, "--payload-bytes", 0xFFFFFF - UPDATE_HEADER_SIZE, &bytes, &error))
        return Fail(error);
      payload = PatternPayload(bytes, uint32_t(seed));
    }
    if (payload.size() + UPDATE_HEADER_SIZE > 0xFFFFFF)
      return Fail("the image file would exceed the 24-bit length");
    file = PublishImageFile(tag, uint16_t(first), uint16_t(last), uint32_t(version), payload);
  } else {
    ModelPlan model;
    model.modelId = tag;
    model.step.versionWord = uint32_t(version);
    for (const std::string& word : args.All("--entry")) {
      size_t colon = word.find(':');
      size_t second = colon == std::string::npos ? colon : word.find(':', colon + 1);
      uint64_t size = 0;
      if (colon == std::string::npos ||
          !ParseUnsigned(
              word.substr(colon + 1, second == std::string::npos ? second : second - colon - 1),
              0xFFFFFF, &size))
        return Fail("--entry needs NAME:SIZE[:DESCRIPTION], not \"" + word + "\"");
      IndexEntryPlan entry;
      entry.name = word.substr(0, colon);
      entry.size = int64_t(size);
      if (second != std::string::npos && !Utf8ToUtf16(word.substr(second + 1), &entry.description))
        return Fail("the description of " + entry.name + " is not UTF-8");
      model.step.entries.push_back(entry);
    }
    file = PublishIndex(model, model.step, &error);
    if (file.empty()) return Fail(error);
  }
  if (!WriteWholeFile(out, file)) return Fail("cannot write " + out);
  Json j;
  j["out"] = out;
  j["mode"] = image ? "image" : "index";
  j["fileTag"] = tag;
  j["fileLength"] = file.size();
  Print(args, j,
        std::string(image ? "image" : "index") + " file " + out + ": " +
            std::to_string(file.size()) + " bytes, tag " + tag + "\n");
  return EXIT_OK;
}

const char* CheckName(int result) {
  switch (result) {
    case CHECK_OK:
      return "CHECK_OK";
    case CHECK_NULL_DATA:
      return "CHECK_NULL_DATA";
    case CHECK_BAD_MAGIC:
      return "CHECK_BAD_MAGIC";
    case CHECK_BAD_LENGTH:
      return "CHECK_BAD_LENGTH";
    case CHECK_BAD_XOR:
      return "CHECK_BAD_XOR";
    case CHECK_BAD_SUM:
      return "CHECK_BAD_SUM";
    case CHECK_INDEX_TOO_LONG:
      return "CHECK_INDEX_TOO_LONG";
    case CHECK_BAD_TAG:
      return "CHECK_BAD_TAG";
    case CHECK_NEGATIVE_LENGTH:
      return "CHECK_NEGATIVE_LENGTH";
    case CHECK_CATALOGUE_MALFORMED:
      return "CHECK_CATALOGUE_MALFORMED";
    case CHECK_IMAGE_TOO_SHORT:
      return "CHECK_IMAGE_TOO_SHORT";
    default:
      return "?";
  }
}

int Check(const Args& args) {
  std::string error, tag;
  bool image = args.Has("--image"), index = args.Has("--index");
  if (image == index) return Fail("check needs one of --image and --index");
  if (!TagOption(args, &tag, &error)) return Fail(error);
  if (args.positional.size() != 1) return Fail("check needs one file");
  const std::string path = args.positional[0];
  std::vector<uint8_t> data;
  if (!ReadWholeFile(path, &data)) return Fail("cannot read " + path);
  const int length = static_cast<int>(data.size());
  // The check reads and rewrites header bytes even of a shorter file.
  data.resize(std::max<size_t>(data.size(), UPDATE_HEADER_SIZE), 0);
  const int mode = image ? MODE_IMAGE_FILE : MODE_INDEX_FILE;
  const int result = CheckUpdateFile(length, data.data(), tag.c_str(), mode);
  // What the program checks next, before it uses the file.
  int contents = CHECK_OK;
  if (result == CHECK_OK)
    contents =
        image ? CheckImageRange(length, data.data()) : ValidateCatalogue(data.data(), length);

  const uint8_t* h = data.data();
  Json j;
  j["file"] = path;
  j["mode"] = image ? "image" : "index";
  j["result"] = result;
  j["resultName"] = CheckName(result);
  j[image ? "rangeCheck" : "catalogueCheck"] = contents;
  j["length"] = length;
  j["magic"] = Printable(reinterpret_cast<const char*>(h), 4);
  j["xorCheck"] = h[8];
  j["sumCheck"] = h[9];
  j["versionWord"] = Hex(HeaderVersionWord(h), 8);
  j["fileTag"] = Printable(reinterpret_cast<const char*>(h + 16), 4);
  j["fileLength"] = HeaderFileLength(h);
  j["firstSector"] = HeaderFirstSector(h);
  j["lastSector"] = HeaderLastSector(h);

  std::ostringstream text;
  text << path << ": " << (image ? "image" : "index") << " file, result " << result << " ("
       << CheckName(result) << ")\n"
       << "  length       " << length << "\n"
       << "  magic        " << j["magic"].get<std::string>() << "\n"
       << "  xorCheck     " << Hex(h[8], 2) << "\n"
       << "  sumCheck     " << Hex(h[9], 2) << "\n"
       << "  versionWord  " << j["versionWord"].get<std::string>() << "\n"
       << "  fileTag      " << j["fileTag"].get<std::string>() << "\n"
       << "  fileLength   " << HeaderFileLength(h) << "\n"
       << "  firstSector  " << HeaderFirstSector(h) << "\n"
       << "  lastSector   " << HeaderLastSector(h) << "\n";
  if (result == CHECK_OK)
    text << "  " << (image ? "sector range " : "entries      ") << contents << " ("
         << CheckName(contents) << ")\n";
  Print(args, j, text.str());
  if (result != CHECK_OK)
    return Fail("the file fails the check: " + std::to_string(result), EXIT_REFUSED);
  if (contents != CHECK_OK)
    return Fail(std::string(image ? "the image is shorter than its sector range: "
                                  : "the entries cannot be read: ") +
                    std::to_string(contents),
                EXIT_REFUSED);
  return EXIT_OK;
}

// ---- catalogue

// Captures the version list that parsing fills.
class CCaptureUi : public CNullUiPort {
 public:
  void ComboAddLine(const WChar* line) override { lines.emplace_back(line); }
  std::vector<std::u16string> lines;
};

int Catalogue(const Args& args) {
  if (args.positional.size() != 1) return Fail("catalogue needs one index file");
  if (args.Has("--device") == args.Has("--state"))
    return Fail("catalogue needs one of --device PAGE and --state FILE");
  std::string error;
  uint8_t page[PAGE_SIZE];
  if (args.Has("--device")) {
    if (!ReadPage(args.Value("--device"), page, &error)) return Fail(error);
  } else {
    CSimDevice device;
    if (!LoadState(args.Value("--state"), &device, &error)) return Fail(error);
    std::memcpy(page, device.InfoPage(), PAGE_SIZE);
  }
  std::vector<uint8_t> data;
  const std::string path = args.positional[0];
  if (!ReadWholeFile(path, &data)) return Fail("cannot read " + path);
  const int length = static_cast<int>(data.size());
  data.resize(std::max<size_t>(data.size(), MAX_INDEX_FILE_SIZE), 0);

  // The state identification leaves behind, from the same derivation.
  CCaptureUi ui;
  ResetAppState(&ui, nullptr);
  IdentityResult identity = DeriveIdentity(page);
  if (identity.malformed)
    return Fail("the device's model identifier is malformed: the program stops with error 0300",
                EXIT_REFUSED);
  g_app.identity = identity.identity;
  if (identity.longForm) g_app.runFlags |= FLAG_LONG_VERSION;
  if (args.Has("--force")) g_app.runFlags |= FLAG_FORCE;
  g_app.poolDirectory[POOL_MODEL_CHAR_INDEX] = identity.poolChar;

  int result = CheckUpdateFile(length, data.data(), g_app.identity.modelId, MODE_INDEX_FILE);
  if (result != CHECK_OK)
    return Fail("the index file fails the check for model " + std::string(g_app.identity.modelId) +
                    ": " + std::to_string(result) + " (" + CheckName(result) + ")",
                EXIT_REFUSED);
  UpdateCatalogue& catalogue = g_app.catalogue;
  if (ParseCatalogue(data.data(), length, 1, &catalogue) < 0)
    return Fail("the index file's entries cannot be read (" +
                    std::to_string(CHECK_CATALOGUE_MALFORMED) + ")",
                EXIT_REFUSED);

  const bool force = (g_app.runFlags & FLAG_FORCE) != 0;
  Json j;
  j["identity"] = IdentityJson(identity);
  j["force"] = force;
  j["flags"] = catalogue.flags;
  j["upToDate"] = (catalogue.flags & CATALOGUE_UP_TO_DATE) != 0;
  j["entryCount"] = catalogue.entryCount;
  j["mainEntryCount"] = catalogue.mainEntryCount;
  j["mainVersionText"] = Printable(catalogue.mainVersionText);
  Json entries = Json::array();
  std::ostringstream text;
  text << "device " << Printable(g_app.identity.modelId) << " version "
       << g_app.identity.shownVersion << (force ? ", forced" : "") << "\n"
       << "  #  name                             kind  fullSize  pendingSize\n";
  for (int e = 0; e < catalogue.entryCount; ++e) {
    const CatalogueEntry& entry = catalogue.entries[e];
    Json row;
    row["name"] = Printable(entry.name);
    row["kind"] = entry.kind;
    row["letter"] = std::string(1, ItemKindLetter(entry.kind));
    row["fullSize"] = entry.fullSize;
    row["pendingSize"] = entry.pendingSize;
    entries.push_back(row);
    char line[160];
    std::snprintf(line, sizeof line, "  %d  %-32s %c %2d  %8d  %11d\n", e,
                  Printable(entry.name).c_str(), ItemKindLetter(entry.kind), entry.kind,
                  entry.fullSize, entry.pendingSize);
    text << line;
  }
  j["entries"] = entries;
  Json lines = Json::array();
  text << "flags " << Hex(catalogue.flags, 2)
       << ((catalogue.flags & CATALOGUE_UP_TO_DATE) ? " (up to date)" : "") << "\n"
       << "mainVersionText " << Printable(catalogue.mainVersionText) << "\n"
       << "version list:\n";
  for (const std::u16string& line : ui.lines) {
    lines.push_back(Utf16ToUtf8(line));
    text << "  \"" << Utf16ToUtf8(line) << "\"\n";
  }
  j["comboLines"] = lines;
  Print(args, j, text.str());
  ResetAppState(nullptr, nullptr);
  return EXIT_OK;
}

// ---- publish

int Publish(const Args& args) {
  if (args.positional.size() != 1) return Fail("publish needs one manifest file");
  std::string out = args.Value("--out");
  if (out.empty()) return Fail("publish needs --out DIR");
  const std::string manifest = args.positional[0];
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(manifest, &bytes)) return Fail("cannot read " + manifest);
  size_t slash = manifest.rfind('/');
  std::string baseDir = slash == std::string::npos ? "." : manifest.substr(0, slash);
  ServerPlan plan;
  std::string error;
  if (!ParseManifest(std::string(bytes.begin(), bytes.end()), baseDir, &plan, &error))
    return Fail(manifest + ": " + error);
  if (!WriteServerTree(plan, out, &error)) return Fail(error);

  Json files = Json::array();
  std::ostringstream text;
  auto add = [&](const std::string& path) {
    struct stat st {};
    long long size = ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    files.push_back({{"path", path}, {"bytes", size}});
    text << "  " << path << "  " << size << " bytes\n";
  };
  for (const ModelPlan& model : plan.models) {
    text << "model " << model.modelId << ":\n";
    add(IndexFilePath(out, model.modelId, 1));
    if (model.hasFinal) add(IndexFilePath(out, model.modelId, 0));
    for (const ImagePlan& image : model.images) add(ImageFilePath(out, model.modelId, image.name));
  }
  Json j;
  j["out"] = out;
  j["files"] = files;
  Print(args, j, text.str());
  return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(USAGE, argc < 2 ? stderr : stdout);
    return argc < 2 ? EXIT_BAD_INPUT : EXIT_OK;
  }
  const std::string command = argv[1];
  if (command == "sim") return Sim(argc, argv);

  Args args;
  std::string error;
  bool ok = false;
  if (command == "identify")
    ok = ParseArgs(argc, argv, 2, {}, {}, &args, &error);
  else if (command == "pack")
    ok = ParseArgs(argc, argv, 2, {"--index", "--image"},
                   {"--tag", "--version", "--first", "--last", "--payload", "--pattern",
                    "--payload-bytes", "--entry", "--out"},
                   &args, &error);
  else if (command == "check")
    ok = ParseArgs(argc, argv, 2, {"--index", "--image"}, {"--tag"}, &args, &error);
  else if (command == "catalogue")
    ok = ParseArgs(argc, argv, 2, {"--force"}, {"--device", "--state"}, &args, &error);
  else if (command == "publish")
    ok = ParseArgs(argc, argv, 2, {}, {"--out"}, &args, &error);
  else
    return Fail("unknown command " + command + "\n" + USAGE);
  if (!ok) return Fail(error);

  if (command == "identify") return Identify(args);
  if (command == "pack") return Pack(args);
  if (command == "check") return Check(args);
  if (command == "catalogue") return Catalogue(args);
  return Publish(args);
}
