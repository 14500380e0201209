// A bounded random-mutation test of the picture readers: valid files of every kind are
// damaged in many ways (bit flips, extreme field values, truncation, inserted bytes)
// and each result must either decode to a sane picture or be refused with a
// PictureError. Run under the sanitizers it also proves no read leaves the input.
// The same mutations with a fixed seed give the same cases in every run.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <random>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/picture/picture.h"
#include "platform/picture/picture_internal.h"
#include "tests/platform/picture/picture_test_util.h"

namespace okuva {
namespace {

using picture_test::BmpSpec;
using picture_test::MakeBmp;

// Small limit: a mutated size field cannot make one case allocate or decode for long.
constexpr int64_t kFuzzMaxPixels = int64_t{1} << 16;

std::vector<std::vector<uint8_t>> Seeds() {
  std::vector<std::vector<uint8_t>> seeds;
  for (uint16_t bits :
       {uint16_t{1}, uint16_t{4}, uint16_t{8}, uint16_t{16}, uint16_t{24}, uint16_t{32}}) {
    BmpSpec s;
    s.width = 5;
    s.height = bits % 3 == 0 ? -3 : 3;
    s.bits = bits;
    if (bits <= 8) {
      for (uint32_t i = 0; i < (bits == 8 ? 6u : 1u << bits); ++i) {
        s.table.push_back(i * 0x102040);
      }
      s.clrUsed = static_cast<uint32_t>(s.table.size());
    }
    if (bits == 16) {
      s.compression = 3;
      s.masks = {0xF800, 0x07E0, 0x001F};
    }
    for (int y = 0; y < 3; ++y) {
      std::vector<uint8_t> row((5 * bits + 7) / 8);
      for (size_t i = 0; i < row.size(); ++i) {
        row[i] = static_cast<uint8_t>(bits <= 8 ? 0 : i * 29 + y);
      }
      s.rows.push_back(row);
    }
    seeds.push_back(MakeBmp(s));
  }
  const std::string p5 = "P5\n# seed\n4 3\n200\n", p6 = "P6 3 2 255\n";
  std::vector<uint8_t> grey(p5.begin(), p5.end()), colour(p6.begin(), p6.end());
  for (int i = 0; i < 12; ++i) {
    grey.push_back(static_cast<uint8_t>(i * 15));
  }
  for (int i = 0; i < 18; ++i) {
    colour.push_back(static_cast<uint8_t>(i * 13));
  }
  seeds.push_back(grey);
  seeds.push_back(colour);

  std::vector<uint8_t> rgb(24 * 16 * 3);
  for (size_t i = 0; i < rgb.size(); ++i) {
    rgb[i] = static_cast<uint8_t>(i * 7);
  }
  seeds.push_back(picture_test::JpegOf(rgb.data(), 24, 16, 80, TJSAMP_420));

  // Run-length BMPs with every escape, and PNGs (palette, grey, RGB) of the BMP seeds.
  const std::vector<uint32_t> table = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  seeds.push_back(picture_test::MakeRleBmp(5, 3, 8, table,
                                           {2, 1, 0, 3, 2, 3, 2, 0, 0, 0, 0, 2, 1, 1, 1, 3, 0, 1}));
  seeds.push_back(
      picture_test::MakeRleBmp(5, 2, 4, table, {5, 0x12, 0, 0, 0, 3, 0x30, 0x10, 0, 1}));
  for (size_t i : {size_t{1}, size_t{4}, size_t{6}}) {
    const StdPicture p = DecodePicture(seeds[i]);
    seeds.push_back(EncodePng(p.Handle()));
  }
  // A progressive JPEG, whose scans are counted before it is decoded.
  seeds.push_back(picture_test::JpegOf(rgb.data(), 24, 16, 80, TJSAMP_420, TJFLAG_PROGRESSIVE));
  return seeds;
}

std::vector<uint8_t> Mutate(std::vector<uint8_t> data, std::mt19937& rng) {
  auto pick = [&](size_t n) {
    return n == 0 ? size_t{0} : std::uniform_int_distribution<size_t>(0, n - 1)(rng);
  };
  // Header fields matter most: aim half of the edits at the first 64 bytes.
  auto position = [&] {
    return pick(rng() % 2 == 0 ? std::min<size_t>(data.size(), 64) : data.size());
  };
  const int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits && !data.empty(); ++e) {
    switch (rng() % 6) {
      case 0: data[position()] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
      case 1: data[position()] = static_cast<uint8_t>(rng()); break;
      case 2: {
        // An extreme 32-bit value in a field: 0, -1, INT32_MIN, INT32_MAX, 65536.
        static constexpr uint32_t kExtremes[] = {0, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu,
                                                 0x10000u};
        const uint32_t v = kExtremes[rng() % 5];
        const size_t at = position();
        for (size_t i = 0; i < 4 && at + i < data.size(); ++i) {
          data[at + i] = static_cast<uint8_t>(v >> (8 * i));
        }
        break;
      }
      case 3: data.resize(pick(data.size())); break;
      case 4:
        data.insert(data.begin() + static_cast<long>(position()), static_cast<uint8_t>(rng()));
        break;
      default: data.erase(data.begin() + static_cast<long>(position())); break;
    }
  }
  return data;
}

TEST(PictureFuzz, MutatedFilesDecodeOrAreRefused) {
  const auto seeds = Seeds();
  ASSERT_EQ(seeds.size(), 15u);
  std::mt19937 rng(20240601);
  constexpr int kCasesPerSeed = 4000;
  int decoded = 0;
  int refused = 0;
  for (const auto& seed : seeds) {
    for (int i = 0; i < kCasesPerSeed; ++i) {
      const std::vector<uint8_t> bytes = Mutate(seed, rng);
      try {
        StdPicture p = picture_detail::DecodePictureWithin(bytes, kFuzzMaxPixels);
        ASSERT_TRUE(p);
        ASSERT_GT(p.Width(), 0);
        ASSERT_GT(p.Height(), 0);
        ASSERT_LE(int64_t{p.Width()} * p.Height(), kFuzzMaxPixels);
        // What was read must also be writable.
        ASSERT_FALSE(EncodeBmp(p.Handle()).empty());
        ++decoded;
      } catch (const PictureError&) {
        ++refused;
      }
    }
  }
  // Both outcomes must occur, or the mutations are not exercising the readers.
  EXPECT_GT(decoded, 100);
  EXPECT_GT(refused, 100);
  EXPECT_EQ(decoded + refused, static_cast<int>(seeds.size()) * kCasesPerSeed);
}

}  // namespace
}  // namespace okuva
