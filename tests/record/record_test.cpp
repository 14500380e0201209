// Iris image records: a record of known bytes read field by field, every length
// checked by truncating and corrupting, the station's record of simulated eyes
// written and read back in both image types and both formats.
#include <gtest/gtest.h>
#include <png.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "iris/quality.h"
#include "platform/camera/simulated_camera.h"
#include "record/iris_record.h"
#include "record/station_record.h"

namespace okuva::record {
namespace {

using camera::SimulatedCamera;

// A record of a left eye with two quality blocks and a raw 3 x 2 image, byte by byte.
const std::vector<uint8_t> kKnown = {
    'I',  'I',  'R',  0,    '0',  '2', '0', 0,  // signature, version
    0,    0,    0,    84,                         // record length
    0,    1,                                // representations
    0,                                   // certification flag
    1,                                   // eyes
    0,    0,    0,    68,                         // representation length
    0x07, 0xEA, 12,   8,    9,    30,  15,  0x01, 0xF4,  // 2026-12-08 09:30:15.500
    1,                                   // device technology: CMOS/CCD
    0x12, 0x34, 0x56, 0x78,              // device vendor, device type
    2,                                   // quality blocks
    87,   0x00, 0x2A, 0x00, 0x01,          // score 87 by vendor 42, algorithm 1
    255,  0xBE, 0xEF, 0x01, 0x02,         // failed, vendor 0xBEEF, algorithm 0x0102
    0,    1,                                // representation number
    2,                                   // eye: left
    7,                                   // image type: cropped and masked
    0x02,                                // image format: raw
    0x45,                                // base, base, lossless
    0,    3,    0,    2,                          // width, height
    8,                                   // bit depth
    0,    0,                                // range
    0xFF, 0xFF, 0xFF, 0xFF,              // roll angle, roll uncertainty
    0,    1,    0,    3,    0,    1,   0,   2,              // iris centre x 1..3, y 1..2
    0,    2,    0,    4,                          // iris diameter 2..4
    0,    0,    0,    6,                          // image length
    10,   20,   30,   40,   50,   60};
// Offsets of the length fields in kKnown.
constexpr size_t kRecordLengthAt = 8, kCountAt = 12, kRepLengthAt = 16, kBlocksAt = 34,
                 kImageLengthAt = 74;

void Put(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    bytes[at + i] = static_cast<uint8_t>(value >> (8 * (size - 1 - i)));
  }
}

RecordError::Kind KindOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RecordError& e) {
    return e.GetKind();
  }
  ADD_FAILURE() << "no RecordError";
  return RecordError::Kind::kInvalid;
}

std::filesystem::path TempPath(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("okuva-record-" + std::to_string(::getpid()) + "-" + name);
}

