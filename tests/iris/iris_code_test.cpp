// Iris templates and their comparison on simulated eyes of seeded irises: the same
// eye matches however it is framed, lit, turned or lidded; another seed does not.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "iris/iris_code.h"
#include "platform/camera/simulated_camera.h"

namespace okuva::iris {
namespace {

using camera::SimulatedCamera;

struct Take {
  std::string name;
  SimulatedCamera::Eye eye;
  uint64_t frame = 0;
  int32_t brightness = 0;
  int32_t contrast = 50;
  int32_t width = 640, height = 480;
};

SimulatedCamera::Eye Seeded(uint32_t seed) {
  SimulatedCamera::Eye eye;
  eye.textureSeed = seed;
  return eye;
}

IrisCode Encode(const Take& take) {
  SimulatedCamera camera(SimulatedCamera::Options{}, take.eye);
  camera.SetControl(SimulatedCamera::kBrightnessId, take.brightness);
  camera.SetControl(SimulatedCamera::kContrastId, take.contrast);
  camera.SetFormat({SimulatedCamera::kFourcc, take.width, take.height, {1, 30}});
  const camera::Frame frame = camera.RenderFrame(take.frame);
  const GreyImage grey =
      GreyFromRgb(frame.rgb.data(), frame.width, frame.height, ptrdiff_t{frame.width} * 3);
  const std::optional<IrisCode> code = EncodePicture(grey.View());
  EXPECT_TRUE(code.has_value()) << take.name;
  return code.value_or(IrisCode{});
}

TEST(IrisCode, SameEyeMatchesAcrossTakes) {
  constexpr uint32_t kSeed = 20;
  const IrisCode enrolled = Encode({"enrolled", Seeded(kSeed)});
  EXPECT_GT(enrolled.UsableBits(), kCodeBits / 3);  // the weak-part rule takes about a third

  std::vector<std::pair<Take, double>> takes;  // with the turn to be found, degrees
  auto turned = Seeded(kSeed);
  turned.irisTurn = 12;
  takes.push_back({{"turned 12 degrees", turned, 5}, 12});
  turned.irisTurn = -7;
  takes.push_back({{"turned -7 degrees", turned}, -7});
  auto shifted = Seeded(kSeed);
  shifted.offsetX = -90;
  shifted.offsetY = 35;
  takes.push_back({{"shifted, another frame", shifted, 40}, 0});
  takes.push_back({{"brighter, more contrast", Seeded(kSeed), 17, 30, 65}, 0});
  takes.push_back({{"darker, flatter", Seeded(kSeed), 3, -40, 40}, 0});
  auto lidded = Seeded(kSeed);
  lidded.lidClosure = 0.3;
  lidded.noise = 4;
  takes.push_back({{"lid a third down, noisy", lidded, 9}, 0});
  takes.push_back(
      {{"1280 x 720, the iris half as large again", Seeded(kSeed), 0, 0, 50, 1280, 720}, 0});

  for (const auto& [take, turn] : takes) {
    SCOPED_TRACE(take.name);
    const IrisComparison c = CompareIrisCodes(enrolled, Encode(take));
    EXPECT_EQ(c.decision, MatchDecision::kSameEye) << c.distance;
    EXPECT_LT(c.distance, 0.1);  // sharp pictures of one eye lie near 0
    EXPECT_NEAR(c.rotation, turn, 1.5);
    EXPECT_GE(c.bits, kMinComparedBits);
  }
}

TEST(IrisCode, OtherSeedsAreOtherEyes) {
  std::vector<IrisCode> codes;
  for (uint32_t seed : {20u, 21u, 333u, 4000u}) {
    codes.push_back(Encode({"seed", Seeded(seed)}));
  }
  auto nir = Seeded(21);
  nir.nearInfrared = true;
  const IrisCode nirCode = Encode({"near-infrared seed 21", nir});
  EXPECT_EQ(CompareIrisCodes(codes[1], nirCode).decision, MatchDecision::kSameEye);
  codes.push_back(Encode({"usual eye", SimulatedCamera::Eye{}}));
  for (size_t i = 0; i < codes.size(); ++i) {
    for (size_t j = i + 1; j < codes.size(); ++j) {
      const IrisComparison c = CompareIrisCodes(codes[i], codes[j]);
      EXPECT_EQ(c.decision, MatchDecision::kDifferentEye) << i << " vs " << j;
      EXPECT_GT(c.distance, kSameEyeThreshold) << i << " vs " << j;
    }
  }
}

TEST(IrisCode, SymmetricSelfNearZeroAndTooFewBits) {
  auto turned = Seeded(7);
  turned.irisTurn = 9;
  const IrisCode a = Encode({"a", Seeded(7)}), b = Encode({"b", turned, 12});
  const IrisComparison ab = CompareIrisCodes(a, b), ba = CompareIrisCodes(b, a);
  EXPECT_EQ(ab.distance, ba.distance);
  EXPECT_EQ(ab.bits, ba.bits);
  EXPECT_EQ(ab.rotation, -ba.rotation);

  const IrisComparison self = CompareIrisCodes(a, a);
  EXPECT_EQ(self.rawDistance, 0);
  EXPECT_EQ(self.rotation, 0);
  EXPECT_EQ(self.bits, a.UsableBits());
  EXPECT_EQ(self.distance, 0);

  // A sliver of overlap: what little is compared agrees, yet it is no match.
  IrisCode sliver = a;
  for (size_t j = 0; j < sliver.mask.size(); ++j) {
    if (j % 16 != 0) {
      sliver.mask[j] = 0;
    }
  }
  const IrisComparison little = CompareIrisCodes(a, sliver);
  EXPECT_EQ(little.decision, MatchDecision::kTooFewBits);
  EXPECT_LT(little.bits, kMinComparedBits);
  EXPECT_EQ(CompareIrisCodes(IrisCode{}, IrisCode{}).decision, MatchDecision::kTooFewBits);

  // The same raw distance over fewer bits lies nearer to chance. Columns of random bits,
  // so that no turn of the whole or of a quarter agrees better than none.
  std::mt19937_64 random(5);
  IrisCode noise;
  for (uint64_t& word : noise.bits) {
    word = random();
  }
  auto normalised = [&](size_t columns) {
    IrisCode part = noise, flipped = noise;
    int32_t differing = 0;
    for (size_t j = 0; j < part.mask.size(); ++j) {
      part.mask[j] = flipped.mask[j] = j < columns ? ~uint64_t{0} : 0;
      if (j < columns && j % 10 < 3) {
        flipped.bits[j] = ~flipped.bits[j];
        differing += 64;
      }
    }
    const IrisComparison c = CompareIrisCodes(part, flipped);
    const auto n = static_cast<int32_t>(columns * 64);
    EXPECT_EQ(c.bits, n);
    EXPECT_NEAR(c.rotation, 0, kDegreesPerStep / 2);
    EXPECT_DOUBLE_EQ(c.rawDistance, static_cast<double>(differing) / n);
    EXPECT_DOUBLE_EQ(c.distance, 0.5 - (0.5 - c.rawDistance) * std::sqrt(n / kReferenceBits));
    return c.distance;
  };
  EXPECT_LT(normalised(200), normalised(40));

  // A quarter of the ring turned a column against the rest, as a centre found a pixel or
  // two off turns it, is followed; three columns are not (the whole turning one way and
  // the quarters one column each the other take up two). Quarters are centred on the
  // right, the bottom, the left and the top (columns 224 to 31 the right one).
  IrisCode whole = noise;
  whole.mask.fill(~uint64_t{0});
  auto quarterTurned = [&](int32_t columns, int32_t first) {
    IrisCode moved = whole;
    for (int32_t j = first; j < first + kCodeAngles / 4; ++j) {
      moved.bits[static_cast<size_t>(j & (kCodeAngles - 1))] =
          whole.bits[static_cast<size_t>((j - columns) & (kCodeAngles - 1))];
    }
    return moved;
  };
  for (int32_t first : {224, 32, 96}) {
    SCOPED_TRACE(first);
    const IrisCode one = quarterTurned(1, first);
    const IrisComparison c = CompareIrisCodes(whole, one), back = CompareIrisCodes(one, whole);
    EXPECT_LT(c.rawDistance, 0.01);
    EXPECT_NEAR(c.rotation, 0, kDegreesPerStep);
    EXPECT_EQ(c.distance, back.distance);
    EXPECT_EQ(c.bits, back.bits);
    EXPECT_GT(CompareIrisCodes(whole, quarterTurned(3, first)).rawDistance, 0.1);
  }
  // Off the quarters' own bounds, the turned columns straddle two quarters and only
  // part of them is followed.
  EXPECT_GT(CompareIrisCodes(whole, quarterTurned(1, 0)).rawDistance, 0.03);
  // The whole code turned by the largest turn searched, either way, is found exactly;
  // a turn beyond what the quarters' own slack adds is not.
  auto wholeTurned = [&](int32_t columns) {
    IrisCode moved = whole;
    for (int32_t j = 0; j < kCodeAngles; ++j) {
      moved.bits[static_cast<size_t>(j)] =
          whole.bits[static_cast<size_t>((j - columns) & (kCodeAngles - 1))];
    }
    return moved;
  };
  for (int32_t turn : {kMaxRotationSteps, -kMaxRotationSteps}) {
    SCOPED_TRACE(turn);
    const IrisComparison c = CompareIrisCodes(whole, wholeTurned(turn));
    EXPECT_EQ(c.rawDistance, 0);
    EXPECT_DOUBLE_EQ(c.rotation, -turn * kDegreesPerStep);
    EXPECT_GT(
        CompareIrisCodes(whole, wholeTurned(turn + (turn > 0 ? 2 : -2) * kSectorSlack)).rawDistance,
        0.1);
  }

  // A turn of a fraction of a column: each bit of b taken from a's column j - 1 with
  // chance 1/8, j + 1 with 2/8, else j. The raw distances at shifts -1, 0, +1 are then
  // 3/8, 3/16 and 7/16 (shifts of 2 lie at chance), and the parabola through them has
  // its vertex 1/14 of a column toward -1: b is turned 1/14 column counter-clockwise.
  IrisCode blend = whole;
  for (int32_t j = 0; j < kCodeAngles; ++j) {
    uint64_t word = 0;
    for (int32_t bit = 0; bit < 64; ++bit) {
      const uint64_t pick = random() % 8;
      const int32_t from = pick == 0 ? j - 1 : pick <= 2 ? j + 1 : j;
      word |= whole.bits[static_cast<size_t>(from & (kCodeAngles - 1))] & uint64_t{1} << bit;
    }
    blend.bits[static_cast<size_t>(j)] = word;
  }
  const IrisComparison partTurn = CompareIrisCodes(whole, blend);
  EXPECT_NEAR(partTurn.rawDistance, 3 / 16.0, 0.01);
  EXPECT_NEAR(partTurn.rotation, kDegreesPerStep / 14, 0.03);
}

TEST(IrisCode, NoEyeNoCode) {
  const GreyImage flat{640, 480, std::vector<uint8_t>(640 * 480, 128)};
  EXPECT_FALSE(EncodePicture(flat.View()).has_value());
  EXPECT_FALSE(EncodePicture(GreyPlane{}).has_value());
  // Circles wholly off the picture give a code with nothing to compare.
  const OcclusionMask mask = MaskIrisRing(flat.View(), {-500, -500, 40, 1}, {-500, -500, 100, 1});
  EXPECT_EQ(EncodeIris(flat.View(), {-500, -500, 40, 1}, {-500, -500, 100, 1}, mask).UsableBits(),
            0);
}

// A ring whose level follows cos(11 a) around the eye, the same at every radius: the
// finer filter's real part follows the cosine and its imaginary part minus the sine, in
// every row, so each of its bits is known where the wave is strong; where the wave
// crosses zero its part is too weak to keep. The sectors about straight up and straight
// down are left out.
TEST(IrisCode, BitsOfAKnownWave) {
  const Circle pupil{200, 200, 40, 1}, iris{200, 200, 120, 1};
  GreyImage g{400, 400, std::vector<uint8_t>(400 * 400, 150)};
  for (int32_t y = 0; y < 400; ++y) {
    for (int32_t x = 0; x < 400; ++x) {
      const double dx = x + 0.5 - 200, dy = y + 0.5 - 200, r = std::hypot(dx, dy);
      // Column j looks along 2 pi (j + 0.5) / kCodeAngles: the wave's phase is 0 at j = 0.
      const double phase = 11 * (std::atan2(dy, dx) - std::numbers::pi / kCodeAngles);
      if (r < 120) {
        g.pixels[static_cast<size_t>(y * 400 + x)] =
            r < 40 ? 10 : static_cast<uint8_t>(std::lround(100 + 40 * std::cos(phase)));
      }
    }
  }
  const OcclusionMask mask = MaskIrisRing(g.View(), pupil, iris);
  ASSERT_EQ(mask.Count(Occlusion::kUpperLid) + mask.Count(Occlusion::kLowerLid), 0u);
  const IrisCode code = EncodeIris(g.View(), pupil, iris, mask);
  int32_t checked = 0;
  for (int32_t j = 0; j < kCodeAngles; ++j) {
    SCOPED_TRACE("column " + std::to_string(j));
    const double angle = 2 * std::numbers::pi * (j + 0.5) / kCodeAngles;
    const double up = std::abs(angle - 1.5 * std::numbers::pi) * 180 / std::numbers::pi;
    const double down = std::abs(angle - 0.5 * std::numbers::pi) * 180 / std::numbers::pi;
    const uint64_t bits = code.bits[static_cast<size_t>(j)],
                   used = code.mask[static_cast<size_t>(j)];
    // Up to 6 degrees inside a sector's edge the windows still lie mostly on the iris.
    if (up < 40 || down < 14) {
      EXPECT_EQ(used, 0u);
      continue;
    }
    if (down >= 20 && down < 22) {
      EXPECT_NE(used, 0u);  // the lower sector ends at 20 degrees
    }
    if (up < 62 || down < 37) {
      continue;  // the sectors' edges: the filters' windows reach into them
    }
    const double c = std::cos(2 * std::numbers::pi * 11 * j / kCodeAngles),
                 s = std::sin(2 * std::numbers::pi * 11 * j / kCodeAngles);
    for (int32_t i = 0; i < kCodeRadii; ++i) {
      const int32_t re = 2 * i, im = re + 1;
      for (auto [bit, part, sign] : {std::tuple{re, c, c >= 0}, std::tuple{im, s, s <= 0}}) {
        const bool set = (bits >> bit & 1) != 0, kept = (used >> bit & 1) != 0;
        if (std::abs(part) > 0.85) {
          EXPECT_TRUE(kept) << "bit " << bit;
          EXPECT_EQ(set, sign) << "bit " << bit;
          ++checked;
        } else if (std::abs(part) < 0.3) {
          EXPECT_FALSE(kept) << "bit " << bit;
        }
      }
    }
  }
  EXPECT_GT(checked, 1000);
  // The wave at 30 inside the middle of row 8 and reversed, at -20, beyond it (the grid
  // spans 0.1 to 0.85 of a ring 180 wide, so the row's two radial sub-samples lie 2
  // pixels either side): the row averages +5 and with its neighbours follows the inside.
  const Circle small{240, 240, 40, 1}, wide{240, 240, 220, 1};
  GreyImage h{480, 480, std::vector<uint8_t>(480 * 480, 150)};
  const double middle = 40 + (0.1 + 8.5 * 0.75 / kCodeRadii) * 180;
  for (int32_t y = 0; y < 480; ++y) {
    for (int32_t x = 0; x < 480; ++x) {
      const double dx = x + 0.5 - 240, dy = y + 0.5 - 240, r = std::hypot(dx, dy);
      const double phase = 11 * (std::atan2(dy, dx) - std::numbers::pi / kCodeAngles);
      if (r < 220) {
        h.pixels[static_cast<size_t>(y * 480 + x)] = static_cast<uint8_t>(
            r < 40 ? 10 : std::lround(100 + (r < middle ? 30 : -20) * std::cos(phase)));
      }
    }
  }
  const IrisCode split = EncodeIris(h.View(), small, wide, MaskIrisRing(h.View(), small, wide));
  int32_t rowChecked = 0;
  for (int32_t j = 0; j < kCodeAngles; ++j) {
    const double angle = 2 * std::numbers::pi * (j + 0.5) / kCodeAngles;
    const double c = std::cos(2 * std::numbers::pi * 11 * j / kCodeAngles);
    if (std::abs(angle - 1.5 * std::numbers::pi) * 180 / std::numbers::pi >= 62 &&
        std::abs(c) > 0.85) {
      EXPECT_EQ((split.bits[static_cast<size_t>(j)] >> 16 & 1) != 0, c >= 0) << "column " << j;
      ++rowChecked;
    }
  }
  EXPECT_GT(rowChecked, 50);
  // The same ring round a pupil of no size is refused, as any other invalid circle.
  const Circle point{200, 200, 0, 1};
  EXPECT_EQ(EncodeIris(g.View(), point, iris, MaskIrisRing(g.View(), point, iris)).UsableBits(), 0);
}

// A dim near-infrared eye whose iris carries the illuminator's faint spot (far under the
// occlusion mask's highlight floor): the code hides the spot and its halo, not the
// rest of the ring, so moving the spot leaves the eye the same.
TEST(IrisCode, FaintReflectionHidden) {
  const Circle pupil{100, 100, 15, 1}, iris{100, 100, 60, 1};
  auto eye = [&](double spotAngle) {
    GreyImage g{200, 200, std::vector<uint8_t>(200 * 200)};
    const double sx = 100 + 37 * std::cos(spotAngle), sy = 100 + 37 * std::sin(spotAngle);
    for (int32_t y = 0; y < 200; ++y) {
      for (int32_t x = 0; x < 200; ++x) {
        const double dx = x + 0.5 - 100, dy = y + 0.5 - 100, r = std::hypot(dx, dy),
                     a = std::atan2(dy, dx);
        double v = r < 15   ? 10
                   : r < 60 ? 25 + 4 * std::sin(11 * a + 0.1 * r) + 3 * std::sin(5 * a + 1)
                            : 47;
        if (std::hypot(x + 0.5 - sx, y + 0.5 - sy) < 3) {
          v = 90;  // no spot for a NaN angle
        }
        g.pixels[static_cast<size_t>(y * 200 + x)] = static_cast<uint8_t>(v);
      }
    }
    const OcclusionMask mask = MaskIrisRing(g.View(), pupil, iris);
    EXPECT_EQ(mask.Count(Occlusion::kHighlight), 0u);  // too faint for the occlusion mask
    return EncodeIris(g.View(), pupil, iris, mask);
  };
  const IrisCode plain = eye(std::nan("")), right = eye(0), below = eye(std::numbers::pi / 2);
  // Column j looks along 2 pi (j + 0.5) / kCodeAngles, clockwise as seen from the right;
  // the spot lies half-way out, on rows 7 to 9 of the grid's 16. The finer filter's
  // windows there lie wholly on it and its halo.
  uint64_t spotRows = 0;
  for (int32_t i = 6; i <= 9; ++i) {
    spotRows |= uint64_t{3} << (2 * i);
  }
  for (int32_t j : {0, 2, kCodeAngles - 3}) {
    EXPECT_EQ(right.mask[static_cast<size_t>(j)] & spotRows, 0u) << j;
  }
  EXPECT_EQ(below.mask[kCodeAngles / 4] & spotRows, 0u);
  EXPECT_NE(plain.mask[0] & spotRows, 0u);
  EXPECT_NE(below.mask[0] & spotRows, 0u);
  for (const IrisCode* spotted : {&right, &below}) {
    const IrisComparison c = CompareIrisCodes(plain, *spotted);
    EXPECT_EQ(c.decision, MatchDecision::kSameEye);
    EXPECT_LT(c.rawDistance, 0.01);
  }
}

}  // namespace
}  // namespace okuva::iris
