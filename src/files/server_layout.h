// Where index and image files lie on the update server; the program and the publisher both build
// paths from here.
#pragma once

// The path under which the server keeps every file, with its leading and trailing '/'. The build
// reads it from this line to make and check TOLVARIN_UPDATE_URL: keep it one literal.
inline constexpr char UPDATE_BASE_PATH[] = "/Mvlq5/Oxt/k4/";

// The update server's base URL built into this program: the build setting TOLVARIN_UPDATE_URL,
// "http://" or "https://", the host (and port), then UPDATE_BASE_PATH. Defined in update_url.cpp,
// the one file compiled once per program.
extern const char UPDATE_BASE_URL[];

// True when url starts with "http://" or "https://" and a host, and ends with UPDATE_BASE_PATH.
constexpr bool IsUpdateBaseUrl(const char* url) {
  int n = 0, path = 0;
  while (url[n] != 0) ++n;
  while (UPDATE_BASE_PATH[path] != 0) ++path;
  auto startsWith = [url, n](const char* prefix, int length) {
    if (n < length) return false;
    for (int i = 0; i < length; ++i)
      if (url[i] != prefix[i]) return false;
    return true;
  };
  int host = startsWith("https://", 8) ? 8 : startsWith("http://", 7) ? 7 : 0;
  if (host == 0 || n < host + 1 + path || url[host] == '/') return false;
  for (int i = 0; i < path; ++i)
    if (url[n - path + i] != UPDATE_BASE_PATH[i]) return false;
  return true;
}

// Index file directories: the step index (selector 1) and the final index (any other selector).
inline constexpr char STEP_INDEX_DIRECTORY[] = "Door47";
inline constexpr char FINAL_INDEX_DIRECTORY[] = "DoorU";

// The pool directory of a model's images: this text with character 6 replaced by character 2 of
// the model identifier.
inline constexpr char POOL_DIRECTORY_TEMPLATE[] = "Pool47Ax";
constexpr int POOL_MODEL_CHAR_INDEX = 6;
constexpr int LOCATION_CAPACITY = 256;

// A model's signed publication record and its detached signature:
// "<base>Seal/<modelId>.json" and "<base>Seal/<modelId>.sig". Fetched only by a program with
// compiled-in public keys.
inline constexpr char RECORD_DIRECTORY[] = "Seal";
inline constexpr char RECORD_SUFFIX[] = ".json";
inline constexpr char SIGNATURE_SUFFIX[] = ".sig";

// Formats "<base><directory>/<modelId>.Bin" into out (capacity bytes, cut to fit). Returns the
// length, or -1 when cut.
int IndexFileLocation(char* out, int capacity, const char* base, const char* directory,
                      const char* modelId);

// Formats "<base><poolDirectory>/<name>" into out (capacity bytes, cut to fit).
int ImageFileLocation(char* out, int capacity, const char* base, const char* poolDirectory,
                      const char* name);

// The pool directory name of a model (9 bytes: 8 characters and the terminator).
void PoolDirectoryFor(const char* modelId, char* out);

// Formats the record's location ("<base>Seal/<modelId>.json", or ".sig" when signature) into out
// (capacity bytes, cut to fit). Returns the length, or -1 when cut.
int RecordFileLocation(char* out, int capacity, const char* base, const char* modelId,
                       bool signature);
