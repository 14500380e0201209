// End-to-end runs of okuva-tool's surface commands: export, resample, randomise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/tools/tool_test_util.h"

namespace {

namespace fs = std::filesystem;

class SurfaceTool : public okuva::testing::ToolTest {
protected:
  int Run(const std::string& arguments) { return RunTool(arguments); }

  static std::string Read(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
  }
};

// A 24-bit picture given top-down as blue, green, red triples.
struct Rgb24 {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> bgr;
  uint8_t* At(int32_t x, int32_t y) { return &bgr[(static_cast<size_t>(y) * width + x) * 3]; }
};

uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) {
    v = (v << 8) | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
  }
  return v;
}

void WriteBmp24(const std::string& path, const Rgb24& p) {
  const uint32_t stride = (static_cast<uint32_t>(p.width) * 3 + 3) & ~3u;
  okuva::testing::BmpSpec spec;
  spec.width = p.width;
  spec.height = p.height;
  spec.imageSize = stride * static_cast<uint32_t>(p.height);
  for (int32_t y = p.height - 1; y >= 0; --y) {
    const auto row = p.bgr.begin() + static_cast<ptrdiff_t>(y) * p.width * 3;
    spec.rows.emplace_back(row, row + static_cast<ptrdiff_t>(p.width) * 3);
  }
  const std::vector<uint8_t> bytes = okuva::testing::MakeBmp(spec);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Reads a bottom-up 24-bit BMP; width 0 when the file is not one.
Rgb24 ReadBmp24(const std::string& bytes) {
  Rgb24 p;
  if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') {
    return p;
  }
  const auto bits =
      static_cast<uint16_t>(static_cast<uint8_t>(bytes[28]) | static_cast<uint8_t>(bytes[29]) << 8);
  const auto height = static_cast<int32_t>(Get32(bytes, 22));
  if (bits != 24 || height <= 0) {
    return p;
  }
  p.width = static_cast<int32_t>(Get32(bytes, 18));
  p.height = height;
  const size_t offset = Get32(bytes, 10);
  const size_t stride = (static_cast<size_t>(p.width) * 3 + 3) & ~size_t{3};
  if (bytes.size() < offset + stride * static_cast<size_t>(height)) {
    return Rgb24{};
  }
  p.bgr.resize(static_cast<size_t>(p.width) * height * 3);
  for (int32_t y = 0; y < height; ++y) {
    std::memcpy(p.At(0, y), &bytes[offset + stride * static_cast<size_t>(height - 1 - y)],
                static_cast<size_t>(p.width) * 3);
  }
  return p;
}

Rgb24 DecodeJpeg(const std::string& jpeg) {
  Rgb24 p;
  tjhandle h = tjInitDecompress();
  auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  int sub = 0, cs = 0;
  if (tjDecompressHeader3(h, data, jpeg.size(), &p.width, &p.height, &sub, &cs) == 0) {
    p.bgr.resize(static_cast<size_t>(p.width) * p.height * 3);
    if (tjDecompress2(h, data, jpeg.size(), p.bgr.data(), p.width, 0, p.height, TJPF_BGR, 0) != 0) {
      p = Rgb24{};
    }
  }
  tjDestroy(h);
  return p;
}

// Red top half, blue bottom half.
Rgb24 TwoBands(int32_t w, int32_t h) {
  Rgb24 p{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* px = p.At(x, y);
      px[0] = y < h / 2 ? 0 : 230;
      px[1] = 40;
      px[2] = y < h / 2 ? 230 : 0;
    }
  }
  return p;
}

TEST_F(SurfaceTool, ExportWritesAnUprightJpeg) {
  WriteBmp24(Path("in.bmp"), TwoBands(40, 20));
  ASSERT_EQ(Run("export '" + Path("in.bmp") + "' '" + Path("out.jpg") + "'"), 0) << stderr_;
  const Rgb24 j = DecodeJpeg(Read(Path("out.jpg")));
  ASSERT_EQ(j.width, 40);
  ASSERT_EQ(j.height, 20);
  Rgb24 decoded = j;
  EXPECT_GT(decoded.At(5, 2)[2], 190);   // red on top
  EXPECT_LT(decoded.At(5, 2)[0], 40);
  EXPECT_GT(decoded.At(5, 17)[0], 190);  // blue below
  EXPECT_LT(decoded.At(5, 17)[2], 40);

  // A lower quality gives a smaller file; the quality reaches the writer.
  ASSERT_EQ(Run("export '" + Path("in.bmp") + "' '" + Path("low.jpg") + "' --quality 5"), 0);
  EXPECT_LT(Read(Path("low.jpg")).size(), Read(Path("out.jpg")).size());
}

