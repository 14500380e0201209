// The record layout: writing it field by field, and reading it with every length
// checked against the bytes present before anything is copied.
#include "record/iris_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/runtime/error.h"
#include "platform/runtime/files.h"

namespace okuva::record {
namespace {

constexpr uint8_t kMagic[4] = {'I', 'I', 'R', 0};
constexpr uint8_t kVersion[4] = {'0', '2', '0', 0};

class Writer {
public:
  explicit Writer(size_t reserve) { out_.reserve(reserve); }
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v >> 8));
    U8(static_cast<uint8_t>(v));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v >> 16));
    U16(static_cast<uint16_t>(v));
  }
  void Bytes(std::span<const uint8_t> bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
  }
  std::vector<uint8_t> Take() { return std::move(out_); }

private:
  std::vector<uint8_t> out_;
};

[[noreturn]] void Malformed(const std::string& what) {
  throw RecordError(RecordError::Kind::kMalformed, "not a valid iris record: " + what);
}

// Reads big-endian fields in order from a span; a read past its end is a truncation
// of `what`.
class Reader {
public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  size_t Left() const { return bytes_.size() - at_; }
  void Need(uint64_t count, const char* what) const {
    if (count > Left()) {
      Malformed(std::string("truncated ") + what);
    }
  }
  uint8_t U8(const char* what) {
    Need(1, what);
    return bytes_[at_++];
  }
  uint16_t U16(const char* what) {
    Need(2, what);
    const uint16_t v = static_cast<uint16_t>(bytes_[at_] << 8 | bytes_[at_ + 1]);
    at_ += 2;
    return v;
  }
  uint32_t U32(const char* what) {
    Need(4, what);
    const uint32_t v = uint32_t{bytes_[at_]} << 24 | uint32_t{bytes_[at_ + 1]} << 16 |
                       uint32_t{bytes_[at_ + 2]} << 8 | bytes_[at_ + 3];
    at_ += 4;
    return v;
  }
  std::span<const uint8_t> Take(uint64_t count, const char* what) {
    Need(count, what);
    const std::span<const uint8_t> part = bytes_.subspan(at_, static_cast<size_t>(count));
    at_ += static_cast<size_t>(count);
    return part;
  }

private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

// Checks the general header's signature and version; returns the record length.
uint32_t CheckGeneralHeader(std::span<const uint8_t> head) {
  if (head.size() < kGeneralHeaderSize) {
    Malformed("truncated general header");
  }
  if (std::memcmp(head.data(), kMagic, 4) != 0) {
    Malformed("no \"IIR\" signature");
  }
  if (std::memcmp(head.data() + 4, kVersion, 4) != 0) {
    std::string version;
    for (size_t i = 4; i < 7; ++i) {
      version += std::isprint(head[i]) ? static_cast<char>(head[i]) : '?';
    }
    Malformed("version \"" + version + "\", only \"020\" (ISO/IEC 19794-6:2011) is read");
  }
  const uint32_t length =
      uint32_t{head[8]} << 24 | uint32_t{head[9]} << 16 | uint32_t{head[10]} << 8 | head[11];
  if (length < kGeneralHeaderSize) {
    Malformed("record length " + std::to_string(length) + " is shorter than its header");
  }
  return length;
}

Representation ReadRepresentation(Reader& in, size_t index) {
  const std::string n = std::to_string(index + 1);
  const uint32_t length = in.U32("representation length");
  if (length > in.Left() + 4) {
    Malformed("representation " + n + " declares " + std::to_string(length) +
              " bytes, the record holds " + std::to_string(in.Left() + 4));
  }
  if (length < kRepresentationHeaderSize) {
    Malformed("representation " + n + " length " + std::to_string(length) +
              " is shorter than its header");
  }
  Reader rep(in.Take(length - 4, "representation"));
  Representation r;
  r.capture.year = rep.U16("capture date");
  r.capture.month = rep.U8("capture date");
  r.capture.day = rep.U8("capture date");
  r.capture.hour = rep.U8("capture date");
  r.capture.minute = rep.U8("capture date");
  r.capture.second = rep.U8("capture date");
  r.capture.millisecond = rep.U16("capture date");
  r.deviceTechnology = rep.U8("device technology");
  r.deviceVendor = rep.U16("device vendor");
  r.deviceType = rep.U16("device type");
  const uint8_t blocks = rep.U8("quality block count");
  const uint64_t withBlocks = kRepresentationHeaderSize + uint64_t{kQualityBlockSize} * blocks;
  if (withBlocks > length) {
    Malformed("representation " + n + " declares " + std::to_string(blocks) +
              " quality blocks in " + std::to_string(length) + " bytes");
  }
  r.quality.resize(blocks);
  for (QualityBlock& q : r.quality) {
    q.score = rep.U8("quality block");
    q.algorithmVendor = rep.U16("quality block");
    q.algorithmId = rep.U16("quality block");
  }
  r.representationNumber = rep.U16("representation number");
  r.eye = rep.U8("eye label");
  r.imageType = rep.U8("image type");
  r.imageFormat = rep.U8("image format");
  r.properties = rep.U8("image properties");
  r.width = rep.U16("width");
  r.height = rep.U16("height");
  r.bitDepth = rep.U8("bit depth");
  r.range = rep.U16("range");
  r.rollAngle = rep.U16("roll angle");
  r.rollUncertainty = rep.U16("roll uncertainty");
  r.centreXMin = rep.U16("iris centre");
  r.centreXMax = rep.U16("iris centre");
  r.centreYMin = rep.U16("iris centre");
  r.centreYMax = rep.U16("iris centre");
  r.diameterMin = rep.U16("iris diameter");
  r.diameterMax = rep.U16("iris diameter");
  const uint32_t imageLength = rep.U32("image length");
  if (imageLength != rep.Left()) {
    Malformed("representation " + n + " declares an image of " + std::to_string(imageLength) +
              " bytes, it holds " + std::to_string(rep.Left()));
  }
  const std::span<const uint8_t> image = rep.Take(imageLength, "image");
  r.image.assign(image.begin(), image.end());
  return r;
}

std::string Unknown(unsigned value) { return "unknown (" + std::to_string(value) + ")"; }

}  // namespace

