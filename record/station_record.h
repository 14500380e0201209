// The record this station makes of a still: one representation, the grey (luma) crop
// centred on the iris, lossless, with the fitted circles and an overall quality score.
// Qt-free; the window and okuva-tool share it.
//
// Crop (image type 3, "cropped"): with (cx, cy) the iris centre and R its radius, the
// columns floor(cx) - ceil(1.6 R) .. floor(cx) + ceil(1.6 R) and the rows
// floor(cy) - ceil(1.2 R) .. floor(cy) + ceil(1.2 R): at least 0.6 R of margin left
// and right of the iris and 0.2 R above and below. A still without those margins gives
// no record.
//
// Cropped and masked (type 7): the same crop, every pixel whose centre lies outside the
// iris circle and every pixel of the ring the occlusion mask gives to an eyelid or to
// lashes set to kMaskLevel; the pupil, the visible iris and its highlights are kept.
//
// Iris centre and diameter fields: ranges that cover the fit's uncertainty. The limbus
// is probed again along rays on the side arcs (the lids hide top and bottom), each edge
// the largest rise of level across 3 % of R either side (at least 3 levels and a
// quarter of the ray's range, so dark near-infrared eyes count as well); with s
// the robust spread of the edges about the fitted circle (1.4826 median absolute
// deviation, at least a quarter pixel), the least-squares covariance s^2 (J'J)^-1 of
// centre and radius (J's rows: cos t, sin t, 1 for each edge at angle t) gives standard
// deviations; each field covers the fitted value +- (2 deviations + half a pixel), in
// 1-based pixels of the stored image. Where too few edges are found each deviation is
// taken as 5 % of R.
#pragma once

#include <cstdint>
#include <ctime>

#include "iris/grey.h"
#include "iris/quality.h"
#include "record/iris_record.h"

namespace okuva::record {

// The level of masked pixels in a type 7 image: mid grey.
constexpr uint8_t kMaskLevel = 128;

// The quality block the station writes: vendor 0 (none registered), algorithm 1.
constexpr uint16_t kScoreAlgorithmVendor = 0;
constexpr uint16_t kScoreAlgorithmId = 1;

// The overall quality score, 0..100, from the metrics of iris/quality.h. Each metric
// gives a sufficiency q in 0..1: 1 within its recommended range; below a minimum m,
// value / m (0 for values at or under 0); above a maximum M (only the pupil/iris
// ratio has one, a percentage), (100 - value) / (100 - M), at least 0. The score is
// 100 times the product of the ten, rounded: 100 when every metric meets its range,
// and each shortfall lowers it in proportion. kScoreFailed (255) when a metric could
// not be measured (no eye found, no sclera in the picture).
uint8_t QualityScore(const iris::Quality& quality);

// The rectangle of the still a record keeps, in picture pixels.
struct Crop {
  int32_t left = 0, top = 0, width = 0, height = 0;
};

// The crop around `iris` (see above); RecordError(kMargins) when it does not fit in a
// picture of the given size.
Crop CropAround(const iris::Circle& iris, int32_t pictureWidth, int32_t pictureHeight);

// A UTC time point as the record's capture date and time (milliseconds included).
CaptureTime CaptureTimeOf(const timespec& utc);

struct StationOptions {
  Eye eye = Eye::kUndefined;
  bool masked = false;                      // type 7 instead of type 3
  ImageFormat format = ImageFormat::kPng;   // kPng or kJpeg2000 (lossless)
  CaptureTime capture;                      // when the frame was captured, UTC
  uint8_t deviceTechnology = 0;             // 0 unknown (a file), 1 CMOS/CCD (a camera)
};

// The record of `still` (8-bit grey, e.g. the luma of a colour frame). Finds the eye
// with iris::Assess. RecordError(kNoIris) when no pupil and iris are found,
// kMargins when the iris is too near the edge, kInvalid for another format, kImage
// when the codec fails.
Record MakeStationRecord(const iris::GreyPlane& still, const StationOptions& options);
// The same from an assessment of `still` already made.
Record MakeStationRecord(const iris::GreyPlane& still, const iris::Quality& quality,
                         const StationOptions& options);

}  // namespace okuva::record
