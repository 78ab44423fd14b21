// The publication records of a server tree: gathering a model's files, signing, verifying.
#include "seal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "files/catalogue.h"
#include "files/server_layout.h"
#include "files/update_file.h"
#include "publisher.h"
#include "workflow/catalogue_compare.h"

namespace {

std::string Base(const std::string& root) {
  return root + UPDATE_BASE_PATH;
}

// The record entry of a served file: path under the base path, size and SHA-256.
bool Describe(const std::string& path, const std::vector<uint8_t>& bytes, RecordedFile* file,
              std::string* error) {
  if (path.size() >= sizeof file->path || bytes.size() > INT32_MAX) {
    *error = path + ": too long a path or too large a file for a record";
    return false;
  }
  std::memset(file, 0, sizeof *file);
  std::memcpy(file->path, path.c_str(), path.size() + 1);
  file->size = static_cast<int32_t>(bytes.size());
  return Sha256(bytes.data(), bytes.size(), file->sha256);
}

// Reads and checks an index file as the program does; its catalogue into *catalogue.
bool ReadIndex(const std::string& root, const std::string& path, const std::string& modelId,
               std::vector<uint8_t>* bytes, UpdateCatalogue* catalogue, std::string* error) {
  if (!ReadWholeFile(Base(root) + path, bytes)) {
    *error = path + ": cannot read";
    return false;
  }
  const int length = static_cast<int>(std::min<size_t>(bytes->size(), INDEX_BUFFER_SIZE));
  std::vector<uint8_t> copy(*bytes);
  copy.resize(std::max<size_t>(copy.size(), UPDATE_HEADER_SIZE), 0);
  int result = CheckUpdateFile(length, copy.data(), modelId.c_str(), MODE_INDEX_FILE);
  if (result != CHECK_OK) {
    *error = path + ": fails the program's check of an index of " + modelId + " (" +
             std::to_string(result) + ")";
    return false;
  }
  *catalogue = EmptyCatalogue();
  if (ParseCatalogue(copy.data(), length, 0, catalogue) < 0) {
    *error =
        path + ": its entries cannot be read (" + std::to_string(CHECK_CATALOGUE_MALFORMED) + ")";
    return false;
  }
  return true;
}

// The image's name must stay inside the pool folder: one printable path component.
bool IsPoolName(const char* name) {
  for (const char* c = name; *c != 0; ++c)
    if (*c <= ' ' || *c > '~' || *c == '/') return false;
  return true;
}

bool AddImage(const std::string& root, const std::string& modelId, const char* name,
              std::vector<RecordedFile>* files, std::string* error) {
  char pool[9];
  PoolDirectoryFor(modelId.c_str(), pool);
  char path[LOCATION_CAPACITY];
  if (!IsPoolName(name) || ImageFileLocation(path, sizeof path, "", pool, name) < 0) {
    *error = "an index lists the entry \"" + Printable(name) +
             "\", which cannot name a file of the pool";
    return false;
  }
  for (const RecordedFile& file : *files)
    if (std::strcmp(file.path, path) == 0) return true;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(Base(root) + path, &bytes)) {
    *error = Printable(path) + ": listed by an index, but the pool does not hold it";
    return false;
  }
  std::vector<uint8_t> copy(bytes);
  copy.resize(std::max<size_t>(copy.size(), UPDATE_HEADER_SIZE), 0);
  const int length = static_cast<int>(bytes.size());
  const char tag[5] = {name[2], name[3], name[4], name[5], 0};
  int result = CheckUpdateFile(length, copy.data(), tag, MODE_IMAGE_FILE);
  if (result == CHECK_OK) result = CheckImageRange(length, copy.data());
  if (result != CHECK_OK) {
    *error = Printable(path) + ": fails the program's image check (" + std::to_string(result) + ")";
    return false;
  }
  files->emplace_back();
  return Describe(path, bytes, &files->back(), error);
}

// Writes bytes under a temporary name beside path (a dot name the site never serves), flushed
// to disk. Returns the temporary name, or "" with *error.
// path's hidden sibling in its folder: ".<name><suffix>".
std::string Beside(const std::string& path, const char* suffix) {
  size_t slash = path.rfind('/');
  return path.substr(0, slash + 1) + "." + path.substr(slash + 1) + suffix;
}

std::string WriteTemporary(const std::string& path, const std::string& bytes, std::string* error,
                           const char* suffix = ".tmp") {
  std::string temporary = Beside(path, suffix);
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 &&
            ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
            ::fsync(fd) == 0;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (!ok) {
    *error = "cannot write " + temporary;
    ::unlink(temporary.c_str());
    return "";
  }
  return temporary;
}

}  // namespace

