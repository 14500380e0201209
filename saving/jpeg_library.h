// The JPEG writer behind the export: a small record layer over libjpeg-turbo with
// init / write-whole-image / free steps. The caller fills the record's DIB and JPG
// fields; the writer reads the DIB rows in place (no pixel copy) and writes the file.
// Every step returns a result code: kJpegOk (0) or a negative failure code.
#pragma once

#include <cstdint>

namespace okuva {

// Result codes of the record layer.
enum JpegResult : int32_t {
  kJpegOk = 0,
  kJpegErrNotInitialised = -1,  // write or free on a record that init did not prepare
  kJpegErrBadArgument = -2,     // missing pixels or file name, sizes or quality invalid
  kJpegErrMemory = -3,          // the library could not allocate its state or output
  kJpegErrEncode = -4,          // the library refused to compress the pixels
  kJpegErrFileOpen = -5,        // the output file could not be opened
  kJpegErrFileWrite = -6,       // the output file could not be written completely
};

// Write modes.
constexpr int32_t kJpegWriteWholeImage = 8;  // encode the DIB and write JPGFile

// Chroma subsampling of the written file.
enum class JpegSubsampling : int32_t { k444 = 0, k422 = 1, k420 = 2, kGray = 3 };

// The writer's record. Zero-filled until JpegInit; the caller sets the DIB and JPG
// fields after it and touches nothing else.
struct JpegCoreProperties {
  // Source pixels: rows of DIBWidth pixels, 3 bytes each (blue, green, red), every row
  // followed by DIBPadBytes bytes. A negative DIBHeight means the rows are stored
  // bottom-up (the first row in memory is the picture's bottom row).
  const uint8_t* DIBBytes = nullptr;
  int32_t DIBWidth = 0;
  int32_t DIBHeight = 0;
  int32_t DIBPadBytes = 0;
  int32_t DIBChannels = 0;  // set to 3 by JpegInit

  // Output: NUL-ended file name (created or truncated), size (must equal the DIB's)
  // and quality 1..100.
  const char* JPGFile = nullptr;
  // When not -1, an open descriptor written instead of opening JPGFile (the caller
  // keeps and closes it), so a file being built beside its target need not be reopened.
  int32_t JPGFileDescriptor = -1;
  int32_t JPGWidth = 0;
  int32_t JPGHeight = 0;
  int32_t JPGChannels = 0;                              // set to 3 by JpegInit
  JpegSubsampling JPGSubsampling = JpegSubsampling::k444;  // JpegInit: 4:2:0
  int32_t jquality = 0;                                 // JpegInit: 75

  // The library's own part; only the layer's functions touch it.
  void* internal = nullptr;
};

// Prepares a record: the library state and the defaults above.
int32_t JpegInit(JpegCoreProperties& record);
// Encodes the DIB fields into the file named by JPGFile (mode kJpegWriteWholeImage).
// On failure a file it created may hold partial data; callers write beside the target.
int32_t JpegWrite(JpegCoreProperties& record, int32_t mode);
// Releases what JpegInit and JpegWrite allocated; safe to call twice.
int32_t JpegFree(JpegCoreProperties& record);

// The three steps as one replaceable set, so that a caller's failure handling can be
// exercised with a writer that fails on purpose.
struct JpegLibrary {
  int32_t (*Init)(JpegCoreProperties&) = &JpegInit;
  int32_t (*Write)(JpegCoreProperties&, int32_t) = &JpegWrite;
  int32_t (*Free)(JpegCoreProperties&) = &JpegFree;
};

}  // namespace okuva
