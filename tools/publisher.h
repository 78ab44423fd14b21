// Publishing whole update server trees from a plan or a JSON manifest (tool and tests).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One image file in a model's pool directory. Its tag is characters 2..5 of its name.
struct ImagePlan {
  std::string name;  // the catalogue entry name, also the file name in the pool directory
  uint16_t firstSector = 0;
  uint16_t lastSector = 0;
  uint32_t versionWord = 0;
  std::vector<uint8_t> payload;  // page data from firstSector on, stored as it is
};

struct IndexEntryPlan {
  std::string name;
  std::u16string description;
  // Size listed in the index file; -1 takes the size of the model's image of the same name.
  int64_t size = -1;
};

struct IndexPlan {
  uint32_t versionWord = 0;
  std::vector<IndexEntryPlan> entries;
};

struct ModelPlan {
  std::string modelId;  // 4 characters
  IndexPlan step;       // Door47/<modelId>.Bin
  bool hasFinal = false;
  IndexPlan final;  // DoorU/<modelId>.Bin, when hasFinal
  std::vector<ImagePlan> images;
};

struct ServerPlan {
  std::vector<ModelPlan> models;
};

// The deterministic pattern that stands for image content: `size` bytes that differ from page to
// page and from seed to seed, and are never all erased (0xFF).
std::vector<uint8_t> PatternPayload(size_t size, uint32_t seed);

// Page data of a whole sector range (first..last, 4096 bytes a sector; none when first > last).
size_t RangeBytes(uint16_t firstSector, uint16_t lastSector);

// True when text is exactly `digits` of 0-9 and A-F (as model ids, versions and stamps are).
bool IsUpperHex(const std::string& text, size_t digits);

// Text of 8-bit bytes (up to n or the first 0) with everything outside printable ASCII as \xHH.
std::string Printable(const char* text, size_t n = std::string::npos);

// Empty when `name` can name a catalogue entry: 6 to 31 printable ASCII characters without '/',
// the second-to-last a hex digit (the kind), and for kind T characters 4..5 hex digits (the model
// code). Otherwise a sentence saying what is wrong.
std::string EntryNameProblem(const std::string& name);

// The published bytes of an image file with the given tag (header sealed, header bytes 8..31
// scrambled, payload as it is).
std::vector<uint8_t> PublishImageFile(const std::string& tag, uint16_t firstSector,
                                      uint16_t lastSector, uint32_t versionWord,
                                      const std::vector<uint8_t>& payload);
// The published bytes of a planned image: its tag is characters 2..5 of its name.
std::vector<uint8_t> PublishImage(const ImagePlan& image);

// The published bytes of an index file of `model`; sizes of -1 are taken from the model's images.
// Empty, with *error set, when an entry breaks the catalogue's limits or the file exceeds 2048
// bytes.
std::vector<uint8_t> PublishIndex(const ModelPlan& model, const IndexPlan& index,
                                  std::string* error);

// Where a file lies in a server tree rooted at `root` (a directory; UPDATE_BASE_PATH below it).
std::string IndexFilePath(const std::string& root, const std::string& modelId, int which);
std::string ImageFilePath(const std::string& root, const std::string& modelId,
                          const std::string& entryName);

// Writes every model's step index, final index (when it has one) and images under root, creating
// the directories. Returns true; false with *error on a plan that breaks the limits or a file that
// cannot be written.
bool WriteServerTree(const ServerPlan& plan, const std::string& root, std::string* error);

// Reads a JSON manifest (see samples/manifest.json) into plan. Relative payload file names are
// taken from baseDir. Returns true; false with *error saying what is wrong.
bool ParseManifest(const std::string& text, const std::string& baseDir, ServerPlan* plan,
                   std::string* error);

// ParseManifest on the file at path, its payload names taken from the file's own directory.
// Returns true; false with *error: "cannot read PATH", or PATH and what is wrong with it.
bool ReadManifestFile(const std::string& path, ServerPlan* plan, std::string* error);

// A number in decimal or, with 0x, in hex, at most max. Returns true; false for anything else.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out);

// Reads a whole file. Returns true; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out);
// Writes a whole file, creating or truncating it. Returns true on success.
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& data);
