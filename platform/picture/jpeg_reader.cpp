// JPEG files through libjpeg-turbo, decoded straight into the destination's 24-bit rows
// and read from the file as the decoder goes, so memory follows the picture actually
// present, not the size its header declares. Warnings (a truncated or corrupt stream)
// count as failures: a picture with grey blocks where data was missing is not what was
// saved.
//
// Before anything is decoded the file's markers are walked once to count its scans and
// the work they ask for (every scan visits each block of the components it carries): a
// progressive file of thousands of scans is refused before its coefficient memory is
// taken. libjpeg reports errors by longjmp; every libjpeg call runs inside Guarded,
// whose frame and the callbacks' frames hold no object with a destructor.
#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

// jpeglib.h wants size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "platform/picture/picture_internal.h"
#include "platform/runtime/error.h"

namespace okuva::picture_detail {

namespace {

// Past this many scans a file is refused whatever its size.
constexpr int kMaxScans = 500;
// Block visits allowed, on average, per block of the frame. libjpeg's progressive
// script averages 5 to 6 and tuned encoders stay near 10; a scan bomb needs hundreds.
constexpr uint64_t kVisitsPerBlock = 24;
// Small pictures may take many scans: this many block visits are always allowed
// (a few tens of milliseconds of decoding).
constexpr uint64_t kMinVisits = uint64_t{1} << 20;
// Bytes before the frame header (metadata) and per pixel that a JPEG may hold: 8 bytes
// a sample is far more than any encoder writes, so anything past it is not this picture.
constexpr uint64_t kMetadataAllowance = 16 * 1024 * 1024;
constexpr uint64_t kBytesPerPixel = 24;

// The file read forward through a small window.
class Reader {
public:
  Reader(Input& in, uint64_t limit) : in_(in), limit_(limit) {}
  // The next byte, or -1 at the end of the file or of the allowance.
  int Next() {
    if (at_ == got_ && !Fill()) {
      return -1;
    }
    return window_[at_++];
  }
  bool Skip(uint64_t count) {
    while (count > 0) {
      if (at_ == got_ && !Fill()) {
        return false;
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(count, got_ - at_));
      at_ += n;
      count -= n;
    }
    return true;
  }
  // Skips to the next 0xFF byte (entropy-coded data holds no other marker start), over
  // the holes of a sparse file without reading them: they hold none.
  bool SkipToFF() {
    for (;;) {
      if (at_ == got_) {
        pos_ = in_.DataFrom(pos_);
        if (!Fill()) {
          return false;
        }
      }
      const auto* p =
          static_cast<const uint8_t*>(std::memchr(window_.data() + at_, 0xFF, got_ - at_));
      if (p != nullptr) {
        at_ = static_cast<size_t>(p - window_.data());
        return true;
      }
      at_ = got_;
    }
  }

private:
  bool Fill() {
    if (pos_ >= limit_) {
      return false;
    }
    got_ = in_.TakeSome(pos_, window_.data(),
                        static_cast<size_t>(std::min<uint64_t>(window_.size(), limit_ - pos_)));
    at_ = 0;
    pos_ += got_;
    return got_ > 0;
  }
  Input& in_;
  uint64_t limit_;
  uint64_t pos_ = 0;
  std::array<uint8_t, 64 * 1024> window_{};
  size_t at_ = 0;
  size_t got_ = 0;
};

struct Frame {
  bool progressive = false;
  int width = 0;
  int height = 0;
  int maxH = 1;
  int maxV = 1;
  struct Component {
    int id = 0;
    int h = 1;
    int v = 1;
  };
  std::vector<Component> components;

