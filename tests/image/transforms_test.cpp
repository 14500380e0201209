// cImage transforms: grey copies, resampling, mirrors and quarter turns.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "image/image.h"
#include "platform/runtime/error.h"
#include "tests/image/image_test_util.h"

namespace okuva {
namespace {

using test::Rgb;

std::unique_ptr<cImage> DistinctImage(int32_t w, int32_t h) {
  auto image = std::make_unique<cImage>();
  EXPECT_TRUE(image->Create(w, h, 24));
  test::FillDistinct(*image);
  return image;
}

TEST(ImageRotate, QuarterTurnsMoveEveryPixel) {
  const auto source = DistinctImage(3, 2);  // W = 3, H = 2
  const auto r90 = source->Rotate(90);
  const auto r180 = source->Rotate(180);
  const auto r270 = source->Rotate(270);
  ASSERT_TRUE(r90 && r180 && r270);
  EXPECT_EQ(r90->Width(), 2);
  EXPECT_EQ(r90->Height(), 3);
  EXPECT_EQ(r180->Width(), 3);
  EXPECT_EQ(r180->Height(), 2);
  EXPECT_EQ(r270->Width(), 2);
  EXPECT_EQ(r270->Height(), 3);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      const Rgb c = test::Distinct(x, y);
      EXPECT_EQ(test::PixelAt(*r90, y, 3 - 1 - x), c) << x << "," << y;
      EXPECT_EQ(test::PixelAt(*r180, 3 - 1 - x, 2 - 1 - y), c) << x << "," << y;
      EXPECT_EQ(test::PixelAt(*r270, 2 - 1 - y, x), c) << x << "," << y;
    }
  }
  // The source is only read.
  EXPECT_EQ(test::PixelAt(*source, 2, 1), test::Distinct(2, 1));
}

TEST(ImageRotate, TwoPixelsTurnCounterClockwise) {
  auto source = std::make_unique<cImage>();
  ASSERT_TRUE(source->Create(2, 1, 24));
  const Rgb a{200, 10, 10};
  const Rgb b{10, 10, 200};
  test::SetRgb(*source, 0, 0, a);
  test::SetRgb(*source, 1, 0, b);

  const auto left = source->Rotate(90);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->Width(), 1);
  EXPECT_EQ(left->Height(), 2);
  EXPECT_EQ(test::PixelAt(*left, 0, 0), b);
  EXPECT_EQ(test::PixelAt(*left, 0, 1), a);

  const auto right = source->Rotate(270);
  ASSERT_TRUE(right);
  EXPECT_EQ(test::PixelAt(*right, 0, 0), a);
  EXPECT_EQ(test::PixelAt(*right, 0, 1), b);
}

TEST(ImageRotate, AnglesAreTakenModuloAWholeTurn) {
  const auto source = DistinctImage(4, 3);
  const auto pixels = [](const std::unique_ptr<cImage>& image) {
    EXPECT_TRUE(image);
    return image ? test::AllPixels(*image) : std::vector<Rgb>{};
  };
  EXPECT_EQ(pixels(source->Rotate(-90)), pixels(source->Rotate(270)));
  EXPECT_EQ(pixels(source->Rotate(450)), pixels(source->Rotate(90)));
  EXPECT_EQ(pixels(source->Rotate(-180)), pixels(source->Rotate(180)));
  EXPECT_EQ(pixels(source->Rotate(-630)), pixels(source->Rotate(90)));
  EXPECT_NE(pixels(source->Rotate(90)), pixels(source->Rotate(270)));

  for (int32_t d : {0, 360, -360, 45, 1, 89, -1, 720, std::numeric_limits<int32_t>::max(),
                    std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(source->Rotate(d), nullptr) << d;
  }
  // A large angle that is a quarter turn past whole turns (2147483520 = 360 x 5965232).
  EXPECT_NE(source->Rotate(2147483520 + 90), nullptr);
}

TEST(ImageMirror, FlipsAndFlipsBack) {
  const auto source = DistinctImage(3, 4);
  const auto v = source->Mirror(true);
  const auto h = source->Mirror(false);
  ASSERT_TRUE(v && h);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(test::PixelAt(*v, x, 4 - 1 - y), test::Distinct(x, y)) << x << "," << y;
      EXPECT_EQ(test::PixelAt(*h, 3 - 1 - x, y), test::Distinct(x, y)) << x << "," << y;
    }
  }
  // Rows are kept whole in a vertical mirror.
  EXPECT_EQ(std::vector<uint8_t>(test::RowOf(*v, 0), test::RowOf(*v, 0) + 9),
            std::vector<uint8_t>(test::RowOf(*source, 3), test::RowOf(*source, 3) + 9));
  EXPECT_EQ(test::AllPixels(*v->Mirror(true)), test::AllPixels(*source));
  EXPECT_EQ(test::AllPixels(*h->Mirror(false)), test::AllPixels(*source));
}

