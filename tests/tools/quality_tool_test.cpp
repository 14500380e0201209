// okuva-tool quality end to end: the JSON object's keys and values on a drawn eye and
// on a picture without one, the table, the exit codes for bad input, the overlay's
// pixels on the simulated eye, and a batch over a folder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "platform/camera/simulated_camera.h"
#include "platform/picture/picture.h"
#include "tests/tools/tool_test_util.h"

namespace okuva::testing {
namespace {

class QualityToolTest : public ToolTest {
protected:
  // A P5 picture: sclera, a textured iris of radius 110 at (300, 250) and a pupil of
  // radius 40; or a flat grey when `eye` is false.
  void WritePicture(const std::string& name, bool eye) {
    const std::string header = "P5\n640 480\n255\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    for (int y = 0; y < 480; ++y) {
      for (int x = 0; x < 640; ++x) {
        const double dx = x + 0.5 - 300, dy = y + 0.5 - 250, d2 = dx * dx + dy * dy;
        uint8_t v = 128;
        if (eye) {
          v = static_cast<uint8_t>(d2 < 40 * 40     ? 15
                                   : d2 < 110 * 110 ? 70 + (x * 7 + y * 13) % 61
                                                    : 220);
        }
        bytes.push_back(v);
      }
    }
    Write(name, bytes);
  }

  // The simulated camera's still eye, off the frame's centre (so a flipped or mirrored
  // drawing shows), as a P6 picture; returns where the eye is.
  camera::SimulatedCamera::EyeGeometry WriteSimulatedEye(const std::string& name,
                                                         double lidClosure = 0) {
    camera::SimulatedCamera::Eye eye;
    eye.drift = false;
    eye.lidClosure = lidClosure;
    eye.offsetX = -50;
    eye.offsetY = 25;
    camera::SimulatedCamera camera({}, eye);
    const camera::Frame frame = camera.RenderFrame(0);
    const std::string header =
        "P6\n" + std::to_string(frame.width) + " " + std::to_string(frame.height) + "\n255\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), frame.rgb.begin(), frame.rgb.end());
    Write(name, bytes);
    return camera.GeometryAt(0);
  }

  // The CSV's lines, each split at its commas (the tests' paths have none).
  static std::vector<std::vector<std::string>> CsvRows(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> fields(1);
      for (const char c : line) {
        if (c == ',') {
          fields.emplace_back();
        } else {
          fields.back().push_back(c);
        }
      }
      rows.push_back(fields);
    }
    return rows;
  }

  // True when jq reads the output as exactly one JSON value and `filter` holds on it.
  bool JsonHolds(const std::string& filter) {
    Write("out.txt", std::vector<uint8_t>(stdout_.begin(), stdout_.end()));
    const std::string command =
        "jq -e -s 'length == 1 and (.[0] | " + filter + ")' '" + Path("out.txt") + "' >/dev/null";
    return std::system(command.c_str()) == 0;
  }

  // The table's metric lines that end in `word` ("ok" or "FAIL"), by metric name.
  std::vector<std::string> TableLines(const std::string& word) const {
    std::vector<std::string> names;
    std::istringstream in(stdout_);
    for (std::string line; std::getline(in, line);) {
      if (line.size() > word.size() && line.ends_with(" " + word)) {
        names.push_back(line.substr(0, line.find(' ')));
      }
    }
    return names;
  }
};

