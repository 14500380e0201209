// Iris image records in the interchange format of ISO/IEC 19794-6:2011: the layout,
// a writer and a reader that takes records of other writers too. Qt-free.
//
// Layout, every integer big-endian:
//   general header (16 bytes): "IIR\0", "020\0", u32 record length (the whole record),
//     u16 number of representations, u8 certification flag, u8 number of eyes;
//   each representation: u32 representation length, the header fields of
//     Representation in declaration order (52 bytes plus 5 per quality block), then the
//     image of `image.size()` bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "iris/grey.h"

namespace okuva::record {

// Raised for a record that cannot be read (truncated, inconsistent, another version),
// an image that cannot be decoded, or a record that cannot be made from a still.
// what() is one English line saying what is wrong.
class RecordError : public std::runtime_error {
public:
  enum class Kind {
    kMalformed,     // the record's bytes are not a record this reader takes
    kImage,         // the stored image cannot be decoded or encoded
    kNoIris,        // no pupil and iris found in the still
    kMargins,       // the iris lies too near the still's edge for the crop's margins
    kInvalid,       // a record or still that cannot be written (a field out of range)
  };
  RecordError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind GetKind() const noexcept { return kind_; }

private:
  Kind kind_;
};

constexpr size_t kGeneralHeaderSize = 16;
// A representation's fixed part, without its quality blocks and image.
constexpr size_t kRepresentationHeaderSize = 52;
constexpr size_t kQualityBlockSize = 5;

enum class Eye : uint8_t { kUndefined = 0, kRight = 1, kLeft = 2 };
enum class ImageType : uint8_t { kUncropped = 1, kVga = 2, kCropped = 3, kCroppedMasked = 7 };
enum class ImageFormat : uint8_t { kRaw = 0x02, kJpeg2000 = 0x0A, kPng = 0x0E };
// Bits 6-7 of the properties byte.
enum class Compression : uint8_t { kUndefined = 0, kLossless = 1, kLossy = 2 };
// Bits 0-1 (horizontal) and 2-3 (vertical) of the properties byte.
enum class Orientation : uint8_t { kUndefined = 0, kBase = 1, kFlipped = 2 };

constexpr uint16_t kUnknown16 = 0xFFFF;  // date fields, roll angle and uncertainty
constexpr uint8_t kScoreFailed = 255;    // a quality score that could not be computed

// Capture date and time in UTC; every field 0xFF (0xFFFF for year and millisecond)
// where unknown.
struct CaptureTime {
  uint16_t year = kUnknown16;
  uint8_t month = 0xFF, day = 0xFF, hour = 0xFF, minute = 0xFF, second = 0xFF;
  uint16_t millisecond = kUnknown16;
  bool operator==(const CaptureTime&) const = default;
};

struct QualityBlock {
  uint8_t score = kScoreFailed;  // 0..100, 255 failed
  uint16_t algorithmVendor = 0;
  uint16_t algorithmId = 0;
  bool operator==(const QualityBlock&) const = default;
};

// One iris image with its header. Fields hold the values as stored, so a record of
// another writer reads back unchanged even where a value lies outside the enums.
struct Representation {
  CaptureTime capture;
  uint8_t deviceTechnology = 0;  // 0 unknown, 1 CMOS/CCD
  uint16_t deviceVendor = 0;     // 0 unknown
  uint16_t deviceType = 0;       // 0 unknown
  std::vector<QualityBlock> quality;  // at most 255
  uint16_t representationNumber = 1;
  uint8_t eye = static_cast<uint8_t>(Eye::kUndefined);
  uint8_t imageType = static_cast<uint8_t>(ImageType::kCropped);
  uint8_t imageFormat = static_cast<uint8_t>(ImageFormat::kPng);
  // Bits 0-1 horizontal orientation, 2-3 vertical orientation, 6-7 compression.
  uint8_t properties = 0;
  uint16_t width = 0, height = 0;
  uint8_t bitDepth = 8;
  uint16_t range = 0;  // 0 unassigned
  uint16_t rollAngle = kUnknown16;
  uint16_t rollUncertainty = kUnknown16;
  // Iris centre, 1-based pixels of the stored image; 0 undefined.
  uint16_t centreXMin = 0, centreXMax = 0, centreYMin = 0, centreYMax = 0;
  // Iris diameter in pixels; 0 undefined.
  uint16_t diameterMin = 0, diameterMax = 0;
  std::vector<uint8_t> image;  // the image as stored (PNG, JPEG 2000 or raw bytes)