TEST(IrisRecordLayout, KnownBytesReadFieldByFieldAndWrittenBackAlike) {
  const Record record = DecodeRecord(kKnown);
  EXPECT_EQ(record.certificationFlag, 0);
  EXPECT_EQ(record.eyeCount, 1);
  ASSERT_EQ(record.representations.size(), 1u);
  const Representation& r = record.representations[0];
  EXPECT_EQ(r.capture, (CaptureTime{2026, 12, 8, 9, 30, 15, 500}));
  EXPECT_EQ(r.deviceTechnology, 1);
  EXPECT_EQ(r.deviceVendor, 0x1234);
  EXPECT_EQ(r.deviceType, 0x5678);
  ASSERT_EQ(r.quality.size(), 2u);
  EXPECT_EQ(r.quality[0], (QualityBlock{87, 42, 1}));
  EXPECT_EQ(r.quality[1], (QualityBlock{255, 0xBEEF, 0x0102}));
  EXPECT_EQ(r.representationNumber, 1);
  EXPECT_EQ(EyeName(r.eye), "left");
  EXPECT_EQ(ImageTypeName(r.imageType), "cropped_masked");
  EXPECT_EQ(ImageFormatName(r.imageFormat), "raw");
  EXPECT_EQ(r.HorizontalOrientation(), Orientation::kBase);
  EXPECT_EQ(r.VerticalOrientation(), Orientation::kBase);
  EXPECT_EQ(r.GetCompression(), Compression::kLossless);
  EXPECT_EQ(r.width, 3);
  EXPECT_EQ(r.height, 2);
  EXPECT_EQ(r.bitDepth, 8);
  EXPECT_EQ(r.range, 0);
  EXPECT_EQ(r.rollAngle, 0xFFFF);
  EXPECT_EQ(r.rollUncertainty, 0xFFFF);
  EXPECT_EQ((std::vector<int>{r.centreXMin, r.centreXMax, r.centreYMin, r.centreYMax}),
            (std::vector<int>{1, 3, 1, 2}));
  EXPECT_EQ(r.diameterMin, 2);
  EXPECT_EQ(r.diameterMax, 4);
  EXPECT_EQ(r.image, (std::vector<uint8_t>{10, 20, 30, 40, 50, 60}));
  const iris::GreyImage grey = DecodeImage(r);
  EXPECT_EQ(grey.width, 3);
  EXPECT_EQ(grey.pixels, r.image);
  EXPECT_EQ(EncodeRecord(record), kKnown);
  // A byte past the declared length is not the record's.
  std::vector<uint8_t> longer = kKnown;
  longer.push_back(0xAA);
  EXPECT_EQ(DecodeRecord(longer), record);
}

TEST(IrisRecordLayout, EveryTruncationAndCorruptedLengthIsRefused) {
  for (size_t n = 0; n < kKnown.size(); ++n) {
    SCOPED_TRACE("first " + std::to_string(n) + " bytes");
    EXPECT_EQ(KindOf([&] { DecodeRecord(std::span(kKnown).first(n)); }),
              RecordError::Kind::kMalformed);
  }
  struct Corruption {
    size_t at, size;
    uint64_t value;
  };
  const std::vector<Corruption> corruptions = {{kRecordLengthAt, 4, 83},
                                               {kRecordLengthAt, 4, 85},
                                               {kRecordLengthAt, 4, 15},
                                               {kRecordLengthAt, 4, 0},
                                               {kRecordLengthAt, 4, 0xFFFFFFFF},
                                               {kCountAt, 2, 0},
                                               {kCountAt, 2, 2},
                                               {kCountAt, 2, 0xFFFF},
                                               {kRepLengthAt, 4, 67},
                                               {kRepLengthAt, 4, 69},
                                               {kRepLengthAt, 4, 51},
                                               {kRepLengthAt, 4, 0},
                                               {kRepLengthAt, 4, 0xFFFFFFFF},
                                               {kBlocksAt, 1, 0},
                                               {kBlocksAt, 1, 1},
                                               {kBlocksAt, 1, 3},
                                               {kBlocksAt, 1, 255},
                                               {kImageLengthAt, 4, 5},
                                               {kImageLengthAt, 4, 7},
                                               {kImageLengthAt, 4, 0},
                                               {kImageLengthAt, 4, 0xFFFFFFFF}};
  for (const Corruption& c : corruptions) {
    SCOPED_TRACE("offset " + std::to_string(c.at) + " = " + std::to_string(c.value));
    std::vector<uint8_t> bytes = kKnown;
    Put(bytes, c.at, c.value, c.size);
    EXPECT_EQ(KindOf([&] { DecodeRecord(bytes); }), RecordError::Kind::kMalformed);
  }
  std::vector<uint8_t> older = kKnown;
  older[5] = '1';  // "010": the 2005 edition
  try {
    DecodeRecord(older);
    ADD_FAILURE() << "version 010 read";
  } catch (const RecordError& e) {
    EXPECT_NE(std::string(e.what()).find("version \"010\""), std::string::npos) << e.what();
  }
  std::vector<uint8_t> other = kKnown;
  other[0] = 'F';
  EXPECT_EQ(KindOf([&] { DecodeRecord(other); }), RecordError::Kind::kMalformed);
  // An image whose size is not the header's.
  std::vector<uint8_t> wider = kKnown;
  Put(wider, 51, 4, 2);
  const Record r = DecodeRecord(wider);
  EXPECT_EQ(KindOf([&] { DecodeImage(r.representations[0]); }), RecordError::Kind::kImage);
}

