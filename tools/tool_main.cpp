// tolvarin-tool: the command line for publishers and testers over the program's own code.
#include <cstdio>

#include "tool_common.h"

int main(int argc, char** argv) {
  CLI::App tool("Identify, simulate, pack, check, read, publish and sign Tolvarin update files.",
                "tolvarin-tool");
  tool.set_version_flag("--version", TOLVARIN_VERSION, "print the version number and exit");
  tool.require_subcommand(1);
  // A repeated option counts once, with its last value (--entry collects every value itself).
  tool.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  tool.footer("Run 'tolvarin-tool COMMAND --help' for a command's options and an example.");
  ToolCommands commands;
  AddIdentifyCommands(tool, &commands);
  AddSimCommands(tool, &commands);
  AddPackCheckCommands(tool, &commands);
  AddCatalogueCommands(tool, &commands);
  AddPublishCommands(tool, &commands);
  AddSignCommands(tool, &commands);

  if (argc < 2) {
    std::fputs(tool.help().c_str(), stderr);
    return EXIT_BAD_INPUT;
  }
  const std::string first = argv[1];
  bool known = first.rfind("-", 0) == 0;
  std::string names;
  for (const CLI::App* command : tool.get_subcommands({})) {
    known = known || command->get_name() == first;
    names += (names.empty() ? "" : ", ") + command->get_name();
  }
  if (!known) return Fail("unknown command " + first + " (commands: " + names + ")");

  // The parser reports everything it refuses by throwing; nothing escapes from here.
  try {
    tool.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return tool.exit(error);  // --help or --version: stdout
    return Fail(std::string(error.what()) + "\nRun 'tolvarin-tool " +
                (argc > 1 ? first + " " : std::string()) + "--help' for the options.");
  }
  for (const ToolCommand& command : commands)
    if (command.app->parsed()) return command.run();
  return Fail("no command given");
}
