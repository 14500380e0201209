// The raster layer: the graphics device operations the toolkit needs, on in-memory
// bitmaps, under the names and with the results of the classic graphics interface.
//
// Handles are 32-bit values of the layer's own tables (index and generation), never
// pointers: 0 or a stale handle makes a call fail (0 / false), never crash.
// All calls are for one thread at a time (the user-interface thread); the tables are
// guarded so that a stray call from another thread cannot corrupt them.
//
// The screen: a modern display of 1920 x 1080 pixels at 32 bits per pixel (blue,
// green, red, unused). CreateCompatibleBitmap makes 32-bit device-dependent bitmaps.
#pragma once

#include <cstdint>

namespace okuva::gdi {

using HANDLE32 = uint32_t;
using HDC = HANDLE32;
using HBITMAP = HANDLE32;
using HGDIOBJ = HANDLE32;
using HWND = HANDLE32;

#pragma pack(push, 1)
struct BITMAPFILEHEADER {
  uint16_t bfType;
  uint32_t bfSize;
  uint16_t bfReserved1;
  uint16_t bfReserved2;
  uint32_t bfOffBits;
};
#pragma pack(pop)

struct BITMAPINFOHEADER {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;        // positive: bottom-up rows; negative: top-down
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;  // BI_RGB only
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct RGBQUAD {
  uint8_t rgbBlue;
  uint8_t rgbGreen;
  uint8_t rgbRed;
  uint8_t rgbReserved;
};

// A header followed by a full 256-entry colour table (the classic record declares one
// entry and callers allocate more; here the room is always there).
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[256];
};

// GetObjectA's description of a bitmap. bmBits is the pixel address of a DIB section
// and null for device-dependent bitmaps.
struct BITMAP {
  int32_t bmType;
  int32_t bmWidth;
  int32_t bmHeight;
  int32_t bmWidthBytes;
  uint16_t bmPlanes;
  uint16_t bmBitsPixel;
  void* bmBits;
};

struct POINT {
  int32_t x;
  int32_t y;
};

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t DIB_RGB_COLORS = 0;

// Raster operations. The result is computed on the colour values (blue, green, red);
// into a palette surface it is then matched to the nearest colour of the table
// (squared distance, lowest index on ties). These ten are the supported ones; a blit
// with any other fails (false) and changes nothing. SRCCOPY between surfaces of the
// same depth and colour table copies indices / bytes unchanged.
constexpr uint32_t SRCCOPY = 0x00CC0020;      // D = S
constexpr uint32_t SRCPAINT = 0x00EE0086;     // D = S | D
constexpr uint32_t SRCAND = 0x008800C6;       // D = S & D
constexpr uint32_t SRCINVERT = 0x00660046;    // D = S ^ D
constexpr uint32_t SRCERASE = 0x00440328;     // D = S & ~D
constexpr uint32_t NOTSRCCOPY = 0x00330008;   // D = ~S
constexpr uint32_t NOTSRCERASE = 0x001100A6;  // D = ~(S | D)
constexpr uint32_t DSTINVERT = 0x00550009;    // D = ~D
constexpr uint32_t BLACKNESS = 0x00000042;    // D = 0
constexpr uint32_t WHITENESS = 0x00FF0062;    // D = all ones

// Stretch modes.
constexpr int BLACKONWHITE = 1;
constexpr int WHITEONBLACK = 2;
constexpr int COLORONCOLOR = 3;  // nearest source pixel
constexpr int HALFTONE = 4;      // area average of the source pixels a destination pixel covers

constexpr uint32_t CF_BITMAP = 2;

// Screen geometry of the layer's display.
constexpr int32_t kScreenWidth = 1920;
constexpr int32_t kScreenHeight = 1080;
constexpr int kScreenBitsPerPixel = 32;

// Device contexts ----------------------------------------------------------------
// A memory DC starts with a 1 x 1 monochrome stock bitmap selected; it is what
// SelectObject returns the first time, and it may be "deleted" harmlessly.
HDC CreateCompatibleDC(HDC dc);  // dc 0 = the screen; a stale dc fails (0)
HDC CreateDCA(const char* driver, const char* device, const char* output, const void* initData);
HWND GetDesktopWindow();
HDC GetDC(HWND window);        // the screen's DC for the desktop window, else 0
int ReleaseDC(HWND window, HDC dc);  // 1 when released
// Frees a memory or display DC (a DC from GetDC is given back with ReleaseDC: false).
// A bitmap still selected in it is deselected and stays alive.
bool DeleteDC(HDC dc);

// Bitmaps ---------------------------------------------------------------------------
// DIB section of 1, 4, 8 or 24 bits per pixel, BI_RGB. For palette depths the colour
// table is read from bmi->bmiColors (biClrUsed entries, or all 2^bits when 0). Other
// depths, zero sizes or memory beyond what the layer allows: 0, *bits = nullptr.
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* bmi, uint32_t usage, void** bits, void* section,
                         uint32_t offset);
