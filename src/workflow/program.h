// Programming one checked image into the device's flash and verifying it by reading it back.
#pragma once

#include <cstdint>

// Erases and writes sectors firstSector..lastSector of the image (a buffer as CheckUpdateFile
// leaves it, holding the whole range's page data: see CheckImageRange), each sector erased right
// before its 16 pages, then reads the whole range back and compares. Shows progress as the Start
// button's caption with kindLetter. Returns the number of bytes that differ; a page whose read
// fails counts all 256 of its bytes. first > last programs nothing and returns 0.
int32_t ProgramAndVerify(const uint8_t* image, char kindLetter);
