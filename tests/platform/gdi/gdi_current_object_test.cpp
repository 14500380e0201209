// GetCurrentObject: the bitmap a memory DC holds, for callers that read its pixels.
#include <gtest/gtest.h>

#include "tests/platform/gdi/gdi_helpers.h"

namespace okuva::gdi {
namespace {

TEST(GdiCurrentObject, GivesTheSelectedBitmapOfMemoryDcsOnly) {
  testing::Dib dib(4, 3, 24);
  ASSERT_NE(dib.bitmap(), 0u);
  EXPECT_EQ(GetCurrentObject(dib.dc(), OBJ_BITMAP), dib.bitmap());
  EXPECT_EQ(GetCurrentObject(dib.dc(), OBJ_BITMAP + 1), 0u);

  // A new memory DC holds its stock bitmap; a deleted DC and the screen hold none.
  const HDC fresh = CreateCompatibleDC(0);
  const HGDIOBJ stock = GetCurrentObject(fresh, OBJ_BITMAP);
  EXPECT_NE(stock, 0u);
  BITMAP bm{};
  ASSERT_EQ(GetObjectA(stock, sizeof(bm), &bm), static_cast<int>(sizeof(bm)));
  EXPECT_EQ(bm.bmWidth, 1);
  EXPECT_EQ(bm.bmBitsPixel, 1);
  ASSERT_TRUE(DeleteDC(fresh));
  EXPECT_EQ(GetCurrentObject(fresh, OBJ_BITMAP), 0u);
  const HDC screen = GetDC(GetDesktopWindow());
  EXPECT_EQ(GetCurrentObject(screen, OBJ_BITMAP), 0u);
  ReleaseDC(GetDesktopWindow(), screen);
}

}  // namespace
}  // namespace okuva::gdi
