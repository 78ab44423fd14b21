// What the tolvarin-tool command groups share: exit codes, output, and reading pages and states.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "device/sim_device.h"
#include "publisher.h"
#include "signing.h"
#include "workflow/identify.h"

using Json = nlohmann::ordered_json;

constexpr int EXIT_OK = 0;
constexpr int EXIT_REFUSED = 1;  // the input was read but fails a check the program makes
constexpr int EXIT_BAD_INPUT = 2;

// A leaf subcommand and what runs when it was the one given. Each group adds its commands with
// its Add...Commands function; the runner reads the options the parse filled.
struct ToolCommand {
  CLI::App* app;
  std::function<int()> run;
};
using ToolCommands = std::vector<ToolCommand>;

void AddIdentifyCommands(CLI::App& tool, ToolCommands* commands);
void AddSimCommands(CLI::App& tool, ToolCommands* commands);
void AddPackCheckCommands(CLI::App& tool, ToolCommands* commands);
void AddCatalogueCommands(CLI::App& tool, ToolCommands* commands);
void AddPublishCommands(CLI::App& tool, ToolCommands* commands);
void AddSignCommands(CLI::App& tool, ToolCommands* commands);

// The key and times that sign and publish --key sign with: the private key file, published now,
// expiring at *expires (UTC text) or DEFAULT_EXPIRY_DAYS from now when expires is null. Returns
// true; false with *error for a key or time that is refused (an expiry not later than now too).
struct Signer {
  PrivateKey key;
  uint8_t publicKey[P256_PUBLIC_KEY_BYTES];
  int64_t published = 0, expires = 0;
};
bool PrepareSigner(const std::string& keyPath, const std::string* expires, Signer* signer,
                   std::string* error);

// Signs the models of the tree at root (every model of the tree when models is empty): the sign
// command's work, shared with publish --key. Adds what it wrote to *j and *text. EXIT_OK;
// EXIT_REFUSED when a model was not signed; EXIT_BAD_INPUT for a tree without models.
int SignModels(const std::string& root, std::vector<std::string> models, const Signer& signer,
               Json* j, std::ostringstream* text);

// Adds the --json switch every command has; *json is set when it is given.
void AddJsonFlag(CLI::App* command, bool* json);
// True when the option was given on the command line.
bool Given(const CLI::Option* option);

// Prints "tolvarin-tool: message" to stderr and returns code.
int Fail(const std::string& message, int code = EXIT_BAD_INPUT);

// Reads `text` as a number from 0 to max (decimal, or hex with 0x) into *out. Returns true; false
// with *error naming the option.
bool NumberOption(const std::string& name, const std::string& text, uint64_t max, uint64_t* out,
                  std::string* error);
// "0x" and `digits` upper-case hex digits.
std::string Hex(uint64_t value, int digits);
// Prints the JSON object when json is set, else the text.
void Print(bool json, const Json& object, const std::string& text);

// The symbolic name of a check result (CHECK_OK, CHECK_BAD_TAG, ...), "?" for others.
const char* CheckName(int result);

// Reads a 256-byte information page file into page. Returns true; false with *error.
bool ReadPage(const std::string& path, uint8_t* page, std::string* error);
// Loads a simulated device state file. Returns true; false with *error.
bool LoadState(const std::string& path, CSimDevice* device, std::string* error);

// The identity the program derives from a page, as JSON and as text.
Json IdentityJson(const IdentityResult& result);
std::string IdentityText(const IdentityResult& result);
