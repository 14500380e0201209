#include "jpeg/cjpeg.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

#include "jpeg/encoder_error.h"
#include "jpeg/sampling.h"
#include "jpeg/scan_coder.h"
#include "jpeg/stream_writer.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"

namespace okuva {

namespace {
constexpr int32_t kDefaultQuality = 75;
constexpr int32_t kMaxSampling = 4;
// The COM length field (16 bits) counts itself: 65535 - 2 characters.
constexpr size_t kMaxCommentLength = 65533;
constexpr int32_t kPrecision = 8;

bool ValidFactor(int32_t f) { return f >= 1 && f <= kMaxSampling; }
}  // namespace

cJpeg::cJpeg() {
  m_lZigZag = jpeg::BuildZigZag();
  SetSamplingFrequencies(2, 2, 1, 1, 1, 1);
  Quality(kDefaultQuality);
}

void cJpeg::Quality(int32_t vData) {
  if (vData < 1 || vData > 100) {
    return;
  }
  m_lQuality = vData;
  const int32_t S = jpeg::QualityScaleFactor(vData);
  jpeg::ScaleBaseTable(jpeg::kBaseQLuminance, S, m_udtQTable[0]);
  jpeg::ScaleBaseTable(jpeg::kBaseQChrominance, S, m_udtQTable[1]);
  jpeg::ScaleQuantTable(m_udtQTable[0], m_lZigZag);
  jpeg::ScaleQuantTable(m_udtQTable[1], m_lZigZag);
}

void cJpeg::SetSamplingFrequencies(int32_t H1, int32_t V1, int32_t H2, int32_t V2, int32_t H3,
                                   int32_t V3) {
  if (!ValidFactor(H1) || !ValidFactor(V1)) {
    jpeg::RaiseEncoderError(jpeg::EncoderFault::kInvalidSampling);
  }
  std::vector<jpeg::Component> comps;
  if (H2 == 0 && V2 == 0 && H3 == 0 && V3 == 0) {
    comps.push_back({0, 1, 1, 0, {}});
  } else {
    if (!ValidFactor(H2) || !ValidFactor(V2) || !ValidFactor(H3) || !ValidFactor(V3)) {
      jpeg::RaiseEncoderError(jpeg::EncoderFault::kInvalidSampling);
    }
    comps.push_back({0, H1, V1, 0, {}});
    comps.push_back({0, H2, V2, 1, {}});
    comps.push_back({0, H3, V3, 1, {}});
  }
  m_udtComp = std::move(comps);
  m_tallies.clear();
  m_lComponents = static_cast<int32_t>(m_udtComp.size());
  m_lHmax = 1;
  m_lVmax = 1;
  for (const jpeg::Component& c : m_udtComp) {
    m_lHmax = std::max(m_lHmax, c.Hi);
    m_lVmax = std::max(m_lVmax, c.Vi);
  }
}

namespace {

// The rectangle of a device context that one SampleHDC call samples.
struct SourceRect {
  gdi::HDC dc = 0;
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;

