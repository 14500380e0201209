#include "platform/runtime/checked.h"

#include <cmath>
#include <limits>

#include "platform/runtime/error.h"

namespace okuva {

int32_t CheckedAdd(int32_t a, int32_t b) {
  int32_t result = 0;
  if (__builtin_add_overflow(a, b, &result)) {
    Raise(kErrOverflow);
  }
  return result;
}

int32_t CheckedSub(int32_t a, int32_t b) {
  int32_t result = 0;
  if (__builtin_sub_overflow(a, b, &result)) {
    Raise(kErrOverflow);
  }
  return result;
}

int32_t CheckedMul(int32_t a, int32_t b) {
  int32_t result = 0;
  if (__builtin_mul_overflow(a, b, &result)) {
    Raise(kErrOverflow);
  }
  return result;
}

namespace {

// Rounds to the nearest integer with halves to the even neighbour and checks the
// result against [low, high]. std::nearbyint follows the current rounding mode, which
// nothing in this program changes from round-to-nearest-even; the explicit tie test
// keeps the result right even if some library did.
double RoundHalfEvenInRange(double value, double low, double high) {
  if (std::isnan(value)) {
    Raise(kErrOverflow);
  }
  double rounded = std::floor(value);
  const double fraction = value - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) {
    rounded += 1.0;
  }
  if (!(rounded >= low && rounded <= high)) {
    Raise(kErrOverflow);
  }
  return rounded;
}

}  // namespace

int32_t CLng(double value) {
  return static_cast<int32_t>(RoundHalfEvenInRange(value, std::numeric_limits<int32_t>::min(),
                                                   std::numeric_limits<int32_t>::max()));
}

int16_t CInt(double value) {
  return static_cast<int16_t>(RoundHalfEvenInRange(value, std::numeric_limits<int16_t>::min(),
                                                   std::numeric_limits<int16_t>::max()));
}

uint8_t CByte(double value) {
  return static_cast<uint8_t>(RoundHalfEvenInRange(value, 0.0, 255.0));
}

uint8_t& ByteView1D::operator()(int32_t i) const {
  if (data_ == nullptr || i < 0 || i >= count_) {
    Raise(kErrSubscript);
  }
  return data_[i];
}

uint8_t& ByteView2D::operator()(int32_t c, int32_t r) const {
  if (data_ == nullptr || c < 0 || c >= columns_ || r < 0 || r >= rows_) {
    Raise(kErrSubscript);
  }
  return data_[static_cast<int64_t>(r) * stride_ + c];
}

}  // namespace okuva
