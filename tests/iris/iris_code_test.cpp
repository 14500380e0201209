// Iris templates and their comparison on simulated eyes of seeded irises: the same
// eye matches however it is framed, lit, turned or lidded; another seed does not.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "iris/iris_code.h"
#include "platform/capture/simulated_camera.h"

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
  const GreyImage grey = GreyFromRgb(frame.rgb.data(), frame.width, frame.height, ptrdiff_t{frame.width} * 3);
  const std::optional<IrisCode> code = EncodePicture(grey.View());
  EXPECT_TRUE(code.has_value()) << take.name;
  return code.value_or(IrisCode{});
}

TEST(IrisCode, SameEyeMatchesAcrossTakes) {
  constexpr uint32_t kSeed = 20;
  const IrisCode enrolled = Encode({"enrolled", Seeded(kSeed)});
  EXPECT_GT(enrolled.UsableBits(), kCodeBits / 2);

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
  takes.push_back({{"1280 x 720, the iris half as large again", Seeded(kSeed), 0, 0, 50, 1280, 720}, 0});

  for (const auto& [take, turn] : takes) {
    SCOPED_TRACE(take.name);
    const IrisComparison c = CompareIrisCodes(enrolled, Encode(take));
    EXPECT_EQ(c.decision, MatchDecision::kSameEye) << c.distance;
    EXPECT_LT(c.distance, kSameEyeThreshold - 0.05);
    EXPECT_NEAR(c.rotation, turn, 1.5);
    EXPECT_GE(c.bits, kMinComparedBits);
  }
}

TEST(IrisCode, OtherSeedsAreOtherEyes) {
  std::vector<IrisCode> codes;
  for (uint32_t seed : {20u, 21u, 333u, 4000u}) codes.push_back(Encode({"seed", Seeded(seed)}));
  auto nir = Seeded(21);
  nir.nearInfrared = true;
  const IrisCode nirCode = Encode({"near-infrared seed 21", nir});
  EXPECT_EQ(CompareIrisCodes(codes[1], nirCode).decision, MatchDecision::kSameEye);
  codes.push_back(Encode({"usual eye", SimulatedCamera::Eye{}}));
  for (size_t i = 0; i < codes.size(); ++i)
    for (size_t j = i + 1; j < codes.size(); ++j) {
      const IrisComparison c = CompareIrisCodes(codes[i], codes[j]);
      EXPECT_EQ(c.decision, MatchDecision::kDifferentEye) << i << " vs " << j;
      EXPECT_GT(c.distance, kSameEyeThreshold) << i << " vs " << j;
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
  for (size_t j = 0; j < sliver.mask.size(); ++j)
    if (j % 16 != 0) sliver.mask[j] = 0;
  const IrisComparison little = CompareIrisCodes(a, sliver);
  EXPECT_EQ(little.decision, MatchDecision::kTooFewBits);
  EXPECT_LT(little.bits, kMinComparedBits);
  EXPECT_EQ(CompareIrisCodes(IrisCode{}, IrisCode{}).decision, MatchDecision::kTooFewBits);

  // The same raw distance over fewer bits lies nearer to chance.
  auto normalised = [&](size_t columns) {
    IrisCode part = a, flipped = a;
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
}

TEST(IrisCode, NoEyeNoCode) {
  const GreyImage flat{640, 480, std::vector<uint8_t>(640 * 480, 128)};
  EXPECT_FALSE(EncodePicture(flat.View()).has_value());
  EXPECT_FALSE(EncodePicture(GreyPlane{}).has_value());
  // Circles wholly off the picture give a code with nothing to compare.
  const OcclusionMask mask = MaskIrisRing(flat.View(), {-500, -500, 40, 1}, {-500, -500, 100, 1});
  EXPECT_EQ(EncodeIris(flat.View(), {-500, -500, 40, 1}, {-500, -500, 100, 1}, mask).UsableBits(), 0);
}

}  // namespace
}  // namespace okuva::iris
