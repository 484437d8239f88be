// The subcommands of `dembase`. Each Add*Command registers its options on the parent
// app and returns how to run it once the command line has been parsed.
#ifndef DEMBASE_TOOLS_COMMANDS_H_
#define DEMBASE_TOOLS_COMMANDS_H_

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

#include "tools/status.h"

namespace dembase::tool {

// Options every subcommand shares.
struct ToolOptions {
  bool quiet = false;
};

struct Command {
  CLI::App* app = nullptr;
  std::function<int()> run;  // the exit status
};

Command AddCreateCommand(CLI::App& parent, const ToolOptions& options);
Command AddInfoCommand(CLI::App& parent, const ToolOptions& options);
Command AddImportCommand(CLI::App& parent, const ToolOptions& options);
Command AddExportCommand(CLI::App& parent, const ToolOptions& options);
Command AddPyramidCommand(CLI::App& parent, const ToolOptions& options);
Command AddGetCommand(CLI::App& parent, const ToolOptions& options);
Command AddSetCommand(CLI::App& parent, const ToolOptions& options);
Command AddCheckCommand(CLI::App& parent, const ToolOptions& options);
Command AddDemoCommand(CLI::App& parent, const ToolOptions& options);
Command AddVatCommand(CLI::App& parent, const ToolOptions& options);
Command AddRemoveCommand(CLI::App& parent, const ToolOptions& options);
Command AddMoveCommand(CLI::App& parent, const ToolOptions& options);
Command AddCopyCommand(CLI::App& parent, const ToolOptions& options);

// Prints the error line of a failed command; the exit status (0 for success, else 1).
int Finish(const Status& status);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_COMMANDS_H_
