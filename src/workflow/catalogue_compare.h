// Reading an index file's catalogue against the connected device: the entries, what is pending,
// and the version list.
#pragma once

#include <cstdint>

#include "files/catalogue.h"

// Parses a checked (descrambled) index file of `length` bytes into catalogue and compares each
// entry with the device identity of the application state. fillCombo 1 also adds the main
// firmware lines to the version list, selects line 0 and enables it; 0 sends no window message.
// Returns 1, or CHECK_CATALOGUE_MALFORMED (catalogue and window untouched) when
// ValidateCatalogue refuses the file.
int ParseCatalogue(const uint8_t* indexData, int length, int fillCombo, UpdateCatalogue* catalogue);
