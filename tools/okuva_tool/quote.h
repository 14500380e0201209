// Names as messages show them: one line, nothing a terminal would act on. A name of
// plain characters is shown as it is; any other is put in single quotes, with control
// bytes (and bytes that are not UTF-8) written as $'\n' or $'\033' outside them, as
// coreutils' programs show file names, so the text can be pasted back into a shell.
#pragma once

#include <cstdint>
#include <string>

namespace okuva::tool {

namespace quote_detail {

// The length of the UTF-8 character of a printable code point at text[i], or 0 for a
// control byte, a C1 control or a byte that does not start a valid sequence.
inline size_t Printable(const std::string& text, size_t i) {
  const auto c = static_cast<uint8_t>(text[i]);
  if (c >= 0x20 && c < 0x7F) {
    return 1;
  }
  const size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
  if (length == 0 || i + length > text.size()) {
    return 0;
  }
  uint32_t code = c & (0xFFu >> (length + 1));
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<uint8_t>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    code = code << 6 | (next & 0x3Fu);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  if (code >= 0x80 && code <= 0x9F) {
    return 0;  // C1 controls, such as CSI
  }
  return length;
}

inline std::string Escaped(uint8_t c) {
  switch (c) {
    case '\a': return "\\a";
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\v': return "\\v";
    case '\f': return "\\f";
    case '\r': return "\\r";
    default: {
      const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                            static_cast<char>('0' + ((c >> 3) & 7)),
                            static_cast<char>('0' + (c & 7)), 0};
      return octal;
    }
  }
}

}  // namespace quote_detail

inline std::string Quoted(const std::string& name) {
  bool plain = !name.empty();
  for (const char ch : name) {
    const auto c = static_cast<uint8_t>(ch);
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      std::string("%+,-./:=@^_").find(ch) != std::string::npos;
    plain = plain && safe;
  }
  if (plain) {
    return name;
  }
  std::string out = "'";
  for (size_t i = 0; i < name.size();) {
    if (const size_t length = quote_detail::Printable(name, i)) {
      out += name[i] == '\'' ? std::string("'\\''") : name.substr(i, length);
      i += length;
      continue;
    }
    out += "'$'";
    while (i < name.size() && quote_detail::Printable(name, i) == 0) {
      out += quote_detail::Escaped(static_cast<uint8_t>(name[i]));
      ++i;
    }
    out += "''";
  }
  out += "'";
  // Empty quotes left by an escape at either end are dropped: 'a'$'\n' not 'a'$'\n'''.
  if (out.size() >= 4 && out.compare(out.size() - 3, 3, "'''") == 0) {
    out.resize(out.size() - 2);
  }
  if (out.compare(0, 3, "''$") == 0) {
    out.erase(0, 2);
  }
  return out;
}

}  // namespace okuva::tool

namespace okuva::tool {

// An argument named in a usage message: in single quotes even when plain ('extra'),
// else as Quoted shows it.
inline std::string QuotedWord(const std::string& word) {
  const std::string shown = Quoted(word);
  return shown == word ? "'" + word + "'" : shown;
}

}  // namespace okuva::tool
