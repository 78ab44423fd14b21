// The publication records of a server tree: which files the program may fetch for each model,
// writing the signed record and signature beside them, and checking both as the program does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/publication_record.h"
#include "signing.h"

// How long a record holds when the publisher names no expiry.
constexpr int DEFAULT_EXPIRY_DAYS = 90;

// The models of the tree at root: every step index Door47/<id>.Bin with id 4 of 0-9 and A-F,
// sorted. Empty when there is none (or no such folder).
std::vector<std::string> TreeModels(const std::string& root);

// Where the record (or, with signature, its signature) of modelId lies under root.
std::string RecordFilePath(const std::string& root, const std::string& modelId, bool signature);

// The files the program may fetch for modelId, each with its path under the base path, size and
// SHA-256 as served: the step index, the final index when the tree holds one, then every image
// either lists, in the order first listed. The indexes must pass the program's check and
// catalogue reading for modelId, and every image they list must be in the pool and pass the
// program's image check. Returns true; false with *error naming the file.
bool ModelFiles(const std::string& root, const std::string& modelId,
                std::vector<RecordedFile>* files, std::string* error);

struct SealedModel {
  std::string modelId;
  std::string record, signature;  // the files written
  int recordBytes = 0;
  int fileCount = 0;
  // On failure: the new signature stayed beside the old record (it could not be put back).
  bool halfWritten = false;
};

// Writes modelId's signed record (published and expires in seconds since 1970 UTC) over its
// ModelFiles, signed with key (publicKey its X then Y). Record and signature are each written
// under a temporary name in the record folder and renamed into place once both are whole, the
// signature first. When the record cannot follow, the old signature is put back (or the new one
// removed, if there was none); only when that fails too is out->halfWritten set. Returns true;
// false with *error saying what is on disk.
bool SealModel(const std::string& root, const std::string& modelId, EVP_PKEY* key,
               const uint8_t* publicKey, int64_t published, int64_t expires, SealedModel* out,
               std::string* error);

// The program's check of modelId in the tree at time now with publicKey: the record and its
// signature (CheckRecord), then every listed file's size and SHA-256 against the served file,
// and every file the program may fetch (ModelFiles) listed. Empty when all holds; otherwise one
// sentence per problem.
std::vector<std::string> VerifyModel(const std::string& root, const std::string& modelId,
                                     const uint8_t* publicKey, int64_t now);

// The symbolic name of a record check result (RECORD_OK, RECORD_NOT_SIGNED, ...), "?" for others.
const char* RecordCheckName(int result);
