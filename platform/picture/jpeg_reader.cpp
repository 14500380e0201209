// JPEG files through libjpeg-turbo's TurboJPEG interface, decoded straight into a
// 24-bit DIB section. Warnings (a truncated or corrupt stream) count as failures: a
// picture with grey blocks where data was missing is not what was saved.
#include <turbojpeg.h>

#include <memory>

#include "platform/picture/picture_internal.h"

namespace okuva::picture_detail {

namespace {

struct TjDeleter {
  void operator()(void* handle) const noexcept { tjDestroy(static_cast<tjhandle>(handle)); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

std::string TjError(tjhandle handle) { return tjGetErrorStr2(handle); }

}  // namespace

StdPicture DecodeJpeg(std::span<const uint8_t> bytes, int64_t maxPixels) {
  TjHandle tj(tjInitDecompress());
  if (!tj) throw PictureError("JPEG decoder could not start");
  if (bytes.size() > 0xFFFFFFFFu) throw PictureError("JPEG file too large");
  const auto size = static_cast<unsigned long>(bytes.size());
  int width = 0;
  int height = 0;
  int subsampling = 0;
  int colourspace = 0;
  if (tjDecompressHeader3(tj.get(), bytes.data(), size, &width, &height, &subsampling, &colourspace) != 0) {
    throw PictureError("malformed JPEG header: " + TjError(tj.get()));
  }
  CheckSize(width, height, maxPixels);
  uint8_t* bits = nullptr;
  StdPicture picture = MakeDibSection(width, height, 24, nullptr, 0, &bits);
  const int pitch = static_cast<int>(DibStride(width, 24));
  if (tjDecompress2(tj.get(), bytes.data(), size, bits, width, pitch, height, TJPF_BGR,
                    TJFLAG_BOTTOMUP | TJFLAG_STOPONWARNING) != 0) {
    throw PictureError("unreadable JPEG data: " + TjError(tj.get()));
  }
  return picture;
}

}  // namespace okuva::picture_detail