TEST_F(QualityToolTest, JsonHasEveryKeyAndFindsTheEye) {
  WritePicture("eye.pgm", true);
  ASSERT_EQ(RunTool("quality '" + Path("eye.pgm") + "' --json"), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(
      "[\"width\", \"height\", \"pupil\", \"iris\", \"iris_diameter\", \"usable_iris_area\", "
      "\"iris_sclera_contrast\", \"iris_pupil_contrast\", \"pupil_iris_ratio\", \"iris_pupil_concentricity\", "
      "\"margin_adequacy\", \"greyscale_utilisation\", \"sharpness\", \"pupil_boundary_circularity\", "
      "\"eye_found\", \"verdict\", \"failed\"] - keys == []"))
      << stdout_;
  EXPECT_TRUE(
      JsonHolds("[.pupil, .iris] | all(keys == [\"confidence\", \"radius\", \"x\", \"y\"] and "
                ".confidence > 0 and .confidence <= 1)"))
      << stdout_;
  EXPECT_TRUE(
      JsonHolds(".width == 640 and .height == 480 and (.pupil.x - 300 | fabs) < 2 and "
                "(.iris.radius - 110 | fabs) < 5 and (.pupil_iris_ratio - 36.4 | fabs) < 2 and "
                ".eye_found == true"))
      << stdout_;
  // The drawn iris holds 61 levels, under the 6 bits asked for: that alone fails.
  EXPECT_TRUE(JsonHolds(".verdict == \"fail\" and .failed == [\"greyscale_utilisation\"]"))
      << stdout_;
  // The table says so too: FAIL on that line alone, ok on the nine others.
  ASSERT_EQ(RunTool("quality '" + Path("eye.pgm") + "'"), 0) << stderr_;
  EXPECT_EQ(TableLines("FAIL"), std::vector<std::string>{"greyscale_utilisation"}) << stdout_;
  EXPECT_EQ(TableLines("ok").size(), 9u) << stdout_;
  EXPECT_NE(stdout_.find("\nverdict  fail\n"), std::string::npos) << stdout_;
  // The simulated camera's eye passes every metric, end to end.
  WriteSimulatedEye("sim.ppm");
  ASSERT_EQ(RunTool("quality '" + Path("sim.ppm") + "' --json"), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(
      ".verdict == \"pass\" and .failed == [] and .eye_found == true and .iris.confidence > 0.25"))
      << stdout_;
  const auto at = stdout_.find("\"confidence\": ", stdout_.find("\"iris\": "));
  ASSERT_NE(at, std::string::npos) << stdout_;
  const double confidence = std::stod(stdout_.substr(at + 14));
  ASSERT_EQ(RunTool("quality '" + Path("sim.ppm") + "'"), 0) << stderr_;
  EXPECT_TRUE(TableLines("FAIL").empty()) << stdout_;
  EXPECT_EQ(TableLines("ok").size(), 10u) << stdout_;
  EXPECT_NE(stdout_.find("\nverdict  pass\n"), std::string::npos) << stdout_;
  const auto shown = stdout_.find("confidence ", stdout_.find("\niris "));
  ASSERT_NE(shown, std::string::npos) << stdout_;
  EXPECT_NEAR(std::stod(stdout_.substr(shown + 11)), confidence, 0.0051)
      << stdout_;  // two decimals
}

TEST_F(QualityToolTest, NoEyeGivesNullCirclesAndFails) {
  WritePicture("flat.pgm", false);
  ASSERT_EQ(RunTool("quality --json '" + Path("flat.pgm") + "'"), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(
      ".pupil == null and .iris == null and .verdict == \"fail\" and (.failed | length) == 10 and "
      ".iris_diameter == null and .eye_found == false"))
      << stdout_;
  ASSERT_EQ(RunTool("quality '" + Path("flat.pgm") + "'"), 0);
  EXPECT_NE(stdout_.find("verdict  fail (eye not found)"), std::string::npos) << stdout_;
  EXPECT_NE(stdout_.find("iris     not found"), std::string::npos) << stdout_;
}

TEST_F(QualityToolTest, BadInputExitsOne) {
  Write("junk.bmp", {'B', 'M', 1, 2, 3});
  EXPECT_EQ(RunTool("quality '" + Path("junk.bmp") + "' --json"), 1);
  EXPECT_TRUE(stdout_.empty());
  EXPECT_EQ(RunTool("quality '" + Path("missing.bmp") + "'"), 1);
  EXPECT_EQ(RunTool("quality"), 1);
  WritePicture("eye.pgm", true);
  EXPECT_EQ(RunTool("quality '" + Path("eye.pgm") + "' --yaml"), 1);
}

constexpr std::array<int, 3> kPass{40, 220, 90}, kFail{255, 60, 40}, kBand{24, 24, 24};

