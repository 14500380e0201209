// The encoder's own refusal: error 1 with a description and no source, so the
// reporter shows the application's name as the source.
#pragma once

#include <array>
#include <cstddef>

#include "platform/runtime/error.h"

namespace okuva::jpeg {

constexpr int32_t kEncoderError = 1;

// What the encoder refuses; each has one description, the text callers match on.
enum class EncoderFault : size_t {
  kInvalidSampling,        // a sampling factor outside 1..4
  kIllegalCommentLength,   // a comment beyond 65533 characters
  kBadQuantizationTable,   // a quantizer outside 1..255
  kBadHuffmanTable,        // an inconsistent or empty Huffman table
};

inline constexpr std::array<const char*, 4> kEncoderMessages = {
    "Invalid Sampling Value",
    "Illegal Comment Length",
    "Bad Quantization Table",
    "Bad Huffman Table",
};

[[noreturn]] inline void RaiseEncoderError(EncoderFault fault) {
  Raise(kEncoderError, kEncoderMessages[static_cast<size_t>(fault)]);
}

}  // namespace okuva::jpeg