TEST_F(SurfaceTool, ExportReplacesKeepingTimesAndPermissionBits) {
  WriteBmp24(Path("in.bmp"), TwoBands(16, 16));
  const std::string out = Path("old.jpg");
  std::ofstream(out) << "old contents";
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  const timespec times[2] = {{1000000000, 0}, {1000000500, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, out.c_str(), times, 0), 0);

  ASSERT_EQ(Run("export '" + Path("in.bmp") + "' '" + out + "' --quality 80"), 0) << stderr_;
  struct stat st {};  // before reading, which would move the access time
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000500);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(DecodeJpeg(Read(out)).width, 16);
}

TEST_F(SurfaceTool, ExportRefusesBadInputWithoutWriting) {
  std::ofstream(Path("junk.bmp")) << "not a picture at all";
  EXPECT_EQ(Run("export '" + Path("junk.bmp") + "' '" + Path("out.jpg") + "'"), 1);
  EXPECT_FALSE(stderr_.empty());
  EXPECT_FALSE(fs::exists(Path("out.jpg")));

  WriteBmp24(Path("in.bmp"), TwoBands(4, 4));
  for (const char* q : {"0", "101", "x", ""}) {
    EXPECT_EQ(Run("export '" + Path("in.bmp") + "' '" + Path("out.jpg") + "' --quality " + q), 1)
        << q;
  }
  EXPECT_EQ(Run("export '" + Path("in.bmp") + "'"), 1);
  EXPECT_FALSE(fs::exists(Path("out.jpg")));
}

// Every command that writes OUT, given the input `in` (a picture at least 64 x 64).
std::vector<std::string> WritingCommands(const std::string& in, const std::string& out) {
  const std::string i = "'" + in + "' ", o = "'" + out + "'";
  return {"export " + i + o, "resample " + i + o + " 64 64", "randomise " + o + " 64 64",
          "image " + i + o + " greyscale"};
}

TEST_F(SurfaceTool, OnlyRegularFilesAreReplacedAndLinksAreWrittenThrough) {
  ASSERT_EQ(Run("randomise '" + Path("in.bmp") + "' 64 64"), 0) << stderr_;
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0644), 0);
  for (const std::string& command : WritingCommands(Path("in.bmp"), Path("fifo"))) {
    EXPECT_EQ(Run(command), 1) << command;
    EXPECT_NE(stderr_.find("is not a regular file"), std::string::npos) << stderr_;
    EXPECT_EQ(std::count(stderr_.begin(), stderr_.end(), '\n'), 1) << stderr_;
    EXPECT_TRUE(fs::is_fifo(Path("fifo"))) << command;
  }
  // A link stays; the file it leads to is replaced.
  fs::create_directory(Path("sub"));
  std::ofstream(Path("sub/target")) << "old";
  fs::create_symlink("sub/target", Path("link"));
  EXPECT_EQ(Run("export '" + Path("in.bmp") + "' '" + Path("link") + "'"), 0) << stderr_;
  EXPECT_TRUE(fs::is_symlink(Path("link")));
  EXPECT_EQ(DecodeJpeg(Read(Path("sub/target"))).width, 64);
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("sub")), fs::directory_iterator()), 1);
}

