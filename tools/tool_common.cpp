// Helpers the tolvarin-tool command groups share: messages, numbers, output, pages and states.
#include "tool_common.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "base/error_codes.h"
#include "base/text.h"
#include "device/scsi_request.h"
#include "files/server_layout.h"
#include "publisher.h"
#include "workflow/identify.h"

void AddJsonFlag(CLI::App* command, bool* json) {
  command->add_flag("--json", *json, "print one JSON object instead of text");
}

bool Given(const CLI::Option* option) {
  return option != nullptr && option->count() > 0;
}

int Fail(const std::string& message, int code) {
  std::fprintf(stderr, "tolvarin-tool: %s\n", message.c_str());
  return code;
}

bool NumberOption(const std::string& name, const std::string& text, uint64_t max, uint64_t* out,
                  std::string* error) {
  if (!ParseUnsigned(text, max, out)) {
    *error = name + " needs a number from 0 to " + std::to_string(max) + ", not \"" + text + "\"";
    return false;
  }
  return true;
}

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

void Print(bool json, const Json& object, const std::string& text) {
  if (json)
    std::printf("%s\n", object.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
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

namespace {

// The pool directory the program derives for this identity.
std::string PoolDirectory(const IdentityResult& result) {
  char pool[9];
  CopyText(pool, sizeof pool, POOL_DIRECTORY_TEMPLATE);
  pool[POOL_MODEL_CHAR_INDEX] = result.poolChar;
  return pool;
}

}  // namespace

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
