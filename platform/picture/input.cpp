#include "platform/picture/input.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/picture/picture.h"

namespace okuva::picture_detail {

void ByteReader::Need(uint64_t offset, uint64_t count, const char* what) const {
  if (offset > bytes_.size() || count > bytes_.size() - offset) {
    throw PictureError(std::string("truncated file: ") + what + " is missing");
  }
}

uint8_t ByteReader::U8(uint64_t offset, const char* what) const { return *At(offset, 1, what); }

uint16_t ByteReader::U16(uint64_t offset, const char* what) const {
  const uint8_t* p = At(offset, 2, what);
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t ByteReader::U32(uint64_t offset, const char* what) const {
  const uint8_t* p = At(offset, 4, what);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

Input::Input(std::span<const uint8_t> memory)
    : memory_(memory), head_(memory), headIsAll_(true), size_(memory.size()) {}

Input::Input(int fd) : fd_(fd) {
  struct stat st {};
  seekable_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (seekable_) {
    size_ = static_cast<uint64_t>(st.st_size);
  }
  headBytes_.resize(kHeadSize);
  const size_t got = ReadFd(0, headBytes_.data(), kHeadSize);
  headBytes_.resize(got);
  headIsAll_ = got < kHeadSize;
  head_ = ByteReader(headBytes_);
}

size_t Input::ReadFd(uint64_t offset, uint8_t* to, size_t count) {
  if (!seekable_) {
    // A pipe or device: skip forward by reading; nothing behind can be read again.
    if (offset < fdPos_) {
      throw PictureError("picture data out of order in a stream that cannot seek");
    }
    uint8_t skip[4096];
    while (fdPos_ < offset) {
      const ssize_t n =
          ::read(fd_, skip, static_cast<size_t>(std::min<uint64_t>(sizeof skip, offset - fdPos_)));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        throw PictureError(std::string("read error: ") + std::strerror(errno));
      }
      if (n == 0) {
        return 0;
      }
      fdPos_ += static_cast<uint64_t>(n);
    }
  }
  size_t done = 0;
  while (done < count) {
    const ssize_t n = seekable_
                          ? ::pread(fd_, to + done, count - done, static_cast<off_t>(offset + done))
                          : ::read(fd_, to + done, count - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      throw PictureError(std::string("read error: ") + std::strerror(errno));
    }
    if (n == 0) {
      break;
    }
    done += static_cast<size_t>(n);
    if (!seekable_) {
      fdPos_ += static_cast<uint64_t>(n);
    }
  }
  return done;
}

size_t Input::TakeSome(uint64_t offset, uint8_t* to, size_t count) {
  if (fd_ < 0) {
    if (offset >= memory_.size()) {
      return 0;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, memory_.size() - offset));
    std::memcpy(to, memory_.data() + offset, n);
    return n;
  }
  size_t done = 0;
  if (offset < headBytes_.size()) {
    done = static_cast<size_t>(std::min<uint64_t>(count, headBytes_.size() - offset));
    std::memcpy(to, headBytes_.data() + offset, done);
  }
  if (done == count || headIsAll_) {
    return done;
  }
  return done + ReadFd(offset + done, to + done, count - done);
}

bool Input::TakeRows(uint64_t offset, size_t rowBytes, uint8_t* const* rows, size_t count) {
  size_t r = 0;
  const auto at = [&](size_t row) { return offset + static_cast<uint64_t>(row) * rowBytes; };
  // Rows held in memory or in the head, and those of a stream that cannot seek: one by one.
  while (r < count && (fd_ < 0 || !seekable_ || headIsAll_ || at(r) < headBytes_.size())) {
    if (TakeSome(at(r), rows[r], rowBytes) != rowBytes) {
      return false;
    }
    ++r;
  }
  constexpr size_t kRowsPerRead = 1024;  // IOV_MAX on Linux
  std::array<iovec, kRowsPerRead> parts;
  while (r < count) {
    const size_t n = std::min(count - r, kRowsPerRead);
    for (size_t i = 0; i < n; ++i) {
      parts[i] = {rows[r + i], rowBytes};
    }
    const ssize_t got = ::preadv(fd_, parts.data(), static_cast<int>(n), static_cast<off_t>(at(r)));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      throw PictureError(std::string("read error: ") + std::strerror(errno));
    }
    if (got == 0) {
      return false;
    }
    const size_t whole = static_cast<size_t>(got) / rowBytes;
    r += whole;
    if (whole < n) {
      // A short read: the row it ended in is read again on its own.
      if (TakeSome(at(r), rows[r], rowBytes) != rowBytes) {
        return false;
      }
      ++r;
    }
  }
  return true;
}

const uint8_t* Input::Take(uint64_t offset, size_t count, const char* what) {
  if (fd_ < 0) {
    return head_.At(offset, count, what);
  }
  if (offset <= headBytes_.size() && count <= headBytes_.size() - offset) {
    return headBytes_.data() + offset;
  }
  buffer_.resize(count);
  if (TakeSome(offset, buffer_.data(), count) != count) {
    throw PictureError(std::string("truncated file: ") + what + " is missing");
  }
  return buffer_.data();
}

std::span<const uint8_t> Input::Whole(uint64_t limit) {
  if (fd_ < 0) {
    return memory_.first(static_cast<size_t>(std::min<uint64_t>(memory_.size(), limit)));
  }
  if (headIsAll_ || headBytes_.size() >= limit) {
    return std::span<const uint8_t>(headBytes_)
        .first(static_cast<size_t>(std::min<uint64_t>(headBytes_.size(), limit)));
  }
  buffer_ = headBytes_;
  if (size_) {
    // A file of known length: one read of what is wanted.
    const uint64_t want = std::min(*size_, limit);
    buffer_.resize(static_cast<size_t>(want));
    buffer_.resize(headBytes_.size() + ReadFd(headBytes_.size(), buffer_.data() + headBytes_.size(),
                                              static_cast<size_t>(want - headBytes_.size())));
    return buffer_;
  }
  // A pipe grows in steps, so a short one never costs the whole limit.
  while (buffer_.size() < limit) {
    const size_t before = buffer_.size();
    const size_t step = static_cast<size_t>(std::min<uint64_t>(before, limit - before));
    buffer_.resize(before + step);
    const size_t got = ReadFd(before, buffer_.data() + before, step);
    buffer_.resize(before + got);
    if (got < step) {
      break;
    }
  }
  return buffer_;
}

uint64_t Input::DataFrom(uint64_t offset) const {
  if (fd_ < 0 || !seekable_ || offset <= headBytes_.size()) {
    return offset;
  }
  const off_t data = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    return errno == ENXIO ? std::max(offset, size_.value_or(offset)) : offset;
  }
  return std::max(offset, static_cast<uint64_t>(data));
}

}  // namespace okuva::picture_detail
