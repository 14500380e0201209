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

  // Runs the tool keeping its standard output; returns the exit status.
  int RunKeepingOutput(const std::string& arguments) {
    const std::string command = std::string("'") + OKUVA_TOOL_PATH + "' " + arguments + " >'" + Path("out.txt") +
                                "' 2>'" + Path("err.txt") + "'";
    const int status = std::system(command.c_str());
    const std::vector<uint8_t> out = ReadBytes(Path("out.txt")), err = ReadBytes(Path("err.txt"));
    output_.assign(out.begin(), out.end());
    stderr_.assign(err.begin(), err.end());
    EXPECT_EQ(stderr_.find("Sanitizer"), std::string::npos) << stderr_;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // True when jq reads the output as exactly one JSON value and `filter` holds on it.
  bool JsonHolds(const std::string& filter) {
    const std::string command = "jq -e -s 'length == 1 and (.[0] | " + filter + ")' '" + Path("out.txt") + "' >/dev/null";
    return std::system(command.c_str()) == 0;
  }

  std::string output_;
};

TEST_F(QualityToolTest, JsonHasEveryKeyAndFindsTheEye) {
  WritePicture("eye.pgm", true);
  ASSERT_EQ(RunKeepingOutput("quality '" + Path("eye.pgm") + "' --json"), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(
      "[\"width\", \"height\", \"pupil\", \"iris\", \"iris_diameter\", \"usable_iris_area\", "
      "\"iris_sclera_contrast\", \"iris_pupil_contrast\", \"pupil_iris_ratio\", \"iris_pupil_concentricity\", "
      "\"margin_adequacy\", \"greyscale_utilisation\", \"sharpness\", \"pupil_boundary_circularity\", "
      "\"verdict\", \"failed\"] - keys == []"))
      << output_;
  EXPECT_TRUE(JsonHolds(".width == 640 and .height == 480 and (.pupil.x - 300 | fabs) < 2 and "
                        "(.iris.radius - 110 | fabs) < 5 and (.pupil_iris_ratio - 36.4 | fabs) < 2 and "
                        "(.verdict == \"pass\") == (.failed == [])"))
      << output_;
}

TEST_F(QualityToolTest, NoEyeGivesNullCirclesAndFails) {
  WritePicture("flat.pgm", false);
  ASSERT_EQ(RunKeepingOutput("quality --json '" + Path("flat.pgm") + "'"), 0) << stderr_;
  EXPECT_TRUE(JsonHolds(".pupil == null and .iris == null and .verdict == \"fail\" and (.failed | length) == 10 and "
                        ".iris_diameter == null"))
      << output_;
  ASSERT_EQ(RunKeepingOutput("quality '" + Path("flat.pgm") + "'"), 0);
  EXPECT_NE(output_.find("verdict  fail"), std::string::npos) << output_;
  EXPECT_NE(output_.find("iris     not found"), std::string::npos) << output_;
}

TEST_F(QualityToolTest, BadInputExitsOne) {
  Write("junk.bmp", {'B', 'M', 1, 2, 3});
  EXPECT_EQ(RunKeepingOutput("quality '" + Path("junk.bmp") + "' --json"), 1);
  EXPECT_TRUE(output_.empty());
  EXPECT_EQ(RunKeepingOutput("quality '" + Path("missing.bmp") + "'"), 1);
  EXPECT_EQ(RunKeepingOutput("quality"), 1);
  WritePicture("eye.pgm", true);
  EXPECT_EQ(RunKeepingOutput("quality '" + Path("eye.pgm") + "' --yaml"), 1);
}

}  // namespace
}  // namespace okuva::testing
