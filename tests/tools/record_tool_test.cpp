// okuva-tool record and record-info end to end: a drawn eye written as a record and
// listed back, the image as stored, and the exit codes that leave OUT untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/tools/tool_test_util.h"

namespace okuva::testing {
namespace {

class RecordToolTest : public ToolTest {
protected:
  // A P5 picture: sclera, a textured iris of radius 100 at (cx, 240) and a pupil of
  // radius 38, or a flat grey when `eye` is false.
  void WritePicture(const std::string& name, bool eye, double cx = 320) {
    const std::string header = "P5\n640 480\n255\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    for (int y = 0; y < 480; ++y) {
      for (int x = 0; x < 640; ++x) {
        const double dx = x + 0.5 - cx, dy = y + 0.5 - 240, d2 = dx * dx + dy * dy;
        uint8_t v = 128;
        if (eye) {
          v = static_cast<uint8_t>(d2 < 38 * 38     ? 15
                                   : d2 < 100 * 100 ? 70 + (x * 7 + y * 13) % 61
                                                    : 220);
        }
        bytes.push_back(v);
      }
    }
    Write(name, bytes);
  }

  bool JsonHolds(const std::string& filter) {
    Write("out.json", std::vector<uint8_t>(stdout_.begin(), stdout_.end()));
    const std::string command =
        "jq -e -s 'length == 1 and (.[0] | " + filter + ")' '" + Path("out.json") + "' >/dev/null";
    return std::system(command.c_str()) == 0;
  }
};

TEST_F(RecordToolTest, WrittenRecordListsBackWithEveryField) {
  WritePicture("eye.pgm", true);
  ASSERT_EQ(
      std::system(("touch -d '2024-02-29 12:34:56.789 UTC' '" + Path("eye.pgm") + "'").c_str()), 0);
  ASSERT_EQ(RunTool("record '" + Path("eye.pgm") + "' '" + Path("eye.iir") +
                    "' --eye left --masked --format jp2"),
            0)
      << stderr_;
  EXPECT_TRUE(stdout_.empty());
  ASSERT_EQ(
      RunTool("record-info '" + Path("eye.iir") + "' --json --image '" + Path("eye.jp2") + "'"), 0)
      << stderr_;
  EXPECT_TRUE(JsonHolds(
      "keys == [\"certification_flag\", \"record_length\", \"representations\"] and "
      "(.representations[0] | keys) == ([\"capture\", \"device_technology\", \"device_vendor\", "
      "\"device_type\", \"quality\", \"representation_number\", \"eye\", \"image_type\", "
      "\"image_format\", \"horizontal_orientation\", \"vertical_orientation\", \"compression\", "
      "\"width\", \"height\", \"bit_depth\", \"range\", \"roll_angle\", \"roll_uncertainty\", "
      "\"iris_centre\", \"iris_diameter\", \"image_length\"] | sort)"))
      << stdout_;
  // The crop of an iris of radius 100: 2 x 160 + 1 by 2 x 120 + 1 pixels, the centre
  // in its middle pixel (161, 121), the diameter about 200.
  EXPECT_TRUE(JsonHolds(
      ".certification_flag == 0 and (.representations | length) == 1 and (.representations[0] | "
      ".capture == \"2024-02-29T12:34:56.789\" and .device_technology == 0 and .eye == \"left\" and "
      ".image_type == \"cropped_masked\" and .image_format == \"jpeg2000\" and .compression == \"lossless\" and "
      ".horizontal_orientation == \"base\" and .bit_depth == 8 and .roll_angle == 65535 and "
      "(.width | . >= 321 and . <= 325) and (.height | . >= 241 and . <= 245) and "
      ".iris_centre.x_min <= 161 and .iris_centre.x_max >= 161 and .iris_centre.x_max - .iris_centre.x_min <= 4 and "
      ".iris_centre.y_min <= 121 and .iris_centre.y_max >= 121 and "
      ".iris_diameter.min <= 200 and .iris_diameter.max >= 200 and .iris_diameter.max - .iris_diameter.min <= 8 and "
      "(.quality | length) == 1 and .quality[0].score <= 100 and .quality[0].algorithm_id == 1)"))
      << stdout_;
  const std::vector<uint8_t> record = ReadBytes(Path("eye.iir")),
                             image = ReadBytes(Path("eye.jp2"));
  ASSERT_GT(image.size(), 12u);
  EXPECT_TRUE(JsonHolds(".record_length == " + std::to_string(record.size()) +
                        " and .representations[0].image_length == " + std::to_string(image.size())))
      << stdout_;
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + 4, image.begin() + 8),
            (std::vector<uint8_t>{'j', 'P', ' ', ' '}));
  // As stored: the record ends with the image.
  EXPECT_TRUE(
      std::equal(image.begin(), image.end(), record.end() - static_cast<ptrdiff_t>(image.size())));

  ASSERT_EQ(RunTool("record-info '" + Path("eye.iir") + "'"), 0) << stderr_;
  for (const char* line :
       {"capture (UTC)       2024-02-29T12:34:56.789", "eye                 left",
        "image type          cropped_masked", "compression         lossless"}) {
    EXPECT_NE(stdout_.find(line), std::string::npos) << line << "\n" << stdout_;
  }
  // PNG by default, type 3, no eye named.
  ASSERT_EQ(RunTool("record '" + Path("eye.pgm") + "' '" + Path("plain.iir") + "'"), 0) << stderr_;
  ASSERT_EQ(RunTool("record-info --json '" + Path("plain.iir") + "'"), 0) << stderr_;
  EXPECT_TRUE(
      JsonHolds(".representations[0] | .eye == \"undefined\" and .image_type == \"cropped\" and "
                ".image_format == \"png\""))
      << stdout_;
}

