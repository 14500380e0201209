#include "tools/okuva_tool/usage.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "tools/okuva_tool/quote.h"

namespace okuva::tool {

namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) {
    words.push_back(w);
  }
  return words;
}

// "[--depth" -> "--depth", "24]" -> "24", "|" -> "".
std::string Bare(std::string word) {
  const auto edge = [](char c) { return c == '[' || c == ']' || c == '|'; };
  while (!word.empty() && edge(word.front())) {
    word.erase(word.begin());
  }
  while (!word.empty() && edge(word.back())) {
    word.pop_back();
  }
  return word;
}

bool IsPositionalName(const std::string& word) {
  return !word.empty() && std::isupper(static_cast<unsigned char>(word[0])) != 0;
}

const Option* Find(const std::vector<Option>& options, const std::string& name) {
  for (const Option& o : options) {
    if (o.name == name) {
      return &o;
    }
  }
  return nullptr;
}

std::string Usage(const Command& command) { return "usage: okuva-tool " + command.synopsis; }

// Optimal string alignment distance: insertions, deletions, substitutions and swaps of
// neighbours each cost one.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) {
    d[i][0] = i;
  }
  for (size_t j = 0; j <= b.size(); ++j) {
    d[0][j] = j;
  }
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

CommandLineShape ShapeOf(const Command& command) {
  CommandLineShape shape;
  shape.options = command.options;
  const bool ownOptions = !shape.options.empty();
  const std::vector<std::string> words = Words(command.synopsis);
  int depth = 0;
  bool alternative =
      false;  // past a "|" between whole forms: its positionals are the command's to check
  for (size_t i = 1; i < words.size(); ++i) {  // words[0] is the command's name
    const std::string& word = words[i];
    const int depthBefore = depth;
    if (word == "|" && depth == 0) {
      alternative = true;
      shape.openEnded = true;
      continue;
    }
    for (char c : word) {
      depth += c == '[' ? 1 : c == ']' ? -1 : 0;
    }
    const std::string bare = Bare(word);
    if (bare.starts_with("--")) {
      Option option{bare, {}, {}};
      // A value follows the option inside the same brackets: "[--quality N]".
      if (word.find(']') == std::string::npos && i + 1 < words.size() && words[i + 1][0] != '[' &&
          words[i + 1][0] != '|' && !Bare(words[i + 1]).starts_with("--") &&
          !Bare(words[i + 1]).empty()) {
        option.value = Bare(words[++i]);
        for (char c : words[i]) {
          depth += c == '[' ? 1 : c == ']' ? -1 : 0;
        }
      }
      if (!ownOptions && Find(shape.options, option.name) == nullptr) {
        shape.options.push_back(option);
      }
    } else if (alternative) {
      continue;
    } else if (depthBefore == 0 && word[0] != '[' && IsPositionalName(bare) &&
               !bare.ends_with("...")) {
      shape.required.push_back(bare);
    } else if (IsPositionalName(bare) || bare.ends_with("...")) {
      shape.openEnded = true;
      if (depthBefore == 0 && word[0] != '[') {
        shape.required.push_back(bare.substr(0, bare.size() - 3));
      }
    }
  }
  return shape;
}

std::optional<std::string> Nearest(const std::string& typed,
                                   const std::vector<std::string>& candidates) {
  std::optional<std::string> best;
  size_t bestDistance = 0;
  for (const std::string& c : candidates) {
    const size_t d = Distance(typed, c);
    if (!best || d < bestDistance) {
      best = c;
      bestDistance = d;
    }
  }
  // Near enough: two edits, or a third of a long name; or the start of one name only.
  if (best && (bestDistance <= 2 || bestDistance * 3 <= best->size())) {
    return best;
  }
  std::optional<std::string> prefixed;
  for (const std::string& c : candidates) {
    if (typed.size() < 2 || !c.starts_with(typed)) {
      continue;
    }
    if (prefixed) {
      return std::nullopt;
    }
    prefixed = c;
  }
  return prefixed;
}

bool AsksForHelp(const Command& command, const std::vector<std::string>& args) {
  const CommandLineShape shape = ShapeOf(command);
  for (size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      return true;
    }
    const Option* option = Find(shape.options, args[i]);
    if (option != nullptr && !option->value.empty()) {
      ++i;  // its value, whatever it looks like
    }
  }
  return false;
}

void CheckCommandLine(const Command& command, const std::vector<std::string>& args) {
  const CommandLineShape shape = ShapeOf(command);
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--" && !optionsEnded) {  // what follows is positional, whatever it looks like
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || !a.starts_with("--")) {
      positional.push_back(a);
      continue;
    }
    const Option* option = Find(shape.options, a);
    if (option == nullptr) {
      std::vector<std::string> names;
      for (const Option& o : shape.options) {
        names.push_back(o.name);
      }
      const std::optional<std::string> near = Nearest(a, names);
      if (near) {
        throw UsageError{"unknown option " + Quoted(a) + "; did you mean " + *near + "?"};
      }
      if (names.empty()) {
        throw UsageError{"unknown option " + Quoted(a) + "; " + command.name + " takes no options"};
      }
      throw UsageError{"unknown option " + Quoted(a) + "; " + Usage(command)};
    }
    if (!option->value.empty()) {
      if (i + 1 >= args.size()) {
        throw UsageError{a + " needs a value (" + a + " " + option->value + ")"};
      }
      ++i;
    }
  }
  const std::vector<std::string>& names = shape.required;
  if (positional.size() < names.size()) {
    throw UsageError{"missing " + names[positional.size()] + "; " + Usage(command)};
  }
  if (!shape.openEnded && positional.size() > names.size()) {
    throw UsageError{"unexpected argument " + QuotedWord(positional[names.size()]) +
                     (names.empty() ? std::string() : " after " + names.back()) + "; " +
                     Usage(command)};
  }
}

void PrintCommandHelp(const Command& command, std::ostream& out) {
  out << Usage(command) << "\n\n" << command.summary << "\n";
  if (!command.details.empty()) {
    out << "\n" << command.details << (command.details.ends_with('\n') ? "" : "\n");
  }
  std::vector<std::pair<std::string, std::string>> rows;
  for (const Option& o : ShapeOf(command).options) {
    rows.emplace_back(o.name + (o.value.empty() ? "" : " " + o.value), o.text);
  }
  rows.emplace_back("-h, --help", "show this help and exit");
  size_t width = 0;
  for (const auto& row : rows) {
    width = std::max(width, row.first.size());
  }
  out << "\nOptions:\n";
  for (const auto& [left, text] : rows) {
    out << "  " << left;
    if (!text.empty()) {
      out << std::string(width - left.size() + 2, ' ') << text;
    }
    out << "\n";
  }
}

}  // namespace okuva::tool
