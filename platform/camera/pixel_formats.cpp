#include "platform/camera/pixel_formats.h"

#include <linux/videodev2.h>

namespace okuva::camera {
namespace {

constexpr PixelFormatEntry kAccepted[] = {
    {V4L2_PIX_FMT_RGB24, "RGB 24 bits"},       {V4L2_PIX_FMT_BGR24, "BGR 24 bits"},
    {V4L2_PIX_FMT_YUYV, "YUYV 4:2:2"},         {V4L2_PIX_FMT_UYVY, "UYVY 4:2:2"},
    {V4L2_PIX_FMT_YVYU, "YVYU 4:2:2"},         {V4L2_PIX_FMT_NV12, "Y/CbCr 4:2:0"},
    {V4L2_PIX_FMT_YUV420, "Planar YUV 4:2:0"}, {V4L2_PIX_FMT_YVU420, "Planar YVU 4:2:0"},
    {V4L2_PIX_FMT_MJPEG, "Motion-JPEG"},       {V4L2_PIX_FMT_JPEG, "JFIF JPEG"},
    {V4L2_PIX_FMT_GREY, "8-bit Greyscale"},
};

}  // namespace

std::span<const PixelFormatEntry> AcceptedPixelFormats() { return kAccepted; }

int PixelFormatRank(uint32_t fourcc) {
  for (size_t i = 0; i < std::size(kAccepted); ++i) {
    if (kAccepted[i].fourcc == fourcc) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace okuva::camera
