// tolvarin-fixture: writes one end-to-end scenario's update server tree and simulated device.
//
// Usage: tolvarin-fixture SCENARIO ROOT STATE [DELAY_US]
//   ROOT   server root to fill (Mvlq5/Oxt/k4/Door47, DoorU and Pool479x below it) plus
//          ROOT/expected.txt: "image NAME FIRST LAST" for each published image, in catalogue order
//   STATE  simulated device state file to write (the device is then plugged in)
// Scenarios: offer, current, more, badmodel, corrupt, ignorewrite (see Plan below).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/sim_device.h"
#include "files/server_layout.h"
#include "update_builder.h"

namespace {

constexpr char MODEL_ID[] = "4D9C";
constexpr int MODEL_CODE = 0x40;  // with main version digit 1: info byte 0 is 0x41

struct Image {
  std::string name;
  uint16_t first, last;
  uint8_t seed;  // payload bytes are a pattern from this seed, distinct per image
  std::u16string description;
};

// Names are 8 characters: 2..5 the tag, 3..5 the stamp, 6 the kind digit.
const Image T_IMAGE{"TT9C410x", 0, 0, 0x11, u"model"};
const Image V_IMAGE{"VV9V121x", 2, 3, 0x22, u"voice 1.2"};
const Image C1_IMAGE{"CC91232x", 8, 11, 0x33, u"main 1.2.3"};
const Image C2_IMAGE{"CC91242x", 8, 11, 0x44, u"main 1.2.4"};

std::vector<uint8_t> Payload(const Image& image) {
  std::vector<uint8_t> payload((image.last - image.first + 1) * 4096u);
  for (size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<uint8_t>(image.seed + i * 7 + (i >> 8));
  return payload;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool MakeDirs(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  return !error;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: tolvarin-fixture SCENARIO ROOT STATE [DELAY_US]\n");
    return 1;
  }
  std::string scenario = argv[1], root = argv[2], state = argv[3];
  uint32_t delay = argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 0;
  bool known = scenario == "offer" || scenario == "current" || scenario == "more" ||
               scenario == "badmodel" || scenario == "corrupt" || scenario == "ignorewrite";
  if (!known) {
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 1;
  }

  // The catalogue: an up-to-date device has one main image, the others offer two to pick from.
  std::vector<Image> images = {T_IMAGE, V_IMAGE, C1_IMAGE};
  if (scenario != "current") images.push_back(C2_IMAGE);

  std::string base = root + UPDATE_BASE_PATH;
  std::string pool = base + "Pool479x";  // character 6 is the model identifier's character 2
  if (!MakeDirs(base + "Door47") || !MakeDirs(base + "DoorU") || !MakeDirs(pool)) return 2;

  std::vector<IndexEntrySpec> entries;
  std::string expected;
  for (const Image& image : images) {
    std::vector<uint8_t> file =
        BuildImageFile(image.name.substr(2, 4), image.first, image.last, Payload(image));
    // A flipped payload byte: the file no longer matches its checksum.
    if (scenario == "corrupt" && image.name == V_IMAGE.name) file[40] ^= 0x5A;
    if (!WriteFile(pool + "/" + image.name, file)) return 2;
    entries.push_back({image.name, static_cast<uint32_t>(file.size()), image.description});
    expected += "image " + image.name + " " + std::to_string(image.first) + " " +
                std::to_string(image.last) + "\n";
  }
  std::vector<uint8_t> step = BuildIndexFile(MODEL_ID, 0x01000001, entries);
  // A different final index means this pass is not the last.
  std::vector<uint8_t> final =
      scenario == "more" ? BuildIndexFile(MODEL_ID, 0x01000002, entries) : step;
  std::string index = std::string(MODEL_ID) + ".Bin";
  if (!WriteFile(base + "Door47/" + index, step) || !WriteFile(base + "DoorU/" + index, final))
    return 2;
  if (!WriteFile(root + "/expected.txt", std::vector<uint8_t>(expected.begin(), expected.end())))
    return 2;

  CSimDevice device;
  bool current = scenario == "current";
  std::vector<uint8_t> page =
      BuildInfoPage(MODEL_CODE, scenario == "badmodel" ? "4G9C" : MODEL_ID,
                    current ? "1123" : "1100", current ? "V12" : "V11", "ABC");
  device.SetInfoPage(page.data());
  // The device takes the first page of the voice image's range without storing it.
  if (scenario == "ignorewrite") device.faults.ignoreWritePage = V_IMAGE.first * 16;
  device.faults.delayMicros = delay;
  if (!device.Save(state)) return 2;
  return 0;
}