std::vector<uint8_t> EncodeRecord(const Record& record) {
  if (record.representations.empty()) {
    throw RecordError(RecordError::Kind::kInvalid, "a record needs a representation");
  }
  if (record.representations.size() > 0xFFFF) {
    throw RecordError(RecordError::Kind::kInvalid, "too many representations");
  }
  uint64_t total = kGeneralHeaderSize;
  for (const Representation& r : record.representations) {
    if (r.quality.size() > 0xFF) {
      throw RecordError(RecordError::Kind::kInvalid, "more than 255 quality blocks");
    }
    total += r.Length();
  }
  if (total > 0xFFFFFFFFu) {
    throw RecordError(RecordError::Kind::kInvalid, "record longer than 4 GiB");
  }
  Writer out(static_cast<size_t>(total));
  out.Bytes(kMagic);
  out.Bytes(kVersion);
  out.U32(static_cast<uint32_t>(total));
  out.U16(static_cast<uint16_t>(record.representations.size()));
  out.U8(record.certificationFlag);
  out.U8(record.eyeCount);
  for (const Representation& r : record.representations) {
    out.U32(static_cast<uint32_t>(r.Length()));
    out.U16(r.capture.year);
    out.U8(r.capture.month);
    out.U8(r.capture.day);
    out.U8(r.capture.hour);
    out.U8(r.capture.minute);
    out.U8(r.capture.second);
    out.U16(r.capture.millisecond);
    out.U8(r.deviceTechnology);
    out.U16(r.deviceVendor);
    out.U16(r.deviceType);
    out.U8(static_cast<uint8_t>(r.quality.size()));
    for (const QualityBlock& q : r.quality) {
      out.U8(q.score);
      out.U16(q.algorithmVendor);
      out.U16(q.algorithmId);
    }
    out.U16(r.representationNumber);
    out.U8(r.eye);
    out.U8(r.imageType);
    out.U8(r.imageFormat);
    out.U8(r.properties);
    out.U16(r.width);
    out.U16(r.height);
    out.U8(r.bitDepth);
    out.U16(r.range);
    out.U16(r.rollAngle);
    out.U16(r.rollUncertainty);
    out.U16(r.centreXMin);
    out.U16(r.centreXMax);
    out.U16(r.centreYMin);
    out.U16(r.centreYMax);
    out.U16(r.diameterMin);
    out.U16(r.diameterMax);
    out.U32(static_cast<uint32_t>(r.image.size()));
    out.Bytes(r.image);
  }
  return out.Take();
}

