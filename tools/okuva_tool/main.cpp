// okuva-tool: the imaging toolkit from the command line.
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/quote.h"
#include "tools/okuva_tool/usage.h"

namespace okuva::tool {

namespace {
std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

void PrintHelp(std::ostream& out) {
  out << "Usage: okuva-tool COMMAND [ARGS]\n"
         "  or:  okuva-tool COMMAND --help\n\n"
         "The OKUVA imaging toolkit from the command line.\n\n"
         "Commands:\n";
  for (const Command& c : Commands()) {
    out << "  " << c.synopsis << "\n      " << c.summary << "\n";
  }
  out << "\nOptions:\n"
         "  -h, --help     show this help and exit\n"
         "  --help-all     show this help and every command's help\n"
         "  -V, --version  show the version and exit\n"
         "\nExit status:\n"
         "  0  success\n"
         "  1  a usage error or an unreadable input (one line on standard error, nothing written)\n"
         "  2  the output exists where the command refuses to overwrite it\n"
         "  3  an error raised by the toolkit, printed as \"okuva-tool COMMAND: Error N: description\"\n"
         "  4  some pictures of a quality batch could not be read\n";
}

// One command's help under a heading, indented, for --help-all.
void PrintIndentedCommandHelp(const Command& c, std::ostream& out) {
  std::ostringstream help;
  PrintCommandHelp(c, help);
  out << "\nokuva-tool " << c.name << ":\n";
  std::istringstream lines(help.str());
  for (std::string line; std::getline(lines, line);) {
    out << (line.empty() ? "" : "  ") << line << "\n";
  }
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const Command& c : Commands()) {
    names.push_back(c.name);
  }
  return names;
}

int RunCommand(const Command& c, const std::vector<std::string>& args) {
  const std::string prefix = "okuva-tool " + c.name + ": ";
  try {
    if (AsksForHelp(c, args)) {
      PrintCommandHelp(c, std::cout);
      return kOk;
    }
    CheckCommandLine(c, args);
    return c.run(args);
  } catch (const UsageError& e) {
    std::cerr << prefix << e.message << "\n";
    return kUsage;
  } catch (const okuva::PictureError& e) {
    std::cerr << prefix << e.what() << "\n";
    return kUsage;
  } catch (const okuva::files::NotRegularFileError& e) {
    std::cerr << prefix << Quoted(e.Source()) << " is not a regular file; it was left untouched\n";
    return kUsage;
  } catch (const okuva::RuntimeError& e) {
    std::cerr << prefix << "Error " << e.Number() << ": " << e.Description() << "\n";
    return kToolkitError;
  } catch (const std::bad_alloc&) {
    // Whatever ran out of room, the toolkit's out-of-memory error.
    std::cerr << prefix << "Error " << okuva::kErrOutOfMemory << ": "
              << okuva::DefaultDescription(okuva::kErrOutOfMemory) << "\n";
    return kToolkitError;
  } catch (const std::exception& e) {
    std::cerr << prefix << e.what() << "\n";
    return kUsage;
  }
}
}  // namespace

Registration::Registration(Command command) { Registry().push_back(std::move(command)); }

const std::vector<Command>& Commands() { return Registry(); }

}  // namespace okuva::tool

int main(int argc, char** argv) {
  using namespace okuva::tool;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintHelp(args.empty() ? std::cerr : std::cout);
    return args.empty() ? kUsage : kOk;
  }
  if (args[0] == "--version" || args[0] == "-V") {
    std::cout << "okuva-tool " << OKUVA_VERSION << "\n";
    return kOk;
  }
  if (args[0] == "--help-all") {
    PrintHelp(std::cout);
    for (const Command& c : Commands()) {
      PrintIndentedCommandHelp(c, std::cout);
    }
    return kOk;
  }
  for (const Command& c : Commands()) {
    if (c.name == args[0]) {
      return RunCommand(c, std::vector<std::string>(args.begin() + 1, args.end()));
    }
  }
  const std::vector<std::string> names = CommandNames();
  const bool option = args[0].starts_with("-");
  std::cerr << "okuva-tool: unknown "
            << (option ? "option " + Quoted(args[0]) : "command " + QuotedWord(args[0]));
  const std::optional<std::string> near =
      option ? Nearest(args[0], {"--help", "--help-all", "--version"}) : Nearest(args[0], names);
  if (near) {
    std::cerr << "; did you mean " << *near << "?";
  }
  std::cerr << " (see okuva-tool --help)\n";
  return kUsage;
}
