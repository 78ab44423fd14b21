// tolvarin-tool identify: the identity the program derives from an information page file.
#include <memory>

#include "device/scsi_request.h"
#include "tool_common.h"
#include "workflow/identify.h"

namespace {

struct IdentifyOptions {
  std::string page;
  bool json = false;
};

int Identify(const IdentifyOptions& o) {
  uint8_t page[PAGE_SIZE];
  std::string error;
  if (!ReadPage(o.page, page, &error)) return Fail(error);
  IdentityResult result = DeriveIdentity(page);
  Print(o.json, IdentityJson(result), IdentityText(result));
  if (result.malformed)
    return Fail("the model identifier is malformed: the program stops with error 0300",
                EXIT_REFUSED);
  return EXIT_OK;
}

}  // namespace

void AddIdentifyCommands(CLI::App& tool, ToolCommands* commands) {
  auto o = std::make_shared<IdentifyOptions>();
  CLI::App* c = tool.add_subcommand("identify", "identity of a 256-byte information page file");
  c->add_option("PAGE", o->page, "the information page, 256 bytes")->required();
  AddJsonFlag(c, &o->json);
  c->footer("Example:\n  tolvarin-tool identify page.bin --json");
  commands->push_back({c, [o] { return Identify(*o); }});
}
