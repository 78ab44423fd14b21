// Where index and image files lie on the update server; the program and the publisher both build
// paths from here.
#pragma once

#ifndef TOLVARIN_UPDATE_HOST
// The update server's host (and port), a build setting: cmake -DTOLVARIN_UPDATE_HOST=host:port.
#define TOLVARIN_UPDATE_HOST "update.tolvarin.example"
#endif

// The path under which the server keeps every file, with its leading and trailing '/'.
inline constexpr char UPDATE_BASE_PATH[] = "/Mvlq5/Oxt/k4/";
inline constexpr char UPDATE_BASE_URL[] = "http://" TOLVARIN_UPDATE_HOST "/Mvlq5/Oxt/k4/";

// Index file directories: the step index (selector 1) and the final index (any other selector).
inline constexpr char STEP_INDEX_DIRECTORY[] = "Door47";
inline constexpr char FINAL_INDEX_DIRECTORY[] = "DoorU";

// The pool directory of a model's images: this text with character 6 replaced by character 2 of
// the model identifier.
inline constexpr char POOL_DIRECTORY_TEMPLATE[] = "Pool47Ax";
constexpr int POOL_MODEL_CHAR_INDEX = 6;
constexpr int LOCATION_CAPACITY = 256;

// Formats "<base><directory>/<modelId>.Bin" into out (capacity bytes, cut to fit). Returns the
// length, or -1 when cut.
int IndexFileLocation(char* out, int capacity, const char* base, const char* directory,
                      const char* modelId);

// Formats "<base><poolDirectory>/<name>" into out (capacity bytes, cut to fit).
int ImageFileLocation(char* out, int capacity, const char* base, const char* poolDirectory,
                      const char* name);

// The pool directory name of a model (9 bytes: 8 characters and the terminator).
void PoolDirectoryFor(const char* modelId, char* out);
