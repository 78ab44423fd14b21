// Publishing server trees: the manifest reader, the index and image files, their places on disk.
#include "publisher.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/utf8.h"
#include "device/scsi_request.h"
#include "files/catalogue.h"
#include "files/server_layout.h"
#include "files/update_file.h"
#include "update_builder.h"

namespace {

using nlohmann::json;

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

const ImagePlan* FindImage(const ModelPlan& model, const std::string& name) {
  for (const ImagePlan& image : model.images)
    if (image.name == name) return &image;
  return nullptr;
}

bool MakeDirectories(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  return !error;
}

std::string Directory(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// A manifest number: a JSON number, or a string in decimal or with 0x in hex.
bool Number(const json& value, uint64_t max, uint64_t* out) {
  if (value.is_number_unsigned()) {
    *out = value.get<uint64_t>();
  } else if (value.is_string()) {
    return ParseUnsigned(value.get<std::string>(), max, out);
  } else {
    return false;
  }
  return *out <= max;
}

class ManifestReader {
 public:
  ManifestReader(std::string baseDir, std::string* error)
      : baseDir(std::move(baseDir)), error(error) {}

  bool Read(const json& root, ServerPlan* plan) {
    if (!root.is_object() || !root.contains("models") || !root["models"].is_array() ||
        root["models"].empty())
      return Fail("manifest", "needs a non-empty array \"models\"");
    for (size_t m = 0; m < root["models"].size(); ++m) {
      ModelPlan model;
      if (!ReadModel(root["models"][m], "models[" + std::to_string(m) + "]", &model)) return false;
      plan->models.push_back(std::move(model));
    }
    return true;
  }

 private:
  bool Fail(const std::string& where, const std::string& what) {
    *error = where + ": " + what;
    return false;
  }

  bool Field(const json& object, const char* name, const std::string& where, uint64_t max,
             uint64_t* out, bool required) {
    if (!object.contains(name)) {
      if (required) return Fail(where, std::string("needs \"") + name + "\"");
      return true;
    }
    if (!Number(object[name], max, out))
      return Fail(
          where, std::string("\"") + name + "\" must be a number from 0 to " + std::to_string(max));
    return true;
  }

  bool Text(const json& object, const char* name, const std::string& where, std::string* out,
            bool required) {
    if (!object.contains(name)) {
      if (required) return Fail(where, std::string("needs \"") + name + "\"");
      return true;
    }
    if (!object[name].is_string())
      return Fail(where, std::string("\"") + name + "\" must be a string");
    *out = object[name].get<std::string>();
    return true;
  }

  bool ReadModel(const json& object, const std::string& where, ModelPlan* model) {
    if (!object.is_object()) return Fail(where, "must be an object");
    if (!Text(object, "modelId", where, &model->modelId, true)) return false;
    if (model->modelId.size() != 4) return Fail(where, "\"modelId\" must have 4 characters");
    for (char c : model->modelId)
      if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
        return Fail(where, "\"modelId\" must be 4 of 0-9 and A-F");
    if (object.contains("images")) {
      if (!object["images"].is_array()) return Fail(where, "\"images\" must be an array");
      for (size_t i = 0; i < object["images"].size(); ++i) {
        ImagePlan image;
        if (!ReadImage(object["images"][i], where + ".images[" + std::to_string(i) + "]", &image))
          return false;
        if (FindImage(*model, image.name) != nullptr)
          return Fail(where, "two images named " + image.name);
        model->images.push_back(std::move(image));
      }
    }
    if (!object.contains("step")) return Fail(where, "needs a \"step\" index");
    if (!ReadIndex(object["step"], where + ".step", &model->step)) return false;
    if (object.contains("final")) {
      model->hasFinal = true;
      if (!ReadIndex(object["final"], where + ".final", &model->final)) return false;
    }
    return true;
  }

  bool ReadImage(const json& object, const std::string& where, ImagePlan* image) {
    if (!object.is_object()) return Fail(where, "must be an object");
    if (!Text(object, "name", where, &image->name, true)) return false;
    std::string problem = EntryNameProblem(image->name);
    if (!problem.empty()) return Fail(where, problem);
    uint64_t first = 0, last = 0, version = 0;
    if (!Field(object, "firstSector", where, 0xFFFF, &first, true) ||
        !Field(object, "lastSector", where, 0xFFFF, &last, true) ||
        !Field(object, "versionWord", where, 0xFFFFFFFF, &version, false))
      return false;
    image->firstSector = static_cast<uint16_t>(first);
    image->lastSector = static_cast<uint16_t>(last);
    image->versionWord = static_cast<uint32_t>(version);

    bool hasFile = object.contains("file"), hasPattern = object.contains("pattern");
    if (hasFile == hasPattern) return Fail(where, "needs exactly one of \"file\" and \"pattern\"");
    if (hasFile) {
      std::string file;
      if (!Text(object, "file", where, &file, true)) return false;
      std::string path = !file.empty() && file[0] == '/' ? file : baseDir + "/" + file;
      if (!ReadWholeFile(path, &image->payload)) return Fail(where, "cannot read " + path);
    } else {
      uint64_t seed = 0;
      uint64_t bytes = RangeBytes(image->firstSector, image->lastSector);
      if (!Field(object, "pattern", where, 0xFFFFFFFF, &seed, true) ||
          !Field(object, "payloadBytes", where, 0xFFFFFF - UPDATE_HEADER_SIZE, &bytes, false))
        return false;
      image->payload = PatternPayload(bytes, static_cast<uint32_t>(seed));
    }
    if (image->payload.size() + UPDATE_HEADER_SIZE > 0xFFFFFF)
      return Fail(where, "the image file would exceed 16 MiB, the largest 24-bit length");
    return true;
  }

  bool ReadIndex(const json& object, const std::string& where, IndexPlan* index) {
    if (!object.is_object()) return Fail(where, "must be an object");
    uint64_t version = 0;
    if (!Field(object, "versionWord", where, 0xFFFFFFFF, &version, false)) return false;
    index->versionWord = static_cast<uint32_t>(version);
    if (!object.contains("entries") || !object["entries"].is_array())
      return Fail(where, "needs an array \"entries\"");
    for (size_t e = 0; e < object["entries"].size(); ++e) {
      const json& entry = object["entries"][e];
      std::string at = where + ".entries[" + std::to_string(e) + "]";
      if (!entry.is_object()) return Fail(at, "must be an object");
      IndexEntryPlan plan;
      std::string description;
      if (!Text(entry, "name", at, &plan.name, true) ||
          !Text(entry, "description", at, &description, false))
        return false;
      if (!Utf8ToUtf16(description, &plan.description))
        return Fail(at, "\"description\" is not valid UTF-8");
      if (entry.contains("size")) {
        uint64_t size = 0;
        if (!Field(entry, "size", at, 0xFFFFFF, &size, true)) return false;
        plan.size = static_cast<int64_t>(size);
      }
      index->entries.push_back(std::move(plan));
    }
    return true;
  }

  std::string baseDir;
  std::string* error;
};

}  // namespace

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != 0 || value > max) return false;
  *out = value;
  return true;
}

