// Writing a publication record's text and its times: the publisher's side, never linked into the
// programs.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "files/publication_record.h"

namespace {

// A JSON string literal (quotes and backslashes escaped; bytes that are not UTF-8 replaced, where
// dump would throw).
std::string Quoted(const char* text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string HexText(const uint8_t* bytes, int count) {
  std::string out;
  char pair[3];
  for (int i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    out += pair;
  }
  return out;
}

std::string FormatUtcTime(int64_t seconds) {
  // Years 0000..9999 only: the form has four digits for the year.
  if (seconds < -62167219200 || seconds > 253402300799) return "";
  int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  int64_t rest = seconds - days * 86400;
  // The inverse of the days-from-date count, in 400-year eras from 0000-03-01.
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shifted = (5 * dayOfYear + 2) / 153;
  const int day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  const int month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2));
  char text[64];  // room for any int, so that the compiler sees no cut
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                static_cast<int>(rest % 60));
  return text;
}

std::string RecordText(const PublicationRecord& record) {
  std::string text = "{\n";
  text += "  \"format\": " + std::to_string(RECORD_FORMAT) + ",\n";
  text += "  \"model\": " + Quoted(record.model) + ",\n";
  text += "  \"published\": \"" + FormatUtcTime(record.published) + "\",\n";
  text += "  \"expires\": \"" + FormatUtcTime(record.expires) + "\",\n";
  text += "  \"key\": \"" + HexText(record.keyId, KEY_ID_BYTES) + "\",\n";
  text += "  \"files\": [\n";
  for (int i = 0; i < record.fileCount; ++i) {
    const RecordedFile& file = record.files[i];
    text += "    {\"path\": " + Quoted(file.path) + ", \"size\": " + std::to_string(file.size) +
            ", \"sha256\": \"" + HexText(file.sha256, SHA256_BYTES) + "\"}";
    text += i + 1 < record.fileCount ? ",\n" : "\n";
  }
  text += "  ]\n}\n";
  return text;
}
