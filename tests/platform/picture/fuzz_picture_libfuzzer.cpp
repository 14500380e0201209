// libFuzzer entry for the picture readers; compiled to nothing in the normal test
// build. Build and run by hand from the source folder (one command line):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -DOKUVA_LIBFUZZER -I.
//     tests/platform/picture/fuzz_picture_libfuzzer.cpp platform/runtime/*.cpp platform/gdi/*.cpp
//     platform/picture/*.cpp -lturbojpeg -o fuzz_picture
//   ./fuzz_picture -max_total_time=300
// Any crash or sanitizer report is a fault; a PictureError is the expected refusal.
#ifdef OKUVA_LIBFUZZER

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/picture/picture.h"
#include "platform/picture/picture_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    okuva::StdPicture picture = okuva::picture_detail::DecodePictureWithin(
        std::span<const uint8_t>(data, size), int64_t{1} << 20);
    if (picture) {
      (void)okuva::EncodeBmp(picture.Handle());
    }
  } catch (const okuva::PictureError&) {
  }
  return 0;
}

#endif  // OKUVA_LIBFUZZER