  Orientation HorizontalOrientation() const { return static_cast<Orientation>(properties & 3); }
  Orientation VerticalOrientation() const {
    return static_cast<Orientation>((properties >> 2) & 3);
  }
  Compression GetCompression() const { return static_cast<Compression>((properties >> 6) & 3); }
  static uint8_t Properties(Orientation horizontal, Orientation vertical, Compression compression) {
    return static_cast<uint8_t>(static_cast<uint8_t>(horizontal) |
                                static_cast<uint8_t>(vertical) << 2 |
                                static_cast<uint8_t>(compression) << 6);
  }
  // The representation's length in the record: its header, quality blocks and image.
  uint64_t Length() const {
    return kRepresentationHeaderSize + kQualityBlockSize * quality.size() + image.size();
  }
  bool operator==(const Representation&) const = default;
};

struct Record {
  uint8_t certificationFlag = 0;
  uint8_t eyeCount = 1;  // number of eyes represented
  std::vector<Representation> representations;
  bool operator==(const Record&) const = default;
};

// The record's bytes. Raises RecordError(kInvalid) for a record without
// representations, more than 65535 of them, more than 255 quality blocks in one, or
// a length beyond 32 bits.
std::vector<uint8_t> EncodeRecord(const Record& record);

// Reads the record at the start of `bytes` (bytes after its declared length are not
// looked at). Every length is checked against the bytes present and against the
// lengths that contain it before anything is copied: RecordError(kMalformed) for a
// record that is truncated, inconsistent or not of version "020".
Record DecodeRecord(std::span<const uint8_t> bytes);

// Reads the record file at `path`: its 16-byte header first, then only the length it
// declares, refused when the file holds fewer bytes, so a hostile length takes no
// memory. RecordError(kMalformed) for a bad record; the runtime's file errors for a
// file that cannot be read.
Record ReadRecordFile(const std::string& path);

// Writes the record to `path` whole or not at all (an existing file is replaced only
// once the new one is complete). Raises what EncodeRecord raises, or a file error.
void WriteRecordFile(const std::string& path, const Record& record);

// The representation's image as 8-bit grey levels, decoded from PNG (any colour type
// and depth, colour by luma, 16-bit rounded), JPEG 2000 (JP2 file or bare codestream,
// lossless or not; colour by luma, other precisions scaled to 8 bits) or raw 8-bit
// grey. Its size must be the header's width and height, checked before the pixels'
// memory is taken. RecordError(kImage) otherwise.
iris::GreyImage DecodeImage(const Representation& representation);

// Encoders for the station's images: 8-bit grey PNG, and lossless JPEG 2000 (a JP2
// file with the reversible 5/3 wavelet). RecordError(kImage) when the codec fails.
std::vector<uint8_t> EncodePngGrey(const iris::GreyPlane& plane);
std::vector<uint8_t> EncodeJp2Grey(const iris::GreyPlane& plane);

// Names as okuva-tool prints them: "undefined" / "right" / "left"; "uncropped", "vga",
// "cropped", "cropped_masked"; "raw", "jpeg2000", "png"; "undefined", "base",
// "flipped"; "undefined", "lossless", "lossy". Values outside the lists print as
// "unknown (N)".
std::string EyeName(uint8_t eye);
std::string ImageTypeName(uint8_t type);
std::string ImageFormatName(uint8_t format);
std::string OrientationName(Orientation orientation);
std::string CompressionName(Compression compression);

}  // namespace okuva::record