  // Blocks of one component, padded to whole MCUs (an upper bound for any scan).
  uint64_t Blocks(const Component& c) const {
    const uint64_t across = (static_cast<uint64_t>(width) + 8 * maxH - 1) / (8 * maxH);
    const uint64_t down = (static_cast<uint64_t>(height) + 8 * maxV - 1) / (8 * maxV);
    return across * static_cast<uint64_t>(c.h) * down * static_cast<uint64_t>(c.v);
  }
};

// Walks the markers from the start of the file: the frame header, then every scan
// header, until the end of the picture. Refuses a file whose scans are too many or ask
// for too much work; anything else wrong is left for the decoder to find and name.
void CountScans(Input& in, uint64_t limit) {
  Reader r(in, limit);
  Frame frame;
  int scans = 0;
  uint64_t visits = 0;
  uint64_t budget = kMinVisits;
  const auto u16 = [&]() -> int {
    const int hi = r.Next();
    const int lo = r.Next();
    return hi < 0 || lo < 0 ? -1 : hi << 8 | lo;
  };
  for (;;) {
    if (!r.SkipToFF()) {
      return;
    }
    int marker = r.Next();
    while (marker == 0xFF) {
      marker = r.Next();
    }
    if (marker < 0) {
      return;
    }
    // Stuffed zero bytes, restart markers, SOI and TEM carry no length.
    if (marker == 0x00 || (marker >= 0xD0 && marker <= 0xD8) || marker == 0x01) {
      continue;
    }
    if (marker == 0xD9) {
      return;  // end of picture
    }
    const int length = u16();
    if (length < 2) {
      return;
    }
    int used = 0;
    const auto byte = [&] {
      ++used;
      return r.Next();
    };
    const bool sof =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof && frame.components.empty()) {
      frame.progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      byte();  // precision
      frame.height = byte() << 8;
      frame.height |= byte();
      frame.width = byte() << 8;
      frame.width |= byte();
      const int count = byte();
      for (int i = 0; i < count && i < MAX_COMPONENTS; ++i) {
        Frame::Component c;
        c.id = byte();
        const int factors = byte();
        byte();  // quantisation table
        c.h = std::max(1, factors >> 4);
        c.v = std::max(1, factors & 15);
        frame.maxH = std::max(frame.maxH, c.h);
        frame.maxV = std::max(frame.maxV, c.v);
        frame.components.push_back(c);
      }
      if (frame.width <= 0 || frame.height <= 0) {
        return;
      }
      uint64_t blocks = 0;
      for (const Frame::Component& c : frame.components) {
        blocks += frame.Blocks(c);
      }
      budget = std::max(kMinVisits, kVisitsPerBlock * blocks);
    } else if (marker == 0xDA) {
      if (++scans > kMaxScans) {
        throw PictureError("JPEG of more than " + std::to_string(kMaxScans) + " scans refused");
      }
      const int count = byte();
      std::vector<int> ids;
      for (int i = 0; i < count && i < MAX_COMPS_IN_SCAN; ++i) {
        ids.push_back(byte());
        byte();  // table selectors
      }
      for (const Frame::Component& c : frame.components) {
        if (std::find(ids.begin(), ids.end(), c.id) != ids.end()) {
          visits += frame.Blocks(c);
        }
      }
      if (visits > budget) {
        throw PictureError("JPEG scans ask for " + std::to_string(visits) +
                           " block decodings, more than " + std::to_string(budget) +
                           " for a picture of this size; refused");
      }
      // A sequential picture whose first scan carries every component has no other scan.
      if (!frame.progressive && scans == 1 && ids.size() == frame.components.size()) {
        return;
      }
    }
    if (!r.Skip(static_cast<uint64_t>(length - 2 - std::min(used, length - 2)))) {
      return;
    }
  }
}

struct Decoder {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  jpeg_source_mgr source{};
  jpeg_progress_mgr progress{};
  std::jmp_buf jump{};
  Input* in = nullptr;
  uint64_t pos = 0;
  uint64_t limit = 0;
  bool outOfMemory = false;
  char message[JMSG_LENGTH_MAX + 64] = {};
  std::array<JOCTET, 64 * 1024> buffer{};
};

Decoder& Of(j_common_ptr cinfo) { return *static_cast<Decoder*>(cinfo->client_data); }

void OnError(j_common_ptr cinfo) {
  Decoder& d = Of(cinfo);
  d.outOfMemory = cinfo->err->msg_code == JERR_OUT_OF_MEMORY;
  (*cinfo->err->format_message)(cinfo, d.message);
  std::longjmp(d.jump, 1);
}

// Warnings (level -1) are failures; trace messages are dropped.
void OnMessage(j_common_ptr cinfo, int level) {
  if (level < 0) {
    OnError(cinfo);
  }
}

void OnInit(j_decompress_ptr) {}
void OnTerm(j_decompress_ptr) {}

// Reads the next piece of the file, turning the Input's refusals into a decoder error.
bool Refill(Decoder& d) {
  try {
    if (d.pos >= d.limit) {
      std::snprintf(d.message, sizeof d.message, "%s",
                    "JPEG data runs past what its picture could hold");
      return false;
    }
    const size_t got =
        d.in->TakeSome(d.pos, d.buffer.data(),
                       static_cast<size_t>(std::min<uint64_t>(d.buffer.size(), d.limit - d.pos)));
    if (got == 0) {
      std::snprintf(d.message, sizeof d.message, "%s",
                    "truncated file: JPEG data ends before its picture");
      return false;
    }
    d.pos += got;
    d.source.next_input_byte = d.buffer.data();
    d.source.bytes_in_buffer = got;
    return true;
  } catch (const PictureError& e) {
    std::snprintf(d.message, sizeof d.message, "%s", e.what());
    return false;
  }
}

boolean OnFill(j_decompress_ptr cinfo) {
  Decoder& d = Of(reinterpret_cast<j_common_ptr>(cinfo));
  if (!Refill(d)) {
    std::longjmp(d.jump, 1);
  }
  return TRUE;
}

void OnSkip(j_decompress_ptr cinfo, long count) {
  Decoder& d = Of(reinterpret_cast<j_common_ptr>(cinfo));
  if (count <= 0) {
    return;
  }
  auto left = static_cast<uint64_t>(count);
  if (left <= d.source.bytes_in_buffer) {
    d.source.next_input_byte += left;
    d.source.bytes_in_buffer -= left;
    return;
  }
  left -= d.source.bytes_in_buffer;
  d.source.bytes_in_buffer = 0;
  d.pos += left;  // skipped without reading; the next fill starts past it
}

// The decoder may not go past the scans counted before it started.
void OnProgress(j_common_ptr cinfo) {
  auto* info = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (info->input_scan_number > kMaxScans) {
    std::snprintf(Of(cinfo).message, sizeof Of(cinfo).message, "JPEG of more than %d scans refused",
                  kMaxScans);
    std::longjmp(Of(cinfo).jump, 1);
  }
}

template <typename Call>
bool Guarded(Decoder& d, const Call& call) {
  if (setjmp(d.jump) != 0) {
    return false;
  }
  call();
  return true;
}

// Owns the libjpeg decompressor of a Decoder.
class Session {
public:
  explicit Session(Decoder& d) : d_(d) {
    d.cinfo.err = jpeg_std_error(&d.err);
    d.err.error_exit = OnError;
    d.err.emit_message = OnMessage;
    d.cinfo.client_data = &d;
    if (!Guarded(d, [&] { jpeg_create_decompress(&d.cinfo); })) {
      throw PictureError("JPEG decoder could not start");
    }
    created_ = true;
    d.source.init_source = OnInit;
    d.source.fill_input_buffer = OnFill;
    d.source.skip_input_data = OnSkip;
    d.source.resync_to_restart = jpeg_resync_to_restart;
    d.source.term_source = OnTerm;
    d.cinfo.src = &d.source;
    d.progress.progress_monitor = OnProgress;
    d.cinfo.progress = &d.progress;
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (created_) {
      jpeg_destroy_decompress(&d_.cinfo);
    }
  }

private:
  Decoder& d_;
  bool created_ = false;
};

}  // namespace

