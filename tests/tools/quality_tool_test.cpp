// okuva-tool quality end to end: the JSON object's keys and values on a drawn eye and
// on a picture without one, the table, and the exit codes for bad input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

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
    for (int y = 0; y < 480; ++y)
      for (int x = 0; x < 640; ++x) {
        const double dx = x + 0.5 - 300, dy = y + 0.5 - 250, d2 = dx * dx + dy * dy;
        uint8_t v = 128;
        if (eye) v = static_cast<uint8_t>(d2 < 40 * 40 ? 15 : d2 < 110 * 110 ? 70 + (x * 7 + y * 13) % 61 : 220);
        bytes.push_back(v);
      }
    Write(name, bytes);
  }

  // True when jq reads the output as exactly one JSON value and `filter` holds on it.
  bool JsonHolds(const std::string& filter) {
    Write("out.txt", std::vector<uint8_t>(stdout_.begin(), stdout_.end()));
    const std::string command = "jq -e -s 'length == 1 and (.[0] | " + filter + ")' '" + Path("out.txt") + "' >/dev/null";
    return std::system(command.c_str()) == 0;
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
  EXPECT_TRUE(JsonHolds(".width == 640 and .height == 480 and (.pupil.x - 300 | fabs) < 2 and "
                        "(.iris.radius - 110 | fabs) < 5 and (.pupil_iris_ratio - 36.4 | fabs) < 2 and "
                        "(.verdict == \"pass\") == (.failed == []) and .eye_found == true"))
      << stdout_;
}

TEST_F(QualityToolTest, NoEyeGivesNullCirclesAndFails) {
  WritePicture("flat.pgm", false);
  ASSERT_EQ(RunTool("quality --json '" + Path("flat.pgm") + "'"), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(".pupil == null and .iris == null and .verdict == \"fail\" and (.failed | length) == 10 and "
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

}  // namespace
}  // namespace okuva::testing
