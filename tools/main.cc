// dembase: the command-line tool over libdembase.so.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/gdal_support.h"

namespace dembase::tool {

int Finish(const Status& status) {
  if (status.ok()) return 0;
  std::string line = status.message();
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::fprintf(stderr, "dembase: %s\n", line.c_str());
  return 1;
}

namespace {

// Whether CLI11 would take this value for an option: "-.5" and "-inf" begin like "-q".
bool NegativeNumber(const std::string& arg) {
  if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') return false;
  // from_chars, not strtod: the address sanitizer's strtod stops early on "-.5".
  double value = 0;
  const char* last = arg.data() + arg.size();
  const auto [end, ec] = std::from_chars(arg.data(), last, value);
  return (ec == std::errc() || ec == std::errc::result_out_of_range) && end == last;
}

int Run(int argc, char** argv) {
  CLI::App app{"Stores digital elevation models as tiled raster pyramids.", "dembase"};
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(
      "A layer is DIR/NAME (the local store in DIR, header DIR/NAME.dem) or sqlite:PATH#DATASET/NAME.\n"
      "Run 'dembase COMMAND --help' for a command's options and an example.");
  ToolOptions options;
  app.add_flag("-q,--quiet", options.quiet, "Draw no progress bar");

  std::vector<Command> commands = {
      AddDemoCommand(app, options),   AddCreateCommand(app, options), AddInfoCommand(app, options),
      AddImportCommand(app, options), AddExportCommand(app, options), AddPyramidCommand(app, options),
      AddGetCommand(app, options),    AddSetCommand(app, options),    AddCheckCommand(app, options),
      AddRemoveCommand(app, options), AddMoveCommand(app, options),   AddCopyCommand(app, options),
  };
  commands.push_back(AddVatCommand(app, options));
  // A leading blank keeps a negative number a value; every number parser skips blanks.
  std::vector<std::string> args(argv, argv + argc);
  std::vector<char*> pointers;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0 && NegativeNumber(args[i])) args[i].insert(0, " ");
    pointers.push_back(args[i].data());
  }
  try {
    app.parse(argc, pointers.data());
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string line = e.what();
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::fprintf(stderr, "dembase: %s (see dembase --help)\n", line.c_str());
    return 2;
  }
  for (const Command& c : commands) {
    if (c.app->parsed()) return c.run();
  }
  return 2;
}

}  // namespace
}  // namespace dembase::tool

int main(int argc, char** argv) {
  dembase::tool::GdalScope gdal;
  return dembase::tool::Run(argc, argv);
}