  // Whether a plane is sampled at the rectangle's own size (nothing to scale).
  bool FullSize(const jpeg::PlaneGeometry& g) const { return g.Wc == width && g.Hc == height; }
};

// How one SampleHDC call gets its planes, decided before any memory is taken.
struct SamplingPlan {
  // The source read in place where it is a 24-bit DIB section holding the rectangle.
  std::optional<jpeg::PlaneSource> direct;
  // The size of the working bitmap; a width of 0 when no plane is drawn.
  int32_t Wb = 0;
  int32_t Hb = 0;
  // Planes drawn and sampled one MCU row at a time; the bitmap then holds bandRows
  // rows of the scaled planes.
  bool banded = false;
  int32_t bandRows = 0;
  // Scaled planes of exactly half the picture's width and height (4:2:0), averaged
  // from the pixels read in place, as the HALFTONE stretch would draw them, into a band
  // of bytes instead of a bitmap.
  bool halved = false;
};

SamplingPlan PlanSampling(const SourceRect& src, const jpeg::FrameLayout& frame,
                          const std::vector<jpeg::Component>& comps) {
  const auto geometry = [&](const jpeg::Component& comp) {
    return jpeg::ComponentGeometry(frame, comp.Hi, comp.Vi);
  };
  SamplingPlan plan;
  // A 24-bit DIB section is read in place; planes of another size, and every plane of
  // other sources, are drawn into a working bitmap first.
  plan.direct = jpeg::DirectSource(src.dc, src.width, src.height, src.left, src.top);
  plan.Wb = (src.width + 7) / 8 * 8;
  plan.Hb = (src.height + 7) / 8 * 8;
  if (plan.direct) {
    // Only the scaled planes need the bitmap, and only at their own size.
    plan.Wb = plan.Hb = 0;
    for (const jpeg::Component& comp : comps) {
      const jpeg::PlaneGeometry g = geometry(comp);
      if (src.FullSize(g)) {
        continue;
      }
      plan.Wb = std::max(plan.Wb, g.Wc);
      plan.Hb = std::max(plan.Hb, g.Hc);
    }
  }
  // Banded: several components read in place, the scaled planes (if any) all of one
  // size whose height divides the picture's.
  plan.banded = [&] {
    if (!plan.direct || comps.size() < 2 || (plan.Wb != 0 && src.height % plan.Hb != 0)) {
      return false;
    }
    return std::all_of(comps.begin(), comps.end(), [&](const jpeg::Component& comp) {
      const jpeg::PlaneGeometry g = geometry(comp);
      return src.FullSize(g) || (g.Wc == plan.Wb && g.Hc == plan.Hb);
    });
  }();
  plan.bandRows = plan.Hb;
  if (plan.banded && plan.Wb > 0) {
    int32_t maxVi = 1;
    for (const jpeg::Component& comp : comps) {
      maxVi = std::max(maxVi, comp.Vi);
    }
    plan.bandRows = std::min(plan.Hb, 8 * maxVi);
  }
  plan.halved = plan.banded && plan.Wb > 0 &&
                std::all_of(comps.begin(), comps.end(), [&](const jpeg::Component& comp) {
                  const jpeg::PlaneGeometry g = geometry(comp);
                  return src.FullSize(g) ||
                         (2 * int64_t{g.Wc} == src.width && 2 * int64_t{g.Hc} == src.height);
                });
  return plan;
}

// Makes the working bitmap where the plan draws planes (one band high when banded);
// false when it cannot be made.
bool MakeWorkingBitmap(jpeg::SamplingSurface& surface, const SamplingPlan& plan) {
  if (plan.halved || plan.Wb == 0) {
    return true;
  }
  return surface.Create(plan.Wb, plan.bandRows);
}

// Samples every component's plane into a new coefficient store, counting the symbols
// of each store as its rows are made, for the kind of scan that will code it.
class PlaneSampler {
public:
  PlaneSampler(const SourceRect& src, const jpeg::FrameLayout& frame,
               const std::vector<jpeg::Component>& comps,
               const std::vector<jpeg::ScanEntry>& entries, const jpeg::ZigZagTable& zigzag,
               const std::array<jpeg::QuantTable, 4>& tables)
      : src_(src),
        comps_(comps),
        zigzag_(zigzag),
        tables_(tables),
        stores_(comps.size()),
        planes_(comps.size()) {
    for (size_t i = 0; i < comps.size(); ++i) {
      planes_[i] = jpeg::ComponentGeometry(frame, comps[i].Hi, comps[i].Vi);
      // Every entry is written by the sampling.
      stores_[i].resize(static_cast<size_t>(planes_[i].Wp) * static_cast<size_t>(planes_[i].Hp));
    }
    std::vector<bool> interleaved(comps.size(), false);
    const auto last = static_cast<int32_t>(comps.size()) - 1;
    for (const jpeg::ScanGroup& group :
         jpeg::GroupScans(jpeg::BlocksPerMcu(comps, entries), 0, last)) {
      for (int32_t j = group.first; j <= group.last; ++j) {
        interleaved[static_cast<size_t>(entries[static_cast<size_t>(j)].component)] =
            group.Interleaved();
      }
    }
    tallies_.reserve(comps.size());
    for (size_t i = 0; i < comps.size(); ++i) {
      tallies_.emplace_back(frame, comps[i].Hi, comps[i].Vi, interleaved[i]);
    }
  }

