// Stream writing stage: the marker segments of a baseline JFIF stream (SOI, APP0, COM,
// DQT, SOF0, DHT, EOI), appended to the output buffer, big-endian. Field values that do
// not fit their byte or 16-bit field raise 6; running past the buffer raises 9.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "jpeg/component.h"
#include "jpeg/huffman_table.h"
#include "jpeg/output_buffer.h"
#include "jpeg/quantization.h"

namespace okuva::jpeg {

constexpr int32_t kMarkerSOI = 0xD8;
constexpr int32_t kMarkerEOI = 0xD9;
constexpr int32_t kMarkerSOF0 = 0xC0;
constexpr int32_t kMarkerDHT = 0xC4;
constexpr int32_t kMarkerDQT = 0xDB;
constexpr int32_t kMarkerCOM = 0xFE;
constexpr int32_t kMarkerAPP0 = 0xE0;

// The credit comment every file carries: three lines joined by CR LF, no line break
// after the last.
inline constexpr std::string_view kCreditComment =
    "JPEG Encoder Class\r\n"
    "Baseline encoder of the OKUVA iris capture station, written by its developers\r\n"
    "Source published with the OKUVA project";

// FF and the marker code.
void WriteMarker(OutputBuffer& out, int32_t marker);
// The 18-byte JFIF 1.01 segment (no units, aspect 1:1, no thumbnail). Raises 9 before
// writing when fewer than 18 bytes remain.
void WriteAPP0(OutputBuffer& out);
// One COM segment of the given bytes (one per character); nothing for an empty text.
void WriteCOM(OutputBuffer& out, const std::vector<uint8_t>& text);
// Appends table number `n` to the DQT segment that starts at `start`, opening it when
// the buffer position has not passed start + 4, and rewrites its length.
void WriteDQT(OutputBuffer& out, size_t start, const QuantTable& table, int32_t n);
// The frame header with the given marker (C0: baseline).
void WriteSOF(OutputBuffer& out, int32_t marker, int32_t precision, const FrameLayout& frame,
              const std::vector<Component>& components);
// Appends DC (ac false) or AC table number `n` to the DHT segment that starts at `start`,
// opening it like WriteDQT.
void WriteDHT(OutputBuffer& out, size_t start, const HuffTable& table, int32_t n, bool ac);

// Whether a text is well-formed UTF-8: no overlong forms, surrogates, values beyond
// U+10FFFF, stray or missing continuation bytes.
bool IsValidUtf8(std::string_view text);
// Number of characters of a UTF-8 text (an invalid byte counts as one character).
size_t CharacterCount(std::string_view utf8);
// The text's bytes in the ANSI code page (Windows-1252). Raises 6 for a character that
// has no one-byte code there.
std::vector<uint8_t> AnsiBytes(std::string_view utf8);

}  // namespace okuva::jpeg

namespace okuva::jpeg {

// Buffer size that no stream can outgrow: every header segment at its largest, and
// twice the entropy-coded bytes (each may be followed by a stuffed zero) plus one
// padding byte per scan. entropyBytes is the exact coded size OptimizeHuffmanTables
// returns, filler blocks included.
size_t StreamCapacity(int64_t entropyBytes, size_t scans, size_t commentBytes);

}  // namespace okuva::jpeg