TEST_F(RecordToolTest, NoRecordLeavesOutUntouchedAndExitsOne) {
  Write("out.iir", {'o', 'l', 'd'});
  WritePicture("flat.pgm", false);
  EXPECT_EQ(RunTool("record '" + Path("flat.pgm") + "' '" + Path("out.iir") + "'"), 1);
  EXPECT_NE(stderr_.find("no pupil and iris"), std::string::npos) << stderr_;
  WritePicture("edge.pgm", true, 500);  // 40 pixels right of the iris, 60 needed
  EXPECT_EQ(RunTool("record '" + Path("edge.pgm") + "' '" + Path("out.iir") + "'"), 1);
  EXPECT_NE(stderr_.find("too near the picture's edge"), std::string::npos) << stderr_;
  EXPECT_EQ(std::count(stderr_.begin(), stderr_.end(), '\n'), 1) << stderr_;
  WritePicture("eye.pgm", true);
  for (const char* bad : {"--eye both", "--format jpg", "--eye", "--tiff"}) {
    EXPECT_EQ(RunTool("record '" + Path("eye.pgm") + "' '" + Path("out.iir") + "' " + bad), 1)
        << bad;
  }
  EXPECT_EQ(RunTool("record '" + Path("missing.pgm") + "' '" + Path("out.iir") + "'"), 1);
  EXPECT_EQ(ReadBytes(Path("out.iir")), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 4);  // no stray file
}

TEST_F(RecordToolTest, MalformedRecordIsOneLineAndExitOne) {
  WritePicture("eye.pgm", true);
  ASSERT_EQ(RunTool("record '" + Path("eye.pgm") + "' '" + Path("eye.iir") + "'"), 0) << stderr_;
  std::vector<uint8_t> bytes = ReadBytes(Path("eye.iir"));
  bytes.resize(bytes.size() - 1);
  Write("short.iir", bytes);
  EXPECT_EQ(RunTool("record-info '" + Path("short.iir") + "' --image '" + Path("image.png") + "'"),
            1);
  EXPECT_NE(stderr_.find("truncated"), std::string::npos) << stderr_;
  EXPECT_EQ(std::count(stderr_.begin(), stderr_.end(), '\n'), 1) << stderr_;
  EXPECT_TRUE(stdout_.empty());
  EXPECT_FALSE(std::filesystem::exists(Path("image.png")));
  EXPECT_EQ(RunTool("record-info '" + Path("eye.pgm") + "' --json"), 1);
  EXPECT_NE(stderr_.find("IIR"), std::string::npos) << stderr_;
  EXPECT_EQ(RunTool("record-info '" + Path("missing.iir") + "'"), 1);
  EXPECT_EQ(RunTool("record-info '" + Path("eye.iir") + "' --image"), 1);
}

}  // namespace
}  // namespace okuva::testing
