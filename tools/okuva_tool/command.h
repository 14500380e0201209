// okuva-tool's command registry. Each command lives in its own file and registers
// itself with a static Registration object; main.cpp dispatches by name.
//
// Exit codes shared by every command:
//   0 success; 1 usage error or unreadable / invalid input (one line on stderr,
//   nothing written); 2 the output exists where the command refuses to overwrite;
//   3 an error raised by the toolkit, printed as "Error N: description";
//   4 (quality --csv) some pictures could not be read, their rows say why.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace okuva::tool {

enum ExitCode { kOk = 0, kUsage = 1, kOutputExists = 2, kToolkitError = 3 };

// Thrown by commands for a usage error or bad input; main prints it and exits 1.
struct UsageError {
  std::string message;
};

// One option of a command, for COMMAND --help and for checking the command line.
struct Option {
  std::string name;   // "--quality"
  std::string value;  // what follows it, "N"; empty for a flag
  std::string text;   // what it does, one line
};

// Every option must appear in the synopsis or in `options`: the dispatcher refuses any
// other "--" argument before the command runs, and counts the positional arguments
// (the capitalised words before the first '[') to name a missing or an extra one.
struct Command {
  std::string name;
  std::string synopsis;  // one line for --help, e.g. "export IN OUT [--quality N]"
  std::string summary;   // what it does, one line
  std::function<int(const std::vector<std::string>& args)> run;  // args after the name
  std::vector<Option> options = {};  // empty: the options are read from the synopsis
  std::string details = {};          // further lines for COMMAND --help
};

struct Registration {
  explicit Registration(Command command);
};

const std::vector<Command>& Commands();

}  // namespace okuva::tool