TEST(ImageTransforms, PaletteSourcesKeepTheirDepthAndTable) {
  for (int16_t bits : {int16_t{1}, int16_t{4}, int16_t{8}}) {
    cImage source;
    ASSERT_TRUE(source.Create(5, 3, bits));
    const auto colours = test::ColourTable(1 << bits);
    test::FillIndexPattern(source, colours);

    const std::unique_ptr<cImage> results[] = {source.Resample(5, 3), source.Resample(10, 6),
                                               source.Mirror(true),   source.Mirror(false),
                                               source.Rotate(90),     source.Rotate(180)};
    for (const auto& r : results) {
      ASSERT_TRUE(r);
      EXPECT_EQ(r->BitCount(), bits);
      EXPECT_EQ(test::Colours(test::TableOf(r->hdc())), colours) << bits;
    }
    // The colours land where the transforms put them.
    EXPECT_EQ(test::AllPixels(*results[0]), test::AllPixels(source));
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < 5; ++x) {
        const Rgb c = test::PixelAt(source, x, y);
        EXPECT_EQ(test::PixelAt(*results[2], x, 2 - y), c);
        EXPECT_EQ(test::PixelAt(*results[3], 4 - x, y), c);
        EXPECT_EQ(test::PixelAt(*results[4], y, 4 - x), c);
        // Doubling: each source pixel becomes a 2 x 2 block of its colour.
        EXPECT_EQ(test::PixelAt(*results[1], 2 * x + 1, 2 * y + 1), c);
      }
    }
  }
}

TEST(ImageResample, SameSizeIsAnExactCopy) {
  const auto source = DistinctImage(7, 5);
  const auto copy = source->Resample(7, 5);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->BitCount(), 24);
  EXPECT_EQ(test::AllPixels(*copy), test::AllPixels(*source));
  EXPECT_NE(copy->DIBitsPtr(), source->DIBitsPtr());
}

TEST(ImageResample, ReductionAveragesTheCoveredPixels) {
  cImage source;
  ASSERT_TRUE(source.Create(4, 2, 24));
  // Left half: black and white columns; right half: a flat colour.
  for (int y = 0; y < 2; ++y) {
    test::SetRgb(source, 0, y, {0, 0, 0});
    test::SetRgb(source, 1, y, {255, 255, 255});
    test::SetRgb(source, 2, y, {30, 60, 90});
    test::SetRgb(source, 3, y, {30, 60, 90});
  }
  const auto half = source.Resample(2, 1);
  ASSERT_TRUE(half);
  EXPECT_EQ(half->Width(), 2);
  EXPECT_EQ(half->Height(), 1);
  const Rgb mixed = test::PixelAt(*half, 0, 0);
  // Averaged, not one of the two source pixels picked.
  EXPECT_GE(mixed.r, 126);
  EXPECT_LE(mixed.r, 129);
  EXPECT_EQ(test::PixelAt(*half, 1, 0), (Rgb{30, 60, 90}));
}

