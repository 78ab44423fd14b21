// tolvarin-tool catalogue: what the program makes of an index file for a given device.
#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>

#include "app/app_state.h"
#include "base/utf8.h"
#include "device/scsi_request.h"
#include "files/catalogue.h"
#include "files/update_file.h"
#include "publisher.h"
#include "tool_common.h"
#include "workflow/catalogue_compare.h"
#include "workflow/identify.h"

namespace {

struct CatalogueOptions {
  std::string index, device, state;
  CLI::Option *deviceOption = nullptr, *stateOption = nullptr;
  bool force = false, json = false;
};

// Captures the version list that parsing fills.
class CCaptureUi : public CNullUiPort {
 public:
  void ComboAddLine(const WChar* line) override { lines.emplace_back(line); }
  std::vector<std::u16string> lines;
};

int Catalogue(const CatalogueOptions& o) {
  if (Given(o.deviceOption) == Given(o.stateOption))
    return Fail("catalogue needs one of --device PAGE and --state FILE");
  std::string error;
  uint8_t page[PAGE_SIZE];
  if (Given(o.deviceOption)) {
    if (!ReadPage(o.device, page, &error)) return Fail(error);
  } else {
    CSimDevice device;
    if (!LoadState(o.state, &device, &error)) return Fail(error);
    device.ReadFlashPage(INFO_PAGE_ADDRESS, page);
  }
  std::vector<uint8_t> data;
  const std::string& path = o.index;
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
  if (o.force) g_app.runFlags |= FLAG_FORCE;
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
  Print(o.json, j, text.str());
  ResetAppState(nullptr, nullptr);
  return EXIT_OK;
}

}  // namespace

void AddCatalogueCommands(CLI::App& tool, ToolCommands* commands) {
  auto o = std::make_shared<CatalogueOptions>();
  CLI::App* c =
      tool.add_subcommand("catalogue", "the catalogue and version list an index gives a device");
  c->add_option("INDEX", o->index, "the published index file")->required();
  o->deviceOption = c->add_option("--device", o->device, "the device's 256-byte information page");
  o->stateOption = c->add_option("--state", o->state, "a simulated device state file");
  c->add_flag("--force", o->force, "as with the program's forced update (command line \"f\")");
  AddJsonFlag(c, &o->json);
  c->footer("Example:\n  tolvarin-tool catalogue 4D9C.Bin --state dev.state --json");
  commands->push_back({c, [o] { return Catalogue(*o); }});
}