std::vector<std::string> TreeModels(const std::string& root) {
  std::vector<std::string> models;
  std::error_code error;
  std::filesystem::directory_iterator folder(Base(root) + STEP_INDEX_DIRECTORY, error);
  for (; !error && folder != std::filesystem::directory_iterator(); folder.increment(error)) {
    const std::filesystem::path& path = folder->path();
    if (path.extension() == ".Bin" && IsUpperHex(path.stem().string(), 4) &&
        folder->is_regular_file(error))
      models.push_back(path.stem().string());
  }
  std::sort(models.begin(), models.end());
  return models;
}

std::string RecordFilePath(const std::string& root, const std::string& modelId, bool signature) {
  std::string base = Base(root);
  std::vector<char> out(base.size() + modelId.size() + 32);
  RecordFileLocation(out.data(), static_cast<int>(out.size()), base.c_str(), modelId.c_str(),
                     signature);
  return out.data();
}

bool ModelFiles(const std::string& root, const std::string& modelId,
                std::vector<RecordedFile>* files, std::string* error) {
  files->clear();
  UpdateCatalogue catalogues[2];
  int indexCount = 0;
  for (bool final : {false, true}) {
    char path[LOCATION_CAPACITY];
    IndexFileLocation(path, sizeof path, "", final ? FINAL_INDEX_DIRECTORY : STEP_INDEX_DIRECTORY,
                      modelId.c_str());
    // The final index is optional; the step index is what makes a model.
    if (final && !std::filesystem::exists(Base(root) + path)) break;
    std::vector<uint8_t> bytes;
    if (!ReadIndex(root, path, modelId, &bytes, &catalogues[indexCount], error)) return false;
    files->emplace_back();
    if (!Describe(path, bytes, &files->back(), error)) return false;
    ++indexCount;
  }
  for (int i = 0; i < indexCount; ++i)
    for (int e = 0; e < catalogues[i].entryCount; ++e)
      if (!AddImage(root, modelId, catalogues[i].entries[e].name, files, error)) return false;
  if (files->size() > RECORD_MAX_FILES) {
    *error = modelId + ": more files than a record lists";
    return false;
  }
  return true;
}

bool SealModel(const std::string& root, const std::string& modelId, EVP_PKEY* key,
               const uint8_t* publicKey, int64_t published, int64_t expires, SealedModel* out,
               std::string* error) {
  std::vector<RecordedFile> files;
  if (!ModelFiles(root, modelId, &files, error)) return false;
  PublicationRecord record;
  std::memset(&record, 0, sizeof record);
  std::memcpy(record.model, modelId.c_str(), 5);
  record.published = published;
  record.expires = expires;
  KeyIdOf(publicKey, record.keyId);
  record.fileCount = static_cast<int32_t>(files.size());
  std::copy(files.begin(), files.end(), record.files);
  const std::string text = RecordText(record);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int length = static_cast<int>(text.size());

  // Nothing is written that the program would not read back as this very record.
  PublicationRecord reread;
  uint8_t signature[P256_SIGNATURE_BYTES];
  if (ParseRecord(bytes, length, &reread) != RECORD_OK || reread.fileCount != record.fileCount) {
    *error = modelId + ": the record would not read back (" + std::to_string(length) + " bytes)";
    return false;
  }
  if (!SignP256(key, bytes, text.size(), signature) ||
      !VerifyP256(publicKey, bytes, text.size(), signature, sizeof signature)) {
    *error = modelId + ": libcrypto made no signature that verifies";
    return false;
  }

  out->modelId = modelId;
  out->record = RecordFilePath(root, modelId, false);
  out->signature = RecordFilePath(root, modelId, true);
  out->recordBytes = length;
  out->fileCount = record.fileCount;
  std::error_code made;
  std::filesystem::create_directories(Base(root) + RECORD_DIRECTORY, made);
  std::string recordTemporary = WriteTemporary(out->record, text, error);
  if (recordTemporary.empty()) return false;
  std::string signatureTemporary = WriteTemporary(
      out->signature, std::string(reinterpret_cast<const char*>(signature), sizeof signature),
      error);
  if (signatureTemporary.empty()) {
    ::unlink(recordTemporary.c_str());
    return false;
  }
  // The old signature, kept under a third name until the record has followed the new one: a new
  // signature beside the old record is a pair every program refuses.
  std::string kept;
  auto cleanUp = [&] {
    ::unlink(recordTemporary.c_str());
    ::unlink(signatureTemporary.c_str());
    if (!kept.empty()) ::unlink(kept.c_str());
  };
  std::error_code missing;
  if (std::filesystem::exists(out->signature, missing)) {
    std::vector<uint8_t> old;
    if (!ReadWholeFile(out->signature, &old))
      *error = "cannot read " + out->signature;
    else
      kept = WriteTemporary(out->signature, std::string(old.begin(), old.end()), error, ".old");
    if (kept.empty()) {
      cleanUp();
      return false;
    }
  }
  if (::rename(signatureTemporary.c_str(), out->signature.c_str()) != 0) {
    *error = "cannot rename into " + out->signature + " (" + std::strerror(errno) + ")";
    cleanUp();
    return false;
  }
  if (::rename(recordTemporary.c_str(), out->record.c_str()) != 0) {
    *error = "cannot rename into " + out->record + " (" + std::strerror(errno) + ")";
    bool restored = kept.empty() ? ::unlink(out->signature.c_str()) == 0
                                 : ::rename(kept.c_str(), out->signature.c_str()) == 0;
    if (restored) {
      *error += kept.empty()
                    ? "; the new signature is removed again: nothing is left of it"
                    : "; the old signature is put back: record and signature are as before";
    } else {
      out->halfWritten = true;
      *error += "; " + out->signature + " holds the NEW signature beside the old record, a " +
                "pair every program refuses (0501): sign again";
    }
    cleanUp();
    return false;
  }
  if (!kept.empty()) ::unlink(kept.c_str());
  return true;
}