TEST(ImageGreyscale, AnyDepthGivesEightBitsOnTheGreyRamp) {
  cImage one;
  ASSERT_TRUE(one.Create(2, 1, 1));
  test::FillIndexPattern(one, {{0, 0, 0}, {255, 255, 255}});

  cImage four;
  ASSERT_TRUE(four.Create(3, 1, 4));
  std::vector<Rgb> table = test::ColourTable(16);
  table[0] = {40, 40, 40};
  table[1] = {200, 200, 200};
  table[2] = {255, 0, 0};
  test::FillIndexPattern(four, table);

  cImage rgb;
  ASSERT_TRUE(rgb.Create(3, 1, 24));
  test::SetRgb(rgb, 0, 0, {0, 0, 0});
  test::SetRgb(rgb, 1, 0, {128, 128, 128});
  test::SetRgb(rgb, 2, 0, {0, 0, 255});

  for (const cImage* source : {&one, &four, &rgb}) {
    const auto grey = source->Greyscale();
    ASSERT_TRUE(grey);
    EXPECT_EQ(grey->BitCount(), 8);
    EXPECT_EQ(grey->Width(), source->Width());
    const auto t = test::TableOf(grey->hdc());
    ASSERT_EQ(t.size(), 256u);
    for (int i = 0; i < 256; ++i) {
      ASSERT_EQ(test::Colours(t)[i], (Rgb{uint8_t(i), uint8_t(i), uint8_t(i)})) << i;
    }
  }
  auto g = one.Greyscale();
  EXPECT_EQ(test::IndexAt(*g, 0, 0), 0u);
  EXPECT_EQ(test::IndexAt(*g, 1, 0), 255u);
  g = four.Greyscale();
  EXPECT_EQ(test::IndexAt(*g, 0, 0), 40u);
  EXPECT_EQ(test::IndexAt(*g, 1, 0), 200u);
  g = rgb.Greyscale();
  EXPECT_EQ(test::IndexAt(*g, 0, 0), 0u);
  EXPECT_EQ(test::IndexAt(*g, 1, 0), 128u);
  // A pure colour maps to some grey between black and white, not to black.
  EXPECT_GT(test::IndexAt(*g, 2, 0), 0u);
  EXPECT_LT(test::IndexAt(*g, 2, 0), 255u);
}

TEST(ImageTransforms, EmptySourcesGiveObjectsNotErrors) {
  // Never created: size and depth 0, so the new objects are empty too.
  const cImage blank;
  for (const auto& r :
       {blank.Greyscale(), blank.Resample(0, 0), blank.Mirror(true), blank.Rotate(90)}) {
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->hdc(), 0u);
  }

  // Emptied but still reporting a size: the new image has a surface, left blank.
  cImage emptied;
  ASSERT_TRUE(emptied.Create(4, 3, 24));
  ASSERT_FALSE(emptied.Create(4, 3, 16));
  const auto flipped = emptied.Mirror(false);
  ASSERT_NE(flipped, nullptr);
  EXPECT_NE(flipped->hdc(), 0u);
  EXPECT_EQ(flipped->Width(), 4);
  const auto turned = emptied.Rotate(270);
  ASSERT_NE(turned, nullptr);
  EXPECT_EQ(turned->Width(), 3);
  EXPECT_EQ(turned->Height(), 4);
}

TEST(ImageTransforms, ErrorsOfTheNewImageReachTheCaller) {
  const auto source = DistinctImage(2, 2);
  try {
    source->Resample(std::numeric_limits<int32_t>::max(), 1);
    FAIL() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 6);
  }
  // A size the layer refuses is not an error: an empty object comes back.
  const auto refused = source->Resample(0, 0);
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->hdc(), 0u);
}

}  // namespace
}  // namespace okuva
