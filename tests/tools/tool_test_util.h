// A fixture for end-to-end runs of okuva-tool: a private temporary folder, the files
// in it, and a runner that keeps the tool's standard error.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/picture/picture.h"
#include "tests/support/bmp_files.h"
#include "tests/support/temp_folder.h"

namespace okuva::testing {

// A picture file's pixels, rows top to bottom; At gives red, green, blue.
struct Pixels {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> bgr;
  std::array<int, 3> At(int32_t x, int32_t y) const {
    const size_t i =
        (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
    return {bgr[i + 2], bgr[i + 1], bgr[i]};
  }
};
inline Pixels ReadPixels(const std::string& path) {
  Pixels p;
  ReadPictureInto(path, [&](const PictureHeader& h) {
    p.width = h.width;
    p.height = h.height;
    p.bgr.resize(static_cast<size_t>(h.width) * static_cast<size_t>(h.height) * 3);
    return PictureDestination{p.bgr.data() + (p.bgr.size() - static_cast<size_t>(h.width) * 3),
                              -int64_t{h.width} * 3, 24};
  });
  return p;
}

class ToolTest : public ::testing::Test {
protected:
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  void Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }

  static std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }

  // Runs okuva-tool with `arguments` (shell words), after the shell commands of
  // `setup` (such as a ulimit, ended by ';'); returns its exit status (-1 or 128 + N when
  // signal N ended it) and keeps its standard output and error in stdout_ and stderr_
  // (captured beside the test's folder, which some tests count). OKUVA_TOOL_UNDER_TEST
  // names another build of the tool to run instead, to compare one with another.
  int RunTool(const std::string& arguments, const std::string& setup = {}) {
    const std::string capture = (dir_.parent_path() / dir_.filename()).string();
    const char* other = std::getenv("OKUVA_TOOL_UNDER_TEST");
    const std::string command = "(" + setup + " '" + (other != nullptr ? other : OKUVA_TOOL_PATH) +
                                "' " + arguments + ") >'" + capture + ".stdout' 2>'" + capture +
                                ".stderr'";
    const int status = std::system(command.c_str());
    const std::vector<uint8_t> out = ReadBytes(capture + ".stdout"),
                               err = ReadBytes(capture + ".stderr");
    stdout_.assign(out.begin(), out.end());
    stderr_.assign(err.begin(), err.end());
    std::filesystem::remove(capture + ".stdout");
    std::filesystem::remove(capture + ".stderr");
    // Under the sanitizers a fault also exits 1: do not let it pass for a usage error.
    EXPECT_EQ(stderr_.find("Sanitizer"), std::string::npos) << stderr_;
    EXPECT_EQ(stderr_.find("runtime error:"), std::string::npos) << stderr_;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempFolder folder_{"okuva-tool"};
  std::filesystem::path dir_ = folder_.Path();
  std::string stdout_;
  std::string stderr_;
};

}  // namespace okuva::testing