Record DecodeRecord(std::span<const uint8_t> bytes) {
  const uint32_t length = CheckGeneralHeader(bytes);
  if (length > bytes.size()) {
    Malformed("record length " + std::to_string(length) + " but only " +
              std::to_string(bytes.size()) + " bytes present (truncated)");
  }
  Reader in(bytes.first(length));
  in.Take(12, "general header");
  const uint16_t count = in.U16("general header");
  Record record;
  record.certificationFlag = in.U8("general header");
  record.eyeCount = in.U8("general header");
  if (count == 0) {
    Malformed("no representations");
  }
  // Each representation takes at least its fixed header: a count the length cannot
  // hold is refused before any is read.
  if (uint64_t{count} * kRepresentationHeaderSize > in.Left()) {
    Malformed(std::to_string(count) + " representations cannot fit in " + std::to_string(length) +
              " bytes");
  }
  record.representations.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    record.representations.push_back(ReadRepresentation(in, i));
  }
  if (in.Left() != 0) {
    Malformed("record length " + std::to_string(length) + " leaves " + std::to_string(in.Left()) +
              " bytes after the last representation");
  }
  return record;
}

Record ReadRecordFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    RaiseFileError(errno, path);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    RaiseFileError(errno, path);
  }
  if (S_ISDIR(st.st_mode)) {
    RaiseFileError(EISDIR, path);
  }
  // Reads up to `count` bytes into `to`; fewer only at the end of the file.
  auto readSome = [&](uint8_t* to, size_t count) {
    size_t got = 0;
    while (got < count) {
      const ssize_t n = ::read(fd, to + got, count - got);
      if (n == 0) {
        break;
      }
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        RaiseFileError(errno, path);
      }
      got += static_cast<size_t>(n);
    }
    return got;
  };
  std::vector<uint8_t> bytes(kGeneralHeaderSize);
  bytes.resize(readSome(bytes.data(), kGeneralHeaderSize));
  const uint32_t length = CheckGeneralHeader(bytes);
  auto truncated = [&](uint64_t present) {
    Malformed("record length " + std::to_string(length) + " but only " + std::to_string(present) +
              " bytes present (truncated)");
  };
  if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) < length) {
    truncated(static_cast<uint64_t>(st.st_size));
  }
  // A file that is not regular (a pipe, a device) has no size to check: its bytes are
  // taken in steps, so memory grows only with what actually arrives.
  constexpr size_t kStep = size_t{1} << 20;
  while (bytes.size() < length) {
    const size_t before = bytes.size();
    const size_t want = std::min<size_t>(kStep, length - before);
    bytes.resize(before + want);
    const size_t got = readSome(bytes.data() + before, want);
    bytes.resize(before + got);
    if (got < want) {
      truncated(bytes.size());
    }
  }
  return DecodeRecord(bytes);
}

void WriteRecordFile(const std::string& path, const Record& record) {
  const std::vector<uint8_t> bytes = EncodeRecord(record);
  files::ReplaceFile(path, [&](int fd) { files::WriteAll(fd, bytes, path); });
}

std::string EyeName(uint8_t eye) {
  switch (eye) {
    case 0: return "undefined";
    case 1: return "right";
    case 2: return "left";
    default: return Unknown(eye);
  }
}

std::string ImageTypeName(uint8_t type) {
  switch (type) {
    case 1: return "uncropped";
    case 2: return "vga";
    case 3: return "cropped";
    case 7: return "cropped_masked";
    default: return Unknown(type);
  }
}

std::string ImageFormatName(uint8_t format) {
  switch (format) {
    case 0x02: return "raw";
    case 0x0A: return "jpeg2000";
    case 0x0E: return "png";
    default: return Unknown(format);
  }
}

std::string OrientationName(Orientation orientation) {
  switch (orientation) {
    case Orientation::kUndefined: return "undefined";
    case Orientation::kBase: return "base";
    case Orientation::kFlipped: return "flipped";
  }
  return Unknown(static_cast<unsigned>(orientation));
}

std::string CompressionName(Compression compression) {
  switch (compression) {
    case Compression::kUndefined: return "undefined";
    case Compression::kLossless: return "lossless";
    case Compression::kLossy: return "lossy";
  }
  return Unknown(static_cast<unsigned>(compression));
}

}  // namespace okuva::record