TEST_F(SurfaceTool, AFileSizeLimitLeavesNoPartOfAnyOutput) {
  ASSERT_EQ(Run("randomise '" + Path("in.bmp") + "' 64 64"), 0) << stderr_;
  std::ofstream(Path("old")) << "old";
  const std::string limit = "ulimit -f 4;";  // a few kilobytes: every output is larger
  for (const std::string& command : WritingCommands(Path("in.bmp"), Path("old"))) {
    EXPECT_EQ(RunTool(command, limit), 3) << command;
    // The JPEG writer reports a failed write as its own.
    const std::string expected = command.starts_with("export")
                                     ? "Error 26001: Failed to save to JPG -6"
                                     : "Error 61: Disk full";
    EXPECT_NE(stderr_.find(expected), std::string::npos) << command << stderr_;
    EXPECT_EQ(Read(Path("old")), "old") << command;
  }
  EXPECT_EQ(RunTool("encode '" + Path("in.bmp") + "' '" + Path("new.jpg") + "'", limit), 3);
  EXPECT_FALSE(fs::exists(Path("new.jpg")));
  EXPECT_EQ(Run("encode '" + Path("in.bmp") + "' '" + Path("new.jpg") + "'"), 0) << stderr_;
  // Names near the file system's limit leave no room for a longer temporary name.
  const std::string longName = Path(std::string(250, 'n'));
  EXPECT_EQ(Run("randomise '" + longName + "' 4 4"), 0) << stderr_;
  EXPECT_EQ(Run("randomise '" + longName + "' 5 5"), 0) << stderr_;
  EXPECT_EQ(Run("encode '" + Path("in.bmp") + "' '" + Path(std::string(250, 'e')) + "'"), 0)
      << stderr_;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 5);
}

