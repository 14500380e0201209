#include "platform/camera/image_filters.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace okuva::camera {
namespace {

// One horizontal box pass over a row of `width` RGB pixels. `padded` receives the row
// with `whole + 1` edge pixels repeated on each side, so the loop needs no clamping.
void BoxRow(float* row, int32_t width, int32_t whole, float fraction, float norm,
            std::vector<float>& padded) {
  const int32_t pad = whole + 1;
  padded.resize(static_cast<size_t>(width + 2 * pad) * 3);
  float* p = padded.data();
  for (int32_t i = 0; i < pad; ++i) {
    for (int32_t c = 0; c < 3; ++c) {
      p[i * 3 + c] = row[c];
      p[(pad + width + i) * 3 + c] = row[(width - 1) * 3 + c];
    }
  }
  std::copy_n(row, static_cast<size_t>(width) * 3, p + pad * 3);
  // The three channels run side by side: three independent running sums.
  const float* in = p + pad * 3;  // in[k * 3 + c] is pixel k, valid for -pad..width+pad-1
  float s0 = 0, s1 = 0, s2 = 0;
  for (int32_t k = -whole; k <= whole; ++k) {
    s0 += in[k * 3];
    s1 += in[k * 3 + 1];
    s2 += in[k * 3 + 2];
  }
  for (int32_t x = 0; x < width; ++x) {
    const float* before = in + (x - whole - 1) * 3;
    const float* after = in + (x + whole + 1) * 3;
    const float* leaving = in + (x - whole) * 3;
    row[x * 3] = (s0 + fraction * (before[0] + after[0])) * norm;
    row[x * 3 + 1] = (s1 + fraction * (before[1] + after[1])) * norm;
    row[x * 3 + 2] = (s2 + fraction * (before[2] + after[2])) * norm;
    s0 += after[0] - leaving[0];
    s1 += after[1] - leaving[1];
    s2 += after[2] - leaving[2];
  }
}

// One vertical box pass from `in` to `out` (both width * 3 floats per row), keeping a
// running sum per column so each output row costs a few additions per sample.
void BoxColumns(const float* in, float* out, int32_t width, int32_t height, int32_t whole,
                float fraction, float norm, std::vector<float>& sum) {
  const size_t rowSize = static_cast<size_t>(width) * 3;
  auto row = [&](int32_t y) {
    return in + static_cast<size_t>(std::clamp(y, 0, height - 1)) * rowSize;
  };
  sum.assign(rowSize, 0.0f);
  for (int32_t k = -whole; k <= whole; ++k) {
    const float* r = row(k);
    for (size_t i = 0; i < rowSize; ++i) {
      sum[i] += r[i];
    }
  }
  for (int32_t y = 0; y < height; ++y) {
    const float* above = row(y - whole - 1);
    const float* below = row(y + whole + 1);
    const float* leaving = row(y - whole);
    float* o = out + static_cast<size_t>(y) * rowSize;
    for (size_t i = 0; i < rowSize; ++i) {
      o[i] = (sum[i] + fraction * (above[i] + below[i])) * norm;
      sum[i] += below[i] - leaving[i];
    }
  }
}

}  // namespace

void DefocusBlur(uint8_t* rgb, int32_t width, int32_t height, double radius) {
  if (!(radius > 0) || width <= 0 || height <= 0) {
    return;
  }
  const auto whole = static_cast<int32_t>(std::floor(radius));
  const auto fraction = static_cast<float>(radius - whole);
  const float norm = 1.0f / (2.0f * static_cast<float>(whole) + 1.0f + 2.0f * fraction);
  const size_t count = static_cast<size_t>(width) * height * 3;
  // Kept between calls: fresh multi-megabyte buffers cost more in page faults than
  // the filtering itself.
  thread_local std::vector<float> a, b, scratch;
  a.assign(rgb, rgb + count);
  b.resize(count);
  for (int pass = 0; pass < 2; ++pass) {
    for (int32_t y = 0; y < height; ++y) {
      BoxRow(a.data() + static_cast<size_t>(y) * width * 3, width, whole, fraction, norm, scratch);
    }
    BoxColumns(a.data(), b.data(), width, height, whole, fraction, norm, scratch);
    a.swap(b);
  }
  for (size_t i = 0; i < count; ++i) {
    rgb[i] = static_cast<uint8_t>(std::min(255.0f, std::max(0.0f, a[i]) + 0.5f));
  }
}

}  // namespace okuva::camera
