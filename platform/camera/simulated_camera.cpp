#include "platform/camera/simulated_camera.h"

#include "platform/camera/image_filters.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <tuple>

namespace okuva::camera {
namespace {

constexpr int32_t kSizes[][2] = {{640, 480}, {1280, 720}};
constexpr uint32_t kRates[] = {30, 15};  // frames per second offered at each size

// Geometry of the eye at a frame height of 480 pixels; other heights scale it.
constexpr double kReferenceHeight = 480.0;
constexpr double kEyeHalfWidth = 250.0;  // eye corner to centre
constexpr double kUpperLid = 105.0;      // lid height above the centre at mid-eye
constexpr double kLowerLid = 118.0;
constexpr double kDriftAmplitude = 14.0;  // how far the eye wanders
// Blur radius in pixels (at 480 lines) per unit of focus distance from the best value.
constexpr double kBlurPerFocusStep = 1.0 / 32.0;

uint32_t Hash(int32_t x, int32_t y, uint32_t seed) {
  uint32_t h = static_cast<uint32_t>(x) * 0x8da6b343u ^ static_cast<uint32_t>(y) * 0xd8163841u ^
               seed * 0xcb1ab31fu;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return h;
}

// Smooth value noise in [0, 1): bilinear between hashed lattice values.
double ValueNoise(double x, double y, uint32_t seed) {
  const double fx = std::floor(x), fy = std::floor(y);
  const auto ix = static_cast<int32_t>(fx), iy = static_cast<int32_t>(fy);
  const double tx = x - fx, ty = y - fy;
  const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
  auto v = [&](int32_t dx, int32_t dy) { return (Hash(ix + dx, iy + dy, seed) >> 8) / 16777216.0; };
  const double top = v(0, 0) + (v(1, 0) - v(0, 0)) * sx;
  const double bottom = v(0, 1) + (v(1, 1) - v(0, 1)) * sx;
  return top + (bottom - top) * sy;
}

// 0 below edge - 0.5, 1 above edge + 0.5: a one-pixel anti-aliased step.
double Step(double edge, double value) { return std::clamp(value - edge + 0.5, 0.0, 1.0); }

struct Rgb {
  double r, g, b;
};
double Luma(Rgb c) { return 0.299 * c.r + 0.587 * c.g + 0.114 * c.b; }
Rgb Mix(Rgb a, Rgb b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}
Rgb Scale(Rgb a, double f) { return {a.r * f, a.g * f, a.b * f}; }

// Smooth value noise that wraps around every `period` units of x, for patterns around
// the iris.
double PeriodicNoise(double x, double y, int32_t period, uint32_t seed) {
  const double fx = std::floor(x), fy = std::floor(y);
  const auto iy = static_cast<int32_t>(fy);
  const auto ix = static_cast<int32_t>(((static_cast<int64_t>(fx) % period) + period) % period);
  const double tx = x - fx, ty = y - fy;
  const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
  auto v = [&](int32_t dx, int32_t dy) {
    return (Hash((ix + dx) % period, iy + dy, seed) >> 8) / 16777216.0;
  };
  const double top = v(0, 0) + (v(1, 0) - v(0, 0)) * sx;
  const double bottom = v(0, 1) + (v(1, 1) - v(0, 1)) * sx;
  return top + (bottom - top) * sy;
}

// The shade of a seeded iris: radial fibres of frequencies and phases drawn from the
// seed, crypts and furrows of seeded noise at two scales; about 0.5 on average.
double SeededFibres(double r, double theta, uint32_t seed) {
  const double u = (theta + std::numbers::pi) / (2 * std::numbers::pi);  // 0..1 around
  double fibres = 0;
  for (uint32_t k = 0; k < 3; ++k) {
    const uint32_t h = Hash(static_cast<int32_t>(k), 11, seed);
    const double frequency = 24 + (h & 63);                    // cycles around the iris
    const double phase = ((h >> 8) & 1023) / 1023.0 * 2 * std::numbers::pi;
    const double wave = 0.04 + ((h >> 18) & 63) / 63.0 * 0.1;  // how the fibres bend outward
    fibres += std::sin(theta * frequency + phase + 2.5 * std::sin(r * wave + k));
  }
  const double crypts = PeriodicNoise(u * 48, r * 0.12, 48, seed);
  const double fine = PeriodicNoise(u * 160, r * 0.3, 160, seed ^ 0x9e3779b9u);
  return 0.5 + 0.12 * fibres / 3 + 0.5 * (crypts - 0.5) + 0.35 * (fine - 0.5);
}

// The iris at radius r (pixels, reference scale) and angle theta.
Rgb IrisColour(double r, double theta, double pupilRadius, double irisRadius, uint32_t seed) {
  const double t = std::clamp((r - pupilRadius) / (irisRadius - pupilRadius), 0.0, 1.0);
  const Rgb inner{150, 104, 52};   // amber collarette zone
  const Rgb outer{72, 112, 134};   // blue-grey ciliary zone
  // A seeded iris has its collarette's wave of its own too.
  const uint32_t wave = seed == 0 ? 0 : Hash(5, 5, seed);
  const double collarette =
      0.33 + 0.03 * std::sin(theta * (14 + (wave & 7)) +
                             ((wave >> 3) & 1023) / 1023.0 * 2 * std::numbers::pi);
  Rgb base = Mix(inner, outer, std::clamp((t - collarette) * 6 + 0.5, 0.0, 1.0));
  // Radial fibres at two fine angular frequencies, wavy with the radius, plus crypts.
  double shade = 0;
  if (seed == 0) {
    const double fibres = 0.5 + 0.25 * std::sin(theta * 41 + 2.5 * std::sin(r * 0.11)) +
                          0.25 * std::sin(theta * 67 + r * 0.07);
    const double crypts = ValueNoise(theta * 40 / std::numbers::pi, r * 0.16, 7);
    shade = 0.55 + 0.5 * fibres * (0.6 + 0.8 * crypts);
  } else {
    shade = 0.55 + 0.7 * std::clamp(0.5 + 1.6 * (SeededFibres(r, theta, seed) - 0.5), 0.0, 1.0);
  }
  shade *= 1.0 + 0.25 * std::exp(-std::pow((t - collarette) * 14, 2));  // raised ridge
  if (t > 0.86) {
    shade *= 1.0 - (t - 0.86) * 4.0;  // dark limbal ring
  }
  return Scale(base, shade);
}

// A near-infrared camera sees no colour; under its illuminator the iris is dark, the
// pupil barely darker, skin and sclera bright.
Rgb Grey(double level) { return {level, level, level}; }

// The dim near-infrared look of a real iris camera (see SimulatedCamera::Eye::dim),
// at reference coordinates (dx, dy) from the eye's centre; grey level.
double DimLevel(double dx, double dy, double irisRadius, double pupilRadius, bool darkIris) {
  auto soft = [](double edge, double value, double width) {  // 0 inside, 1 outside, smooth
    const double t = std::clamp((value - edge) / width + 0.5, 0.0, 1.0);
    return t * t * (3 - 2 * t);
  };
  const double r = std::hypot(dx, dy), theta = std::atan2(dy, dx);
  const double skin = 58 + 6 * ValueNoise(dx / 9, dy / 9, 11),
               sclera = 47 + 3 * ValueNoise(dx / 7, dy / 7, 13);
  const double fibres = 0.5 + 0.5 * std::sin(theta * 41 + 2.5 * std::sin(r * 0.11)) *
                                  ValueNoise(theta * 12, r * 0.2, 5);
  const double iris = (darkIris ? 13 : 22) + (darkIris ? 3 : 7) * fibres;
  const double pupil = 10;
  // Lids: the upper over the top fifth of the iris, the lower just under it.
  const double across = std::clamp(1.0 - (dx / kEyeHalfWidth) * (dx / kEyeHalfWidth), 0.0, 1.0);
  const double upperAt = -0.6 * irisRadius * std::sqrt(across),
               lowerAt = 1.05 * irisRadius * std::sqrt(across);
  double level = sclera;
  level = level + (iris - level) * (1 - soft(irisRadius, r, 0.2 * irisRadius));
  level = level + (pupil - level) * (1 - soft(pupilRadius, r, 0.33 * pupilRadius));
  // Lashes: dark strands hanging a little way down from the upper lid's margin.
  const double strand = std::abs(std::sin(dx * 0.35 + 3 * ValueNoise(dx / 20, 0, 17)));
  if (dy > upperAt && dy < upperAt + 9 + 6 * ValueNoise(dx / 6, 1, 19) && strand < 0.25) {
    level = std::min(level, 12.0);
  }
  // The lids' skin, blurred over a few pixels at their margins.
  level = level + (skin - level) * (1 - soft(upperAt, dy, 4));
  level = level + (skin - level) * soft(lowerAt, dy, 4);
  // The illuminator's spot on the pupil's lower edge.
  const double spot = std::hypot(dx - 0.15 * pupilRadius, dy - 0.85 * pupilRadius);
  level = level + (255 - level) * (1 - soft(0.22 * pupilRadius, spot, 2));
  return level;
}

// Renders the still eye for a frame of `height` lines into a `w` x `h` template whose
// centre is the frame's centre (the eye sits at the eye's offset from it).
void RenderTemplate(std::vector<uint8_t>& rgb, int32_t w, int32_t h, int32_t height,
                    const SimulatedCamera::Eye& look) {
  rgb.assign(static_cast<size_t>(w) * h * 3, 0);
  const double s = height / kReferenceHeight;
  const double cx = w / 2.0 + look.offsetX * s, cy = h / 2.0 + look.offsetY * s;
  const double irisRadius = look.irisRadius, pupilRadius = look.pupilRadius;
  const bool nir = look.nearInfrared;
  // The upper lid comes down toward the lower one as the eye closes.
  const double upperLid =
      kUpperLid - std::clamp(look.lidClosure, 0.0, 1.0) * (kUpperLid + kLowerLid);
  const Rgb skin = nir ? Rgb{168, 168, 168} : Rgb{222, 178, 150};
  const Rgb lash = nir ? Rgb{40, 40, 40} : Rgb{52, 36, 30};
  const Rgb pupil = nir ? Rgb{25, 25, 25} : Rgb{14, 11, 12};
  const Rgb highlight{252, 252, 248};
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* out = rgb.data() + static_cast<size_t>(y) * w * 3;
    for (int32_t x = 0; x < w; ++x) {
      // Reference coordinates relative to the eye's centre.
      const double dx = (x + 0.5 - cx) / s, dy = (y + 0.5 - cy) / s;
      if (nir && look.dim) {
        const auto v = static_cast<uint8_t>(
            std::clamp(DimLevel(dx, dy, irisRadius, pupilRadius, look.darkIris), 0.0, 255.0));
        out[3 * x + 0] = out[3 * x + 1] = out[3 * x + 2] = v;
        continue;
      }
      const double across = std::clamp(1.0 - (dx / kEyeHalfWidth) * (dx / kEyeHalfWidth), 0.0, 1.0);
      const double upper = -upperLid * across, lower = kLowerLid * across;
      // How far inside the lids (pixels), negative outside.
      const double inside = std::min(dy - upper, lower - dy) * s;

      const double skinTone = 0.93 + 0.06 * ValueNoise(x / (9 * s), y / (9 * s), 3) -
                              0.1 * std::min(1.0, std::hypot(dx, dy) / 600);
      Rgb colour = Scale(skin, skinTone);
      if (inside > -6 * s) {
        // Sclera, darker and pinker toward the corners.
        const double corner = std::min(1.0, std::abs(dx) / kEyeHalfWidth);
        Rgb eye =
            nir ? Rgb{190, 190, 190} : Mix(Rgb{236, 233, 226}, Rgb{214, 180, 170}, corner * corner);
        const double r = std::hypot(dx, dy);
        if (r < irisRadius + 1) {
          // Angles grow clockwise as seen (y down), so a counter-clockwise turn of the
          // iris shows at each angle what lay that far clockwise of it.
          const double turned = std::atan2(dy, dx) + look.irisTurn * std::numbers::pi / 180;
          const double theta = std::remainder(turned, 2 * std::numbers::pi);
          Rgb iris = IrisColour(r, theta, pupilRadius, irisRadius, look.textureSeed);
          if (nir) {
            iris = Grey(0.9 * Luma(iris) - 20);
          }
          eye = Mix(eye, iris, Step(0, (irisRadius - r) * s));
          eye = Mix(eye, pupil, Step(0, (pupilRadius - r) * s));
        }
        // The light's reflection: on the pupil's edge in daylight, the illuminator's
        // small spot inside the pupil in near-infrared.
        const double hr = nir ? std::hypot(dx - 0.25 * pupilRadius, dy + 0.2 * pupilRadius)
                              : std::hypot(dx - 24, dy + 30);
        eye = Mix(eye, highlight, Step(0, ((nir ? 6 : 9) - hr) * s));
        // Shadow of the upper lid on the eye and a line of lashes along it.
        eye = Scale(eye, 0.75 + 0.25 * std::min(1.0, (dy - upper) / 25));
        colour = Mix(colour, eye, Step(0, inside));
        const double lashLine = dy - upper;
        if (lashLine > -6 && lashLine < 1 && across > 0.05) {
          colour = Mix(colour, lash, 0.85);
        }
      }
      out[3 * x + 0] = static_cast<uint8_t>(std::clamp(colour.r, 0.0, 255.0));
      out[3 * x + 1] = static_cast<uint8_t>(std::clamp(colour.g, 0.0, 255.0));
      out[3 * x + 2] = static_cast<uint8_t>(std::clamp(colour.b, 0.0, 255.0));
    }
  }
}

}  // namespace

