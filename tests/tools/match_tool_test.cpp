// okuva-tool match end to end on simulated eyes of seeded irises: the decision and the
// JSON object, symmetry, a picture against itself, and the exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/camera/simulated_camera.h"
#include "tests/tools/tool_test_util.h"

namespace okuva::testing {
namespace {

using camera::SimulatedCamera;

class MatchToolTest : public ToolTest {
protected:
  // A P6 picture of the simulated eye with the iris of `seed`, turned by `turn` degrees.
  std::string WriteEye(const std::string& name, uint32_t seed, double turn = 0,
                       uint64_t frame = 0) {
    SimulatedCamera::Eye eye;
    eye.textureSeed = seed;
    eye.irisTurn = turn;
    SimulatedCamera camera(SimulatedCamera::Options{}, eye);
    const camera::Frame f = camera.RenderFrame(frame);
    const std::string header =
        "P6\n" + std::to_string(f.width) + " " + std::to_string(f.height) + "\n255\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), f.rgb.begin(), f.rgb.end());
    Write(name, bytes);
    return "'" + Path(name) + "'";
  }

  // True when jq reads the output as exactly one JSON value and `filter` holds on it.
  bool JsonHolds(const std::string& filter) {
    Write("out.txt", std::vector<uint8_t>(stdout_.begin(), stdout_.end()));
    const std::string command =
        "jq -e -s 'length == 1 and (.[0] | " + filter + ")' '" + Path("out.txt") + "' >/dev/null";
    return std::system(command.c_str()) == 0;
  }
};

TEST_F(MatchToolTest, SameEyeDifferentEyeAndSymmetry) {
  const std::string a = WriteEye("a.ppm", 31), turned = WriteEye("b.ppm", 31, -10, 30),
                    other = WriteEye("c.ppm", 32);
  ASSERT_EQ(RunTool("match " + a + " " + turned + " --json"), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(
      "(keys | sort) == ([\"bits\", \"decision\", \"distance\", \"rotation\", \"same_eye\", "
      "\"threshold\"] | sort) and .same_eye == true and .decision == \"same_eye\" and "
      ".distance <= .threshold and (.rotation + 10 | fabs) < 1.5 and .bits >= 1500"))
      << stdout_;
  const std::string forward = stdout_;
  ASSERT_EQ(RunTool("match --json " + turned + " " + a), 0) << stderr_;
  EXPECT_TRUE(JsonHolds("(.rotation - 10 | fabs) < 1.5")) << stdout_;
  // The same distance and bits either way round.
  EXPECT_EQ(forward.substr(0, forward.find("\"rotation\"")),
            stdout_.substr(0, stdout_.find("\"rotation\"")));

  ASSERT_EQ(RunTool("match " + a + " " + other + " --json"), 0) << stderr_;
  EXPECT_TRUE(
      JsonHolds(".same_eye == false and .decision == \"different_eye\" and .distance > .threshold"))
      << stdout_;
  ASSERT_EQ(RunTool("match " + a + " " + a + " --json"), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(".distance == 0 and .rotation == 0 and .same_eye == true")) << stdout_;

  ASSERT_EQ(RunTool("match " + a + " " + turned), 0) << stderr_;
  EXPECT_NE(stdout_.find("decision   same eye\n"), std::string::npos) << stdout_;
  EXPECT_NE(stdout_.find("rotation   -"), std::string::npos) << stdout_;
}

TEST_F(MatchToolTest, RecordsAreComparedLikePictures) {
  const std::string eye = WriteEye("eye.ppm", 8), later = WriteEye("later.ppm", 8, 5, 25),
                    other = WriteEye("other.ppm", 9);
  ASSERT_EQ(RunTool("record " + eye + " '" + Path("eye.rec") + "' --format jp2"), 0) << stderr_;
  // A record's name says nothing: it is told by its content.
  std::filesystem::rename(Path("eye.rec"), Path("eye.png"));
  const std::string record = "'" + Path("eye.png") + "'";
  ASSERT_EQ(RunTool("match --json " + record + " " + later), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(".same_eye == true and (.rotation - 5 | fabs) < 1.5")) << stdout_;
  ASSERT_EQ(RunTool("match --json " + other + " " + record), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(".same_eye == false")) << stdout_;
  ASSERT_EQ(RunTool("match --json " + record + " " + record), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(".distance == 0")) << stdout_;

  // A record cut short is bad input.
  std::vector<uint8_t> bytes = ReadBytes(Path("eye.png"));
  bytes.resize(bytes.size() / 2);
  Write("cut.rec", bytes);
  EXPECT_EQ(RunTool("match " + eye + " '" + Path("cut.rec") + "'"), 1);
  EXPECT_NE(stderr_.find("cannot read " + Path("cut.rec")), std::string::npos) << stderr_;
}

TEST_F(MatchToolTest, OverlayLinesTheRingsUpAndMarksTheDifferingBits) {
  const std::string a = WriteEye("a.ppm", 31), turned = WriteEye("b.ppm", 31, -10, 30),
                    other = WriteEye("c.ppm", 32);
  double differing[2], ringGap[2], misaligned = 0;
  for (int k = 0; k < 2; ++k) {
    ASSERT_EQ(RunTool("match " + a + " " + (k == 0 ? turned : other) + " --overlay '" +
                      Path("over.png") + "'"),
              0)
        << stderr_;
    const Pixels out = ReadPixels(Path("over.png"));
    ASSERT_EQ(out.width, 768);  // 3 pixels a template column
    ASSERT_GT(out.height, 396);  // two rings of 128 rows, 64 bits of 2, two gaps of 6, the band
    // The bits: one cell of each template column and bit; grey ones are masked.
    int white = 0, black = 0;
    for (int32_t bit = 0; bit < 64; ++bit) {
      for (int32_t j = 0; j < 256; ++j) {
        const auto p = out.At(3 * j + 1, 268 + 2 * bit);
        white += p == std::array<int, 3>{255, 255, 255};
        black += p == std::array<int, 3>{0, 0, 0};
      }
    }
    ASSERT_GT(white + black, 2500);  // lids, the top sector and fragile bits are masked
    differing[k] = static_cast<double>(white) / (white + black);
    // The rings' left half (clear of the lids): A's against B's as turned, and, for the
    // same eye, against B's ten template columns further round.
    double sum = 0, shifted = 0;
    for (int32_t r = 0; r < 128; ++r) {
      for (int32_t c = 0; c < 384; ++c) {
        sum += std::abs(out.At(c, r)[0] - out.At(c, 134 + r)[0]);
        shifted += std::abs(out.At(c, r)[0] - out.At(c + 30, 134 + r)[0]);
      }
    }
    ringGap[k] = sum / (128 * 384);
    if (k == 0) {
      misaligned = shifted / (128 * 384);
    }
  }
  EXPECT_LT(differing[0], 0.1);  // the same eye, turned back: the bits agree
  EXPECT_GT(differing[1], 0.3);  // another eye: far more than the same-eye threshold differ
  EXPECT_LT(differing[1], 0.65);
  EXPECT_LT(ringGap[0], misaligned / 2) << ringGap[0] << " " << misaligned;
  EXPECT_LT(ringGap[0], ringGap[1]);
}

TEST_F(MatchToolTest, ExitOneForBadInputAndNoIris) {
  const std::string eye = WriteEye("eye.ppm", 5);
  const std::string header = "P5\n200 200\n255\n";
  std::vector<uint8_t> flat(header.begin(), header.end());
  flat.resize(flat.size() + 200 * 200, 128);
  Write("flat.pgm", flat);
  const std::string blank = "'" + Path("flat.pgm") + "'";

  EXPECT_EQ(RunTool("match " + eye + " " + blank), 1);
  EXPECT_NE(stderr_.find("no iris found in " + Path("flat.pgm")), std::string::npos) << stderr_;
  EXPECT_EQ(std::count(stderr_.begin(), stderr_.end(), '\n'), 1) << stderr_;
  EXPECT_EQ(RunTool("match " + blank + " " + blank), 1);
  EXPECT_NE(stderr_.find("nor in"), std::string::npos) << stderr_;
  EXPECT_TRUE(stdout_.empty());

  EXPECT_EQ(RunTool("match " + eye + " '" + Path("missing.png") + "'"), 1);
  EXPECT_NE(stderr_.find("cannot read " + Path("missing.png")), std::string::npos) << stderr_;
  Write("bad.png", {0x89, 'P', 'N', 'G', 1, 2, 3});
  EXPECT_EQ(RunTool("match '" + Path("bad.png") + "' " + eye), 1);
  EXPECT_EQ(RunTool("match " + eye), 1);
  EXPECT_EQ(RunTool("match " + eye + " " + eye + " " + eye), 1);
  EXPECT_EQ(RunTool("match " + eye + " " + eye + " --fast"), 1);
  EXPECT_TRUE(stdout_.empty());
}

}  // namespace
}  // namespace okuva::testing