TEST_F(SurfaceTool, ReadOnlyOutputsAreKeptAndOwnersStay) {
  ASSERT_EQ(Run("randomise '" + Path("in.bmp") + "' 64 64"), 0) << stderr_;
  std::ofstream(Path("ro")) << "read-only";
  ASSERT_EQ(::chmod(Path("ro").c_str(), 0444), 0);
  for (const std::string& command : WritingCommands(Path("in.bmp"), Path("ro"))) {
    EXPECT_EQ(Run(command), 3) << command;
    EXPECT_NE(stderr_.find("Error 75: Path/File access error"), std::string::npos) << stderr_;
    EXPECT_EQ(Read(Path("ro")), "read-only") << command;
  }
  if (::geteuid() != 0) {
    GTEST_SKIP() << "not root: another user's file kept as theirs is not checked";
  }
  // Root replacing another user's file gives it back to that user.
  std::ofstream(Path("theirs")) << "old";
  ASSERT_EQ(::chown(Path("theirs").c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(Path("theirs").c_str(), 02640), 0);
  ASSERT_EQ(Run("randomise '" + Path("theirs") + "' 4 4"), 0) << stderr_;
  struct stat st {};
  ASSERT_EQ(::stat(Path("theirs").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
  EXPECT_EQ(st.st_mode & 07777, 02640u);
}

TEST_F(SurfaceTool, EveryCommandRefusesAMissingOrEndlessInputWithExitOne) {
  const std::string out = Path("out.bmp");
  // A name with a line break, an escape sequence and a carriage return is shown quoted,
  // its control bytes escaped, on the one line of the message.
  const std::string odd = Path("a\nb\x1B[31m\r.bmp");
  for (const std::string& in :
       {Path("missing.bmp"), dir_.string(), std::string("/dev/zero"), odd}) {
    for (const std::string& command :
         {"export '" + in + "' '" + out + "'", "resample '" + in + "' '" + out + "' 4 4",
          "encode '" + in + "' '" + out + "'", "image '" + in + "' '" + out + "' greyscale",
          "quality '" + in + "'"}) {
      EXPECT_EQ(Run(command), 1) << command;
      EXPECT_EQ(std::count(stderr_.begin(), stderr_.end(), '\n'), 1) << command << ": " << stderr_;
      EXPECT_FALSE(fs::exists(out)) << command;
      if (in != odd) {
        continue;
      }
      EXPECT_NE(stderr_.find("/a'$'\\n''b'$'\\033''[31m'$'\\r''.bmp'"), std::string::npos)
          << stderr_;
      EXPECT_EQ(stderr_.find_first_of("\x1B\r"), std::string::npos) << stderr_;
    }
  }
}

TEST_F(SurfaceTool, DoubleDashEndsTheOptionsOfEveryCommand) {
  WriteBmp24(Path("in.bmp"), TwoBands(8, 6));
  fs::copy_file(Path("in.bmp"), Path("-in.bmp"));
  const std::string here = "cd '" + dir_.string() + "';";
  for (const std::string command :
       {"export -- in.bmp -e.jpg", "resample -- in.bmp -r.bmp 4 4", "randomise -- -n.bmp 4 4",
        "image -- in.bmp -i.bmp rotate -90", "encode in.bmp -- -c.jpg", "quality -- -in.bmp"}) {
    EXPECT_EQ(RunTool(command, here), 0) << command << ": " << stderr_;
  }
  for (const char* out : {"-e.jpg", "-r.bmp", "-n.bmp", "-i.bmp", "-c.jpg"}) {
    EXPECT_TRUE(fs::exists(Path(out))) << out;
  }
  // After "--" an option's name is one more name.
  EXPECT_EQ(RunTool("export -- in.bmp x.jpg --quality", here), 1);
  EXPECT_NE(stderr_.find("usage"), std::string::npos) << stderr_;
}

TEST_F(SurfaceTool, AHugeSparseInputIsReadOnlyAsFarAsItsPictureGoes) {
  // A small picture followed by 3 GiB of holes: reading it whole would take 3 GiB.
  WriteBmp24(Path("in.bmp"), TwoBands(40, 30));
  fs::resize_file(Path("in.bmp"), uint64_t{3} << 30);
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;  // the sanitizer's shadow memory needs more address space
#else
  const std::string limit = "ulimit -v 400000; ";
#endif
  EXPECT_EQ(RunTool("export '" + Path("in.bmp") + "' '" + Path("out.jpg") + "'", limit), 0)
      << stderr_;
  EXPECT_EQ(RunTool("resample '" + Path("in.bmp") + "' '" + Path("out.bmp") + "' 20 15", limit), 0)
      << stderr_;

  // A JPEG whose frame header lies past 120 KB of comments is still found.
  std::string jpeg = Read(Path("out.jpg"));
  for (int i = 0; i < 2; ++i) {
    jpeg.insert(2, "\xFF\xFE\xEA\x62" + std::string(60000, 'c'));
  }
  std::ofstream(Path("late.jpg"), std::ios::binary) << jpeg;
  EXPECT_EQ(Run("resample '" + Path("late.jpg") + "' '" + Path("late.bmp") + "' 20 15"), 0)
      << stderr_;

  // A small JPEG whose frame header says 8000 x 8000, made 3 GiB long by holes: read as
  // the decoder goes, it ends at its own end, its memory that of the picture (192 MB).
  const size_t frame = jpeg.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  jpeg.replace(frame + 5, 4, "\x1F\x40\x1F\x40");
  std::ofstream(Path("sparse.jpg"), std::ios::binary) << jpeg;
  fs::resize_file(Path("sparse.jpg"), uint64_t{3} << 30);
  EXPECT_EQ(RunTool("export '" + Path("sparse.jpg") + "' '" + Path("out2.jpg") + "'", limit), 1)
      << stderr_;
  EXPECT_NE(stderr_.find("unreadable JPEG data"), std::string::npos) << stderr_;

  // A picture of the largest size read (2^28 pixels, sparse) that the memory limit has
  // no room for: the toolkit's out-of-memory error, not a complaint about the input.
  if (limit.empty()) {
    return;
  }
  // So is any allocation of a command that finds no room, after an 8000 x 8000 picture
  // (192 MB) is read.
  for (const uint32_t side : {16384u, 8000u}) {
    const uint32_t image = side * 3 * side;
    okuva::testing::BmpHeaderFields fields;
    fields.dataSize = image;
    fields.width = static_cast<int32_t>(side);
    fields.height = static_cast<int32_t>(side);
    fields.imageSize = image;
    std::vector<uint8_t> header;
    okuva::testing::PutBmpHeaders(header, fields);
    const std::string name = side == 8000 ? "mid.bmp" : "big.bmp";
    Write(name, header);
    fs::resize_file(Path(name), 54 + uint64_t{image});
  }
  const std::string big = "'" + Path("big.bmp") + "' ", mid = "'" + Path("mid.bmp") + "' ";
  for (const std::string& command :
       {"export " + big + Path("big.jpg"), "resample " + big + Path("big.bmp") + " 20 15",
        "image " + big + Path("big.png") + " greyscale", "encode " + big + Path("big.jpg"),
        "quality " + big, "image " + mid + Path("big.png") + " greyscale",
        "image " + mid + Path("big.png") + " resample 9000 9000",
        "resample " + mid + Path("big.png") + " 9000 9000"}) {
    EXPECT_EQ(RunTool(command, limit), 3) << command << ": " << stderr_;
    EXPECT_EQ(stderr_,
              "okuva-tool " + command.substr(0, command.find(' ')) + ": Error 7: Out of memory\n")
        << command;
  }
  EXPECT_FALSE(fs::exists(Path("big.jpg")) || fs::exists(Path("big.png")));
}

TEST_F(SurfaceTool, ResampleTakesWidthThenHeightAndInterpolates) {
  Rgb24 in{2, 2, std::vector<uint8_t>(12, 0)};
  in.At(1, 0)[0] = 100;
  in.At(1, 1)[0] = 100;
  WriteBmp24(Path("in.bmp"), in);
  ASSERT_EQ(Run("resample '" + Path("in.bmp") + "' '" + Path("out.bmp") + "' 4 3"), 0) << stderr_;
  Rgb24 out = ReadBmp24(Read(Path("out.bmp")));
  ASSERT_EQ(out.width, 4);
  ASSERT_EQ(out.height, 3);
  const int expected[] = {0, 25, 50, 75};
  for (int32_t y = 0; y < 3; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      EXPECT_EQ(out.At(x, y)[0], expected[x]) << x << "," << y;
    }
  }
}

TEST_F(SurfaceTool, ResampleOfAThinPictureExitsThreeAndWritesNothing) {
  Rgb24 thin{1, 6, std::vector<uint8_t>(18, 50)};
  WriteBmp24(Path("thin.bmp"), thin);
  EXPECT_EQ(Run("resample '" + Path("thin.bmp") + "' '" + Path("out.bmp") + "' 4 4"), 3);
  EXPECT_NE(stderr_.find("Error 9: Subscript out of range"), std::string::npos) << stderr_;
  EXPECT_FALSE(fs::exists(Path("out.bmp")));

  std::ofstream(Path("keep.bmp")) << "keep me";
  EXPECT_EQ(Run("resample '" + Path("thin.bmp") + "' '" + Path("keep.bmp") + "' 4 4"), 3);
  EXPECT_EQ(Read(Path("keep.bmp")), "keep me");

  EXPECT_EQ(Run("resample '" + Path("thin.bmp") + "' '" + Path("out.bmp") + "' 0 4"), 1);
  EXPECT_EQ(Run("resample '" + Path("thin.bmp") + "' '" + Path("out.bmp") + "' 4"), 1);
  EXPECT_FALSE(fs::exists(Path("out.bmp")));
}

TEST_F(SurfaceTool, RandomiseWritesColourOrGrey) {
  ASSERT_EQ(Run("randomise '" + Path("c.bmp") + "' 7 5"), 0) << stderr_;
  Rgb24 c = ReadBmp24(Read(Path("c.bmp")));
  ASSERT_EQ(c.width, 7);
  ASSERT_EQ(c.height, 5);
  bool varied = false;
  for (int32_t y = 0; y < 5; ++y) {
    for (int32_t x = 0; x < 7; ++x) {
      EXPECT_EQ(c.At(x, y)[0], 0);
      varied |= c.At(x, y)[1] != c.At(0, 0)[1];
    }
  }
  EXPECT_TRUE(varied);

  ASSERT_EQ(Run("randomise '" + Path("g.bmp") + "' 9 4 --grey"), 0) << stderr_;
  Rgb24 g = ReadBmp24(Read(Path("g.bmp")));
  ASSERT_EQ(g.width, 9);
  ASSERT_EQ(g.height, 4);
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 9; ++x) {
      EXPECT_EQ(g.At(x, y)[0], g.At(x, y)[1]);
      EXPECT_EQ(g.At(x, y)[1], g.At(x, y)[2]);
    }
  }

  EXPECT_EQ(Run("randomise '" + Path("bad.bmp") + "' seven 5"), 1);
  EXPECT_EQ(Run("randomise '" + Path("bad.bmp") + "' 7 -5"), 1);
  EXPECT_FALSE(fs::exists(Path("bad.bmp")));
}

}  // namespace
