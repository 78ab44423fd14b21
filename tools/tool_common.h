// What the tolvarin-tool command groups share: exit codes, output, and reading pages and states.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "device/sim_device.h"
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
bool IsUpperHex(const std::string& text, size_t digits);

// Text of 8-bit bytes (up to n or the first 0) with everything outside printable ASCII as \xHH.
std::string Printable(const char* text, size_t n = std::string::npos);
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
