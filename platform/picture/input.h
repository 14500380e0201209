// The input source of the picture readers: a file (by descriptor) or bytes in memory,
// read only as far as a reader asks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace okuva::picture_detail {

// Reads little-endian fields from file bytes; every read past the end raises a
// PictureError naming what was being read, never touching memory outside the span.
class ByteReader {
public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  size_t Size() const { return bytes_.size(); }
  // Raises PictureError("truncated <what>") unless [offset, offset + count) is inside.
  void Need(uint64_t offset, uint64_t count, const char* what) const;
  uint8_t U8(uint64_t offset, const char* what) const;
  uint16_t U16(uint64_t offset, const char* what) const;
  uint32_t U32(uint64_t offset, const char* what) const;
  int32_t I32(uint64_t offset, const char* what) const {
    return static_cast<int32_t>(U32(offset, what));
  }
  const uint8_t* At(uint64_t offset, uint64_t count, const char* what) const {
    Need(offset, count, what);
    return bytes_.data() + offset;
  }

private:
  std::span<const uint8_t> bytes_;
};

// A picture file being read: its first bytes held for the header, the rest fetched as
// the readers ask, never more than they ask. Memory inputs serve everything in place.
class Input {
public:
  static constexpr size_t kHeadSize = 64 * 1024;

  explicit Input(std::span<const uint8_t> memory);
  // Takes an open descriptor (not owned); reads the head at once.
  explicit Input(int fd);
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // The file's first bytes: all of it, or kHeadSize bytes when it is longer.
  const ByteReader& Head() const { return head_; }
  bool HeadIsWholeFile() const { return headIsAll_; }
  // The file's length when it can be known before reading (not for pipes).
  std::optional<uint64_t> KnownSize() const { return size_; }
  // Bytes [offset, offset + count): PictureError("truncated file: <what> is missing")
  // when the file ends first. Valid until the next call. A pipe is read forward only.
  const uint8_t* Take(uint64_t offset, size_t count, const char* what);
  // Up to `count` bytes from `offset` (fewer only at the end of the file); 0 at the end.
  size_t TakeSome(uint64_t offset, uint8_t* to, size_t count);
  // `count` consecutive runs of `rowBytes` bytes from `offset` into rows[0..count), as
  // few reads of the file as it takes; false when the file ends first.
  bool TakeRows(uint64_t offset, size_t rowBytes, uint8_t* const* rows, size_t count);
  // The file from its start: all of it, or its first `limit` bytes when it is longer;
  // for formats whose decoder wants the whole stream. Valid until the next call.
  std::span<const uint8_t> Whole(uint64_t limit);
  // The first offset at or after `offset` where a file may hold bytes other than zeros,
  // past the holes of a sparse file; `offset` itself where that cannot be known.
  uint64_t DataFrom(uint64_t offset) const;

private:
  size_t ReadFd(uint64_t offset, uint8_t* to, size_t count);

  std::span<const uint8_t> memory_;
  int fd_ = -1;
  bool seekable_ = false;
  uint64_t fdPos_ = 0;  // where the next read of a pipe starts
  std::vector<uint8_t> headBytes_;
  std::vector<uint8_t> buffer_;
  ByteReader head_{{}};
  bool headIsAll_ = false;
  std::optional<uint64_t> size_;
};

}  // namespace okuva::picture_detail