std::vector<std::string> VerifyModel(const std::string& root, const std::string& modelId,
                                     const uint8_t* publicKey, int64_t now) {
  std::vector<std::string> problems;
  const std::string recordPath = RecordFilePath(root, modelId, false);
  std::vector<uint8_t> text, signature;
  if (!ReadWholeFile(recordPath, &text) ||
      !ReadWholeFile(RecordFilePath(root, modelId, true), &signature))
    return {"no record and signature at " + recordPath + " and its .sig"};
  // Longer than the program takes: it would not get past the download.
  if (text.size() > static_cast<size_t>(RECORD_MAX_BYTES))
    return {recordPath + ": " + std::to_string(text.size()) + " bytes, more than the " +
            std::to_string(RECORD_MAX_BYTES) + " the program reads"};
  const uint8_t(*keys)[P256_PUBLIC_KEY_BYTES] =
      reinterpret_cast<const uint8_t(*)[P256_PUBLIC_KEY_BYTES]>(publicKey);
  PublicationRecord record;
  int result =
      CheckRecord(text.data(), static_cast<int>(text.size()), signature.data(),
                  static_cast<int>(signature.size()), keys, 1, modelId.c_str(), now, &record);
  if (result != RECORD_OK) {
    std::string why = RecordCheckName(result);
    if (result == RECORD_EXPIRED &&
        ParseRecord(text.data(), static_cast<int>(text.size()), &record) == RECORD_OK)
      why += ": it expired at " + FormatUtcTime(record.expires);
    else if (result == RECORD_NOT_SIGNED)
      why += ": the signature does not verify with this public key";
    return {recordPath + ": " + why};
  }
  for (int i = 0; i < record.fileCount; ++i) {
    const RecordedFile& file = record.files[i];
    std::vector<uint8_t> served;
    if (!ReadWholeFile(Base(root) + file.path, &served)) {
      problems.push_back(std::string(file.path) + ": in the record, but not in the tree");
      continue;
    }
    if (CheckRecordedFile(record, file.path, served.data(), static_cast<int>(served.size())) !=
        RECORD_OK)
      problems.push_back(std::string(file.path) + ": " +
                         (served.size() != static_cast<size_t>(file.size)
                              ? std::to_string(served.size()) + " bytes served, " +
                                    std::to_string(file.size) + " recorded"
                              : std::string("its SHA-256 differs from the record")));
  }
  std::vector<RecordedFile> fetched;
  std::string error;
  if (!ModelFiles(root, modelId, &fetched, &error)) {
    problems.push_back(Printable(error.c_str()));
    return problems;
  }
  for (const RecordedFile& file : fetched)
    if (FindRecordedFile(record, file.path) == nullptr)
      problems.push_back(std::string(file.path) +
                         ": the program may fetch it, but the record "
                         "does not list it");
  return problems;
}

const char* RecordCheckName(int result) {
  switch (result) {
    case RECORD_OK:
      return "RECORD_OK";
    case RECORD_NOT_SIGNED:
      return "RECORD_NOT_SIGNED";
    case RECORD_MALFORMED:
      return "RECORD_MALFORMED";
    case RECORD_OTHER_MODEL:
      return "RECORD_OTHER_MODEL";
    case RECORD_EXPIRED:
      return "RECORD_EXPIRED";
    case RECORD_FILE_NOT_LISTED:
      return "RECORD_FILE_NOT_LISTED";
    case RECORD_FILE_DIFFERS:
      return "RECORD_FILE_DIFFERS";
    default:
      return "?";
  }
}