SimulatedCamera::SimulatedCamera() : SimulatedCamera(Options{}) {}

SimulatedCamera::SimulatedCamera(Options options) : SimulatedCamera(options, Eye{}) {}

SimulatedCamera::SimulatedCamera(Options options, Eye eye) : options_(options), eye_(eye) {
  format_ = StreamFormat{kFourcc, kSizes[0][0], kSizes[0][1], FrameRate{1, kRates[0]}};
  Control brightness;
  brightness.id = kBrightnessId;
  brightness.name = "Brillo";
  brightness.minimum = -64;
  brightness.maximum = 64;
  Control contrast;
  contrast.id = kContrastId;
  contrast.name = "Contraste";
  contrast.minimum = 0;
  contrast.maximum = 100;
  contrast.defaultValue = contrast.value = 50;
  Control focus;
  focus.id = kFocusId;
  focus.name = "Enfoque";
  focus.minimum = 0;
  focus.maximum = 255;
  focus.defaultValue = focus.value = kBestFocus;
  controls_ = {brightness, contrast, focus};
}

SimulatedCamera::~SimulatedCamera() = default;

std::string SimulatedCamera::Name() const { return "Cámara simulada"; }
std::string SimulatedCamera::Identity() const { return "simulated"; }

CameraState SimulatedCamera::State() const { return state_; }

