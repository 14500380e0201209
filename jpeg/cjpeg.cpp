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
  if (vData < 1 || vData > 100) return;
  m_lQuality = vData;
  const int32_t S = jpeg::QualityScaleFactor(vData);
  jpeg::ScaleBaseTable(jpeg::kBaseQLuminance, S, m_udtQTable[0]);
  jpeg::ScaleBaseTable(jpeg::kBaseQChrominance, S, m_udtQTable[1]);
  jpeg::ScaleQuantTable(m_udtQTable[0], m_lZigZag);
  jpeg::ScaleQuantTable(m_udtQTable[1], m_lZigZag);
}

void cJpeg::SetSamplingFrequencies(int32_t H1, int32_t V1, int32_t H2, int32_t V2, int32_t H3,
                                   int32_t V3) {
  if (!ValidFactor(H1) || !ValidFactor(V1)) jpeg::RaiseEncoderError("Invalid Sampling Value");
  std::vector<jpeg::Component> comps;
  if (H2 == 0 && V2 == 0 && H3 == 0 && V3 == 0) {
    comps.push_back({0, 1, 1, 0, {}});
  } else {
    if (!ValidFactor(H2) || !ValidFactor(V2) || !ValidFactor(H3) || !ValidFactor(V3)) {
      jpeg::RaiseEncoderError("Invalid Sampling Value");
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

int32_t cJpeg::SampleHDC(gdi::HDC lhDC, int32_t lWidth, int32_t lHeight, int32_t lSrcLeft,
                         int32_t lSrcTop) {
  // Sizes below 1, or too large to round up to whole blocks, can have no bitmap.
  constexpr int32_t kLargest = std::numeric_limits<int32_t>::max() - 7;
  if (lWidth < 1 || lHeight < 1 || lWidth > kLargest || lHeight > kLargest) return 1;
  const jpeg::FrameLayout frame{lWidth, lHeight, m_lHmax, m_lVmax};
  // A 24-bit DIB section is read in place; planes of another size, and every plane of
  // other sources, are drawn into a working bitmap first.
  const std::optional<jpeg::PlaneSource> direct =
      jpeg::DirectSource(lhDC, lWidth, lHeight, lSrcLeft, lSrcTop);
  int32_t Wb = (lWidth + 7) / 8 * 8;
  int32_t Hb = (lHeight + 7) / 8 * 8;
  if (direct) {
    // Only the scaled planes need the bitmap, and only at their own size.
    Wb = Hb = 0;
    for (const jpeg::Component& comp : m_udtComp) {
      const jpeg::PlaneGeometry g = jpeg::ComponentGeometry(frame, comp.Hi, comp.Vi);
      if (g.Wc == lWidth && g.Hc == lHeight) continue;
      Wb = std::max(Wb, g.Wc);
      Hb = std::max(Hb, g.Hc);
    }
  }
  // Whether the planes are drawn and sampled band by band (decided below, before the
  // working bitmap is made: banded, it holds one MCU row of the scaled planes).
  const bool banded = [&] {
    if (!direct.has_value() || m_udtComp.size() < 2 || (Wb != 0 && lHeight % Hb != 0)) return false;
    for (const jpeg::Component& comp : m_udtComp) {
      const jpeg::PlaneGeometry g = jpeg::ComponentGeometry(frame, comp.Hi, comp.Vi);
      const bool fullSize = g.Wc == lWidth && g.Hc == lHeight;
      if (!fullSize && (g.Wc != Wb || g.Hc != Hb)) return false;
    }
    return true;
  }();
  int32_t bandRows = Hb;
  if (banded && Wb > 0) {
    int32_t maxVi = 1;
    for (const jpeg::Component& comp : m_udtComp) maxVi = std::max(maxVi, comp.Vi);
    bandRows = std::min(Hb, 8 * maxVi);
  }
  // Scaled planes of exactly half the picture's width and height (4:2:0) are averaged
  // here from the pixels read in place, as the HALFTONE stretch would draw them, into
  // a band of bytes instead of a bitmap.
  const bool halved = banded && Wb > 0 && std::all_of(m_udtComp.begin(), m_udtComp.end(),
                                                      [&](const jpeg::Component& comp) {
    const jpeg::PlaneGeometry g = jpeg::ComponentGeometry(frame, comp.Hi, comp.Vi);
    return (g.Wc == lWidth && g.Hc == lHeight) ||
           (2 * int64_t{g.Wc} == lWidth && 2 * int64_t{g.Hc} == lHeight);
  });
  // The band holds one MCU row of the halved planes, made only when some columns are
  // left to it by the paired kernel (at most widths none are).
  std::unique_ptr<uint8_t[]> halvedBand;
  const auto bandFor = [&] {
    if (!halvedBand) {
      int32_t scaledVi = 1;
      for (const jpeg::Component& comp : m_udtComp) {
        const jpeg::PlaneGeometry g = jpeg::ComponentGeometry(frame, comp.Hi, comp.Vi);
        if (g.Wc != lWidth || g.Hc != lHeight) scaledVi = std::max(scaledVi, comp.Vi);
      }
      halvedBand.reset(new uint8_t[3 * static_cast<size_t>(Wb) *
                                   static_cast<size_t>(std::min(Hb, 8 * scaledVi))]);
    }
    return halvedBand.get();
  };
  jpeg::SamplingSurface surface;
  if (!halved && Wb > 0 && !surface.Create(Wb, bandRows)) return 1;

  // The new stores replace the old ones only once all are made, so the size and the
  // stores always describe the same image.
  std::vector<jpeg::CoefficientStore> stores(m_udtComp.size());
  std::vector<jpeg::PlaneGeometry> planes(m_udtComp.size());
  for (size_t i = 0; i < m_udtComp.size(); ++i) {
    planes[i] = jpeg::ComponentGeometry(frame, m_udtComp[i].Hi, m_udtComp[i].Vi);
    // Every entry is written below.
    stores[i].resize(static_cast<size_t>(planes[i].Wp) * static_cast<size_t>(planes[i].Hp));
  }
  const auto fullSize = [&](const jpeg::PlaneGeometry& g) {
    return g.Wc == lWidth && g.Hc == lHeight;
  };
  // The symbols of each store are counted as its rows are made, for the kind of scan
  // that will code it.
  std::vector<jpeg::SymbolTally> tallies;
  tallies.reserve(m_udtComp.size());
  {
    const std::vector<jpeg::ScanEntry> entries = ScanEntries();
    std::vector<bool> interleaved(m_udtComp.size(), false);
    for (const jpeg::ScanGroup& group : jpeg::GroupScans(jpeg::BlocksPerMcu(m_udtComp, entries), 0,
                                                         m_lComponents - 1)) {
      for (int32_t j = group.first; j <= group.last; ++j) {
        interleaved[static_cast<size_t>(entries[static_cast<size_t>(j)].component)] =
            group.Interleaved();
      }
    }
    for (size_t i = 0; i < m_udtComp.size(); ++i) {
      tallies.emplace_back(frame, m_udtComp[i].Hi, m_udtComp[i].Vi, interleaved[i]);
    }
  }
  const auto table = [&](size_t i) -> const jpeg::QuantTable& {
    return m_udtQTable[static_cast<size_t>(m_udtComp[i].Tqi)];
  };
  const auto sample = [&](size_t i, const jpeg::PlaneSource& plane, int32_t firstBlockRow,
                          int32_t endBlockRow, int32_t firstBlockColumn = 0) {
    jpeg::SamplePlane(plane, planes[i], jpeg::kColourWeights[i], m_lZigZag, table(i),
                      stores[i].data(), firstBlockRow, endBlockRow, firstBlockColumn);
    tallies[i].Add(stores[i], endBlockRow < 0 ? planes[i].BlockRows() : endBlockRow);
  };
  // With several components read in place and the scaled planes (if any) of one size
  // whose height divides the picture's, each MCU row's planes are drawn and sampled
  // together: the source rows they read are then still in the cache.
  if (banded) {
    int32_t mcuRows = 0;
    for (size_t i = 0; i < planes.size(); ++i) {
      const int32_t Vi = m_udtComp[i].Vi;
      mcuRows = std::max(mcuRows, (planes[i].BlockRows() + Vi - 1) / Vi);
    }
    int32_t drawn = 0;      // scaled plane rows drawn so far
    int32_t bandFirst = 0;  // the plane row at the top of the working bitmap
    for (int32_t m = 0; m < mcuRows; ++m) {
      for (size_t i = 0; i < planes.size(); ++i) {
        const jpeg::PlaneGeometry& g = planes[i];
        const int32_t Vi = m_udtComp[i].Vi;
        const int32_t first = m * Vi;
        const int32_t end = std::min((m + 1) * Vi, g.BlockRows());
        if (first >= end) continue;
        if (fullSize(g)) {
          sample(i, *direct, first, end);
          continue;
        }
        const int32_t needed = std::min(8 * end, g.Hc);
        // Two halved planes in a row (Cb and Cr) are sampled together straight from the
        // pixels where the kernels allow; the band then only holds the columns left.
        const bool pair = halved && i + 1 < planes.size() && !fullSize(planes[i + 1]);
        const int32_t done =
            pair ? jpeg::SampleHalvedPairWide(*direct, g, jpeg::kColourWeights[i],
                                              jpeg::kColourWeights[i + 1], m_lZigZag, table(i),
                                              table(i + 1), stores[i].data(),
                                              stores[i + 1].data(), first, end)
                 : 0;
        if (needed > drawn) {
          if (halved) {
            if (done < g.BlocksPerRow()) {
              jpeg::HalvePlaneRows(*direct, g.Wc, drawn, needed, bandFor(), 8 * done);
            }
          } else {
            surface.DrawScaledRows(lhDC, lWidth, lHeight, lSrcLeft, lSrcTop, g.Wc, g.Hc, drawn,
                                   needed);
          }
          bandFirst = drawn;
          drawn = needed;
        }
        const jpeg::PlaneSource band =
            halved ? jpeg::PlaneSource{halvedBand.get(), 3 * ptrdiff_t{g.Wc}, g.Wc, g.Hc, bandFirst}
                   : surface.ScaledBand(g.Wc, g.Hc, bandFirst);
        sample(i, band, first, end, done);
        if (pair) sample(++i, band, first, end, done);
      }
    }
  } else {
    jpeg::PlaneGeometry previous{};
    for (size_t i = 0; i < planes.size(); ++i) {
      const jpeg::PlaneGeometry& g = planes[i];
      if (direct && fullSize(g)) {
        sample(i, *direct, 0, -1);
        continue;
      }
      // Components of equal sampled size share one drawing.
      const bool redraw = g.Wc != previous.Wc || g.Hc != previous.Hc;
      previous = g;
      if (direct) {
        if (redraw) surface.DrawScaled(lhDC, lWidth, lHeight, lSrcLeft, lSrcTop, g.Wc, g.Hc);
        sample(i, surface.Scaled(g.Wc, g.Hc), 0, -1);
      } else {
        if (redraw) surface.DrawPlane(lhDC, lWidth, lHeight, lSrcLeft, lSrcTop, g);
        sample(i, jpeg::DrawnPlane(surface.Bits(), surface.Stride(), g), 0, -1);
      }
    }
  }
  for (size_t i = 0; i < m_udtComp.size(); ++i) {
    tallies[i].Add(stores[i], planes[i].BlockRows());
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
  if (!jpeg::IsValidUtf8(Value)) Raise(kErrInvalidCall);
  if (jpeg::CharacterCount(Value) > kMaxCommentLength) {
    jpeg::RaiseEncoderError("Illegal Comment Length");
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
    if (c.Data.empty()) Raise(kErrSubscript);  // nothing sampled since the layout was set
  }
  const std::vector<jpeg::ScanEntry> entries = ScanEntries();
  const int32_t last = m_lComponents - 1;
  const jpeg::FrameLayout frame = Frame();
  const bool tallied = m_tallies.size() == m_udtComp.size();
  const int64_t estimate = jpeg::OptimizeHuffmanTables(m_udtComp, entries, 0, last, frame,
                                                       m_udtDCTable, m_udtACTable,
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
  if (m_lComponents > 1) jpeg::WriteDQT(out, out.Pos(), m_udtSampledQTable[1], 1);
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
  if (FileName.empty()) return 1;
  if (files::FindFile(FileName)) return 2;
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
