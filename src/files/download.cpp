// Index file locations and their fetch; the HTTP transfer itself is the platform's.
#include "files/download.h"

#include "files/server_layout.h"

int FetchIndexFile(uint8_t* buffer, int capacity, const char* baseUrl, const char* modelId,
                   int which) {
  char url[LOCATION_CAPACITY];
  IndexFileLocation(url, sizeof url, baseUrl,
                    which == 1 ? STEP_INDEX_DIRECTORY : FINAL_INDEX_DIRECTORY, modelId);
  return DownloadToBuffer(buffer, capacity, url, u"");
}
