// What okuva-tool knows about a command line before a command runs: the options and
// positional arguments a synopsis declares, the nearest name to a mistyped one, and the
// help texts.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/okuva_tool/command.h"

namespace okuva::tool {

struct CommandLineShape {
  std::vector<Option> options;
  std::vector<std::string> required;  // positional names, in order
  bool openEnded = false;             // optional or repeated positionals follow
};

// The options and positionals of `command`: its own option list, else its synopsis's.
CommandLineShape ShapeOf(const Command& command);

// The candidate nearest to `typed` (edit distance, a swap of neighbours counting one),
// when it is near enough to be what was meant.
std::optional<std::string> Nearest(const std::string& typed,
                                   const std::vector<std::string>& candidates);

// Checks `args` against the command's shape; throws UsageError naming an unknown option
// (with the nearest known one), a missing value, a missing or an extra argument. After
// "--" every argument is positional.
void CheckCommandLine(const Command& command, const std::vector<std::string>& args);

// True when `args` ask for the command's help (-h or --help where an option may stand).
bool AsksForHelp(const Command& command, const std::vector<std::string>& args);

void PrintCommandHelp(const Command& command, std::ostream& out);

}  // namespace okuva::tool
