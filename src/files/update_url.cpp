// The update server's base URL of one program, from the build setting; compiled once per program.
#include "files/server_layout.h"

#ifndef TOLVARIN_UPDATE_URL
#error "the build names the update server's base URL (TOLVARIN_UPDATE_URL)"
#endif

static_assert(IsUpdateBaseUrl(TOLVARIN_UPDATE_URL),
              "TOLVARIN_UPDATE_URL is http:// or https://, a host, then UPDATE_BASE_PATH");

const char UPDATE_BASE_URL[] = TOLVARIN_UPDATE_URL;
