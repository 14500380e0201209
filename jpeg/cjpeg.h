// cJpeg: the program's own baseline JPEG encoder. A caller sets quality, sampling
// factors and a comment, samples a device-context rectangle with SampleHDC, and writes
// a JFIF file with image-optimal Huffman tables with SaveFile. Between the two calls
// the image is held as quantized DCT coefficients, one store per component.
//
// The data flows one way, one stage per file: quantization (settings) -> sampling
// (colour conversion) -> dct (transform, quantization) -> huffman_stats ->
// huffman_table -> stream_writer with scan_coder.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "jpeg/component.h"
#include "jpeg/huffman_table.h"
#include "jpeg/output_buffer.h"
#include "jpeg/quantization.h"
#include "platform/gdi/gdi.h"

namespace okuva {

class cJpeg {
public:
  // Quality 75, sampling 2x2,1x1,1x1, empty comment, no image sampled yet.
  cJpeg();

  // Sets the quality (1..100) and rebuilds quantization tables 0 and 1; values outside
  // 1..100 are ignored. Takes effect on the next SampleHDC: a file always carries the
  // tables its sampled coefficients were quantized with.
  void Quality(int32_t vData);
  // The last accepted quality.
  int32_t Quality() const { return m_lQuality; }

  // Sets the sampling factors (each 1..4) of Y, Cb, Cr; H2, V2, H3, V3 all 0 selects
  // greyscale (H1, V1 then only validated). Refusal raises error 1 "Invalid Sampling
  // Value" and keeps the previous configuration. Discards the coefficient stores.
  void SetSamplingFrequencies(int32_t H1, int32_t V1, int32_t H2, int32_t V2, int32_t H3,
                              int32_t V3);

  // Samples the lWidth x lHeight rectangle at (lSrcLeft, lSrcTop) of lhDC into the
  // coefficient stores. Returns 0 when sampled; 1 when the size is below 1 or the
  // working device context or bitmap cannot be made (then nothing changes).
  int32_t SampleHDC(gdi::HDC lhDC, int32_t lWidth, int32_t lHeight, int32_t lSrcLeft = 0,
                    int32_t lSrcTop = 0);

  // Stores the comment written into the next files (UTF-8; one byte per character in
  // the file, Windows-1252). More than 65533 characters raises error 1 "Illegal Comment
  // Length" and text that is not valid UTF-8 raises 5 "Invalid procedure call or
  // argument"; either keeps the earlier comment.
  void Comment(const std::string& Value);
  const std::string& Comment() const { return m_sComment; }

  // Encodes the sampled image into a new file. 0 written; 1 FileName empty; 2 a file of
  // that name exists (left untouched). Raises 9 when nothing is sampled, 6 for a size
  // above 65535 or a comment character without a one-byte code, the runtime's file
  // errors when the file cannot be written (a partly written file is removed). Never
  // overwrites a file, even one that appears while encoding.
  int32_t SaveFile(const std::string& FileName);

  // The exact bytes SaveFile would write, without touching the file system; raises as
  // SaveFile does.
  std::vector<uint8_t> Encode();

  // Inspection of the current state (read-only).
  int32_t Components() const { return m_lComponents; }
  const jpeg::Component& Component(int32_t i) const { return m_udtComp.at(static_cast<size_t>(i)); }
  int32_t Hmax() const { return m_lHmax; }
  int32_t Vmax() const { return m_lVmax; }
  int32_t Width() const { return m_lWidth; }
  int32_t Height() const { return m_lHeight; }
  int32_t Precision() const { return m_lPrecision; }
  const jpeg::ZigZagTable& ZigZag() const { return m_lZigZag; }
  const jpeg::QuantTable& QTable(int32_t n) const { return m_udtQTable.at(static_cast<size_t>(n)); }
  const jpeg::HuffTable& DCTable(int32_t k) const {
    return m_udtDCTable.at(static_cast<size_t>(k));
  }
  const jpeg::HuffTable& ACTable(int32_t k) const {
    return m_udtACTable.at(static_cast<size_t>(k));
  }

private:
  jpeg::FrameLayout Frame() const { return {m_lWidth, m_lHeight, m_lHmax, m_lVmax}; }
  // The scan list of every file: position j codes component j, luminance with tables 0,
  // chrominance with tables 1.
  std::vector<jpeg::ScanEntry> ScanEntries() const;
  // Builds the whole stream into m_bytFile.
  void BuildStream();

  jpeg::ZigZagTable m_lZigZag{};
  std::array<jpeg::QuantTable, 4> m_udtQTable{};
  // Tables 0 and 1 as the stored coefficients were quantized with them.
  std::array<jpeg::QuantTable, 2> m_udtSampledQTable{};
  std::array<jpeg::HuffTable, 4> m_udtDCTable{};
  std::array<jpeg::HuffTable, 4> m_udtACTable{};
  std::vector<jpeg::Component> m_udtComp;
  // Symbol counts of the stores, gathered while sampling (empty when nothing is sampled).
  std::vector<jpeg::SymbolTally> m_tallies;
  int32_t m_lComponents = 0;
  int32_t m_lHmax = 1;
  int32_t m_lVmax = 1;
  int32_t m_lWidth = 0;
  int32_t m_lHeight = 0;
  int32_t m_lPrecision = 0;
  int32_t m_lQuality = 0;
  std::string m_sComment;
  jpeg::OutputBuffer m_bytFile;
};

}  // namespace okuva