bool IsUpperHex(const std::string& text, size_t digits) {
  if (text.size() != digits) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

std::string Printable(const char* text, size_t n) {
  std::string out;
  for (size_t i = 0; i < n && text[i] != 0; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::vector<uint8_t> PatternPayload(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  for (size_t i = 0; i < size; ++i) {
    // A small xorshift: neighbouring pages and seeds never repeat each other.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = static_cast<uint8_t>(state >> 24);
  }
  // Never a page of erased flash: a write that changed nothing must show in the verify pass.
  for (size_t page = 0; page < size; page += PAGE_SIZE) out[page] &= 0x7F;
  return out;
}

size_t RangeBytes(uint16_t firstSector, uint16_t lastSector) {
  return lastSector < firstSector
             ? 0
             : static_cast<size_t>(lastSector - firstSector + 1) * SECTOR_BYTES_IN_FILE;
}

std::string EntryNameProblem(const std::string& name) {
  if (name.size() < MIN_ENTRY_NAME || name.size() > MAX_ENTRY_NAME)
    return "entry name \"" + name + "\" must have " + std::to_string(MIN_ENTRY_NAME) + " to " +
           std::to_string(MAX_ENTRY_NAME) + " characters";
  for (char c : name)
    if (c <= ' ' || c > '~' || c == '/')
      return "entry name \"" + name + "\" must be printable ASCII without spaces or '/'";
  if (!IsHexDigit(name[name.size() - 2]))
    return "entry name \"" + name + "\" needs the kind as a hex digit in its second-to-last place";
  // A T entry names the device model it belongs to.
  if (HexDigitValue(name[name.size() - 2]) == KIND_T &&
      !(IsHexDigit(name[4]) && IsHexDigit(name[5])))
    return "T entry name \"" + name + "\" needs the model code as two hex digits at 4..5";
  return "";
}

std::vector<uint8_t> PublishImageFile(const std::string& tag, uint16_t firstSector,
                                      uint16_t lastSector, uint32_t versionWord,
                                      const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> file = BuildImageFile(tag, firstSector, lastSector, payload, false);
  for (int i = 0; i < 4; ++i) file[12 + i] = static_cast<uint8_t>(versionWord >> (8 * i));
  PublishUpdateFile(file, tag, MODE_IMAGE_FILE);
  return file;
}

std::vector<uint8_t> PublishImage(const ImagePlan& image) {
  return PublishImageFile(image.name.substr(2, 4), image.firstSector, image.lastSector,
                          image.versionWord, image.payload);
}

std::vector<uint8_t> PublishIndex(const ModelPlan& model, const IndexPlan& index,
                                  std::string* error) {
  if (index.entries.size() > MAX_CATALOGUE_ENTRIES) {
    *error = "an index file lists at most " + std::to_string(MAX_CATALOGUE_ENTRIES) + " entries";
    return {};
  }
  std::vector<IndexEntrySpec> specs;
  for (const IndexEntryPlan& entry : index.entries) {
    std::string problem = EntryNameProblem(entry.name);
    if (!problem.empty()) {
      *error = problem;
      return {};
    }
    if (entry.description.size() > MAX_ENTRY_DESCRIPTION) {
      *error = "the description of " + entry.name + " exceeds " +
               std::to_string(MAX_ENTRY_DESCRIPTION) + " UTF-16 units";
      return {};
    }
    int64_t size = entry.size;
    if (size < 0) {
      const ImagePlan* image = FindImage(model, entry.name);
      if (image == nullptr) {
        *error = "entry " + entry.name + " has neither an image nor a size";
        return {};
      }
      size = static_cast<int64_t>(image->payload.size()) + UPDATE_HEADER_SIZE;
    }
    if (size > 0xFFFFFF) {
      *error = "entry " + entry.name + " is larger than a 24-bit size";
      return {};
    }
    specs.push_back({entry.name, static_cast<uint32_t>(size), entry.description});
  }
  std::vector<uint8_t> file = BuildIndexFile(model.modelId, index.versionWord, specs);
  if (file.size() > MAX_INDEX_FILE_SIZE) {
    *error = "the index file of " + model.modelId + " would have " + std::to_string(file.size()) +
             " bytes, more than " + std::to_string(MAX_INDEX_FILE_SIZE);
    return {};
  }
  return file;
}

std::string IndexFilePath(const std::string& root, const std::string& modelId, int which) {
  std::string base = root + UPDATE_BASE_PATH;
  std::vector<char> out(base.size() + 64);
  IndexFileLocation(out.data(), static_cast<int>(out.size()), base.c_str(),
                    which == 1 ? STEP_INDEX_DIRECTORY : FINAL_INDEX_DIRECTORY, modelId.c_str());
  return out.data();
}

std::string ImageFilePath(const std::string& root, const std::string& modelId,
                          const std::string& entryName) {
  std::string base = root + UPDATE_BASE_PATH;
  char pool[9];
  PoolDirectoryFor(modelId.c_str(), pool);
  std::vector<char> out(base.size() + entryName.size() + 16);
  ImageFileLocation(out.data(), static_cast<int>(out.size()), base.c_str(), pool,
                    entryName.c_str());
  return out.data();
}

bool WriteServerTree(const ServerPlan& plan, const std::string& root, std::string* error) {
  for (const ModelPlan& model : plan.models) {
    if (model.modelId.size() != 4) {
      *error = "model identifier \"" + model.modelId + "\" must have 4 characters";
      return false;
    }
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    for (int which : {1, 0}) {
      if (which == 0 && !model.hasFinal) continue;
      std::vector<uint8_t> index =
          PublishIndex(model, which == 1 ? model.step : model.final, error);
      if (index.empty()) {
        *error = model.modelId + (which == 1 ? " step index: " : " final index: ") + *error;
        return false;
      }
      files.emplace_back(IndexFilePath(root, model.modelId, which), std::move(index));
    }
    for (const ImagePlan& image : model.images) {
      std::string problem = EntryNameProblem(image.name);
      if (!problem.empty()) {
        *error = problem;
        return false;
      }
      files.emplace_back(ImageFilePath(root, model.modelId, image.name), PublishImage(image));
    }
    for (const auto& [path, bytes] : files) {
      if (!MakeDirectories(Directory(path)) || !WriteWholeFile(path, bytes)) {
        *error = "cannot write " + path;
        return false;
      }
    }
  }
  return true;
}

bool ParseManifest(const std::string& text, const std::string& baseDir, ServerPlan* plan,
                   std::string* error) {
  json root = json::parse(text, nullptr, false);
  if (root.is_discarded()) {
    *error = "the manifest is not valid JSON";
    return false;
  }
  try {
    return ManifestReader(baseDir, error).Read(root, plan);
  } catch (const json::exception& e) {
    // Every access is type-checked first; this only guards against a value we did not foresee.
    *error = std::string("manifest: ") + e.what();
    return false;
  }
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  out->clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    out->insert(out->end(), chunk, chunk + n);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
  return std::fclose(file) == 0 && ok;
}

bool ReadManifestFile(const std::string& path, ServerPlan* plan, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes)) {
    *error = "cannot read " + path;
    return false;
  }
  size_t slash = path.rfind('/');
  std::string baseDir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (ParseManifest(std::string(bytes.begin(), bytes.end()), baseDir, plan, error)) return true;
  *error = path + ": " + *error;
  return false;
}
