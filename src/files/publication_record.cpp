// Reading and checking a signed publication record: the program's side, which never writes one.
#include "files/publication_record.h"

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// The deepest value the format has: a file object's fields (root 0, "files" 1, a file 2).
constexpr int MAX_DEPTH = 3;
constexpr int64_t SECONDS_PER_DAY = 86400;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly 2 * count hex digits into out.
bool ReadHex(const json& value, uint8_t* out, int count) {
  const std::string* text = value.get_ptr<const std::string*>();
  if (text == nullptr || text->size() != static_cast<size_t>(2 * count)) return false;
  for (int i = 0; i < count; ++i) {
    int high = HexValue((*text)[2 * i]), low = HexValue((*text)[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool ReadTime(const json& value, int64_t* seconds) {
  const std::string* text = value.get_ptr<const std::string*>();
  return text != nullptr && ParseUtcTime(*text, seconds);
}

// An object with exactly these fields (a duplicate is refused before this, by the parse).
bool HasExactly(const json& object, std::initializer_list<const char*> names) {
  if (!object.is_object() || object.size() != names.size()) return false;
  for (const char* name : names)
    if (object.find(name) == object.end()) return false;
  return true;
}

bool ReadRecordedFile(const json& object, RecordedFile* file) {
  if (!HasExactly(object, {"path", "size", "sha256"})) return false;
  const std::string* path = object["path"].get_ptr<const std::string*>();
  if (path == nullptr || path->empty() || path->size() >= sizeof file->path) return false;
  // Printable ASCII only: entry names are, and a 0 byte would cut the comparison short.
  for (char c : *path)
    if (c <= ' ' || c > '~') return false;
  const json& size = object["size"];
  if (!size.is_number_unsigned() || size.get<uint64_t>() > INT32_MAX) return false;
  if (!ReadHex(object["sha256"], file->sha256, SHA256_BYTES)) return false;
  std::memcpy(file->path, path->c_str(), path->size() + 1);
  file->size = static_cast<int32_t>(size.get<uint64_t>());
  return true;
}

bool ReadRecord(const json& root, PublicationRecord* record) {
  if (!HasExactly(root, {"format", "model", "published", "expires", "key", "files"})) return false;
  const json& format = root["format"];
  if (!format.is_number_unsigned() || format.get<uint64_t>() != RECORD_FORMAT) return false;
  const std::string* model = root["model"].get_ptr<const std::string*>();
  if (model == nullptr || model->size() != 4) return false;
  // The program identifies no other model (a page with other characters is malformed).
  for (char c : *model)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  std::memcpy(record->model, model->c_str(), 5);
  if (!ReadTime(root["published"], &record->published) ||
      !ReadTime(root["expires"], &record->expires) || record->published > record->expires)
    return false;
  if (!ReadHex(root["key"], record->keyId, KEY_ID_BYTES)) return false;
  const json& files = root["files"];
  if (!files.is_array() || files.empty() || files.size() > RECORD_MAX_FILES) return false;
  record->fileCount = 0;
  for (const json& entry : files) {
    RecordedFile& file = record->files[record->fileCount];
    if (!ReadRecordedFile(entry, &file) || FindRecordedFile(*record, file.path) != nullptr)
      return false;
    ++record->fileCount;
  }
  return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

int ParseRecord(const uint8_t* text, int length, PublicationRecord* out) {
  if (text == nullptr || length <= 0 || length > RECORD_MAX_BYTES) return RECORD_MALFORMED;
  // nlohmann keeps the last of two equal keys without a word, and builds any nesting it is
  // given: the callback notes both, and leaves out what lies deeper than the format goes.
  bool refused = false;
  std::vector<std::string> keys[MAX_DEPTH + 1];
  auto callback = [&](int depth, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) {
      if (depth >= MAX_DEPTH) {
        refused = true;
        return false;
      }
      if (event == json::parse_event_t::object_start) keys[depth + 1].clear();
    } else if (event == json::parse_event_t::key && depth <= MAX_DEPTH) {
      const std::string* key = parsed.get_ptr<const std::string*>();
      if (key == nullptr) {
        refused = true;
        return true;
      }
      for (const std::string& seen : keys[depth])
        if (seen == *key) refused = true;
      keys[depth].push_back(*key);
    }
    return true;
  };
  json root = json::parse(text, text + length, callback, false);
  if (refused || root.is_discarded()) return RECORD_MALFORMED;
  PublicationRecord record;
  std::memset(&record, 0, sizeof record);
  if (!ReadRecord(root, &record)) return RECORD_MALFORMED;
  *out = record;
  return RECORD_OK;
}

int CheckRecord(const uint8_t* text, int length, const uint8_t* signature, int signatureLength,
                const uint8_t (*keys)[P256_PUBLIC_KEY_BYTES], int keyCount, const char* modelId,
                int64_t now, PublicationRecord* out) {
  if (text == nullptr || length < 0 || signature == nullptr ||
      signatureLength != RECORD_SIGNATURE_BYTES)
    return RECORD_NOT_SIGNED;
  bool signedByKey = false;
  for (int k = 0; k < keyCount && !signedByKey; ++k)
    signedByKey = VerifyP256(keys[k], text, static_cast<size_t>(length), signature,
                             static_cast<size_t>(signatureLength));
  if (!signedByKey) return RECORD_NOT_SIGNED;
  PublicationRecord record;
  int result = ParseRecord(text, length, &record);
  if (result != RECORD_OK) return result;
  if (std::strcmp(record.model, modelId) != 0) return RECORD_OTHER_MODEL;
  if (now > record.expires) return RECORD_EXPIRED;
  *out = record;
  return RECORD_OK;
}

const RecordedFile* FindRecordedFile(const PublicationRecord& record, const char* path) {
  for (int i = 0; i < record.fileCount; ++i)
    if (std::strcmp(record.files[i].path, path) == 0) return &record.files[i];
  return nullptr;
}

int CheckRecordedFile(const PublicationRecord& record, const char* path, const uint8_t* data,
                      int length) {
  const RecordedFile* file = FindRecordedFile(record, path);
  if (file == nullptr) return RECORD_FILE_NOT_LISTED;
  if (length != file->size) return RECORD_FILE_DIFFERS;
  uint8_t digest[SHA256_BYTES];
  if (!Sha256(data, static_cast<size_t>(length), digest) ||
      std::memcmp(digest, file->sha256, SHA256_BYTES) != 0)
    return RECORD_FILE_DIFFERS;
  return RECORD_OK;
}

void KeyIdOf(const uint8_t* publicKey, uint8_t* keyId) {
  uint8_t digest[SHA256_BYTES];
  Sha256(publicKey, P256_PUBLIC_KEY_BYTES, digest);
  std::memcpy(keyId, digest, KEY_ID_BYTES);
}

bool ParseUtcTime(const std::string& text, int64_t* seconds) {
  // Digits where the form has digits, these characters everywhere else.
  static const char FORM[] = "0000-00-00T00:00:00Z";
  if (text.size() != sizeof FORM - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (FORM[i] == '0' ? !digit : text[i] != FORM[i]) return false;
  }
  auto number = [&text](size_t at, int digits) {
    int value = 0;
    for (int i = 0; i < digits; ++i) value = value * 10 + (text[at + i] - '0');
    return value;
  };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  static const int DAYS_IN_MONTH[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  if (day > DAYS_IN_MONTH[month - 1] + (month == 2 && IsLeapYear(year))) return false;
  // No leap second: the computer's clock never shows one either.
  if (hour > 23 || minute > 59 || second > 59) return false;
  *seconds = DaysFromCivil(year, month, day) * SECONDS_PER_DAY + hour * 3600 + minute * 60 + second;
  return true;
}
