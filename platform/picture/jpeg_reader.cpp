// JPEG files through libjpeg-turbo's TurboJPEG interface, decoded straight into the
// destination's 24-bit rows. Warnings (a truncated or corrupt stream) count as failures: a
// picture with grey blocks where data was missing is not what was saved.
#include <turbojpeg.h>

#include <algorithm>
#include <memory>

#include "platform/picture/picture_internal.h"

namespace okuva::picture_detail {

namespace {

struct TjDeleter {
  void operator()(void* handle) const noexcept { tjDestroy(static_cast<tjhandle>(handle)); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

std::string TjError(tjhandle handle) { return tjGetErrorStr2(handle); }

constexpr uint64_t kMaxHeaderSearch = 16 * 1024 * 1024;

}  // namespace

void ReadJpeg(Input& in, int64_t maxPixels, const PicturePrepare& prepare) {
  TjHandle tj(tjInitDecompress());
  if (!tj) throw PictureError("JPEG decoder could not start");
  int width = 0;
  int height = 0;
  int subsampling = 0;
  int colourspace = 0;
  // The frame header normally sits in the first bytes; large metadata segments may push
  // it further, so look again in up to 16 MiB before giving up.
  std::span<const uint8_t> bytes(in.Head().At(0, in.Head().Size(), "JPEG header"), in.Head().Size());
  int status = tjDecompressHeader3(tj.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), &width,
                                   &height, &subsampling, &colourspace);
  // A head cut before the frame header reads as tables only, with no size.
  if ((status != 0 || width <= 0 || height <= 0) && !in.HeadIsWholeFile()) {
    bytes = in.Whole(kMaxHeaderSearch);
    status = tjDecompressHeader3(tj.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), &width,
                                 &height, &subsampling, &colourspace);
  }
  if (status != 0) throw PictureError("malformed JPEG header: " + TjError(tj.get()));
  CheckSize(width, height, maxPixels);
  // TurboJPEG wants the whole stream. Read what a picture of this size could fill:
  // 8 bytes per sample is far more than any encoder writes, and anything past it is
  // not this picture (a sparse or endless input ends here).
  const uint64_t limit = kMaxHeaderSearch + uint64_t{8} * 3 * static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  bytes = in.Whole(limit);
  if (bytes.size() > 0xFFFFFFFFu) throw PictureError("JPEG file too large");

  PictureHeader header;
  header.width = width;
  header.height = height;
  header.bitsPerPixel = 24;
  Sink sink(header, prepare);
  // Bottom-up memory takes TurboJPEG's bottom-up flag; top-down memory starts at the top row.
  const bool bottomUp = sink.Stride() > 0;
  const auto pitch = static_cast<int>(bottomUp ? sink.Stride() : -sink.Stride());
  uint8_t* first = bottomUp ? sink.Row(height - 1) : sink.Row(0);  // lowest address
  // Warnings (a truncated or corrupt stream) count as failures, and so do streams of
  // more than 500 scans: a progressive file of thousands of scans costs minutes of CPU.
  if (tjDecompress2(tj.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), first,
                    width, pitch, height, TJPF_BGR,
                    (bottomUp ? TJFLAG_BOTTOMUP : 0) | TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) != 0) {
    throw PictureError("unreadable JPEG data: " + TjError(tj.get()));
  }
}

}  // namespace okuva::picture_detail
