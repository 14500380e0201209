// Test pictures for the capture aids: grey planes, a Gaussian blur and a textured
// stand-in for an iris.
#pragma once

#include "capture/aids/grey.h"
#include "platform/camera/camera.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace okuva::aids::test {

struct GreyImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> pixels;

  GreyView View() const { return {pixels.data(), width, height, width}; }
  uint8_t& At(int32_t x, int32_t y) { return pixels[static_cast<size_t>(y) * width + x]; }
};

inline GreyImage GreyOf(const camera::Frame& frame) {
  GreyImage g{frame.width, frame.height,
              std::vector<uint8_t>(static_cast<size_t>(frame.width) * frame.height)};
  for (size_t i = 0; i < g.pixels.size(); ++i) {
    g.pixels[i] = Luma(frame.rgb[i * 3], frame.rgb[i * 3 + 1], frame.rgb[i * 3 + 2]);
  }
  return g;
}

inline camera::Frame FrameOf(const GreyImage& g) {
  camera::Frame f{g.width, g.height, 1, std::vector<uint8_t>(g.pixels.size() * 3)};
  for (size_t i = 0; i < g.pixels.size(); ++i) {
    f.rgb[i * 3] = f.rgb[i * 3 + 1] = f.rgb[i * 3 + 2] = g.pixels[i];
  }
  return f;
}

// Separable Gaussian blur with a kernel sampled out to 4 sigma, edges clamped,
// results rounded to the nearest level. sigma <= 0 copies.
inline GreyImage GaussianBlur(const GreyImage& in, double sigma) {
  if (sigma <= 0) {
    return in;
  }
  const int32_t reach = static_cast<int32_t>(std::ceil(4 * sigma));
  std::vector<double> kernel(static_cast<size_t>(2 * reach + 1));
  double total = 0;
  for (int32_t k = -reach; k <= reach; ++k) {
    total += kernel[static_cast<size_t>(k + reach)] = std::exp(-k * k / (2 * sigma * sigma));
  }
  for (double& w : kernel) {
    w /= total;
  }
  const int32_t w = in.width, h = in.height;
  std::vector<double> tmp(in.pixels.size());
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      double s = 0;
      for (int32_t k = -reach; k <= reach; ++k) {
        s += kernel[static_cast<size_t>(k + reach)] *
             in.pixels[static_cast<size_t>(y) * w + std::clamp(x + k, 0, w - 1)];
      }
      tmp[static_cast<size_t>(y) * w + x] = s;
    }
  }
  GreyImage out{w, h, std::vector<uint8_t>(in.pixels.size())};
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      double s = 0;
      for (int32_t k = -reach; k <= reach; ++k) {
        s += kernel[static_cast<size_t>(k + reach)] *
             tmp[static_cast<size_t>(std::clamp(y + k, 0, h - 1)) * w + x];
      }
      out.At(x, y) = static_cast<uint8_t>(std::clamp(std::lround(s), 0L, 255L));
    }
  }
  return out;
}

// An iris-like texture: radial fibres at several angular frequencies, crypts of
// random size and place, and a pupil, on a mid-grey disc; fixed seed.
inline GreyImage IrisTexture(int32_t width, int32_t height, uint32_t seed = 7) {
  GreyImage g{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height)};
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  struct Crypt {
    double x, y, r;
  };
  std::vector<Crypt> crypts(60);
  const double cx = width / 2.0, cy = height / 2.0, iris = 0.45 * std::min(width, height),
               pupil = iris * 0.35;
  for (Crypt& c : crypts) {
    const double a = unit(random) * 2 * std::numbers::pi, d = pupil + unit(random) * (iris - pupil);
    c = {cx + d * std::cos(a), cy + d * std::sin(a), 1.5 + 4 * unit(random)};
  }
  std::normal_distribution<double> grain(0.0, 6.0);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const double dx = x - cx, dy = y - cy, r = std::hypot(dx, dy), a = std::atan2(dy, dx);
      double v = 200;  // sclera
      if (r < iris) {
        v = 110 + 25 * std::sin(a * 90 + r * 0.3) + 15 * std::sin(a * 37 - r * 0.5);
        for (const Crypt& c : crypts) {
          if (std::hypot(x - c.x, y - c.y) < c.r) {
            v -= 35;
          }
        }
      }
      if (r < pupil) {
        v = 20;
      }
      g.At(x, y) = static_cast<uint8_t>(std::clamp(std::lround(v + grain(random)), 0L, 255L));
    }
  }
  return g;
}

}  // namespace okuva::aids::test