bool SimulatedCamera::Start() {
  if (state_ == CameraState::Streaming) {
    return true;
  }
  if (!plugged_) {
    state_ = CameraState::Unplugged;
    lastError_ = "La cámara simulada está desconectada";
    return false;
  }
  RestartStream();
  state_ = CameraState::Streaming;
  return true;
}

void SimulatedCamera::Stop() {
  if (state_ == CameraState::Streaming) {
    state_ = CameraState::Stopped;
  }
}

void SimulatedCamera::RestartStream() {
  streamStart_ = std::chrono::steady_clock::now();
  nextIndex_ = 0;
}

bool SimulatedCamera::Poll() {
  if (state_ != CameraState::Streaming) {
    return false;
  }
  if (!plugged_) {
    state_ = CameraState::Unplugged;
    lastError_ = "La cámara simulada está desconectada";
    return false;
  }
  uint64_t newest = nextIndex_;
  if (!options_.framePerPoll) {
    const auto elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - streamStart_);
    const double fps = static_cast<double>(format_.rate.denominator) / format_.rate.numerator;
    const auto due = static_cast<uint64_t>(elapsed.count() * fps);
    if (due < nextIndex_) {
      return false;  // the next frame is not due yet
    }
    newest = due;                        // frames in between were overtaken
  }
  delivered_ += newest - nextIndex_ + 1;
  nextIndex_ = newest + 1;
  if (newest < options_.settleFrames) {
    return false;  // exposure still settling
  }
  RenderInto(newest, latest_);  // reuses the frame's memory
  latest_.sequence = delivered_;
  return true;
}