TEST_F(QualityToolTest, OverlayDrawsBothCirclesOnTheSimulatedEye) {
  const auto eye = WriteSimulatedEye("eye.ppm");
  ASSERT_EQ(
      RunTool("quality '" + Path("eye.ppm") + "' --json --overlay '" + Path("over.png") + "'"), 0)
      << stderr_;
  EXPECT_TRUE(JsonHolds(".iris != null")) << stdout_;  // the JSON is still printed
  const auto colour = stdout_.find("\"verdict\": \"pass\"") != std::string::npos ? kPass : kFail;
  const Pixels in = ReadPixels(Path("eye.ppm")), out = ReadPixels(Path("over.png"));
  ASSERT_EQ(out.width, 640);
  ASSERT_GT(out.height, 480 + 20);  // the band under the picture
  EXPECT_EQ(out.At(5, out.height - 2), kBand);
  EXPECT_EQ(out.At(3, 3), in.At(3, 3));  // the picture itself is kept
  // Along rays in eight directions, the circle's colour is within 3 pixels of each
  // boundary (the circles found lie within 2 of the truth) and nowhere between them.
  for (int k = 0; k < 8; ++k) {
    const double a = k * std::numbers::pi / 4, dx = std::cos(a), dy = std::sin(a);
    auto drawnNear = [&](double radius, double within) {
      int hits = 0;
      for (double d = radius - within; d <= radius + within; d += 0.25) {
        hits += out.At(static_cast<int32_t>(eye.x + d * dx),
                       static_cast<int32_t>(eye.y + d * dy)) == colour;
      }
      return hits;
    };
    EXPECT_GT(drawnNear(eye.irisRadius, 3), 0) << "iris, direction " << k;
    EXPECT_GT(drawnNear(eye.pupilRadius, 3), 0) << "pupil, direction " << k;
    EXPECT_EQ(drawnNear((eye.irisRadius + eye.pupilRadius) / 2, 20), 0)
        << "inside the ring, direction " << k;
    EXPECT_EQ(drawnNear(eye.pupilRadius / 2, 10), 0) << "inside the pupil, direction " << k;
  }
}

TEST_F(QualityToolTest, OverlayTintsTheLidOfAFailingEye) {
  const auto eye = WriteSimulatedEye("lid.ppm", 0.3);  // the upper lid hides too much of the ring
  ASSERT_EQ(
      RunTool("quality '" + Path("lid.ppm") + "' --json --overlay '" + Path("over.png") + "'"), 0)
      << stderr_;
  ASSERT_TRUE(JsonHolds(".iris != null and (.failed | any(. == \"usable_iris_area\"))")) << stdout_;
  const Pixels in = ReadPixels(Path("lid.ppm")), out = ReadPixels(Path("over.png"));
  // The top of the ring straight up lies under the lid: half amber (255, 176, 0).
  const std::array<int, 3> amber{255, 176, 0};
  const auto x = static_cast<int32_t>(eye.x);
  int tinted = 0, rows = 0;
  for (auto y = static_cast<int32_t>(eye.y - eye.irisRadius + 4); y < eye.y - eye.irisRadius + 30;
       ++y, ++rows) {
    const auto lid = in.At(x, y);
    tinted += out.At(x, y) == std::array<int, 3>{(lid[0] * 127 + amber[0] * 128 + 127) / 255,
                                                 (lid[1] * 127 + amber[1] * 128 + 127) / 255,
                                                 (lid[2] * 127 + amber[2] * 128 + 127) / 255};
  }
  EXPECT_GT(tinted, rows * 3 / 4);
  // Halfway across the ring straight down: iris, untouched.
  const auto below = static_cast<int32_t>(eye.y + (eye.irisRadius + eye.pupilRadius) / 2);
  EXPECT_EQ(out.At(x, below), in.At(x, below));
  int red = 0;  // the circles and the band's failing lines
  for (int32_t j = 0; j < out.height; ++j) {
    for (int32_t i = 0; i < out.width; ++i) {
      red += out.At(i, j) == kFail;
    }
  }
  EXPECT_GT(red, 2000);
}

TEST_F(QualityToolTest, OverlayWithoutAnEyeSaysSoInRed) {
  WritePicture("flat.pgm", false);
  ASSERT_EQ(RunTool("quality '" + Path("flat.pgm") + "' --overlay '" + Path("over.png") + "'"), 0)
      << stderr_;
  const Pixels out = ReadPixels(Path("over.png"));
  ASSERT_EQ(out.width, 640);
  int unchanged = 0, red = 0, dark = 0;
  for (int32_t y = 0; y < out.height; ++y) {
    for (int32_t x = 0; x < 640; ++x) {
      const auto p = out.At(x, y);
      if (y < 480) {
        unchanged += p == std::array<int, 3>{128, 128, 128};
      } else {
        red += p == kFail;
        dark += p == kBand;
      }
    }
  }
  EXPECT_EQ(unchanged, 640 * 480);  // no circle, no box, no tint
  EXPECT_GT(red, 100);  // the band's text, in the fail colour only
  EXPECT_EQ(red + dark, 640 * (out.height - 480));
}

