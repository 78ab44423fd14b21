// tolvarin-fault-files: damages a published image file for the Wine fault slice.
//
// Usage: tolvarin-fault-files range FILE TAG LAST
//   rewrites FILE's last sector as LAST, sealed and scrambled again, so that the file passes its
//   check but announces more sectors than it holds page data for.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "files/update_file.h"

int main(int argc, char** argv) {
  if (argc != 5 || std::string(argv[1]) != "range") {
    std::fprintf(stderr, "usage: tolvarin-fault-files range FILE TAG LAST\n");
    return 1;
  }
  const std::string path = argv[2], tag = argv[3];
  if (tag.size() != 4) return 1;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  if (file.size() < UPDATE_HEADER_SIZE) return 2;
  const int length = static_cast<int>(file.size());
  ScrambleUpdateFile(length, file.data(), tag.data(), MODE_IMAGE_FILE);  // plain header
  const int last = std::atoi(argv[4]);
  file[30] = static_cast<uint8_t>(last >> 8);
  file[31] = static_cast<uint8_t>(last);
  SealUpdateFile(length, file.data());
  ScrambleUpdateFile(length, file.data(), tag.data(), MODE_IMAGE_FILE);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), length);
  return out ? 0 : 2;
}