bool SimulatedCamera::Reconnect() {
  if (state_ != CameraState::Unplugged || !plugged_) {
    return false;
  }
  // Format and control values live in this object, so they survive the unplug.
  return Start();
}

std::vector<FormatChoice> SimulatedCamera::Formats() {
  std::vector<FormatChoice> formats;
  for (const auto& size : kSizes) {
    FormatChoice choice;
    choice.fourcc = kFourcc;
    choice.formatName = "RGB 24 bits";
    choice.width = size[0];
    choice.height = size[1];
    for (uint32_t fps : kRates) {
      choice.rates.push_back(FrameRate{1, fps});
    }
    formats.push_back(choice);
  }
  return formats;
}

std::optional<StreamFormat> SimulatedCamera::SetFormat(const StreamFormat& format) {
  if (format.fourcc != kFourcc) {
    lastError_ = "Formato de píxel no admitido por la cámara simulada";
    return std::nullopt;
  }
  StreamFormat granted = format;
  // Nearest offered size by area difference, like a driver adjusting a try.
  const auto* best = &kSizes[0];
  for (const auto& size : kSizes) {
    const int64_t area = int64_t{format.width} * format.height;
    if (std::llabs(int64_t{size[0]} * size[1] - area) <
        std::llabs(int64_t{(*best)[0]} * (*best)[1] - area)) {
      best = &size;
    }
  }
  granted.width = (*best)[0];
  granted.height = (*best)[1];
  const double wanted = format.rate.numerator == 0
                            ? kRates[0]
                            : static_cast<double>(format.rate.denominator) / format.rate.numerator;
  uint32_t fps = kRates[0];
  for (uint32_t r : kRates) {
    if (std::abs(r - wanted) < std::abs(fps - wanted)) {
      fps = r;
    }
  }
  granted.rate = FrameRate{1, fps};
  format_ = granted;
  if (state_ == CameraState::Streaming) {
    RestartStream();
  }
  return granted;
}

