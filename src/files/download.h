// HTTP download of one file into the caller's buffer, and the fetch of a model's index files.
#pragma once

#include <cstdint>
#include <string>

#include "base/error_codes.h"
#include "base/text.h"

constexpr int DOWNLOAD_CHUNK_SIZE = 16384;
constexpr int IMAGE_BUFFER_EXTRA = 128;  // an image buffer holds the catalogue size plus this

// Downloads `url` (8-bit text) into buffer, which holds `capacity` bytes and is owned by the
// caller. When fileName (UTF-16) is not empty the same bytes are also written to that file,
// created or truncated first. Returns the number of bytes received (0 or more) or a negative
// ErrorCode: ERR_OFFLINE, ERR_CONNECT, ERR_READ (also when the body does not fit the capacity;
// nothing is written past it), ERR_CREATE_FILE, ERR_WRITE_FILE. On failure buffer keeps the
// bytes received so far. Each platform supplies its own (WinINet on Windows, libcurl elsewhere).
int DownloadToBuffer(uint8_t* buffer, int capacity, const char* url, const WChar* fileName);

// Downloads the index file of modelId from the step directory (which 1) or the final directory
// (any other value) under baseUrl into buffer (capacity bytes). Returns what DownloadToBuffer does.
int FetchIndexFile(uint8_t* buffer, int capacity, const char* baseUrl, const char* modelId,
                   int which);

// Native (libcurl) build: seconds a download may receive nothing before it fails with ERR_READ.
// 30 like the platform's default; tests lower it so that a stalled server costs them little.
extern int g_downloadStallSeconds;
// Native (libcurl) build: a PEM file of CA certificates trusted for https beside the system's, or
// empty. Tests give it their own CA; certificates are verified either way.
extern std::string& g_downloadExtraCaFile;