TEST_F(QualityToolTest, BatchOverAFolderGivesSortedRowsAlikeAtOneAndTwoJobs) {
  namespace fs = std::filesystem;
  fs::create_directories(dir_ / "d" / "sub");
  const auto eye = WriteSimulatedEye("d/sub/eye");  // a picture by its content alone
  WritePicture("d/flat.pgm", false);
  Write("d/broken.bmp", {'B', 'M', 1, 2, 3});
  Write("d/notes.txt", {'h', 'i', '\n'});
  WritePicture("outside.pgm", false);
  fs::create_symlink(dir_ / "outside.pgm", dir_ / "d" / "link.pgm");  // not followed
  fs::create_directory_symlink(dir_ / "d" / "sub", dir_ / "d" / "loop");

  std::vector<uint8_t> csv[2];
  for (int jobs : {1, 2}) {
    ASSERT_EQ(RunTool("quality --csv '" + Path("out.csv") + "' --jobs " + std::to_string(jobs) +
                      " '" + Path("d") + "'"),
              4)
        << stderr_;
    csv[jobs - 1] = ReadBytes(Path("out.csv"));
    EXPECT_NE(stdout_.find("3 pictures in "), std::string::npos) << stdout_;
    EXPECT_NE(stdout_.find("2 judged: "), std::string::npos) << stdout_;
    EXPECT_NE(stdout_.find("1 could not be read"), std::string::npos) << stdout_;
    EXPECT_EQ(stderr_, "");  // no progress when standard error is not a terminal
  }
  EXPECT_EQ(csv[0], csv[1]);
  const auto rows = CsvRows(csv[0]);
  ASSERT_EQ(rows.size(), 4u);
  ASSERT_EQ(rows[0].size(), 24u);
  EXPECT_EQ(rows[0][0], "path");
  EXPECT_EQ(rows[0][9], "iris_radius");
  EXPECT_EQ(rows[0][23], "error");
  EXPECT_EQ(rows[1][0], Path("d/broken.bmp"));
  EXPECT_EQ(rows[2][0], Path("d/flat.pgm"));
  EXPECT_EQ(rows[3][0], Path("d/sub/eye"));
  for (const auto& row : rows) {
    EXPECT_EQ(row.size(), 24u) << row[0];
  }
  // The unreadable picture: no values, a reason.
  EXPECT_EQ(rows[1][1], "");
  EXPECT_EQ(rows[1][21], "");
  EXPECT_NE(rows[1][23], "");
  // No eye: sizes, empty circles and metrics, every metric failed.
  EXPECT_EQ(rows[2][1], "640");
  EXPECT_EQ(rows[2][4], "");
  EXPECT_EQ(rows[2][21], "fail");
  EXPECT_EQ(std::count(rows[2][22].begin(), rows[2][22].end(), ' '), 9);
  EXPECT_EQ(rows[2][23], "");
  // The eye, where it is.
  EXPECT_NEAR(std::stod(rows[3][7]), eye.x, 2);
  EXPECT_NEAR(std::stod(rows[3][9]), eye.irisRadius, 5);
  EXPECT_NEAR(std::stod(rows[3][11]), 2 * std::stod(rows[3][9]), 0.01);  // iris_diameter
  EXPECT_EQ(rows[3][21] == "pass", rows[3][22].empty());

  // Every picture read: exit 0; a path with a comma and a quote is quoted. Usage
  // errors: exit 1 and no CSV.
  WritePicture("a,\"b\".pgm", false);
  EXPECT_EQ(RunTool("quality --csv '" + Path("good.csv") + "' '" + Path("d/sub") + "' '" +
                    Path("a,\"b\".pgm") + "'"),
            0)
      << stderr_;
  const std::vector<uint8_t> good = ReadBytes(Path("good.csv"));
  EXPECT_EQ(CsvRows(good).size(), 3u);
  EXPECT_NE(
      std::string(good.begin(), good.end()).find("\n\"" + Path("a,\"\"b\"\".pgm") + "\",640,480,"),
      std::string::npos);
  for (const std::string& bad :
       {std::string("--jobs 0 "), std::string("--json "), std::string("--jobs 2x ")}) {
    EXPECT_EQ(RunTool("quality --csv '" + Path("bad.csv") + "' " + bad + "'" + Path("d") + "'"), 1)
        << bad;
  }
  EXPECT_EQ(RunTool("quality --csv '" + Path("bad.csv") + "'"), 1);
  EXPECT_FALSE(fs::exists(Path("bad.csv")));
}

}  // namespace
}  // namespace okuva::testing
