#include "saving/jpeg_export.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/program.h"
#include "tests/support/temp_folder.h"
#include "tests/unprivileged_child.h"

namespace okuva {
namespace {

namespace fs = std::filesystem;

using testing::TempFolder;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Top half red, bottom half blue, with a green ramp across: orientation and colour
// errors both show.
void Paint(cDIBSection& d) {
  const int32_t stride = d.BytesPerScanLine();
  for (int32_t r = 0; r < d.Height(); ++r) {
    const bool top = r >= d.Height() / 2;  // stored row 0 is the bottom row
    for (int32_t x = 0; x < d.Width(); ++x) {
      uint8_t* p = d.DIBSectionBitsPtr() + r * stride + 3 * x;
      p[0] = top ? 0 : 220;
      p[1] = static_cast<uint8_t>(std::min(255, 60 + 2 * x));
      p[2] = top ? 220 : 0;
    }
  }
}

struct Decoded {
  int width = 0, height = 0, subsampling = -1;
  std::vector<uint8_t> bgr;  // top-down
};

Decoded Decode(const std::string& jpeg) {
  Decoded out;
  tjhandle h = tjInitDecompress();
  auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  int colourspace = 0;
  if (tjDecompressHeader3(h, data, jpeg.size(), &out.width, &out.height, &out.subsampling,
                          &colourspace) == 0) {
    out.bgr.resize(static_cast<size_t>(out.width) * out.height * 3);
    if (tjDecompress2(h, data, jpeg.size(), out.bgr.data(), out.width, 0, out.height, TJPF_BGR,
                      0) != 0) {
      out.bgr.clear();
    }
  }
  tjDestroy(h);
  return out;
}

// Mean channel difference between the surface and a decoded picture.
double MeanDifference(const cDIBSection& d, const Decoded& j) {
  double sum = 0;
  for (int32_t y = 0; y < d.Height(); ++y) {
    for (int32_t x = 0; x < d.Width(); ++x) {
      for (int c = 0; c < 3; ++c) {
        const uint8_t* p =
            d.DIBSectionBitsPtr() + (d.Height() - 1 - y) * d.BytesPerScanLine() + 3 * x;
        const int diff = std::abs(p[c] - j.bgr[(static_cast<size_t>(y) * j.width + x) * 3 + c]);
        sum += diff;
      }
    }
  }
  return sum / (3.0 * d.Width() * d.Height());
}

struct ExportError {
  int32_t number = 0;
  std::string description, source;
};

template <typename F>
ExportError Catch(F call) {
  try {
    call();
  } catch (const RuntimeError& e) {
    return {e.Number(), e.Description(), e.Source()};
  }
  return {};
}

TEST(SaveDIBAsJPG, WritesANewFileUprightAndCloseToTheSource) {
  TempFolder dir;
  for (int32_t width : {64, 5, 4, 37}) {
    cDIBSection d;
    ASSERT_TRUE(d.Create(width, 32));  // the colour edge falls on a block boundary
    Paint(d);
    const std::string file = dir / ("new" + std::to_string(width) + ".jpg");
    EXPECT_TRUE(SaveDIBAsJPG(d, file, 90));
    const Decoded j = Decode(ReadAll(file));
    ASSERT_EQ(j.width, width);
    ASSERT_EQ(j.height, 32);
    ASSERT_FALSE(j.bgr.empty());
    EXPECT_EQ(j.subsampling, TJSAMP_420);
    // Top-left is red, bottom-left blue: the file is upright.
    EXPECT_GT(j.bgr[2], 180);
    EXPECT_LT(j.bgr[0], 40);
    const size_t bottomLeft = static_cast<size_t>(31) * width * 3;
    EXPECT_GT(j.bgr[bottomLeft], 180);
    EXPECT_LT(j.bgr[bottomLeft + 2], 40);
    EXPECT_LT(MeanDifference(d, j), 3.0) << "width " << width;
    // Exactly what the library makes of the same rows given directly: the export
    // passes them unchanged, padding and orientation included.
    tjhandle h = tjInitCompress();
    unsigned char* direct = nullptr;
    unsigned long directSize = 0;
    ASSERT_EQ(tjCompress2(h, d.DIBSectionBitsPtr(), width, d.BytesPerScanLine(), 32, TJPF_BGR,
                          &direct, &directSize, TJSAMP_420, 90, TJFLAG_BOTTOMUP),
              0);
    EXPECT_EQ(ReadAll(file), std::string(reinterpret_cast<char*>(direct), directSize));
    tjFree(direct);
    tjDestroy(h);
  }
  // New files get the usual permission bits of a new file (0666 less the umask).
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "new64.jpg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
  EXPECT_EQ(dir.Entries(), 4u) << "no temporary left beside the files";
}

TEST(SaveDIBAsJPG, QualityReachesTheWriter) {
  TempFolder dir;
  cDIBSection d;
  ASSERT_TRUE(d.Create(96, 64));
  d.RandomiseBits();
  ASSERT_TRUE(SaveDIBAsJPG(d, dir / "q10.jpg", 10));
  ASSERT_TRUE(SaveDIBAsJPG(d, dir / "q95.jpg", 95));
  EXPECT_LT(ReadAll(dir / "q10.jpg").size() * 2, ReadAll(dir / "q95.jpg").size());
}

TEST(SaveDIBAsJPG, ReplacedFileKeepsTimesAndPermissionBits) {
  TempFolder dir;
  const std::string file = dir / "old.jpg";
  WriteText(file, "the old file");
  ASSERT_EQ(::chmod(file.c_str(), 0604), 0);
  const timespec times[2] = {{978307200, 123456789}, {981000000, 5000}};  // 2001
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

  cDIBSection d;
  ASSERT_TRUE(d.Create(16, 16));
  Paint(d);
  ASSERT_TRUE(SaveDIBAsJPG(d, file, 90));

  // Looked at before reading the file, which would move its access time.
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
  EXPECT_EQ(st.st_atim.tv_nsec, times[0].tv_nsec);
  EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec);
  EXPECT_EQ(dir.Entries(), 1u);
  EXPECT_EQ(Decode(ReadAll(file)).width, 16);
}

TEST(SaveDIBAsJPG, HiddenFilesAreReplacedAndReadOnlyOnesRefused) {
  TempFolder dir;
  const std::string file = dir / ".hidden.jpg";
  WriteText(file, "old");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  cDIBSection d;
  ASSERT_TRUE(d.Create(8, 8));
  ASSERT_TRUE(SaveDIBAsJPG(d, file, 75));
  EXPECT_EQ(Decode(ReadAll(file)).width, 8);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A read-only file may not be deleted, so it is not replaced either.
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  const std::string before = ReadAll(file);
  const ExportError e = Catch([&] { SaveDIBAsJPG(d, file, 90); });
  EXPECT_EQ(e.number, kErrPathFileAccess);
  EXPECT_EQ(e.description, "Path/File access error");
  EXPECT_EQ(ReadAll(file), before);
  EXPECT_EQ(dir.Entries(), 1u);
}

TEST(SaveDIBAsJPG, EmptySurfaceRaisesWithTheWritersCodeAndCreatesNothing) {
  TempFolder dir;
  const std::string source = ExecutableName() + ".mIntelJPEGLibrary";
  cDIBSection empty;
  ExportError e = Catch([&] { SaveDIBAsJPG(empty, dir / "none.jpg", 90); });
  EXPECT_EQ(e.number, 26001);
  EXPECT_EQ(e.description, "Failed to save to JPG " + std::to_string(kJpegErrBadArgument));
  EXPECT_EQ(e.description, "Failed to save to JPG -2");
  EXPECT_EQ(e.source, source);
  EXPECT_EQ(dir.Entries(), 0u);

  // An existing file of that name survives byte for byte.
  const std::string file = dir / "keep.jpg";
  WriteText(file, "precious");
  cDIBSection cleared;
  ASSERT_TRUE(cleared.Create(10, 10));
  cleared.ClearUp();  // Width and Height still 10, no pixel memory
  e = Catch([&] { SaveDIBAsJPG(cleared, file, 90); });
  EXPECT_EQ(e.number, 26001);
  EXPECT_EQ(ReadAll(file), "precious");
  EXPECT_EQ(dir.Entries(), 1u);
}

TEST(SaveDIBAsJPG, OutOfRangeQualityIsRefusedByTheWriter) {
  TempFolder dir;
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  for (int32_t q : {0, 101, -5}) {
    const ExportError e = Catch([&] { SaveDIBAsJPG(d, dir / "q.jpg", q); });
    EXPECT_EQ(e.number, 26001) << q;
  }
  EXPECT_EQ(dir.Entries(), 0u);
}

TEST(SaveDIBAsJPG, ANewFileThatCannotBeMadeIsTheWritersFailure) {
  TempFolder dir;
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  WriteText(dir / "plain", "x");
  fs::create_directory(dir / "folder.jpg");
  // Missing folder, a file where the folder should be, a folder where the file should
  // be, no name at all.
  for (const std::string& name :
       {dir / "none/out.jpg", dir / "plain/out.jpg", dir / "folder.jpg", std::string()}) {
    const ExportError e = Catch([&] { SaveDIBAsJPG(d, name, 90); });
    EXPECT_EQ(e.number, 26001) << name;
    EXPECT_EQ(e.description, "Failed to save to JPG -5") << name;
    EXPECT_EQ(e.source, ExecutableName() + ".mIntelJPEGLibrary");
  }
  EXPECT_EQ(ReadAll(dir / "plain"), "x");
  EXPECT_TRUE(fs::is_directory(dir / "folder.jpg"));
  EXPECT_EQ(dir.Entries(), 2u);
}

TEST(SaveDIBAsJPG, ReadOnlyFolderRefusesTheDeleteOrTheNewFile) {
  TempFolder dir;
  const std::string file = dir / "old.jpg";
  WriteText(file, "old bytes");
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  // Run as a user the folder's permission bits stop (root is not stopped).
  const int64_t replaced = okuva::testing::RunUnprivileged(
      dir.Path(), [&]() -> int64_t { return Catch([&] { SaveDIBAsJPG(d, file, 90); }).number; });
  const int64_t created = okuva::testing::RunUnprivileged(dir.Path(), [&]() -> int64_t {
    const ExportError e = Catch([&] { SaveDIBAsJPG(d, dir / "new.jpg", 90); });
    return e.description == "Failed to save to JPG -5" ? e.number : -1;
  });
  EXPECT_EQ(replaced, kErrPermissionDenied);
  EXPECT_EQ(created, 26001);
  EXPECT_EQ(ReadAll(file), "old bytes");
  EXPECT_EQ(dir.Entries(), 1u);
}

// A writer that fails on purpose and counts the calls it gets.
struct Calls {
  static inline int init = 0, write = 0, free = 0;
  static inline int32_t initResult = kJpegOk, writeResult = kJpegOk;
  static inline JpegCoreProperties seen{};
  static void Reset(int32_t i, int32_t w) {
    init = write = free = 0;
    initResult = i;
    writeResult = w;
    seen = {};
  }
};

int32_t FakeInit(JpegCoreProperties& r) {
  ++Calls::init;
  if (Calls::initResult != kJpegOk) {
    return Calls::initResult;
  }
  return JpegInit(r);
}
int32_t FakeWrite(JpegCoreProperties& r, int32_t mode) {
  ++Calls::write;
  Calls::seen = r;
  if (Calls::writeResult != kJpegOk) {
    return Calls::writeResult;
  }
  return JpegWrite(r, mode);
}
int32_t FakeFree(JpegCoreProperties& r) {
  ++Calls::free;
  return JpegFree(r);
}
constexpr JpegLibrary kFake{&FakeInit, &FakeWrite, &FakeFree};

TEST(SaveDIBAsJPG, InitFailureRaisesBeforeAnyFileWork) {
  TempFolder dir;
  const std::string file = dir / "old.jpg";
  WriteText(file, "untouched");
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  Calls::Reset(-1, kJpegOk);
  const ExportError e = Catch([&] { SaveDIBAsJPG(d, file, 90, kFake); });
  EXPECT_EQ(e.number, 26001);
  EXPECT_EQ(e.description, "Failed to initialise the IJL library: -1");
  EXPECT_EQ(e.source, ExecutableName() + ".mIntelJPEGLibrary");
  EXPECT_EQ(Calls::write, 0);
  EXPECT_EQ(ReadAll(file), "untouched");
  EXPECT_EQ(dir.Entries(), 1u);
}

TEST(SaveDIBAsJPG, WriteFailureFreesTheWriterAndKeepsTheOldFile) {
  TempFolder dir;
  const std::string file = dir / "old.jpg";
  WriteText(file, "untouched");
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  Calls::Reset(kJpegOk, -5);
  const ExportError e = Catch([&] { SaveDIBAsJPG(d, file, 90, kFake); });
  EXPECT_EQ(e.number, 26001);
  EXPECT_EQ(e.description, "Failed to save to JPG -5");
  EXPECT_EQ(e.source, ExecutableName() + ".mIntelJPEGLibrary");
  EXPECT_EQ(Calls::free, 1);
  EXPECT_EQ(ReadAll(file), "untouched");
  EXPECT_EQ(dir.Entries(), 1u);
}

TEST(SaveDIBAsJPG, RecordDescribesTheSurfaceInPlace) {
  TempFolder dir;
  for (auto [width, pad] : {std::pair{5, 1}, std::pair{4, 0}, std::pair{7, 3}}) {
    cDIBSection d;
    ASSERT_TRUE(d.Create(width, 3));
    Calls::Reset(kJpegOk, kJpegOk);
    ASSERT_TRUE(SaveDIBAsJPG(d, dir / "r.jpg", 42, kFake));
    const JpegCoreProperties& r = Calls::seen;
    EXPECT_EQ(r.DIBBytes, d.DIBSectionBitsPtr()) << "pixels are read in place";
    EXPECT_EQ(r.DIBWidth, width);
    EXPECT_EQ(r.DIBHeight, -3);
    EXPECT_EQ(r.DIBPadBytes, pad);
    EXPECT_EQ(r.JPGWidth, width);
    EXPECT_EQ(r.JPGHeight, 3);
    EXPECT_EQ(r.jquality, 42);
    EXPECT_EQ(r.JPGSubsampling, JpegSubsampling::k420);
    EXPECT_EQ(Calls::init, 1);
    EXPECT_EQ(Calls::free, 1);
  }
}

// The record layer on its own.
TEST(JpegRecord, RefusesWhatItCannotWriteSafely) {
  TempFolder dir;
  const std::string name = dir / "x.jpg";
  std::vector<uint8_t> pixels(16 * 4, 100);
  JpegCoreProperties r{};
  EXPECT_EQ(JpegWrite(r, kJpegWriteWholeImage), kJpegErrNotInitialised);
  ASSERT_EQ(JpegInit(r), kJpegOk);
  auto valid = [&] {
    r.DIBBytes = pixels.data();
    r.DIBWidth = 5;
    r.DIBHeight = -4;
    r.DIBPadBytes = 1;
    r.JPGFile = name.c_str();
    r.JPGWidth = 5;
    r.JPGHeight = 4;
    r.jquality = 80;
  };
  valid();
  EXPECT_EQ(JpegWrite(r, 1), kJpegErrBadArgument);
  r.JPGWidth = 6;
  EXPECT_EQ(JpegWrite(r, kJpegWriteWholeImage), kJpegErrBadArgument);
  valid();
  r.DIBBytes = nullptr;
  EXPECT_EQ(JpegWrite(r, kJpegWriteWholeImage), kJpegErrBadArgument);
  valid();
  r.DIBPadBytes = -1;
  EXPECT_EQ(JpegWrite(r, kJpegWriteWholeImage), kJpegErrBadArgument);
  valid();
  r.JPGFile = "";
  EXPECT_EQ(JpegWrite(r, kJpegWriteWholeImage), kJpegErrBadArgument);
  EXPECT_FALSE(fs::exists(name));
  valid();
  const std::string missing = dir / "no/such/x.jpg";
  r.JPGFile = missing.c_str();
  EXPECT_EQ(JpegWrite(r, kJpegWriteWholeImage), kJpegErrFileOpen);
  valid();
  EXPECT_EQ(JpegWrite(r, kJpegWriteWholeImage), kJpegOk);
  EXPECT_EQ(Decode(ReadAll(name)).width, 5);
  EXPECT_EQ(JpegFree(r), kJpegOk);
  EXPECT_EQ(JpegFree(r), kJpegOk);  // twice is harmless
  EXPECT_EQ(JpegWrite(r, kJpegWriteWholeImage), kJpegErrNotInitialised);
}

TEST(JpegRecord, PositiveHeightMeansTopDownRows) {
  TempFolder dir;
  const std::string name = dir / "td.jpg";
  // Two rows of 8 pixels: first row in memory white, second black.
  std::vector<uint8_t> pixels(24 * 16, 0);
  std::fill(pixels.begin(), pixels.begin() + 24 * 8, 255);
  for (int32_t height : {16, -16}) {
    JpegCoreProperties r{};
    ASSERT_EQ(JpegInit(r), kJpegOk);
    r.DIBBytes = pixels.data();
    r.DIBWidth = 8;
    r.DIBHeight = height;
    r.JPGFile = name.c_str();
    r.JPGWidth = 8;
    r.JPGHeight = 16;
    r.jquality = 90;
    ASSERT_EQ(JpegWrite(r, kJpegWriteWholeImage), kJpegOk);
    JpegFree(r);
    const Decoded j = Decode(ReadAll(name));
    ASSERT_EQ(j.height, 16);
    const bool firstRowOnTop = height > 0;
    EXPECT_EQ(j.bgr[0] > 128, firstRowOnTop) << height;
    EXPECT_EQ(j.bgr[j.bgr.size() - 1] > 128, !firstRowOnTop) << height;
  }
}

}  // namespace
}  // namespace okuva
