// tolvarin-tool pack and check: single index and image files, written and checked.
#include <algorithm>
#include <memory>
#include <sstream>

#include "base/utf8.h"
#include "files/catalogue.h"
#include "files/update_file.h"
#include "publisher.h"
#include "tool_common.h"

namespace {

struct FileOptions {
  bool image = false, index = false, json = false;
  std::string tag, version, first, last, payload, pattern, payloadBytes, out, file;
  std::vector<std::string> entries;
  CLI::Option *versionOption = nullptr, *payloadOption = nullptr, *patternOption = nullptr,
              *payloadBytesOption = nullptr;
};

bool TagOption(const std::string& tag, std::string* error) {
  if (tag.size() != 4) {
    *error = "--tag needs 4 characters";
    return false;
  }
  return true;
}

int Pack(const FileOptions& o) {
  std::string error;
  if (o.image == o.index) return Fail("pack needs one of --image and --index");
  if (!TagOption(o.tag, &error)) return Fail(error);
  uint64_t version = 0;
  if (Given(o.versionOption) && !NumberOption("--version", o.version, 0xFFFFFFFF, &version, &error))
    return Fail(error);

  std::vector<uint8_t> file;
  if (o.image) {
    uint64_t first = 0, last = 0;
    if (!NumberOption("--first", o.first, 0xFFFF, &first, &error) ||
        !NumberOption("--last", o.last, 0xFFFF, &last, &error))
      return Fail(error);
    std::vector<uint8_t> payload;
    if (Given(o.payloadOption) == Given(o.patternOption))
      return Fail("pack --image needs one of --payload FILE and --pattern SEED");
    if (Given(o.payloadOption)) {
      if (!ReadWholeFile(o.payload, &payload)) return Fail("cannot read " + o.payload);
    } else {
      uint64_t seed = 0, bytes = RangeBytes(uint16_t(first), uint16_t(last));
      if (!NumberOption("--pattern", o.pattern, 0xFFFFFFFF, &seed, &error)) return Fail(error);
      if (Given(o.payloadBytesOption) &&
          !NumberOption("--payload-bytes", o.payloadBytes, 0xFFFFFF - UPDATE_HEADER_SIZE, &bytes,
                        &error))
        return Fail(error);
      payload = PatternPayload(bytes, uint32_t(seed));
    }
    if (payload.size() + UPDATE_HEADER_SIZE > 0xFFFFFF)
      return Fail("the image file would exceed the 24-bit length");
    file = PublishImageFile(o.tag, uint16_t(first), uint16_t(last), uint32_t(version), payload);
  } else {
    ModelPlan model;
    model.modelId = o.tag;
    model.step.versionWord = uint32_t(version);
    for (const std::string& word : o.entries) {
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
  if (!WriteWholeFile(o.out, file)) return Fail("cannot write " + o.out);
  Json j;
  j["out"] = o.out;
  j["mode"] = o.image ? "image" : "index";
  j["fileTag"] = o.tag;
  j["fileLength"] = file.size();
  Print(o.json, j,
        std::string(o.image ? "image" : "index") + " file " + o.out + ": " +
            std::to_string(file.size()) + " bytes, tag " + o.tag + "\n");
  return EXIT_OK;
}

int Check(const FileOptions& o) {
  std::string error;
  if (o.image == o.index) return Fail("check needs one of --image and --index");
  if (!TagOption(o.tag, &error)) return Fail(error);
  const std::string& path = o.file;
  std::vector<uint8_t> data;
  if (!ReadWholeFile(path, &data)) return Fail("cannot read " + path);
  const int length = static_cast<int>(data.size());
  // The check reads and rewrites header bytes even of a shorter file.
  data.resize(std::max<size_t>(data.size(), UPDATE_HEADER_SIZE), 0);
  const bool image = o.image;
  const int mode = image ? MODE_IMAGE_FILE : MODE_INDEX_FILE;
  const int result = CheckUpdateFile(length, data.data(), o.tag.c_str(), mode);
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
  Print(o.json, j, text.str());
  if (result != CHECK_OK)
    return Fail("the file fails the check: " + std::to_string(result), EXIT_REFUSED);
  if (contents != CHECK_OK)
    return Fail(std::string(image ? "the image is shorter than its sector range: "
                                  : "the entries cannot be read: ") +
                    std::to_string(contents),
                EXIT_REFUSED);
  return EXIT_OK;
}

void AddMode(CLI::App* c, FileOptions* o) {
  c->add_flag("--index", o->index, "an index file (a model's step or final index)");
  c->add_flag("--image", o->image, "an image file (the file of a catalogue entry)");
  c->add_option("--tag", o->tag, "the 4-character tag: the model id, or entry characters 2..5")
      ->required();
  AddJsonFlag(c, &o->json);
}

}  // namespace

void AddPackCheckCommands(CLI::App& tool, ToolCommands* commands) {
  auto p = std::make_shared<FileOptions>();
  CLI::App* c = tool.add_subcommand("pack", "write one published index or image file");
  AddMode(c, p.get());
  p->versionOption = c->add_option("--version", p->version, "the header's version word W");
  c->add_option("--first", p->first, "image: first sector S");
  c->add_option("--last", p->last, "image: last sector S, inclusive");
  p->payloadOption = c->add_option("--payload", p->payload, "image: page data from this file");
  p->patternOption = c->add_option("--pattern", p->pattern, "image: page data made from SEED");
  p->payloadBytesOption =
      c->add_option("--payload-bytes", p->payloadBytes, "image: bytes of pattern (default: range)");
  c->add_option("--entry", p->entries, "index: NAME:SIZE[:DESCRIPTION], once per entry");
  c->add_option("--out", p->out, "the file to write")->required();
  c->footer(
      "Examples:\n"
      "  tolvarin-tool pack --image --tag 9C52 --first 0 --last 0 --pattern 1 --out Mt9C520b\n"
      "  tolvarin-tool pack --index --tag 4D9C --version 0x00010131 \\\n"
      "      --entry Mt9C520b:4128 --entry 'Mc91312b:1048608:版本 1.31.' --out 4D9C.Bin");
  commands->push_back({c, [p] { return Pack(*p); }});

  auto k = std::make_shared<FileOptions>();
  c = tool.add_subcommand("check", "check a file as the program does and show its header");
  AddMode(c, k.get());
  c->add_option("FILE", k->file, "the published file")->required();
  c->footer(
      "Exit status: 0 valid, 1 refused by the check, 2 bad input.\n"
      "Example:\n  tolvarin-tool check --index --tag 4D9C 4D9C.Bin");
  commands->push_back({c, [k] { return Check(*k); }});
}
