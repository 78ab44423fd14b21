// Result codes of the download layer and of the file checks, and the two tables that name them.
#pragma once

#include "base/text.h"

// Negative results of the download operations: -(64 x category + message index).
enum ErrorCode : int {
  ERR_OFFLINE = -65,       // the root internet handle cannot be opened
  ERR_CONNECT = -66,       // the URL cannot be opened
  ERR_READ = -70,          // a read fails, or the body does not fit the caller's buffer
  ERR_CREATE_FILE = -131,  // the optional local copy cannot be created
  ERR_WRITE_FILE = -133,   // a write to the optional local copy fails or is short
};

// Results of the update-file check and of the checks made before a file is used. These are not
// ErrorCodes: they are printed as numbers inside the numbered error texts.
enum CheckResult : int {
  CHECK_OK = 0,
  CHECK_NULL_DATA = -1,
  CHECK_BAD_MAGIC = -2,
  CHECK_BAD_LENGTH = -3,
  CHECK_BAD_XOR = -4,
  CHECK_BAD_SUM = -5,
  CHECK_INDEX_TOO_LONG = -6,
  CHECK_BAD_TAG = -7,
  CHECK_NEGATIVE_LENGTH = -9,
  // The index file's entries leave the file or break the catalogue's limits (shown as 0302).
  CHECK_CATALOGUE_MALFORMED = -10,
  // The image's sector range needs more page data than the file holds (shown as 0402).
  CHECK_IMAGE_TOO_SHORT = -11,
};

constexpr int ERROR_CAPTION_COUNT = 4;
constexpr int ERROR_TEXT_COUNT = 9;
extern const WChar* const ERROR_CAPTIONS[ERROR_CAPTION_COUNT];
extern const WChar* const ERROR_TEXTS[ERROR_TEXT_COUNT];

// Caption and text shown for `code`. A code outside the tables shows the index-0 entries.
const WChar* ErrorCaptionFor(int code);
const WChar* ErrorTextFor(int code);
