// The signed publication record of one model's release: every file the program may fetch for the
// model with its size and SHA-256 as served, the model, when it was published and until when it
// holds, and the signing key's id. A small JSON document; its detached signature (ECDSA P-256
// over SHA-256, r then s) signs its bytes exactly as served.
#pragma once

#include <cstdint>
#include <string>

#include "files/catalogue.h"
#include "files/crypto.h"

// Bounds of what the program downloads: the record's bytes and the signature's.
constexpr int RECORD_MAX_BYTES = 16384;
constexpr int RECORD_SIGNATURE_BYTES = P256_SIGNATURE_BYTES;
constexpr int RECORD_FORMAT = 1;
// Both index files and the images either lists.
constexpr int RECORD_MAX_FILES = 2 + 2 * MAX_CATALOGUE_ENTRIES;
constexpr int RECORD_PATH_CAPACITY = 64;  // a path under the base path, with its 0 byte
constexpr int KEY_ID_BYTES = 8;           // the first bytes of the SHA-256 of the key's X and Y

// Results of the record's checks, each shown with its own numbered text.
enum RecordCheck : int {
  RECORD_OK = 0,
  RECORD_NOT_SIGNED = -1,       // no compiled-in key verifies the signature over the record
  RECORD_MALFORMED = -2,        // signed, but not a record this program reads
  RECORD_OTHER_MODEL = -3,      // signed for another model
  RECORD_EXPIRED = -4,          // its expiry has passed by the computer's clock
  RECORD_FILE_NOT_LISTED = -5,  // a file the program needs is not in the record
  RECORD_FILE_DIFFERS = -6,     // a file's size or SHA-256 differs from the record
};

struct RecordedFile {
  char path[RECORD_PATH_CAPACITY];  // under the base path, as "Door47/4D9C.Bin"
  int32_t size;
  uint8_t sha256[SHA256_BYTES];
};

struct PublicationRecord {
  char model[5];
  int64_t published;  // seconds since 1970-01-01 UTC
  int64_t expires;
  uint8_t keyId[KEY_ID_BYTES];
  int32_t fileCount;
  RecordedFile files[RECORD_MAX_FILES];
};

// Reads a record's text (length bytes, not terminated; at most RECORD_MAX_BYTES). RECORD_OK, or
// RECORD_MALFORMED for anything but one JSON object with exactly the fields "format" (1), "model"
// (4 characters of 0-9 and A-F, as the program identifies models), "published" and "expires"
// (ISO 8601 UTC, published not after expires), "key" (hex of KEY_ID_BYTES) and "files" (1 to
// RECORD_MAX_FILES objects of "path" (printable ASCII, shorter than RECORD_PATH_CAPACITY),
// "size" (0 to INT32_MAX) and "sha256" (hex of SHA256_BYTES), no path twice), each field once.
// Hex digits may be of either case. out is filled only on RECORD_OK.
int ParseRecord(const uint8_t* text, int length, PublicationRecord* out);

// The program's whole check of a downloaded record and signature: the signature verified against
// each of keyCount keys (P256_PUBLIC_KEY_BYTES each) before the text is read at all, then the
// text parsed, the model compared with modelId and the expiry with now (seconds since 1970 UTC).
// Returns RECORD_OK with out filled, or the first check that fails.
int CheckRecord(const uint8_t* text, int length, const uint8_t* signature, int signatureLength,
                const uint8_t (*keys)[P256_PUBLIC_KEY_BYTES], int keyCount, const char* modelId,
                int64_t now, PublicationRecord* out);

// Checks a downloaded file's bytes against the record: RECORD_OK when path is listed with this
// length and SHA-256, RECORD_FILE_NOT_LISTED or RECORD_FILE_DIFFERS otherwise.
int CheckRecordedFile(const PublicationRecord& record, const char* path, const uint8_t* data,
                      int length);

// The entry of path in the record, or nullptr.
const RecordedFile* FindRecordedFile(const PublicationRecord& record, const char* path);

// The key id of a public key (X then Y): the first KEY_ID_BYTES of their SHA-256.
void KeyIdOf(const uint8_t* publicKey, uint8_t* keyId);

// "YYYY-MM-DDTHH:MM:SSZ" to seconds since 1970 UTC and back. ParseUtcTime returns false for any
// other form or an impossible date or time (a leap second included); FormatUtcTime returns ""
// for a time outside the years 0000..9999.
bool ParseUtcTime(const std::string& text, int64_t* seconds);
std::string FormatUtcTime(int64_t seconds);

// Lower-case hex of count bytes, as the record writes digests and key ids.
std::string HexText(const uint8_t* bytes, int count);

// The record's text as the publisher writes it (JSON, two-space indented, fields in the order
// above). For the tool; the program only reads records.
std::string RecordText(const PublicationRecord& record);
