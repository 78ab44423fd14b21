// Fetching and verifying the publication record, and holding every downloaded file against it.
#include "workflow/publication_check.h"

#include <cstdlib>

#include "app/app_state.h"
#include "app/messages.h"
#include "files/download.h"
#include "files/server_layout.h"
#include "platform/clock.h"

namespace {

// An error page in place of the signature must read as "not signed", not as a failed download:
// the buffer takes more than a signature so that such a page arrives whole.
constexpr int SIGNATURE_BUFFER_BYTES = 4096;

const WChar* RecordCheckText(int result) {
  switch (result) {
    case RECORD_MALFORMED:
      return TEXT_ERROR_RECORD_MALFORMED;
    case RECORD_OTHER_MODEL:
      return TEXT_ERROR_RECORD_OTHER_MODEL;
    case RECORD_EXPIRED:
      return TEXT_ERROR_RECORD_EXPIRED;
    case RECORD_FILE_NOT_LISTED:
      return TEXT_ERROR_FILE_NOT_LISTED;
    case RECORD_FILE_DIFFERS:
      return TEXT_ERROR_FILE_DIFFERS;
    default:
      return TEXT_ERROR_NOT_SIGNED;
  }
}

// Downloads one of the record's two files into buffer; false (reported, end asked) on failure.
bool Fetch(uint8_t* buffer, int capacity, bool signature, int* length) {
  char url[LOCATION_CAPACITY];
  RecordFileLocation(url, sizeof url, g_app.baseUrl, g_app.identity.modelId, signature);
  *length = DownloadToBuffer(buffer, capacity, url, u"");
  if (*length >= 0) return true;
  ShowErrorCode(*length);
  g_app.ui->EndProcess(0);
  return false;
}

}  // namespace

bool ChecksPublications() {
  return g_app.publicKeyCount > 0;
}

bool FetchPublicationRecord() {
  if (!ChecksPublications()) return true;
  // Heap buffers: the identification worker's stack already holds both index files.
  auto* text = static_cast<uint8_t*>(std::calloc(RECORD_MAX_BYTES, 1));
  auto* signature = static_cast<uint8_t*>(std::calloc(SIGNATURE_BUFFER_BYTES, 1));
  int textLength = 0, signatureLength = 0;
  int result = RECORD_NOT_SIGNED;
  bool fetched = text != nullptr && signature != nullptr &&
                 Fetch(text, RECORD_MAX_BYTES, false, &textLength) &&
                 Fetch(signature, SIGNATURE_BUFFER_BYTES, true, &signatureLength);
  // A clock the program cannot read proves no record current: the latest time there is makes the
  // expiry check refuse it.
  int64_t now = INT64_MAX;
  ReadSystemClock(&now);
  if (fetched)
    result = CheckRecord(text, textLength, signature, signatureLength, g_app.publicKeys,
                         g_app.publicKeyCount, g_app.identity.modelId, now, &g_app.record);
  std::free(text);
  std::free(signature);
  if (result == RECORD_OK) return true;
  // A failed download has been reported already; no memory is a record that cannot be checked.
  if (fetched || text == nullptr || signature == nullptr) FatalError(RecordCheckText(result));
  return false;
}

bool MayFetch(const char* path) {
  return !ChecksPublications() || FindRecordedFile(g_app.record, path) != nullptr;
}

bool AcceptSignedFile(const char* path, const uint8_t* data, int length) {
  if (!ChecksPublications()) return true;
  int result = CheckRecordedFile(g_app.record, path, data, length);
  if (result == RECORD_OK) return true;
  FatalError(RecordCheckText(result));
  return false;
}
