// mIntelJPEGLibrary: writes a 24-bit DIB surface to a JPEG file through the JPEG
// writer (jpeg_library.h), reading the surface's pixel memory in place.
#pragma once

#include <cstdint>
#include <string>

#include "saving/jpeg_library.h"
#include "surface/cdibsection.h"

namespace okuva {

// The export's error number; its source is ExecutableName() + ".mIntelJPEGLibrary".
constexpr int32_t kErrJpegExport = 26001;

// Writes cDib to sFile at quality lQuality (1..100; the window passes 90) with the
// writer's default 4:2:0 subsampling; returns true. The new file is written beside
// sFile and renamed over it only when complete; a replaced file's access and modify
// times (creation time where settable) and permission bits carry over.
// Failures are raised and leave an existing sFile byte for byte:
//   26001 "Failed to initialise the IJL library: <code>" when the writer cannot start;
//   26001 "Failed to save to JPG <code>" when it cannot write (an empty surface too);
//   the runtime's file error when the folder refuses the new file or the rename;
//   6 when the row padding overflows.
bool SaveDIBAsJPG(const cDIBSection& cDib, const std::string& sFile, int32_t lQuality);

// The same with a given writer (tests use one that fails on purpose).
bool SaveDIBAsJPG(const cDIBSection& cDib, const std::string& sFile, int32_t lQuality,
                  const JpegLibrary& library);

}  // namespace okuva