  // Each MCU row's planes drawn (or halved) and sampled together, while the source
  // rows they read are still in the cache.
  void SampleBanded(const SamplingPlan& plan, jpeg::SamplingSurface& surface);
  // Each plane whole; components of equal sampled size share one drawing.
  void SampleWhole(const SamplingPlan& plan, jpeg::SamplingSurface& surface);

  // The finished stores and tallies, taken once after sampling.
  std::vector<jpeg::CoefficientStore>& Stores() { return stores_; }
  std::vector<jpeg::SymbolTally>& Tallies() { return tallies_; }
  const jpeg::PlaneGeometry& Plane(size_t i) const { return planes_[i]; }

private:
  const jpeg::QuantTable& Table(size_t i) const {
    return tables_[static_cast<size_t>(comps_[i].Tqi)];
  }
  void Sample(size_t i, const jpeg::PlaneSource& plane, int32_t firstBlockRow, int32_t endBlockRow,
              int32_t firstBlockColumn = 0) {
    jpeg::SamplePlane(plane, planes_[i], jpeg::kColourWeights[i], zigzag_, Table(i),
                      stores_[i].data(), firstBlockRow, endBlockRow, firstBlockColumn);
    tallies_[i].Add(stores_[i], endBlockRow < 0 ? planes_[i].BlockRows() : endBlockRow);
  }