void ReadJpeg(Input& in, int64_t maxPixels, const PicturePrepare& prepare) {
  // A stream that cannot seek is read once into memory (as far as a picture of the
  // largest size could go) and then walked twice like a file.
  if (!in.KnownSize()) {
    const std::span<const uint8_t> bytes =
        in.Whole(kMetadataAllowance + kBytesPerPixel * static_cast<uint64_t>(maxPixels));
    Input memory(bytes);
    return ReadJpeg(memory, maxPixels, prepare);
  }
  auto d = std::make_unique<Decoder>();
  d->in = &in;
  d->limit = kMetadataAllowance + kBytesPerPixel * static_cast<uint64_t>(maxPixels);
  const Session session(*d);
  const auto fail = [&](const char* doing) {
    if (d->outOfMemory) {
      Raise(kErrOutOfMemory);
    }
    throw PictureError(std::string(doing) + ": " + d->message);
  };
  if (!Guarded(*d, [&] { jpeg_read_header(&d->cinfo, TRUE); })) {
    fail("malformed JPEG header");
  }
  const auto width = static_cast<int64_t>(d->cinfo.image_width);
  const auto height = static_cast<int64_t>(d->cinfo.image_height);
  CheckSize(width, height, maxPixels);
  const uint64_t limit =
      kMetadataAllowance + kBytesPerPixel * static_cast<uint64_t>(width * height);
  CountScans(in, limit);
  d->limit = limit;

  d->cinfo.out_color_space = JCS_EXT_BGR;
  if (!Guarded(*d, [&] { jpeg_start_decompress(&d->cinfo); })) {
    fail("unreadable JPEG data");
  }
  if (d->cinfo.output_components != 3 || d->cinfo.output_width != width ||
      d->cinfo.output_height != height) {
    throw PictureError("JPEG decoder gave an unexpected layout");
  }
  PictureHeader header;
  header.width = static_cast<int32_t>(width);
  header.height = static_cast<int32_t>(height);
  header.bitsPerPixel = 24;
  Sink sink(header, prepare);
  std::vector<uint8_t> spare;
  if (sink.DestinationBits() != 24) {
    spare.resize(static_cast<size_t>(width) * 3);
  }
  for (int64_t y = 0; y < height; ++y) {
    JSAMPROW row = spare.empty() ? sink.Row(y) : spare.data();
    if (!Guarded(*d, [&] { jpeg_read_scanlines(&d->cinfo, &row, 1); })) {
      fail("unreadable JPEG data");
    }
    if (!spare.empty()) {
      sink.Bgr(y, spare.data());
    }
  }
  // The picture is whole: what follows its last row is not read.
}

}  // namespace okuva::picture_detail