TEST(IrisRecordLayout, FilesAreReadOnlyAsFarAsTheBytesPresent) {
  const std::filesystem::path path = TempPath("file.iir");
  Record record = DecodeRecord(kKnown);
  WriteRecordFile(path.string(), record);
  EXPECT_EQ(ReadRecordFile(path.string()), record);
  for (size_t n : {size_t{0}, size_t{10}, size_t{16}, size_t{50}, kKnown.size() - 1}) {
    std::filesystem::resize_file(path, n);
    EXPECT_EQ(KindOf([&] { ReadRecordFile(path.string()); }), RecordError::Kind::kMalformed)
        << n << " bytes";
  }
  // A header that claims 4 GiB, in a file and through a pipe, is refused at the end
  // of what arrives.
  std::vector<uint8_t> huge = kKnown;
  Put(huge, kRecordLengthAt, 0xFFFFFFFF, 4);
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(huge.data()), static_cast<std::streamsize>(huge.size()));
  EXPECT_EQ(KindOf([&] { ReadRecordFile(path.string()); }), RecordError::Kind::kMalformed);
  std::filesystem::remove(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd >= 0) {
      EXPECT_EQ(::write(fd, huge.data(), huge.size()), static_cast<ssize_t>(huge.size()));
      ::close(fd);
    }
  });
  EXPECT_EQ(KindOf([&] { ReadRecordFile(path.string()); }), RecordError::Kind::kMalformed);
  writer.join();
  std::filesystem::remove(path);
}

struct Still {
  iris::GreyImage grey;
  SimulatedCamera::EyeGeometry truth;
};

Still Render(const SimulatedCamera::Eye& eye) {
  SimulatedCamera::Options options;
  options.framePerPoll = true;
  SimulatedCamera camera(options, eye);
  const camera::Frame frame = camera.RenderFrame(5);
  return {iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3),
          camera.GeometryAt(5)};
}

