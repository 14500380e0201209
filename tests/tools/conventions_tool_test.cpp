// okuva-tool's conventions shared by every command: version, help per command, the
// nearest name for a mistyped command or option, usage errors that say what was wrong,
// and the "okuva-tool COMMAND:" prefix on every message.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/tool_test_util.h"

namespace okuva::testing {
namespace {

class ConventionsToolTest : public ToolTest {
protected:
  // The commands listed by --help: the first word of each two-space indented line.
  std::vector<std::string> ListedCommands() {
    EXPECT_EQ(RunTool("--help"), 0);
    std::vector<std::string> names;
    std::istringstream in(stdout_.substr(stdout_.find("Commands:"),
                                         stdout_.find("\nOptions:") - stdout_.find("Commands:")));
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("  ") && line[2] != ' ') {
        names.push_back(line.substr(2, line.find(' ', 2) - 2));
      }
    }
    return names;
  }

  // Runs a failing command line: exit 1, nothing on standard output, one line on
  // standard error that starts with `prefix` and contains `text`.
  void ExpectUsageError(const std::string& arguments, const std::string& prefix,
                        const std::string& text) {
    SCOPED_TRACE(arguments);
    EXPECT_EQ(RunTool(arguments), 1);
    EXPECT_TRUE(stdout_.empty()) << stdout_;
    EXPECT_TRUE(stderr_.starts_with(prefix)) << stderr_;
    EXPECT_NE(stderr_.find(text), std::string::npos) << stderr_;
    EXPECT_EQ(stderr_.find('\n'), stderr_.size() - 1) << stderr_;
  }
};

TEST_F(ConventionsToolTest, VersionAndEveryCommandsHelp) {
  for (const char* option : {"--version", "-V"}) {
    EXPECT_EQ(RunTool(option), 0);
    EXPECT_TRUE(std::regex_match(stdout_, std::regex("okuva-tool [0-9]+\\.[0-9]+(\\.[0-9]+)?\n")))
        << stdout_;
  }
  const std::vector<std::string> commands = ListedCommands();
  ASSERT_GE(commands.size(), 6u);
  for (const std::string& name : commands) {
    SCOPED_TRACE(name);
    ASSERT_EQ(RunTool(name + " --help"), 0) << stderr_;
    EXPECT_TRUE(stdout_.starts_with("usage: okuva-tool " + name + " ")) << stdout_;
    EXPECT_TRUE(stderr_.empty()) << stderr_;
    // Every option the synopsis names is explained under "Options:".
    const std::string usage = stdout_.substr(0, stdout_.find('\n'));
    const std::string options = stdout_.substr(stdout_.find("\nOptions:\n"));
    const std::regex option("--[a-z-]+");
    for (std::sregex_iterator m(usage.begin(), usage.end(), option), end; m != end; ++m) {
      EXPECT_NE(options.find("\n  " + m->str()), std::string::npos) << m->str() << "\n" << stdout_;
    }
    EXPECT_EQ(RunTool(name + " -h"), 0);
  }
}

TEST_F(ConventionsToolTest, SuggestsTheNearestCommandOrOption) {
  ExpectUsageError("qualty x.bmp", "okuva-tool: unknown command 'qualty'", "did you mean quality?");
  ExpectUsageError("exprot a b", "okuva-tool: ", "did you mean export?");
  ExpectUsageError("--verison", "okuva-tool: unknown option --verison", "did you mean --version?");
  ExpectUsageError("quality in.bmp --jsn", "okuva-tool quality: unknown option --jsn",
                   "did you mean --json?");
  ExpectUsageError("encode a b --sampl 1x1,1x1,1x1",
                   "okuva-tool encode: ", "did you mean --sampling?");
  ExpectUsageError("resample a b 2 2 --grey", "okuva-tool resample: unknown option --grey",
                   "takes no options");
  // After "--" nothing is taken for an option.
  EXPECT_EQ(RunTool("quality -- --jsn"), 1);
  EXPECT_EQ(stderr_.find("did you mean"), std::string::npos) << stderr_;
  // Nothing near: no guess, the usage instead.
  ExpectUsageError("zzzz", "okuva-tool: unknown command 'zzzz'", "okuva-tool --help");
  EXPECT_EQ(stderr_.find("did you mean"), std::string::npos);
}

TEST_F(ConventionsToolTest, UsageErrorsSayWhatWasWrong) {
  ExpectUsageError("export in.bmp", "okuva-tool export: missing OUT",
                   "usage: okuva-tool export IN OUT");
  ExpectUsageError("randomise out.bmp 4", "okuva-tool randomise: missing HEIGHT", "usage:");
  ExpectUsageError("resample a b 2 2 extra",
                   "okuva-tool resample: unexpected argument 'extra' after HEIGHT", "usage:");
  ExpectUsageError("quality a.bmp b.bmp", "okuva-tool quality: unexpected argument 'b.bmp'",
                   "usage:");
  // A name with a line break stays on the message's one line, quoted as a shell would.
  ExpectUsageError("resample a b 2 2 \"$(printf 'x\\ny')\"",
                   "okuva-tool resample: unexpected argument 'x'$'\\n''y'", "usage:");
  ExpectUsageError("encode a b --quality", "okuva-tool encode: --quality needs a value", "");
  // A value may look like an option or like a help request.
  ExpectUsageError("encode '" + Path("none.bmp") + "' out.jpg --comment --help",
                   "okuva-tool encode: cannot read", "");
  // The toolkit's errors carry the prefix too.
  Write("in.pgm", {'P', '5', '\n', '2', ' ', '2', '\n', '2', '5', '5', '\n', 1, 2, 3, 4});
  EXPECT_EQ(
      RunTool("encode '" + Path("in.pgm") + "' '" + Path("o.jpg") + "' --sampling 5x5,1x1,1x1"), 3);
  EXPECT_EQ(stderr_, "okuva-tool encode: Error 1: Invalid Sampling Value\n");
}

}  // namespace
}  // namespace okuva::testing
