// The encoder object: defaults, sampling factors and the comment.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "jpeg/cjpeg.h"
#include "jpeg_test_util.h"
#include "platform/runtime/error.h"

namespace okuva {
namespace {

void ExpectEncoderError(const std::function<void()>& f, const std::string& description) {
  try {
    f();
    FAIL() << "no error, expected " << description;
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 1);
    EXPECT_EQ(e.Description(), description);
    EXPECT_EQ(e.Source(), "");
  }
}

TEST(Settings, NewObjectDefaults) {
  cJpeg jpeg;
  EXPECT_EQ(jpeg.Quality(), 75);
  EXPECT_EQ(jpeg.Comment(), "");
  ASSERT_EQ(jpeg.Components(), 3);
  EXPECT_EQ(jpeg.Component(0).Hi, 2);
  EXPECT_EQ(jpeg.Component(0).Vi, 2);
  EXPECT_EQ(jpeg.Component(0).Tqi, 0);
  for (int i : {1, 2}) {
    EXPECT_EQ(jpeg.Component(i).Hi, 1);
    EXPECT_EQ(jpeg.Component(i).Vi, 1);
    EXPECT_EQ(jpeg.Component(i).Tqi, 1);
    EXPECT_TRUE(jpeg.Component(i).Data.empty());
  }
  EXPECT_EQ(jpeg.Hmax(), 2);
  EXPECT_EQ(jpeg.Vmax(), 2);
  EXPECT_EQ(jpeg.Width(), 0);
  EXPECT_EQ(jpeg.Height(), 0);
  EXPECT_EQ(jpeg.Precision(), 0);
}

TEST(Settings, GreyscaleIgnoresTheFirstFactorsValues) {
  for (auto hv : {std::pair{1, 1}, std::pair{4, 3}}) {
    cJpeg jpeg;
    jpeg.SetSamplingFrequencies(hv.first, hv.second, 0, 0, 0, 0);
    ASSERT_EQ(jpeg.Components(), 1);
    EXPECT_EQ(jpeg.Component(0).Hi, 1);
    EXPECT_EQ(jpeg.Component(0).Vi, 1);
    EXPECT_EQ(jpeg.Hmax(), 1);
    EXPECT_EQ(jpeg.Vmax(), 1);
  }
}

TEST(Settings, ColourFactorsAndTheirMaxima) {
  cJpeg jpeg;
  jpeg.SetSamplingFrequencies(1, 1, 2, 2, 1, 1);  // chrominance may exceed luminance
  EXPECT_EQ(jpeg.Hmax(), 2);
  EXPECT_EQ(jpeg.Vmax(), 2);
  EXPECT_EQ(jpeg.Component(1).Hi, 2);
  jpeg.SetSamplingFrequencies(2, 1, 1, 1, 1, 1);
  EXPECT_EQ(jpeg.Hmax(), 2);
  EXPECT_EQ(jpeg.Vmax(), 1);
  jpeg.SetSamplingFrequencies(4, 2, 2, 2, 1, 3);
  EXPECT_EQ(jpeg.Hmax(), 4);
  EXPECT_EQ(jpeg.Vmax(), 3);
  EXPECT_EQ(jpeg.Component(2).Vi, 3);
  EXPECT_EQ(jpeg.Component(2).Tqi, 1);
}

TEST(Settings, RefusedFactorsKeepThePreviousLayout) {
  cJpeg jpeg;
  jpeg.SetSamplingFrequencies(2, 1, 1, 1, 1, 1);
  const auto refuse = [&](int h1, int v1, int h2, int v2, int h3, int v3) {
    ExpectEncoderError([&] { jpeg.SetSamplingFrequencies(h1, v1, h2, v2, h3, v3); },
                       "Invalid Sampling Value");
    ASSERT_EQ(jpeg.Components(), 3);
    EXPECT_EQ(jpeg.Component(0).Hi, 2);
    EXPECT_EQ(jpeg.Component(0).Vi, 1);
    EXPECT_EQ(jpeg.Hmax(), 2);
    EXPECT_EQ(jpeg.Vmax(), 1);
  };
  refuse(2, 2, 1, 0, 0, 0);  // one of the last four non-zero: all must be 1..4
  refuse(0, 1, 0, 0, 0, 0);
  refuse(1, 5, 1, 1, 1, 1);
  refuse(1, 1, 1, 1, 5, 1);
  refuse(1, 1, 1, 1, 1, -1);
}

TEST(Settings, CommentLengthAndUtf8) {
  cJpeg jpeg;
  jpeg.Comment("first");
  const std::string longest(65533, 'a');
  jpeg.Comment(longest);
  EXPECT_EQ(jpeg.Comment().size(), 65533u);
  jpeg.Comment("kept");
  ExpectEncoderError([&] { jpeg.Comment(std::string(65534, 'a')); }, "Illegal Comment Length");
  EXPECT_EQ(jpeg.Comment(), "kept");
  // The limit counts characters, not UTF-8 bytes: 65533 two-byte characters fit.
  std::string accented;
  for (int i = 0; i < 65533; ++i) {
    accented += "\xC3\xB1";
  }
  jpeg.Comment(accented);
  EXPECT_EQ(jpeg.Comment(), accented);

  // Text that is not UTF-8 is refused where it is set, keeping the earlier comment:
  // overlong forms (a NUL, an "A"), a surrogate, a value past U+10FFFF, cut sequences.
  jpeg.Comment("kept");
  for (const char* bad : {"\xC0\x80", "\xC1\x81", "\xE0\x80\x80", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "x\x80", "\xC3", "\xE2\x82", "\xFF"}) {
    try {
      jpeg.Comment(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), 5);
      EXPECT_EQ(e.Description(), "Invalid procedure call or argument");
    }
  }
  EXPECT_EQ(jpeg.Comment(), "kept");
  jpeg.Comment("\xF0\x9F\x91\x81 \xE2\x82\xAC \x7F");  // the largest forms and edges are fine
}

// A quality set after sampling applies from the next sample: the file carries the tables
// its coefficients were quantized with, byte for byte what sampling at that quality gives.
TEST(Settings, QualityChangedAfterSamplingWaitsForTheNextSample) {
  jpeg::test::Dib dib(48, 40);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto(3);
  cJpeg at90;
  at90.Quality(90);
  ASSERT_EQ(at90.SampleHDC(dib.Dc(), 48, 40), 0);
  const std::vector<uint8_t> expected = at90.Encode();

  cJpeg changed;
  changed.Quality(90);
  ASSERT_EQ(changed.SampleHDC(dib.Dc(), 48, 40), 0);
  changed.Quality(10);
  EXPECT_EQ(changed.Quality(), 10);
  EXPECT_EQ(changed.Encode(), expected);
  // Sampled again, the new quality holds.
  ASSERT_EQ(changed.SampleHDC(dib.Dc(), 48, 40), 0);
  cJpeg at10;
  at10.Quality(10);
  ASSERT_EQ(at10.SampleHDC(dib.Dc(), 48, 40), 0);
  EXPECT_EQ(changed.Encode(), at10.Encode());
}

}  // namespace
}  // namespace okuva