TEST(StationRecord, BothTypesAndFormatsRoundTripLosslessWithTheIrisCentred) {
  SimulatedCamera::Eye eye;
  eye.lidClosure = 0.3;  // the upper lid crosses the iris: masked in type 7
  const Still still = Render(eye);
  const iris::Quality quality = iris::Assess(still.grey.View());
  ASSERT_TRUE(quality.circles.iris);
  const iris::Circle c = *quality.circles.iris;
  const Crop crop = CropAround(c, still.grey.width, still.grey.height);
  EXPECT_EQ(crop.width, 2 * static_cast<int32_t>(std::ceil(1.6 * c.radius)) + 1);
  EXPECT_EQ(crop.height, 2 * static_cast<int32_t>(std::ceil(1.2 * c.radius)) + 1);
  const std::filesystem::path path = TempPath("still.iir");
  for (bool masked : {false, true}) {
    for (ImageFormat format : {ImageFormat::kPng, ImageFormat::kJpeg2000}) {
      SCOPED_TRACE(std::string(masked ? "masked " : "cropped ") +
                   ImageFormatName(static_cast<uint8_t>(format)));
      StationOptions options;
      options.eye = Eye::kRight;
      options.masked = masked;
      options.format = format;
      options.capture = CaptureTimeOf({1765186215, 250000000});  // 2025-12-08 09:30:15.250
      options.deviceTechnology = 1;
      const Record made = MakeStationRecord(still.grey.View(), quality, options);
      WriteRecordFile(path.string(), made);
      const Record read = ReadRecordFile(path.string());
      EXPECT_EQ(read, made);
      ASSERT_EQ(read.representations.size(), 1u);
      const Representation& r = read.representations[0];
      EXPECT_EQ(r.capture, (CaptureTime{2025, 12, 8, 9, 30, 15, 250}));
      EXPECT_EQ(r.imageType, masked ? 7 : 3);
      EXPECT_EQ(r.imageFormat, static_cast<uint8_t>(format));
      EXPECT_EQ(r.eye, 1);
      EXPECT_EQ(r.GetCompression(), Compression::kLossless);
      EXPECT_EQ(r.quality, (std::vector<QualityBlock>{{QualityScore(quality), 0, 1}}));
      // The true centre, in 1-based pixels of the crop, lies within the fields' ranges,
      // and the ranges are a few pixels wide, not the whole image.
      const double tx = still.truth.x - crop.left + 1, ty = still.truth.y - crop.top + 1;
      EXPECT_LE(r.centreXMin, tx);
      EXPECT_GE(r.centreXMax + 1, tx);
      EXPECT_LE(r.centreYMin, ty);
      EXPECT_GE(r.centreYMax + 1, ty);
      EXPECT_LE(r.centreXMax - r.centreXMin, 2);
      EXPECT_LE(r.centreYMax - r.centreYMin, 2);
      EXPECT_LE(r.diameterMin, 2 * still.truth.irisRadius);
      EXPECT_GE(r.diameterMax, 2 * still.truth.irisRadius);
      EXPECT_LE(r.diameterMax - r.diameterMin, 12);

      const iris::GreyImage image = DecodeImage(r);
      ASSERT_EQ(image.width, crop.width);
      ASSERT_EQ(image.height, crop.height);
      size_t masks = 0, kept = 0, lid = 0;
      for (int32_t y = 0; y < crop.height; ++y) {
        for (int32_t x = 0; x < crop.width; ++x) {
          const uint8_t stored = image.pixels[static_cast<size_t>(y) * crop.width + x];
          const uint8_t original = still.grey.View().At(crop.left + x, crop.top + y);
          const double dx = crop.left + x + 0.5 - c.x, dy = crop.top + y + 0.5 - c.y;
          const bool outside = dx * dx + dy * dy > c.radius * c.radius;
          const iris::Occlusion o = quality.mask.At(crop.left + x, crop.top + y);
          const bool hidden = o == iris::Occlusion::kUpperLid || o == iris::Occlusion::kLowerLid ||
                              o == iris::Occlusion::kLash;
          lid += hidden ? 1 : 0;
          if (masked && (outside || hidden)) {
            masks += stored == kMaskLevel ? 0 : 1;
          } else {
            kept += stored == original ? 0 : 1;
          }
        }
      }
      EXPECT_EQ(masks, 0u);
      EXPECT_EQ(kept, 0u);
      EXPECT_GT(lid, 500u);  // the lid covers part of the ring
    }
  }
  std::filesystem::remove(path);
}

// A PNG written by libpng itself in `format` from `samples`.
std::vector<uint8_t> Png(uint32_t format, uint32_t width, uint32_t height, const void* samples) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = format;
  png_alloc_size_t size = 0;
  EXPECT_NE(png_image_write_get_memory_size(image, size, 0, samples, 0, nullptr), 0);
  std::vector<uint8_t> out(size);
  EXPECT_NE(png_image_write_to_memory(&image, out.data(), &size, 0, samples, 0, nullptr), 0);
  out.resize(size);
  return out;
}