std::vector<Control> SimulatedCamera::Controls() { return controls_; }

bool SimulatedCamera::SetControl(uint32_t id, int32_t value) {
  for (auto& control : controls_) {
    if (control.id != id) {
      continue;
    }
    if (value < control.minimum || value > control.maximum) {
      lastError_ = "Valor fuera de rango para " + control.name;
      return false;
    }
    control.value = value;
    return true;
  }
  lastError_ = "Control desconocido";
  return false;
}

int32_t SimulatedCamera::ControlValue(uint32_t id) const {
  for (const auto& control : controls_) {
    if (control.id == id) {
      return control.value;
    }
  }
  return 0;
}

struct SimulatedCamera::Template {
  int32_t width = 0, height = 0;  // frame size plus the drift margin on each side
  int32_t margin = 0;
  std::vector<uint8_t> rgb;
};

std::shared_ptr<const SimulatedCamera::Template> SimulatedCamera::TemplateFor(int32_t width,
                                                                              int32_t height,
                                                                              const Eye& eye) {
  static std::mutex mutex;
  static std::map<std::tuple<int32_t, int32_t, Eye>, std::shared_ptr<const Template>> cache;
  const std::lock_guard lock(mutex);
  Eye look = eye;
  look.noise = 0;  // applied per frame
  look.drift = true;
  auto& slot = cache[{width, height, look}];
  if (!slot) {
    auto t = std::make_shared<Template>();
    t->margin = static_cast<int32_t>(std::ceil(kDriftAmplitude * height / kReferenceHeight)) + 1;
    t->width = width + 2 * t->margin;
    t->height = height + 2 * t->margin;
    RenderTemplate(t->rgb, t->width, t->height, height, look);
    slot = std::move(t);
  }
  return slot;
}

std::shared_ptr<const SimulatedCamera::Template> SimulatedCamera::DefocusedTemplate(
    int32_t width, int32_t height) {
  auto sharp = TemplateFor(width, height, eye_);
  const double radius =
      std::abs(ControlValue(kFocusId) - kBestFocus) * kBlurPerFocusStep * height / kReferenceHeight;
  if (!(radius > 0)) {
    return sharp;
  }
  // Blurring commutes with the drift, so the whole still is blurred once per focus
  // value and every frame is only a crop of it. Blurring the larger still also spares
  // the frame's border the edge clamping.
  if (!defocused_ || defocusedRadius_ != radius || defocused_->width != sharp->width ||
      defocused_->height != sharp->height) {
    auto blurred = std::make_shared<Template>(*sharp);
    DefocusBlur(blurred->rgb.data(), blurred->width, blurred->height, radius);
    defocused_ = std::move(blurred);
    defocusedRadius_ = radius;
  }
  return defocused_;
}

