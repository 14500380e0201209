// iris_check: draws an eye, encodes it with the toolkit's own JPEG encoder cJpeg, reads
// the file back and judges it with the iris analysis.
//   iris_check [OUT.jpg]    exit 0 when the pupil and the iris were found in the file
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include <okuva/iris/quality.h>
#include <okuva/jpeg/cjpeg.h>
#include <okuva/okuva_version.h>
#include <okuva/platform/picture/picture.h>
#include <okuva/platform/runtime/error.h>
#include <okuva/surface/cdibsection.h>

namespace {

constexpr int32_t kWidth = 640, kHeight = 480;

// Sclera, a textured iris of radius 110 and a pupil of radius 40, centred at (320, 240).
void DrawEye(okuva::cDIBSection& dib) {
  uint8_t* bits = dib.DIBSectionBitsPtr();
  for (int32_t y = 0; y < kHeight; ++y) {
    uint8_t* row = bits + static_cast<ptrdiff_t>(y) * dib.BytesPerScanLine();
    for (int32_t x = 0; x < kWidth; ++x) {
      const double dx = x + 0.5 - 320, dy = y + 0.5 - 240, r = std::sqrt(dx * dx + dy * dy);
      const int level = r < 40 ? 15 : r < 110 ? 70 + (x * 7 + y * 13) % 61 : 215;
      row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = static_cast<uint8_t>(level);
    }
  }
}

// The surface's pixels as the grey plane the analysis reads (rows top to bottom).
okuva::iris::GreyImage Grey(const okuva::cDIBSection& dib) {
  okuva::iris::GreyImage grey{dib.Width(), dib.Height(), {}};
  grey.pixels.resize(static_cast<size_t>(grey.width) * static_cast<size_t>(grey.height));
  for (int32_t y = 0; y < grey.height; ++y) {
    // A DIB section stores its bottom row first.
    const uint8_t* row = dib.DIBSectionBitsPtr() +
                         static_cast<ptrdiff_t>(grey.height - 1 - y) * dib.BytesPerScanLine();
    for (int32_t x = 0; x < grey.width; ++x) {
      grey.pixels[static_cast<size_t>(y) * static_cast<size_t>(grey.width) +
                  static_cast<size_t>(x)] =
          okuva::iris::Luma(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
    }
  }
  return grey;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string out = argc > 1 ? argv[1] : "iris_check.jpg";
  try {
    std::printf("okuva toolkit %s (headers %s)\n", okuva::ToolkitVersion(), OKUVA_VERSION_STRING);
    okuva::cDIBSection eye;
    if (!eye.Create(kWidth, kHeight)) {
      return 1;
    }
    DrawEye(eye);

    okuva::cJpeg jpeg;
    jpeg.Quality(90);
    if (jpeg.SampleHDC(eye.hdc(), kWidth, kHeight) != 0 || jpeg.SaveFile(out) != 0) {
      std::fprintf(stderr, "iris_check: could not write %s\n", out.c_str());
      return 1;
    }

    okuva::cDIBSection back;
    back.CreateFromPicture(okuva::LoadPicture(out));
    const okuva::iris::GreyImage grey = Grey(back);
    const okuva::iris::Quality quality = okuva::iris::Assess(grey.View());
    if (!quality.circles.pupil || !quality.circles.iris) {
      std::fprintf(stderr, "iris_check: no eye found in %s\n", out.c_str());
      return 1;
    }
    std::printf("%s: %d x %d, pupil r %.1f at (%.1f, %.1f), iris r %.1f, verdict %s\n", out.c_str(),
                quality.width, quality.height, quality.circles.pupil->radius,
                quality.circles.pupil->x, quality.circles.pupil->y, quality.circles.iris->radius,
                quality.pass ? "pass" : "fail");
    for (const okuva::iris::Threshold& t : okuva::iris::Thresholds()) {
      std::printf("  %-28s %8.2f %s\n", t.name, quality.Value(t.metric),
                  quality.Passed(t.metric) ? "ok" : "FAIL");
    }
    return 0;
  } catch (const okuva::RuntimeError& e) {
    std::fprintf(stderr, "iris_check: Error %d: %s\n", static_cast<int>(e.Number()),
                 e.Description().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "iris_check: %s\n", e.what());
  }
  return 1;
}