TEST(IrisRecordImages, OtherWritersImagesDecodeToGrey) {
  Representation r;
  r.width = 3;
  r.height = 1;
  // Colour: each pixel by luma. 16-bit grey: rounded to 8 bits.
  const uint8_t rgb[9] = {255, 0, 0, 0, 255, 0, 10, 20, 30};
  r.image = Png(PNG_FORMAT_RGB, 3, 1, rgb);
  EXPECT_EQ(
      DecodeImage(r).pixels,
      (std::vector<uint8_t>{iris::Luma(255, 0, 0), iris::Luma(0, 255, 0), iris::Luma(10, 20, 30)}));
  const uint16_t wide[3] = {0, 0x8080, 0xFFFF};
  r.image = Png(PNG_FORMAT_LINEAR_Y, 3, 1, wide);
  EXPECT_EQ(DecodeImage(r).pixels.size(), 3u);
  EXPECT_EQ(DecodeImage(r).pixels.front(), 0);
  EXPECT_EQ(DecodeImage(r).pixels.back(), 255);
  // A bare JPEG 2000 codestream, as some writers store it: the contents of our JP2's
  // codestream box.
  std::vector<uint8_t> levels(64 * 48);
  for (size_t i = 0; i < levels.size(); ++i) {
    levels[i] = static_cast<uint8_t>(i * 37 % 251);
  }
  const std::vector<uint8_t> jp2 = EncodeJp2Grey({levels.data(), 64, 48, 64});
  const std::string box = "jp2c";
  const auto at = std::search(jp2.begin(), jp2.end(), box.begin(), box.end());
  ASSERT_NE(at, jp2.end());
  r.imageFormat = static_cast<uint8_t>(ImageFormat::kJpeg2000);
  r.width = 64;
  r.height = 48;
  r.image.assign(at + 4, jp2.end());
  EXPECT_EQ(DecodeImage(r).pixels, levels);
  r.image = jp2;
  EXPECT_EQ(DecodeImage(r).pixels, levels);
  r.height = 47;  // not the header's size
  EXPECT_EQ(KindOf([&] { DecodeImage(r); }), RecordError::Kind::kImage);
  r.imageFormat = 0x04;  // another format the standard lists
  EXPECT_EQ(KindOf([&] { DecodeImage(r); }), RecordError::Kind::kImage);
  // Two representations, both eyes.
  Record both;
  both.eyeCount = 2;
  both.representations = {Representation{}, Representation{}};
  both.representations[0].eye = 1;
  both.representations[1].eye = 2;
  both.representations[1].representationNumber = 2;
  both.representations[1].image = {1, 2, 3};
  EXPECT_EQ(DecodeRecord(EncodeRecord(both)), both);
}

TEST(IrisRecordImages, CorruptedBytesAreRefusedOrReadWithinTheirSize) {
  SimulatedCamera::Eye eye;
  eye.irisRadius = 60;
  eye.pupilRadius = 24;
  const Still still = Render(eye);
  std::mt19937 random(19);
  for (ImageFormat format : {ImageFormat::kPng, ImageFormat::kJpeg2000}) {
    StationOptions options;
    options.format = format;
    const std::vector<uint8_t> good = EncodeRecord(MakeStationRecord(still.grey.View(), options));
    for (int round = 0; round < 100; ++round) {
      std::vector<uint8_t> bytes = good;
      const int flips = 1 + static_cast<int>(random() % 8);
      for (int f = 0; f < flips; ++f) {
        bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
      }
      try {
        const Record r = DecodeRecord(bytes);
        const iris::GreyImage image = DecodeImage(r.representations[0]);
        EXPECT_EQ(image.pixels.size(),
                  size_t{r.representations[0].width} * r.representations[0].height);
      } catch (const RecordError&) {
      }
    }
  }
}

TEST(StationRecord, RangesWidenWithEdgeNoiseAndCoverTheTruth) {
  std::vector<int> diameterWidths;
  for (double noise : {0.0, 40.0}) {
    SCOPED_TRACE("noise " + std::to_string(noise));
    SimulatedCamera::Eye eye;
    eye.noise = noise;
    const Still still = Render(eye);
    const iris::Quality quality = iris::Assess(still.grey.View());
    ASSERT_TRUE(quality.circles.iris);
    const Crop crop = CropAround(*quality.circles.iris, still.grey.width, still.grey.height);
    const Representation r =
        MakeStationRecord(still.grey.View(), quality, StationOptions{}).representations[0];
    const double tx = still.truth.x - crop.left + 1, ty = still.truth.y - crop.top + 1;
    EXPECT_LE(r.centreXMin, tx);
    EXPECT_GE(r.centreXMax + 1, tx);
    EXPECT_LE(r.centreYMin, ty);
    EXPECT_GE(r.centreYMax + 1, ty);
    EXPECT_LE(r.diameterMin, 2 * still.truth.irisRadius);
    EXPECT_GE(r.diameterMax, 2 * still.truth.irisRadius);
    diameterWidths.push_back(r.diameterMax - r.diameterMin);
  }
  EXPECT_GT(diameterWidths[1], diameterWidths[0]);
}

