#include "jpeg/stream_writer.h"

#include <array>

#include "platform/runtime/error.h"

namespace okuva::jpeg {

namespace {

constexpr uint8_t kMarkerPrefix = 0xFF;

uint8_t ByteField(int64_t value) {
  if (value < 0 || value > 0xFF) {
    Raise(kErrOverflow);
  }
  return static_cast<uint8_t>(value);
}

void Put16(OutputBuffer& out, int64_t value) {
  if (value < 0 || value > 0xFFFF) {
    Raise(kErrOverflow);
  }
  out.Put(static_cast<uint8_t>(value >> 8));
  out.Put(static_cast<uint8_t>(value & 0xFF));
}

// Opens a segment at start unless one is already open there; the length is filled in
// by CloseSegment.
void OpenSegment(OutputBuffer& out, size_t start, int32_t marker) {
  if (out.Pos() < start + 4) {
    out.SetPos(start);
    out.Require(4);
    out.Put(kMarkerPrefix);
    out.Put(ByteField(marker));
    out.SetPos(start + 4);
  }
}

void CloseSegment(OutputBuffer& out, size_t start) {
  const size_t length = out.Pos() - start - 2;
  if (length > 0xFFFF) {
    Raise(kErrOverflow);
  }
  out.PutAt(start + 2, static_cast<uint8_t>(length >> 8));
  out.PutAt(start + 3, static_cast<uint8_t>(length & 0xFF));
}

// Windows-1252 characters of 0x80..0x9F; 0 marks the five unassigned codes.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// Decodes one UTF-8 character at text[i], advancing i; an invalid sequence yields
// U+FFFD and consumes one byte.
char32_t NextCharacter(std::string_view text, size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  size_t extra = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1;
    cp = b0 & 0x1Fu;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    cp = b0 & 0x0Fu;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3;
    cp = b0 & 0x07u;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + extra >= text.size()) {  // truncated sequence
    ++i;
    return 0xFFFD;
  }
  for (size_t k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3Fu);
  }
  i += extra + 1;
  return cp;
}

}  // namespace

void WriteMarker(OutputBuffer& out, int32_t marker) {
  out.Require(2);
  out.Put(kMarkerPrefix);
  out.Put(ByteField(marker));
}

void WriteAPP0(OutputBuffer& out) {
  static constexpr std::array<uint8_t, 18> kApp0 = {0xFF, 0xE0,                    // marker
                                                    0x00, 0x10,                    // length 16
                                                    'J',  'F',  'I',  'F',  0x00,  // identifier
                                                    0x01, 0x01,  // version 1.01
                                                    0x00,  // no density units: aspect ratio only
                                                    0x00, 0x01, 0x00, 0x01,  // densities 1:1
                                                    0x00, 0x00};  // no thumbnail
  out.Require(kApp0.size());
  for (uint8_t b : kApp0) {
    out.Put(b);
  }
}

void WriteCOM(OutputBuffer& out, const std::vector<uint8_t>& text) {
  if (text.empty()) {
    return;
  }
  const int64_t length = static_cast<int64_t>(text.size()) + 2;
  if (length > 0xFFFF) {
    Raise(kErrOverflow);
  }
  WriteMarker(out, kMarkerCOM);
  Put16(out, length);
  out.Require(text.size());
  for (uint8_t b : text) {
    out.Put(b);
  }
}

void WriteDQT(OutputBuffer& out, size_t start, const QuantTable& table, int32_t n) {
  OpenSegment(out, start, kMarkerDQT);
  out.Put(ByteField(n));  // Pq = 0: 8-bit quantizers
  for (int16_t q : table.Qk) {
    out.Put(ByteField(q));
  }
  CloseSegment(out, start);
}

void WriteSOF(OutputBuffer& out, int32_t marker, int32_t precision, const FrameLayout& frame,
              const std::vector<Component>& components) {
  WriteMarker(out, marker);
  Put16(out, 8 + 3 * static_cast<int64_t>(components.size()));
  out.Put(ByteField(precision));
  Put16(out, frame.Y);
  Put16(out, frame.X);
  out.Put(ByteField(static_cast<int64_t>(components.size())));
  for (const Component& c : components) {
    out.Put(ByteField(c.Ci));
    out.Put(ByteField(c.Hi * 16 + c.Vi));
    out.Put(ByteField(c.Tqi));
  }
}

void WriteDHT(OutputBuffer& out, size_t start, const HuffTable& table, int32_t n, bool ac) {
  OpenSegment(out, start, kMarkerDHT);
  out.Put(ByteField(ac ? n + 16 : n));
  size_t count = 0;
  for (uint8_t b : table.BITS) {
    out.Put(b);
    count += b;
  }
  if (count > table.HUFFVAL.size()) {
    Raise(kErrSubscript);
  }
  for (size_t i = 0; i < count; ++i) {
    out.Put(table.HUFFVAL[i]);
  }
  CloseSegment(out, start);
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    char32_t cp = 0;
    char32_t least = 0;  // the smallest value the form may carry
    if (b0 < 0x80) {
      ++i;
      continue;
    } else if ((b0 & 0xE0) == 0xC0) {
      extra = 1, cp = b0 & 0x1Fu, least = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2, cp = b0 & 0x0Fu, least = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3, cp = b0 & 0x07u, least = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i <= extra) {
      return false;
    }
    for (size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

size_t CharacterCount(std::string_view utf8) {
  size_t count = 0;
  for (size_t i = 0; i < utf8.size();) {
    NextCharacter(utf8, i);
    ++count;
  }
  return count;
}

std::vector<uint8_t> AnsiBytes(std::string_view utf8) {
  std::vector<uint8_t> bytes;
  bytes.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const char32_t cp = NextCharacter(utf8, i);
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      bytes.push_back(static_cast<uint8_t>(cp));
      continue;
    }
    bool found = false;
    for (size_t k = 0; k < kCp1252High.size(); ++k) {
      if (kCp1252High[k] != 0 && kCp1252High[k] == cp) {
        bytes.push_back(static_cast<uint8_t>(0x80 + k));
        found = true;
        break;
      }
    }
    if (!found) {
      Raise(kErrOverflow);
    }
  }
  return bytes;
}

}  // namespace okuva::jpeg

namespace okuva::jpeg {

size_t StreamCapacity(int64_t entropyBytes, size_t scans, size_t commentBytes) {
  constexpr size_t kSOI = 2;
  constexpr size_t kAPP0 = 18;
  constexpr size_t kCOMHeader = 4;
  constexpr size_t kDQT = 4 + 1 + 64;
  constexpr size_t kSOF = 4 + 6 + 3 * 3;
  constexpr size_t kDHT = 4 + 1 + 16 + 256;
  constexpr size_t kSOS = 4 + 1 + 2 * 3 + 3;
  constexpr size_t kEOI = 2;
  const size_t headers = kSOI + kAPP0 + kCOMHeader + commentBytes + kCOMHeader +
                         kCreditComment.size() + 2 * kDQT + kSOF + 4 * kDHT + kEOI;
  const auto coded = static_cast<size_t>(entropyBytes < 0 ? 0 : entropyBytes) + scans;
  return headers + scans * kSOS + 2 * coded;
}

}  // namespace okuva::jpeg
