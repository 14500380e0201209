// The device pixel formats the camera accepts, in order of preference. Every one of
// them is converted to RGB24 by libv4lconvert (or copied when it already is RGB24).
#pragma once

#include <cstdint>
#include <span>

namespace okuva::camera {

struct PixelFormatEntry {
  uint32_t fourcc;
  const char* name;  // shown when the driver gives no description
};

// Uncompressed formats first (cheap to convert, no decoding artefacts), then the
// compressed ones that large sizes need on USB 2.
std::span<const PixelFormatEntry> AcceptedPixelFormats();

// Position in AcceptedPixelFormats(), or -1 when the format is not accepted.
int PixelFormatRank(uint32_t fourcc);

}  // namespace okuva::camera
