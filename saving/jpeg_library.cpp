// The record layer over TurboJPEG: the library compresses straight from the caller's
// rows (its pitch and bottom-up flag describe the DIB), so no pixel is copied.
#include "saving/jpeg_library.h"

#include <fcntl.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace okuva {

namespace {

constexpr int32_t kChannels = 3;

int ToTurboSubsampling(JpegSubsampling s) {
  switch (s) {
    case JpegSubsampling::k444: return TJSAMP_444;
    case JpegSubsampling::k422: return TJSAMP_422;
    case JpegSubsampling::k420: return TJSAMP_420;
    case JpegSubsampling::kGray: return TJSAMP_GRAY;
  }
  return -1;
}

// Owns the output buffer TurboJPEG allocates.
struct TurboBuffer {
  unsigned char* data = nullptr;
  unsigned long size = 0;
  ~TurboBuffer() { tjFree(data); }
};

bool WriteAllTo(int fd, const unsigned char* data, unsigned long size) {
  unsigned long done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (n == 0) {
      return false;
    }
    done += static_cast<unsigned long>(n);
  }
  return true;
}

}  // namespace

int32_t JpegInit(JpegCoreProperties& record) {
  JpegFree(record);
  record = JpegCoreProperties{};
  tjhandle handle = tjInitCompress();
  if (handle == nullptr) {
    return kJpegErrMemory;
  }
  record.internal = handle;
  record.DIBChannels = kChannels;
  record.JPGChannels = kChannels;
  record.JPGSubsampling = JpegSubsampling::k420;
  record.jquality = 75;
  return kJpegOk;
}

int32_t JpegWrite(JpegCoreProperties& record, int32_t mode) {
  if (record.internal == nullptr) {
    return kJpegErrNotInitialised;
  }
  if (mode != kJpegWriteWholeImage) {
    return kJpegErrBadArgument;
  }

  // Everything the library will read is checked first: it trusts width, height and
  // pitch and would read past the caller's memory otherwise.
  const int64_t width = record.DIBWidth;
  const int64_t height = record.DIBHeight < 0 ? -int64_t{record.DIBHeight} : record.DIBHeight;
  if (record.DIBBytes == nullptr || width <= 0 || height <= 0 || record.DIBPadBytes < 0 ||
      record.DIBChannels != kChannels || record.JPGChannels != kChannels ||
      record.JPGWidth != width || record.JPGHeight != height || record.jquality < 1 ||
      record.jquality > 100 || ToTurboSubsampling(record.JPGSubsampling) < 0) {
    return kJpegErrBadArgument;
  }
  const bool named = record.JPGFile != nullptr && record.JPGFile[0] != '\0';
  if (!named && record.JPGFileDescriptor < 0) {
    return kJpegErrBadArgument;
  }
  const int64_t pitch = width * kChannels + record.DIBPadBytes;
  // The largest size a JPEG frame header can hold.
  if (width > 65535 || height > 65535 || pitch > INT32_MAX) {
    return kJpegErrBadArgument;
  }

  const int flags = record.DIBHeight < 0 ? TJFLAG_BOTTOMUP : 0;
  TurboBuffer out;
  if (tjCompress2(static_cast<tjhandle>(record.internal), record.DIBBytes, static_cast<int>(width),
                  static_cast<int>(pitch), static_cast<int>(height), TJPF_BGR, &out.data, &out.size,
                  ToTurboSubsampling(record.JPGSubsampling), record.jquality, flags) != 0) {
    return kJpegErrEncode;
  }

  if (record.JPGFileDescriptor >= 0) {
    return WriteAllTo(record.JPGFileDescriptor, out.data, out.size) ? kJpegOk : kJpegErrFileWrite;
  }
  const int fd = ::open(record.JPGFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    return kJpegErrFileOpen;
  }
  const bool written = WriteAllTo(fd, out.data, out.size);
  const bool closed = ::close(fd) == 0;
  return written && closed ? kJpegOk : kJpegErrFileWrite;
}

int32_t JpegFree(JpegCoreProperties& record) {
  if (record.internal != nullptr) {
    tjDestroy(static_cast<tjhandle>(record.internal));
    record.internal = nullptr;
  }
  return kJpegOk;
}

}  // namespace okuva