TEST(StationRecord, NoEyeOrAnEyeAtTheEdgeMakesNoRecord) {
  iris::GreyImage blank{640, 480, std::vector<uint8_t>(640 * 480, 128)};
  EXPECT_EQ(KindOf([&] { MakeStationRecord(blank.View(), StationOptions{}); }),
            RecordError::Kind::kNoIris);
  SimulatedCamera::Eye eye;
  eye.offsetX = 150;  // 110 pixels of iris radius leave 60 to the right, 66 are needed
  eye.drift = false;
  const Still still = Render(eye);
  EXPECT_EQ(KindOf([&] { MakeStationRecord(still.grey.View(), StationOptions{}); }),
            RecordError::Kind::kMargins);
  // The crop's bounds exactly: centre (100.5, 60.5), R 50 needs 80 columns and 60 rows
  // either side.
  EXPECT_EQ(CropAround({100.5, 60.5, 50, 1}, 181, 121).width, 161);
  EXPECT_EQ(KindOf([&] {
              CropAround({100.5, 60.5, 50, 1}, 180, 121);
            }),
            RecordError::Kind::kMargins);
  EXPECT_EQ(KindOf([&] {
              CropAround({100.5, 59.5, 50, 1}, 181, 121);
            }),
            RecordError::Kind::kMargins);
  const Crop crop = CropAround({100.5, 60.5, 50, 1}, 181, 121);
  EXPECT_EQ((std::vector<int32_t>{crop.left, crop.top, crop.width, crop.height}),
            (std::vector<int32_t>{20, 0, 161, 121}));
}

TEST(StationRecord, QualityScoreIsTheProductOfEachMetricsSufficiency) {
  iris::Quality q;
  auto set = [&](iris::Metric m, double v) { q.values[static_cast<size_t>(m)] = v; };
  using iris::Metric;
  set(Metric::kIrisDiameter, 220);
  set(Metric::kUsableIrisArea, 90);
  set(Metric::kIrisScleraContrast, 20);
  set(Metric::kIrisPupilContrast, 60);
  set(Metric::kPupilIrisRatio, 40);
  set(Metric::kIrisPupilConcentricity, 98);
  set(Metric::kMarginAdequacy, 100);
  set(Metric::kGreyscaleUtilisation, 7);
  set(Metric::kSharpness, 70);
  set(Metric::kPupilBoundaryCircularity, 95);
  EXPECT_EQ(QualityScore(q), 100);
  set(Metric::kIrisDiameter, 100);  // half the minimum
  EXPECT_EQ(QualityScore(q), 50);
  set(Metric::kSharpness,
      0.75 * iris::ThresholdOf(Metric::kSharpness).minimum);  // three quarters of it
  EXPECT_EQ(QualityScore(q), 38);  // 100 x 0.5 x 0.75 = 37.5, rounded away from zero
  set(Metric::kIrisDiameter, 220);
  set(Metric::kSharpness, 70);
  set(Metric::kPupilIrisRatio, 85);  // half way from the maximum 70 to 100
  EXPECT_EQ(QualityScore(q), 50);
  set(Metric::kPupilIrisRatio, 10);  // half the minimum 20
  EXPECT_EQ(QualityScore(q), 50);
  set(Metric::kIrisPupilContrast, -3);
  EXPECT_EQ(QualityScore(q), 0);
  set(Metric::kIrisScleraContrast, std::nan(""));
  EXPECT_EQ(QualityScore(q), kScoreFailed);
}

TEST(StationRecord, CaptureTimeIsUtcWithMilliseconds) {
  EXPECT_EQ(CaptureTimeOf({0, 999999999}), (CaptureTime{1970, 1, 1, 0, 0, 0, 999}));
  EXPECT_EQ(CaptureTimeOf({951825599, 1000000}), (CaptureTime{2000, 2, 29, 11, 59, 59, 1}));
}

}  // namespace
}  // namespace okuva::record