// The same for a caller that holds only a header (a palette depth then gets a black
// table).
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFOHEADER* bih, uint32_t usage, void** bits,
                         void* section, uint32_t offset);
// Screen and display DCs give the screen format; a memory DC gives the format of the
// bitmap selected in it (monochrome for a new one), as the classic call does. Zero or
// negative sizes and sizes beyond the layer's limit: 0.
HBITMAP CreateCompatibleBitmap(HDC dc, int32_t width, int32_t height);
// A device-dependent bitmap of 1, 4, 8, 16, 24 or 32 bits (16 = 5-5-5); bits, when given,
// holds top-down rows padded to 2 bytes as the classic call expects. Palette depths get
// the grey ramp.
HBITMAP CreateBitmap(int32_t width, int32_t height, uint32_t planes, uint32_t bitCount,
                     const void* bits);

// Memory DCs only. A bitmap may be held by several DCs (it stays undeletable until all
// let go); a bitmap the clipboard owns is refused.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);  // returns the object replaced, 0 on failure
bool DeleteObject(HGDIOBJ object);              // refuses a bitmap still selected in a DC
int GetObjectA(HGDIOBJ object, int size, void* out);  // BITMAP; bytes written, 0 otherwise
// The bitmap selected in a memory DC (type OBJ_BITMAP; the stock bitmap of a new DC);
// 0 for other types, screen and display DCs and stale handles.
constexpr uint32_t OBJ_BITMAP = 7;
HGDIOBJ GetCurrentObject(HDC dc, uint32_t type);

// Entries read / set of the table of the DIB section selected in dc, from `start`, at
// most the entries the section has (biClrUsed, or 2^bits when it was 0); 0 when the
// selected bitmap has no colour table (24 bits, device-dependent bitmaps, the screen).
uint32_t GetDIBColorTable(HDC dc, uint32_t start, uint32_t count, RGBQUAD* colours);
uint32_t SetDIBColorTable(HDC dc, uint32_t start, uint32_t count, const RGBQUAD* colours);

// Converts `lines` scan lines (from `start`, counted from the bottom) of `bitmap` into
// the format of bmi (1, 4, 8, 24 or 32 bits; positive or negative height). When bits is
// null only the header is filled. For palette formats the colour table written to
// bmi->bmiColors is the bitmap's own when the depths match, otherwise the header's
// table is kept as the caller gave it and pixels are matched to it. Returns the
// number of lines copied, 0 on failure. The bitmap must not be the one selected in dc
// for the classic interface; this layer allows it. 16 bits (5-5-5) is accepted too. At
// most |biHeight| lines are written, so a buffer sized from the header is never
// overrun; a narrower biWidth takes the left columns. biBitCount 0 with bits null fills
// the header (and table) with the bitmap's own format.
int GetDIBits(HDC dc, HBITMAP bitmap, uint32_t start, uint32_t lines, void* bits, BITMAPINFO* bmi,
              uint32_t usage);

// Blits -----------------------------------------------------------------------------
// Copies the rectangle clipped to both surfaces (a negative corner on either side moves
// both rectangles), converting between depths. A surface onto itself may overlap.
// False for a bad DC or raster operation; an empty or fully clipped rectangle: true.
bool BitBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src, int32_t srcX,
            int32_t srcY, uint32_t rop);
int SetStretchBltMode(HDC dc, int mode);  // previous mode, 0 on failure
int GetStretchBltMode(HDC dc);
// Scales in dest's stretch mode: HALFTONE averages the source pixels each destination
// pixel covers (weighted by the covered area); the other modes take the source pixel
// under the destination pixel's centre. Negative sizes mirror. Equal sizes copy
// exactly. Destination pixels with no source pixel under them are left as they were.
// A zero source size fails.
bool StretchBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src,
                int32_t srcX, int32_t srcY, int32_t srcWidth, int32_t srcHeight, uint32_t rop);
// Maps the source rectangle onto the parallelogram whose first three corners are
// points[0] (upper-left), points[1] (upper-right), points[2] (lower-left). mask must
// be 0. Pixel-exact for mirrors and quarter turns. Each destination pixel takes the
// source pixel under its centre (inverse mapping). A mask, an empty source rectangle
// or a flat parallelogram: false.
bool PlgBlt(HDC dest, const POINT points[3], HDC src, int32_t srcX, int32_t srcY, int32_t width,
            int32_t height, HBITMAP mask, int32_t maskX, int32_t maskY);

// Clipboard -------------------------------------------------------------------------
// Backed by the installed ClipboardBackend (clipboard.h); in-process by default.
bool OpenClipboard(HWND owner);
bool EmptyClipboard();
// After success the clipboard owns the bitmap (it is deleted by the clipboard when it
// is emptied or given new data; until then DeleteObject and SelectObject refuse it); a
// bitmap still selected in a DC is refused (0). The clipboard must be open.
HANDLE32 SetClipboardData(uint32_t format, HANDLE32 data);
bool CloseClipboard();

}  // namespace okuva::gdi
