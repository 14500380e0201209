// okuva-tool: the imaging toolkit from the command line.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "tools/okuva_tool/command.h"

namespace okuva::tool {

namespace {
std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

void PrintHelp(std::ostream& out) {
  out << "usage: okuva-tool COMMAND [ARGS]\n\n"
         "Commands:\n";
  for (const Command& c : Commands()) {
    out << "  " << c.synopsis << "\n      " << c.summary << "\n";
  }
  out << "\nExit codes: 0 success; 1 usage error or unreadable input; 2 output exists;\n"
         "3 an error raised by the toolkit (printed as \"Error N: description\");\n"
         "4 some pictures of a quality batch could not be read.\n";
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
  for (const Command& c : Commands()) {
    if (c.name != args[0]) continue;
    try {
      return c.run(std::vector<std::string>(args.begin() + 1, args.end()));
    } catch (const UsageError& e) {
      std::cerr << "okuva-tool " << c.name << ": " << e.message << "\n";
      return kUsage;
    } catch (const okuva::PictureError& e) {
      std::cerr << "okuva-tool " << c.name << ": " << e.what() << "\n";
      return kUsage;
    } catch (const okuva::files::NotRegularFileError& e) {
      std::cerr << "okuva-tool " << c.name << ": " << e.Source()
                << " is not a regular file; it was left untouched\n";
      return kUsage;
    } catch (const okuva::RuntimeError& e) {
      std::cerr << "Error " << e.Number() << ": " << e.Description() << "\n";
      return kToolkitError;
    } catch (const std::exception& e) {
      std::cerr << "okuva-tool " << c.name << ": " << e.what() << "\n";
      return kUsage;
    }
  }
  std::cerr << "okuva-tool: unknown command '" << args[0] << "' (see okuva-tool --help)\n";
  return kUsage;
}
