#include "jpeg/component.h"

#include <cmath>

namespace okuva::jpeg {

namespace {
// Ceil of a / b taken as the negated floor of -a / b in double precision.
int32_t CeilDiv(int64_t a, int32_t b) {
  return static_cast<int32_t>(-std::floor(-static_cast<double>(a) / b));
}
int32_t RoundUp8(int32_t v) { return (v + 7) / 8 * 8; }
}  // namespace

PlaneGeometry ComponentGeometry(const FrameLayout& frame, int32_t Hi, int32_t Vi) {
  PlaneGeometry g;
  g.Wc = CeilDiv(static_cast<int64_t>(frame.X) * Hi, frame.Hmax);
  g.Hc = CeilDiv(static_cast<int64_t>(frame.Y) * Vi, frame.Vmax);
  g.Wp = RoundUp8(g.Wc);
  g.Hp = RoundUp8(g.Hc);
  return g;
}

int64_t McuLayout::FillerBlocks(int32_t Hi, int32_t Vi) const {
  return static_cast<int64_t>(mcuColumns) * mcuRows * Hi * Vi -
         static_cast<int64_t>(blocksPerRow) * blockRows;
}

McuLayout InterleavedLayout(const FrameLayout& frame, int32_t Hi, int32_t Vi) {
  const PlaneGeometry g = ComponentGeometry(frame, Hi, Vi);
  McuLayout m;
  m.mcuColumns = (8 * frame.Hmax + frame.X - 1) / (8 * frame.Hmax);
  m.mcuRows = (8 * frame.Vmax + frame.Y - 1) / (8 * frame.Vmax);
  m.blocksPerRow = g.BlocksPerRow();
  m.blockRows = g.BlockRows();
  m.lastColumnBlocks = m.blocksPerRow % Hi == 0 ? Hi : m.blocksPerRow % Hi;
  return m;
}

std::vector<int32_t> BlocksPerMcu(const std::vector<Component>& components,
                                  const std::vector<ScanEntry>& entries) {
  std::vector<int32_t> blocks;
  for (const ScanEntry& e : entries) {
    const Component& c = components.at(static_cast<size_t>(e.component));
    blocks.push_back(c.Hi * c.Vi);
  }
  return blocks;
}

std::vector<ScanGroup> GroupScans(const std::vector<int32_t>& blocksPerMcu, int32_t first,
                                  int32_t last) {
  // A baseline decoder accepts at most 10 blocks per MCU (T.81 B.2.3); this encoder
  // also stops at three components per scan.
  constexpr int32_t kMaxBlocksPerMcu = 10;
  constexpr int32_t kMaxComponentsPerScan = 3;
  std::vector<ScanGroup> groups;
  int32_t start = first;
  while (start <= last) {
    int32_t blocks = 0;
    int32_t next = start;
    for (int32_t j = start; j <= last; ++j) {
      blocks += blocksPerMcu.at(static_cast<size_t>(j));
      if (blocks > kMaxBlocksPerMcu) {
        next = (j == start) ? j + 1 : j;
        break;
      }
      next = j + 1;
      if (next - start == kMaxComponentsPerScan) {
        break;
      }
    }
    groups.push_back({start, next - 1});
    start = next;
  }
  return groups;
}

}  // namespace okuva::jpeg