void SimulatedCamera::SetEye(const Eye& eye) {
  eye_ = eye;
  defocused_.reset();  // blurred from the former eye's still
}

Frame SimulatedCamera::RenderFrame(uint64_t index) {
  Frame frame;
  RenderInto(index, frame);
  return frame;
}

void SimulatedCamera::RenderInto(uint64_t index, Frame& frame) {
  const int32_t width = format_.width, height = format_.height;
  const auto shared = DefocusedTemplate(width, height);
  const Template& t = *shared;
  frame.width = width;
  frame.height = height;
  frame.sequence = index + 1;
  frame.rgb.resize(static_cast<size_t>(width) * height * 3);

  int32_t ox = 0, oy = 0;
  DriftAt(index, t.margin, ox, oy);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* src =
        t.rgb.data() + (static_cast<size_t>(y + t.margin + oy) * t.width + t.margin + ox) * 3;
    std::copy_n(src, static_cast<size_t>(width) * 3,
                frame.rgb.data() + static_cast<size_t>(y) * width * 3);
  }

  const double gain = ControlValue(kContrastId) / 50.0;
  const int32_t offset = ControlValue(kBrightnessId);
  if (gain != 1.0 || offset != 0) {
    uint8_t lut[256];
    for (int32_t v = 0; v < 256; ++v) {
      lut[v] =
          static_cast<uint8_t>(std::clamp(std::lround((v - 128) * gain + 128 + offset), 0L, 255L));
    }
    for (uint8_t& b : frame.rgb) {
      b = lut[b];
    }
  }
  if (eye_.noise > 0) {
    // Grey sensor noise, near Gaussian (a sum of four uniform values), fixed per frame.
    const auto seed = static_cast<uint32_t>(index * 2654435761u + 17);
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* row = frame.rgb.data() + static_cast<size_t>(y) * width * 3;
      for (int32_t x = 0; x < width; ++x) {
        const uint32_t h = Hash(x, y, seed);
        const double u =
            ((h & 0xFF) + ((h >> 8) & 0xFF) + ((h >> 16) & 0xFF) + (h >> 24)) / 255.0 - 2.0;
        const auto delta = static_cast<int32_t>(std::lround(u * std::numbers::sqrt3 * eye_.noise));
        for (int c = 0; c < 3; ++c) {
          row[3 * x + c] = static_cast<uint8_t>(std::clamp(row[3 * x + c] + delta, 0, 255));
        }
      }
    }
  }
}

void SimulatedCamera::DriftAt(uint64_t index, int32_t margin, int32_t& ox, int32_t& oy) const {
  ox = oy = 0;
  if (!eye_.drift) {
    return;
  }
  // The eye wanders on a slow Lissajous path (periods of 3 and 2.2 seconds at 30 fps).
  const double phase = static_cast<double>(index % 1980);
  const double amplitude = margin - 1;
  ox = static_cast<int32_t>(std::lround(amplitude * std::sin(phase * 2 * std::numbers::pi / 90)));
  oy = static_cast<int32_t>(
      std::lround(amplitude * 0.6 * std::sin(phase * 2 * std::numbers::pi / 66 + 1)));
}

SimulatedCamera::EyeGeometry SimulatedCamera::GeometryAt(uint64_t index) const {
  const double s = format_.height / kReferenceHeight;
  const int32_t margin =
      static_cast<int32_t>(std::ceil(kDriftAmplitude * format_.height / kReferenceHeight)) + 1;
  int32_t ox = 0, oy = 0;
  DriftAt(index, margin, ox, oy);
  return {format_.width / 2.0 + eye_.offsetX * s - ox, format_.height / 2.0 + eye_.offsetY * s - oy,
          eye_.irisRadius * s, eye_.pupilRadius * s};
}

}  // namespace okuva::camera
