// Overflow-checked 32-bit arithmetic and conversions with the runtime's rules:
// an overflow raises error 6 instead of wrapping; float-to-integer conversion rounds
// half to even; bounds-checked views raise error 9.
#pragma once

#include <cstddef>
#include <cstdint>

namespace okuva {

int32_t CheckedAdd(int32_t a, int32_t b);  // raises 6 on overflow
int32_t CheckedSub(int32_t a, int32_t b);  // raises 6 on overflow
int32_t CheckedMul(int32_t a, int32_t b);  // raises 6 on overflow

// Round to nearest, ties to even, then range-check (raises 6 when out of range or NaN).
int32_t CLng(double value);   // 32-bit signed
int16_t CInt(double value);   // 16-bit signed
uint8_t CByte(double value);  // 0..255

// A bounds-checked one-dimensional byte view over memory it does not own.
class ByteView1D {
public:
  ByteView1D() = default;
  ByteView1D(uint8_t* data, int32_t count) : data_(data), count_(count) {}
  uint8_t& operator()(int32_t i) const;  // raises 9 outside 0..count-1
  int32_t Count() const { return count_; }

private:
  uint8_t* data_ = nullptr;
  int32_t count_ = 0;
};

// A bounds-checked two-dimensional byte view V(c, r) = data[r * stride + c] with
// c in 0..columns-1 and r in 0..rows-1. It neither owns nor frees the memory.
class ByteView2D {
public:
  ByteView2D() = default;
  ByteView2D(uint8_t* data, int32_t columns, int32_t rows, int32_t stride)
      : data_(data), columns_(columns), rows_(rows), stride_(stride) {}
  ByteView2D(uint8_t* data, int32_t columns, int32_t rows)
      : ByteView2D(data, columns, rows, columns) {}
  uint8_t& operator()(int32_t c, int32_t r) const;  // raises 9 outside the ranges
  int32_t Columns() const { return columns_; }
  int32_t Rows() const { return rows_; }
  void Detach() { *this = ByteView2D(); }

private:
  uint8_t* data_ = nullptr;
  int32_t columns_ = 0;
  int32_t rows_ = 0;
  int32_t stride_ = 0;
};

}  // namespace okuva