  SourceRect src_;
  const std::vector<jpeg::Component>& comps_;
  const jpeg::ZigZagTable& zigzag_;
  const std::array<jpeg::QuantTable, 4>& tables_;
  std::vector<jpeg::CoefficientStore> stores_;
  std::vector<jpeg::PlaneGeometry> planes_;
  std::vector<jpeg::SymbolTally> tallies_;
};

void PlaneSampler::SampleBanded(const SamplingPlan& plan, jpeg::SamplingSurface& surface) {
  const jpeg::PlaneSource& direct = *plan.direct;
  // The band holds one MCU row of the halved planes, made only when some columns are
  // left to it by the paired kernel (at most widths none are).
  std::unique_ptr<uint8_t[]> halvedBand;
  const auto bandFor = [&] {
    if (!halvedBand) {
      int32_t scaledVi = 1;
      for (size_t i = 0; i < comps_.size(); ++i) {
        if (!src_.FullSize(planes_[i])) {
          scaledVi = std::max(scaledVi, comps_[i].Vi);
        }
      }
      halvedBand.reset(new uint8_t[3 * static_cast<size_t>(plan.Wb) *
                                   static_cast<size_t>(std::min(plan.Hb, 8 * scaledVi))]);
    }
    return halvedBand.get();
  };
  int32_t mcuRows = 0;
  for (size_t i = 0; i < planes_.size(); ++i) {
    const int32_t Vi = comps_[i].Vi;
    mcuRows = std::max(mcuRows, (planes_[i].BlockRows() + Vi - 1) / Vi);
  }
  int32_t drawn = 0;      // scaled plane rows drawn so far
  int32_t bandFirst = 0;  // the plane row at the top of the working bitmap
  for (int32_t m = 0; m < mcuRows; ++m) {
    for (size_t i = 0; i < planes_.size(); ++i) {
      const jpeg::PlaneGeometry& g = planes_[i];
      const int32_t Vi = comps_[i].Vi;
      const int32_t first = m * Vi;
      const int32_t end = std::min((m + 1) * Vi, g.BlockRows());
      if (first >= end) {
        continue;
      }
      if (src_.FullSize(g)) {
        Sample(i, direct, first, end);
        continue;
      }
      const int32_t needed = std::min(8 * end, g.Hc);
      // Two halved planes in a row (Cb and Cr) are sampled together straight from the
      // pixels where the kernels allow; the band then only holds the columns left.
      const bool pair = plan.halved && i + 1 < planes_.size() && !src_.FullSize(planes_[i + 1]);
      const int32_t done =
          pair ? jpeg::SampleHalvedPairWide(
                     direct, g, jpeg::kColourWeights[i], jpeg::kColourWeights[i + 1], zigzag_,
                     Table(i), Table(i + 1), stores_[i].data(), stores_[i + 1].data(), first, end)
               : 0;
      if (needed > drawn) {
        if (plan.halved) {
          if (done < g.BlocksPerRow()) {
            jpeg::HalvePlaneRows(direct, g.Wc, drawn, needed, bandFor(), 8 * done);
          }
        } else {
          surface.DrawScaledRows(src_.dc, src_.width, src_.height, src_.left, src_.top, g.Wc, g.Hc,
                                 drawn, needed);
        }
        bandFirst = drawn;
        drawn = needed;
      }
      const jpeg::PlaneSource band =
          plan.halved
              ? jpeg::PlaneSource{halvedBand.get(), 3 * ptrdiff_t{g.Wc}, g.Wc, g.Hc, bandFirst}
              : surface.ScaledBand(g.Wc, g.Hc, bandFirst);
      Sample(i, band, first, end, done);
      if (pair) {
        Sample(++i, band, first, end, done);
      }
    }
  }
}

void PlaneSampler::SampleWhole(const SamplingPlan& plan, jpeg::SamplingSurface& surface) {
  jpeg::PlaneGeometry previous{};
  for (size_t i = 0; i < planes_.size(); ++i) {
    const jpeg::PlaneGeometry& g = planes_[i];
    if (plan.direct && src_.FullSize(g)) {
      Sample(i, *plan.direct, 0, -1);
      continue;
    }
    const bool redraw = g.Wc != previous.Wc || g.Hc != previous.Hc;
    previous = g;
    if (plan.direct) {
      if (redraw) {
        surface.DrawScaled(src_.dc, src_.width, src_.height, src_.left, src_.top, g.Wc, g.Hc);
      }
      Sample(i, surface.Scaled(g.Wc, g.Hc), 0, -1);
    } else {
      if (redraw) {
        surface.DrawPlane(src_.dc, src_.width, src_.height, src_.left, src_.top, g);
      }
      Sample(i, jpeg::DrawnPlane(surface.Bits(), surface.Stride(), g), 0, -1);
    }
  }
}

}  // namespace

int32_t cJpeg::SampleHDC(gdi::HDC lhDC, int32_t lWidth, int32_t lHeight, int32_t lSrcLeft,
                         int32_t lSrcTop) {
  // Sizes below 1, or too large to round up to whole blocks, can have no bitmap.
  constexpr int32_t kLargest = std::numeric_limits<int32_t>::max() - 7;
  if (lWidth < 1 || lHeight < 1 || lWidth > kLargest || lHeight > kLargest) {
    return 1;
  }
  const SourceRect src{lhDC, lSrcLeft, lSrcTop, lWidth, lHeight};
  const jpeg::FrameLayout frame{lWidth, lHeight, m_lHmax, m_lVmax};
  const SamplingPlan plan = PlanSampling(src, frame, m_udtComp);
  jpeg::SamplingSurface surface;
  if (!MakeWorkingBitmap(surface, plan)) {
    return 1;
  }

  // The new stores replace the old ones only once all are made, so the size and the
  // stores always describe the same image.
  PlaneSampler sampler(src, frame, m_udtComp, ScanEntries(), m_lZigZag, m_udtQTable);
  if (plan.banded) {
    sampler.SampleBanded(plan, surface);
  } else {
    sampler.SampleWhole(plan, surface);
  }
  std::vector<jpeg::CoefficientStore>& stores = sampler.Stores();
  std::vector<jpeg::SymbolTally>& tallies = sampler.Tallies();
  for (size_t i = 0; i < m_udtComp.size(); ++i) {
    tallies[i].Add(stores[i], sampler.Plane(i).BlockRows());
    m_udtComp[i].Ci = static_cast<int32_t>(i) + 1;
    m_udtComp[i].Data = std::move(stores[i]);
  }
  m_tallies = std::move(tallies);
  m_udtSampledQTable = {m_udtQTable[0], m_udtQTable[1]};
  m_lPrecision = kPrecision;
  m_lWidth = lWidth;
  m_lHeight = lHeight;
  return 0;
}

void cJpeg::Comment(const std::string& Value) {
  // Refused here, not when writing: an overlong form would otherwise slip through as
  // another character (C0 80 as a NUL byte).
  if (!jpeg::IsValidUtf8(Value)) {
    Raise(kErrInvalidCall);
  }
  if (jpeg::CharacterCount(Value) > kMaxCommentLength) {
    jpeg::RaiseEncoderError(jpeg::EncoderFault::kIllegalCommentLength);
  }
  m_sComment = Value;
}

std::vector<jpeg::ScanEntry> cJpeg::ScanEntries() const {
  // Position 0 (luminance) uses tables 0, the chrominance positions tables 1.
  std::vector<jpeg::ScanEntry> entries;
  for (int32_t j = 0; j < m_lComponents; ++j) {
    const int32_t table = j == 0 ? 0 : 1;
    entries.push_back({j, table, table});
  }
  return entries;
}

void cJpeg::BuildStream() {
  for (const jpeg::Component& c : m_udtComp) {
    if (c.Data.empty()) {
      Raise(kErrSubscript);  // nothing sampled since the layout was set
    }
  }
  const std::vector<jpeg::ScanEntry> entries = ScanEntries();
  const int32_t last = m_lComponents - 1;
  const jpeg::FrameLayout frame = Frame();
  const bool tallied = m_tallies.size() == m_udtComp.size();
  const int64_t estimate =
      jpeg::OptimizeHuffmanTables(m_udtComp, entries, 0, last, frame, m_udtDCTable, m_udtACTable,
                                  tallied ? &m_tallies : nullptr);
  // The tallies serve the first file of a sampling; their memory goes before the
  // file's buffer is made (a later file counts the stores again).
  std::vector<jpeg::SymbolTally>().swap(m_tallies);
  const std::vector<uint8_t> comment = jpeg::AnsiBytes(m_sComment);
  const std::vector<uint8_t> credit(jpeg::kCreditComment.begin(), jpeg::kCreditComment.end());
  const size_t scans = jpeg::GroupScans(jpeg::BlocksPerMcu(m_udtComp, entries), 0, last).size();

  m_bytFile = jpeg::OutputBuffer(jpeg::StreamCapacity(estimate, scans, comment.size()));
  jpeg::OutputBuffer& out = m_bytFile;
  jpeg::WriteMarker(out, jpeg::kMarkerSOI);
  jpeg::WriteAPP0(out);
  jpeg::WriteCOM(out, comment);
  jpeg::WriteCOM(out, credit);
  jpeg::WriteDQT(out, out.Pos(), m_udtSampledQTable[0], 0);
  if (m_lComponents > 1) {
    jpeg::WriteDQT(out, out.Pos(), m_udtSampledQTable[1], 1);
  }
  jpeg::WriteSOF(out, jpeg::kMarkerSOF0, m_lPrecision, frame, m_udtComp);
  jpeg::WriteDHT(out, out.Pos(), m_udtDCTable[0], 0, false);
  jpeg::WriteDHT(out, out.Pos(), m_udtACTable[0], 0, true);
  if (m_lComponents > 1) {
    jpeg::WriteDHT(out, out.Pos(), m_udtDCTable[1], 1, false);
    jpeg::WriteDHT(out, out.Pos(), m_udtACTable[1], 1, true);
  }
  const jpeg::ScanContext ctx{m_udtComp, frame, m_udtDCTable, m_udtACTable};
  jpeg::WriteScans(out, ctx, entries, 0, last);
  jpeg::WriteMarker(out, jpeg::kMarkerEOI);
}

std::vector<uint8_t> cJpeg::Encode() {
  BuildStream();
  const auto written = m_bytFile.Written();
  std::vector<uint8_t> bytes(written.begin(), written.end());
  m_bytFile = jpeg::OutputBuffer();
  return bytes;
}

int32_t cJpeg::SaveFile(const std::string& FileName) {
  if (FileName.empty()) {
    return 1;
  }
  if (files::FindFile(FileName)) {
    return 2;
  }
  BuildStream();
  try {
    files::WriteNewFile(FileName, m_bytFile.Written());
  } catch (const RuntimeError&) {
    // A file that appeared while encoding is never replaced; report it as existing.
    if (files::FindFile(FileName)) {
      m_bytFile = jpeg::OutputBuffer();
      return 2;
    }
    throw;
  }
  m_bytFile = jpeg::OutputBuffer();
  return 0;
}

}  // namespace okuva
