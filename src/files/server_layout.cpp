// Building the locations of index and image files on the update server.
#include "files/server_layout.h"

#include "base/text.h"

int IndexFileLocation(char* out, int capacity, const char* base, const char* directory,
                      const char* modelId) {
  char dir[128];
  CopyText(dir, sizeof dir, directory);
  return FormatText(out, capacity, "%s%s/%s.Bin", base, dir, modelId);
}

int ImageFileLocation(char* out, int capacity, const char* base, const char* poolDirectory,
                      const char* name) {
  return FormatText(out, capacity, "%s%s/%s", base, poolDirectory, name);
}

void PoolDirectoryFor(const char* modelId, char* out) {
  CopyText(out, 9, POOL_DIRECTORY_TEMPLATE);
  out[POOL_MODEL_CHAR_INDEX] = modelId[2];
}

int RecordFileLocation(char* out, int capacity, const char* base, const char* modelId,
                       bool signature) {
  return FormatText(out, capacity, "%s%s/%s%s", base, RECORD_DIRECTORY, modelId,
                    signature ? SIGNATURE_SUFFIX : RECORD_SUFFIX);
}
