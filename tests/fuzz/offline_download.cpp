// DownloadToBuffer of the fuzz build: always offline, so no fuzz input ever reaches the network.
#include "files/download.h"

int DownloadToBuffer(uint8_t*, int, const char*, const WChar*) {
  return ERR_OFFLINE;
}
