#include "platform/camera/v4l2_camera.h"

#include "platform/camera/pixel_formats.h"

#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace okuva::camera {
namespace {

constexpr int kOpenFlags = O_RDWR | O_NONBLOCK;
// The size the preview is built for; the default format prefers it.
constexpr int32_t kPreferredWidth = 640, kPreferredHeight = 480;
constexpr double kPreferredFps = 30.0;

std::string ErrnoText(int errnum) { return std::strerror(errnum); }

std::string FixedText(const uint8_t* text, size_t size) {
  const auto* chars = reinterpret_cast<const char*>(text);
  return std::string(chars, strnlen(chars, size));
}

bool IsGone(int errnum) { return errnum == ENODEV || errnum == EIO || errnum == ENXIO; }

int RetryIoctl(DeviceIo& io, int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = io.Ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

// libv4lconvert asks the device about itself; route those questions through DeviceIo
// so they reach whatever device the camera talks to.
int ConvertIoctl(void* priv, int fd, unsigned long request, void* arg) {
  return RetryIoctl(*static_cast<DeviceIo*>(priv), fd, request, arg);
}
void ConvertClose(void*) {}
ssize_t ConvertRead(void*, int, void*, size_t) {
  errno = ENOSYS;
  return -1;
}
ssize_t ConvertWrite(void*, int, const void*, size_t) {
  errno = ENOSYS;
  return -1;
}
const libv4l_dev_ops kConvertOps = {nullptr,      ConvertClose, ConvertIoctl, ConvertRead,
                                    ConvertWrite, nullptr,      nullptr,      nullptr,
                                    nullptr,      nullptr,      nullptr,      nullptr};

uint32_t Caps(const v4l2_capability& cap) {
  return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
}
bool IsCaptureDevice(const v4l2_capability& cap) {
  const uint32_t caps = Caps(cap);
  return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

double Fps(const FrameRate& rate) {
  return rate.numerator == 0 ? 0.0 : static_cast<double>(rate.denominator) / rate.numerator;
}

// Sizes to offer from a stepwise or continuous range: the usual ones that fit.
std::vector<std::pair<int32_t, int32_t>> SizesInRange(const v4l2_frmsize_stepwise& s) {
  const std::pair<uint32_t, uint32_t> usual[] = {
      {s.min_width, s.min_height}, {320, 240}, {640, 480}, {1280, 720}, {1920, 1080},
      {s.max_width, s.max_height}};
  std::vector<std::pair<int32_t, int32_t>> sizes;
  for (auto [w, h] : usual) {
    if (w < s.min_width || w > s.max_width || h < s.min_height || h > s.max_height) {
      continue;
    }
    if (s.step_width > 1 && (w - s.min_width) % s.step_width) {
      continue;
    }
    if (s.step_height > 1 && (h - s.min_height) % s.step_height) {
      continue;
    }
    std::pair<int32_t, int32_t> size{static_cast<int32_t>(w), static_cast<int32_t>(h)};
    if (std::find(sizes.begin(), sizes.end(), size) == sizes.end()) {
      sizes.push_back(size);
    }
  }
  return sizes;
}

}  // namespace

// ---- enumeration ----

void SortDeviceNodes(std::vector<std::string>& paths) {
  auto number = [](const std::string& path) -> long {
    static const std::string prefix = "/dev/video";
    if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) {
      return -1;
    }
    long n = 0;
    for (size_t i = prefix.size(); i < path.size(); ++i) {
      if (path[i] < '0' || path[i] > '9' || n > 100000000) {
        return -1;
      }
      n = n * 10 + (path[i] - '0');
    }
    return n;
  };
  std::stable_sort(paths.begin(), paths.end(), [&](const std::string& a, const std::string& b) {
    const long na = number(a), nb = number(b);
    if ((na < 0) != (nb < 0)) {
      return na >= 0;  // numbered nodes first
    }
    if (na < 0) {
      return a < b;
    }
    return na < nb;
  });
}

std::vector<DeviceInfo> EnumerateCaptureDevices(DeviceIo& io,
                                                std::vector<std::string>* unopenable) {
  std::vector<std::string> paths = io.ListDevices();
  SortDeviceNodes(paths);
  std::vector<DeviceInfo> devices;
  for (const auto& path : paths) {
    const int fd = io.Open(path, kOpenFlags);
    if (fd < 0) {
      if (unopenable) {
        unopenable->push_back(path);
      }
      continue;
    }
    v4l2_capability cap{};
    if (RetryIoctl(io, fd, VIDIOC_QUERYCAP, &cap) == 0 && IsCaptureDevice(cap)) {
      devices.push_back({path, FixedText(cap.card, sizeof cap.card),
                         FixedText(cap.bus_info, sizeof cap.bus_info),
                         FixedText(cap.driver, sizeof cap.driver)});
    }
    io.Close(fd);
  }
  return devices;
}

std::unique_ptr<Camera> OpenV4l2Camera(const std::string& path, std::shared_ptr<DeviceIo> io) {
  const int fd = io->Open(path, kOpenFlags);
  if (fd < 0) {
    // A node that exists but is busy or forbidden still is the camera asked for;
    // Start() then says why it cannot be used.
    if (errno == ENOENT || errno == ENOTDIR) {
      return nullptr;
    }
  } else {
    io->Close(fd);
  }
  return std::make_unique<V4l2Camera>(path, std::move(io));
}

std::unique_ptr<Camera> OpenFirstV4l2Camera(std::shared_ptr<DeviceIo> io) {
  std::vector<std::string> unopenable;
  const auto devices = EnumerateCaptureDevices(*io, &unopenable);
  if (!devices.empty()) {
    return std::make_unique<V4l2Camera>(devices.front(), std::move(io));
  }
  if (!unopenable.empty()) {
    return std::make_unique<V4l2Camera>(unopenable.front(), std::move(io));
  }
  return nullptr;
}

// ---- the camera ----

V4l2Camera::V4l2Camera(std::string path, std::shared_ptr<DeviceIo> io)
    : path_(std::move(path)), io_(std::move(io)) {}

V4l2Camera::V4l2Camera(const DeviceInfo& device, std::shared_ptr<DeviceIo> io)
    : path_(device.path), io_(std::move(io)), card_(device.card), busInfo_(device.busInfo) {}

V4l2Camera::~V4l2Camera() { CloseDevice(); }

class V4l2Camera::QueryOpen {
public:
  explicit QueryOpen(V4l2Camera& camera) : camera_(camera), opened_(camera.fd_ < 0) {
    ok_ = camera.state_ != CameraState::Unplugged && camera.OpenDevice();
  }
  ~QueryOpen() {
    if (opened_ && !camera_.streaming_) {
      camera_.CloseDevice();
    }
  }
  QueryOpen(const QueryOpen&) = delete;
  QueryOpen& operator=(const QueryOpen&) = delete;
  bool Ok() const { return ok_; }

private:
  V4l2Camera& camera_;
  bool opened_;
  bool ok_ = false;
};

std::string V4l2Camera::Name() const { return card_.empty() ? path_ : card_; }
std::string V4l2Camera::Identity() const { return busInfo_.empty() ? path_ : busInfo_; }

int V4l2Camera::PollDescriptor() const { return streaming_ ? fd_ : -1; }

int V4l2Camera::Xioctl(unsigned long request, void* arg) {
  return RetryIoctl(*io_, fd_, request, arg);
}

bool V4l2Camera::Fail(const std::string& what, int errnum) {
  lastError_ = what + ": " + ErrnoText(errnum);
  return false;
}

bool V4l2Camera::OpenDevice() {
  if (fd_ >= 0) {
    return true;
  }
  fd_ = io_->Open(path_, kOpenFlags);
  if (fd_ < 0) {
    return Fail("No se pudo abrir " + path_, errno);
  }
  v4l2_capability cap{};
  if (Xioctl(VIDIOC_QUERYCAP, &cap) < 0) {
    const int err = errno;
    CloseDevice();
    return Fail("No se pudo consultar " + path_, err);
  }
  if (!IsCaptureDevice(cap)) {
    CloseDevice();
    lastError_ = path_ + " no es un dispositivo de captura de vídeo";
    return false;
  }
  card_ = FixedText(cap.card, sizeof cap.card);
  busInfo_ = FixedText(cap.bus_info, sizeof cap.bus_info);
  convert_ = v4lconvert_create_with_dev_ops(fd_, io_.get(), &kConvertOps);
  if (!convert_) {
    CloseDevice();
    lastError_ = "No se pudo preparar la conversión de imagen de " + path_;
    return false;
  }
  return true;
}

void V4l2Camera::CloseDevice() {
  StopStreaming();
  if (convert_) {
    v4lconvert_destroy(convert_);
    convert_ = nullptr;
  }
  if (fd_ >= 0) {
    io_->Close(fd_);
    fd_ = -1;
  }
}

bool V4l2Camera::StartStreaming() {
  v4l2_requestbuffers req{};
  req.count = kBufferCount;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (Xioctl(VIDIOC_REQBUFS, &req) < 0) {
    return Fail("No se pudieron reservar los búferes", errno);
  }
  if (req.count < 2) {
    StopStreaming();
    lastError_ = "El dispositivo no ofrece búferes suficientes";
    return false;
  }
  buffers_.reserve(req.count);
  for (uint32_t i = 0; i < req.count; ++i) {
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = i;
    if (Xioctl(VIDIOC_QUERYBUF, &b) < 0) {
      const int err = errno;
      StopStreaming();
      return Fail("No se pudo consultar un búfer", err);
    }
    void* start = io_->Mmap(b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, b.m.offset);
    if (start == MAP_FAILED) {
      const int err = errno;
      StopStreaming();
      return Fail("No se pudo proyectar un búfer", err);
    }
    buffers_.push_back({start, b.length});
  }
  for (uint32_t i = 0; i < buffers_.size(); ++i) {
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = i;
    if (Xioctl(VIDIOC_QBUF, &b) < 0) {
      const int err = errno;
      StopStreaming();
      return Fail("No se pudo encolar un búfer", err);
    }
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (Xioctl(VIDIOC_STREAMON, &type) < 0) {
    const int err = errno;
    StopStreaming();
    return Fail("No se pudo iniciar la transmisión", err);
  }
  streaming_ = true;
  settleLeft_ = settleFrames_;
  return true;
}

void V4l2Camera::StopStreaming() {
  if (fd_ < 0) {
    return;
  }
  if (streaming_) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    Xioctl(VIDIOC_STREAMOFF, &type);  // fails harmlessly on a vanished device
    streaming_ = false;
  }
  const bool hadBuffers = !buffers_.empty();
  for (const auto& buffer : buffers_) {
    io_->Munmap(buffer.start, buffer.length);
  }
  buffers_.clear();
  if (hadBuffers) {
    // Freeing the driver's buffers lets the next format have another size.
    v4l2_requestbuffers req{};
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    Xioctl(VIDIOC_REQBUFS, &req);
  }
}

void V4l2Camera::MarkUnplugged(int errnum) {
  CloseDevice();
  state_ = CameraState::Unplugged;
  lastError_ = "La cámara se ha desconectado: " + ErrnoText(errnum);
}

bool V4l2Camera::ApplyFormat(const StreamFormat& wanted, StreamFormat* granted) {
  v4l2_format f{};
  f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  f.fmt.pix.width = static_cast<uint32_t>(std::max(wanted.width, 1));
  f.fmt.pix.height = static_cast<uint32_t>(std::max(wanted.height, 1));
  f.fmt.pix.pixelformat = wanted.fourcc;
  f.fmt.pix.field = V4L2_FIELD_ANY;
  // Try first: the driver adjusts to what it can do without changing anything yet.
  if (Xioctl(VIDIOC_TRY_FMT, &f) < 0 && errno != ENOTTY && errno != EINVAL) {
    return Fail("El dispositivo rechazó el formato", errno);
  }
  if (PixelFormatRank(f.fmt.pix.pixelformat) < 0) {
    lastError_ = "El dispositivo no ofrece un formato de píxel admitido a ese tamaño";
    return false;
  }
  if (Xioctl(VIDIOC_S_FMT, &f) < 0) {
    return Fail("No se pudo fijar el formato", errno);
  }
  // Read back what the driver actually chose.
  v4l2_format got{};
  got.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (Xioctl(VIDIOC_G_FMT, &got) < 0) {
    return Fail("No se pudo leer el formato", errno);
  }
  if (PixelFormatRank(got.fmt.pix.pixelformat) < 0 || got.fmt.pix.width == 0 ||
      got.fmt.pix.height == 0 || got.fmt.pix.width > 16384 || got.fmt.pix.height > 16384) {
    lastError_ = "El dispositivo eligió un formato no admitido";
    return false;
  }
  current_.fourcc = got.fmt.pix.pixelformat;
  current_.width = static_cast<int32_t>(got.fmt.pix.width);
  current_.height = static_cast<int32_t>(got.fmt.pix.height);
  bytesPerLine_ = got.fmt.pix.bytesperline;
  sizeImage_ = got.fmt.pix.sizeimage;

  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (Xioctl(VIDIOC_G_PARM, &parm) == 0 && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
    if (wanted.rate.numerator != 0 && wanted.rate.denominator != 0) {
      parm.parm.capture.timeperframe.numerator = wanted.rate.numerator;
      parm.parm.capture.timeperframe.denominator = wanted.rate.denominator;
      Xioctl(VIDIOC_S_PARM, &parm);  // a refused rate leaves the driver's own
    }
    parm = v4l2_streamparm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Xioctl(VIDIOC_G_PARM, &parm) == 0 && parm.parm.capture.timeperframe.denominator != 0) {
      current_.rate = {parm.parm.capture.timeperframe.numerator,
                       parm.parm.capture.timeperframe.denominator};
    }
  } else {
    current_.rate = wanted.rate;
  }
  if (granted) {
    *granted = current_;
  }
  return true;
}

std::optional<StreamFormat> V4l2Camera::DefaultFormat() {
  const auto formats = Formats();
  if (formats.empty()) {
    return std::nullopt;
  }
  // The preview size if offered, else the smallest larger one, else the largest.
  auto area = [](const FormatChoice& f) { return int64_t{f.width} * f.height; };
  const int64_t preferred = int64_t{kPreferredWidth} * kPreferredHeight;
  const FormatChoice* best = nullptr;
  auto better = [&](const FormatChoice& a, const FormatChoice& b) {
    const bool aExact = a.width == kPreferredWidth && a.height == kPreferredHeight;
    const bool bExact = b.width == kPreferredWidth && b.height == kPreferredHeight;
    if (aExact != bExact) {
      return aExact;
    }
    const bool aBig = area(a) >= preferred, bBig = area(b) >= preferred;
    if (aBig != bBig) {
      return aBig;
    }
    if (area(a) != area(b)) {
      return aBig ? area(a) < area(b) : area(a) > area(b);
    }
    return PixelFormatRank(a.fourcc) < PixelFormatRank(b.fourcc);
  };
  for (const auto& f : formats) {
    if (!best || better(f, *best)) {
      best = &f;
    }
  }
  StreamFormat format{best->fourcc, best->width, best->height, FrameRate{0, 0}};
  // The fastest rate up to 30 frames per second, else the slowest offered.
  const FrameRate* rate = nullptr;
  for (const auto& r : best->rates) {
    const double fps = Fps(r);
    if (!rate) {
      rate = &r;
      continue;
    }
    const double have = Fps(*rate);
    const bool fits = fps <= kPreferredFps + 0.5, haveFits = have <= kPreferredFps + 0.5;
    if (fits != haveFits ? fits : (fits ? fps > have : fps < have)) {
      rate = &r;
    }
  }
  if (rate) {
    format.rate = *rate;
  }
  return format;
}

bool V4l2Camera::Start() {
  if (state_ == CameraState::Streaming) {
    return true;
  }
  if (!OpenDevice()) {
    return false;
  }
  const std::optional<StreamFormat> wanted = chosen_ ? chosen_ : DefaultFormat();
  if (!wanted) {
    CloseDevice();
    lastError_ = "El dispositivo no ofrece ningún formato admitido";
    return false;
  }
  if (!ApplyFormat(*wanted, nullptr)) {
    CloseDevice();
    return false;
  }
  // Values the operator chose survive a reopen; a refusal here is not fatal.
  for (const auto& [id, value] : chosenControls_) {
    v4l2_control c{id, value};
    Xioctl(VIDIOC_S_CTRL, &c);
  }
  if (!StartStreaming()) {
    CloseDevice();
    return false;
  }
  state_ = CameraState::Streaming;
  return true;
}

void V4l2Camera::Stop() {
  CloseDevice();
  if (state_ != CameraState::Closed) {
    state_ = CameraState::Stopped;
  }
}

bool V4l2Camera::Poll() {
  if (state_ != CameraState::Streaming || !streaming_) {
    return false;
  }
  short revents = 0;
  if (io_->Poll(fd_, POLLIN, &revents, 0) < 0) {
    if (errno == EINTR) {
      return false;
    }
    MarkUnplugged(errno);
    return false;
  }
  if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
    MarkUnplugged(ENODEV);
    return false;
  }
  if (!(revents & POLLIN)) {
    return false;
  }

  // Drain everything delivered; keep only the newest good frame, re-queue the rest.
  std::optional<v4l2_buffer> newest;
  uint64_t newestSequence = 0;
  auto requeue = [&](v4l2_buffer b) {
    if (Xioctl(VIDIOC_QBUF, &b) < 0 && IsGone(errno)) {
      return false;
    }
    return true;
  };
  for (;;) {
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    if (Xioctl(VIDIOC_DQBUF, &b) < 0) {
      const int err = errno;
      if (err == EAGAIN) {
        break;
      }
      if (IsGone(err)) {
        MarkUnplugged(err);
        return false;
      }
      Fail("No se pudo recibir un cuadro", err);
      break;
    }
    if (b.index >= buffers_.size()) {
      continue;  // not one of ours; nothing to re-queue
    }
    bool alive = true;
    if (b.flags & V4L2_BUF_FLAG_ERROR) {
      alive = requeue(b);  // a damaged frame is skipped
    } else {
      ++delivered_;
      if (settleLeft_ > 0) {
        --settleLeft_;  // exposure still settling
        alive = requeue(b);
      } else {
        if (newest) {
          alive = requeue(*newest);
        }
        newest = b;
        newestSequence = delivered_;
      }
    }
    if (!alive) {
      MarkUnplugged(ENODEV);
      return false;
    }
  }
  if (!newest) {
    return false;
  }
  const bool converted = Convert(buffers_[newest->index], newest->bytesused);
  if (converted) {
    latest_.sequence = newestSequence;
  }
  if (!requeue(*newest)) {
    MarkUnplugged(ENODEV);
  }
  return converted;
}

bool V4l2Camera::Convert(const Buffer& buffer, uint32_t bytesUsed) {
  const int32_t width = current_.width, height = current_.height;
  const size_t size = static_cast<size_t>(width) * height * 3;
  size_t used = bytesUsed == 0 ? buffer.length : std::min<size_t>(bytesUsed, buffer.length);
  scratch_.resize(size);
  const auto* src = static_cast<const uint8_t*>(buffer.start);
  if (current_.fourcc == V4L2_PIX_FMT_RGB24) {
    const size_t stride = std::max<size_t>(bytesPerLine_, static_cast<size_t>(width) * 3);
    if (used < stride * (height - 1) + static_cast<size_t>(width) * 3) {
      lastError_ = "Cuadro incompleto";
      return false;
    }
    for (int32_t y = 0; y < height; ++y) {
      std::memcpy(scratch_.data() + static_cast<size_t>(y) * width * 3, src + y * stride,
                  static_cast<size_t>(width) * 3);
    }
  } else {
    // An uncompressed frame shorter than its format is a partial transfer; converting
    // it would show stale bytes from an older frame in its lower part.
    const bool compressed =
        current_.fourcc == V4L2_PIX_FMT_MJPEG || current_.fourcc == V4L2_PIX_FMT_JPEG;
    if (!compressed && sizeImage_ != 0 && used < sizeImage_) {
      lastError_ = "Cuadro incompleto";
      return false;
    }
    v4l2_format from{};
    from.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    from.fmt.pix.pixelformat = current_.fourcc;
    from.fmt.pix.width = static_cast<uint32_t>(width);
    from.fmt.pix.height = static_cast<uint32_t>(height);
    from.fmt.pix.bytesperline = bytesPerLine_;
    from.fmt.pix.sizeimage = sizeImage_;
    from.fmt.pix.field = V4L2_FIELD_NONE;
    v4l2_format to = from;
    to.fmt.pix.pixelformat = V4L2_PIX_FMT_RGB24;
    to.fmt.pix.bytesperline = static_cast<uint32_t>(width) * 3;
    to.fmt.pix.sizeimage = static_cast<uint32_t>(size);
    const int r =
        v4lconvert_convert(convert_, &from, &to, const_cast<uint8_t*>(src), static_cast<int>(used),
                           scratch_.data(), static_cast<int>(size));
    if (r < 0) {
      lastError_ =
          std::string("No se pudo convertir el cuadro: ") + v4lconvert_get_error_message(convert_);
      return false;
    }
  }
  latest_.rgb.swap(scratch_);
  latest_.width = width;
  latest_.height = height;
  return true;
}

std::vector<FormatChoice> V4l2Camera::Formats() {
  std::vector<FormatChoice> formats;
  const QueryOpen open(*this);
  if (!open.Ok()) {
    return formats;
  }
  for (uint32_t i = 0;; ++i) {
    v4l2_fmtdesc desc{};
    desc.index = i;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Xioctl(VIDIOC_ENUM_FMT, &desc) < 0 || i > 256) {
      break;
    }
    // Formats libv4l2 would emulate are not the device's own.
    if ((desc.flags & V4L2_FMT_FLAG_EMULATED) || PixelFormatRank(desc.pixelformat) < 0) {
      continue;
    }
    std::string name = FixedText(desc.description, sizeof desc.description);
    if (name.empty()) {
      name = AcceptedPixelFormats()[static_cast<size_t>(PixelFormatRank(desc.pixelformat))].name;
    }

    std::vector<std::pair<int32_t, int32_t>> sizes;
    for (uint32_t j = 0; j < 256; ++j) {
      v4l2_frmsizeenum fs{};
      fs.index = j;
      fs.pixel_format = desc.pixelformat;
      if (Xioctl(VIDIOC_ENUM_FRAMESIZES, &fs) < 0) {
        break;
      }
      if (fs.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        sizes.emplace_back(static_cast<int32_t>(fs.discrete.width),
                           static_cast<int32_t>(fs.discrete.height));
      } else {
        sizes = SizesInRange(fs.stepwise);
        break;
      }
    }
    for (auto [w, h] : sizes) {
      FormatChoice choice{desc.pixelformat, name, w, h, {}};
      for (uint32_t k = 0; k < 256; ++k) {
        v4l2_frmivalenum fi{};
        fi.index = k;
        fi.pixel_format = desc.pixelformat;
        fi.width = static_cast<uint32_t>(w);
        fi.height = static_cast<uint32_t>(h);
        if (Xioctl(VIDIOC_ENUM_FRAMEINTERVALS, &fi) < 0) {
          break;
        }
        if (fi.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
          if (fi.discrete.numerator && fi.discrete.denominator) {
            choice.rates.push_back({fi.discrete.numerator, fi.discrete.denominator});
          }
        } else {
          // A range: its ends, and 30 and 15 frames per second when inside it.
          const auto& s = fi.stepwise;
          auto inside = [&](uint32_t fps) {
            return s.min.denominator && s.max.denominator &&
                   double(s.min.numerator) / s.min.denominator <= 1.0 / fps &&
                   1.0 / fps <= double(s.max.numerator) / s.max.denominator;
          };
          if (s.min.numerator && s.min.denominator) {
            choice.rates.push_back({s.min.numerator, s.min.denominator});
          }
          for (uint32_t fps : {30u, 15u}) {
            if (inside(fps)) {
              choice.rates.push_back({1, fps});
            }
          }
          if (s.max.numerator && s.max.denominator) {
            choice.rates.push_back({s.max.numerator, s.max.denominator});
          }
          break;
        }
      }
      formats.push_back(std::move(choice));
    }
  }
  return formats;
}

StreamFormat V4l2Camera::CurrentFormat() {
  if (fd_ >= 0 && current_.width > 0) {
    return current_;
  }
  return chosen_.value_or(current_);
}

std::optional<StreamFormat> V4l2Camera::SetFormat(const StreamFormat& format) {
  if (state_ == CameraState::Unplugged) {
    lastError_ = "La cámara está desconectada";
    return std::nullopt;
  }
  const QueryOpen open(*this);
  if (!open.Ok()) {
    return std::nullopt;
  }
  const bool wasStreaming = streaming_;
  const StreamFormat previous = current_;
  StopStreaming();  // buffers of the old size must go before the size changes
  StreamFormat granted;
  if (!ApplyFormat(format, &granted)) {
    const std::string why = lastError_;
    if (previous.width > 0) {
      ApplyFormat(previous, nullptr);
    }
    if (wasStreaming && !StartStreaming()) {
      CloseDevice();
      state_ = CameraState::Stopped;
    }
    lastError_ = why;
    return std::nullopt;
  }
  chosen_ = granted;
  if (wasStreaming && !StartStreaming()) {
    CloseDevice();
    state_ = CameraState::Stopped;
    return std::nullopt;
  }
  return granted;
}

std::vector<Control> V4l2Camera::Controls() {
  std::vector<Control> controls;
  const QueryOpen open(*this);
  if (!open.Ok()) {
    return controls;
  }
  auto add = [&](const v4l2_queryctrl& q) {
    if (q.flags & V4L2_CTRL_FLAG_DISABLED) {
      return;
    }
    Control c;
    switch (q.type) {
      case V4L2_CTRL_TYPE_INTEGER: c.kind = ControlKind::Integer; break;
      case V4L2_CTRL_TYPE_BOOLEAN: c.kind = ControlKind::Boolean; break;
      case V4L2_CTRL_TYPE_MENU:
      case V4L2_CTRL_TYPE_INTEGER_MENU: c.kind = ControlKind::Menu; break;
      case V4L2_CTRL_TYPE_BUTTON: c.kind = ControlKind::Button; break;
      default: return;  // classes, strings, 64-bit and compound controls are not offered
    }
    c.id = q.id;
    c.name = FixedText(q.name, sizeof q.name);
    c.minimum = q.minimum;
    c.maximum = q.maximum;
    c.step = q.step == 0 ? 1 : q.step;
    c.defaultValue = q.default_value;
    c.value = q.default_value;
    c.readOnly = (q.flags & V4L2_CTRL_FLAG_READ_ONLY) != 0;
    c.inactive = (q.flags & V4L2_CTRL_FLAG_INACTIVE) != 0;
    if (c.kind != ControlKind::Button && !(q.flags & V4L2_CTRL_FLAG_WRITE_ONLY)) {
      v4l2_control value{q.id, 0};
      if (Xioctl(VIDIOC_G_CTRL, &value) == 0) {
        c.value = value.value;
      }
    }
    if (c.kind == ControlKind::Menu && q.maximum >= q.minimum && q.maximum - q.minimum < 1024) {
      for (int32_t i = q.minimum; i <= q.maximum; ++i) {
        v4l2_querymenu m{};
        m.id = q.id;
        m.index = static_cast<uint32_t>(i);
        if (Xioctl(VIDIOC_QUERYMENU, &m) < 0) {
          continue;  // gaps are allowed
        }
        c.menu.emplace_back(i, q.type == V4L2_CTRL_TYPE_MENU ? FixedText(m.name, sizeof m.name)
                                                             : std::to_string(m.value));
      }
    }
    controls.push_back(std::move(c));
  };

  v4l2_queryctrl q{};
  q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  if (Xioctl(VIDIOC_QUERYCTRL, &q) == 0) {
    uint32_t last = 0;
    do {
      if (q.id <= last) {
        break;  // a driver that does not advance would loop forever
      }
      last = q.id;
      add(q);
      const uint32_t next = q.id | V4L2_CTRL_FLAG_NEXT_CTRL;
      q = v4l2_queryctrl{};
      q.id = next;
    } while (Xioctl(VIDIOC_QUERYCTRL, &q) == 0);
  } else {
    // Older drivers: walk the user class and the private range one id at a time.
    for (uint32_t id = V4L2_CID_BASE; id < V4L2_CID_LASTP1; ++id) {
      q = v4l2_queryctrl{};
      q.id = id;
      if (Xioctl(VIDIOC_QUERYCTRL, &q) == 0) {
        add(q);
      }
    }
    for (uint32_t id = V4L2_CID_PRIVATE_BASE; id < V4L2_CID_PRIVATE_BASE + 256; ++id) {
      q = v4l2_queryctrl{};
      q.id = id;
      if (Xioctl(VIDIOC_QUERYCTRL, &q) < 0) {
        break;
      }
      add(q);
    }
  }
  return controls;
}

bool V4l2Camera::SetControl(uint32_t id, int32_t value) {
  if (state_ == CameraState::Unplugged) {
    lastError_ = "La cámara está desconectada";
    return false;
  }
  const QueryOpen open(*this);
  if (!open.Ok()) {
    return false;
  }
  v4l2_queryctrl q{};
  q.id = id;
  if (Xioctl(VIDIOC_QUERYCTRL, &q) < 0) {
    return Fail("Control desconocido", errno);
  }
  v4l2_control c{id, value};
  if (Xioctl(VIDIOC_S_CTRL, &c) < 0) {
    return Fail("No se pudo cambiar el control " + FixedText(q.name, sizeof q.name), errno);
  }
  // Buttons are actions, not settings: nothing to re-apply after a reconnect.
  if (q.type != V4L2_CTRL_TYPE_BUTTON) {
    chosenControls_[id] = value;
  }
  return true;
}

bool V4l2Camera::Reconnect() {
  if (state_ != CameraState::Unplugged) {
    return false;
  }
  const auto devices = EnumerateCaptureDevices(*io_);
  const DeviceInfo* match = nullptr;
  for (const auto& d : devices) {
    if (d.card == card_ && d.busInfo == busInfo_) {
      match = &d;
      break;
    }
  }
  if (!match) {
    // Plugged into another port: the bus changes, the card name does not. Only an
    // unambiguous match is taken.
    int same = 0;
    for (const auto& d : devices) {
      if (d.card == card_) {
        match = &d;
        ++same;
      }
    }
    if (same != 1) {
      return false;
    }
  }
  path_ = match->path;
  state_ = CameraState::Closed;
  if (Start()) {
    return true;
  }
  state_ = CameraState::Unplugged;
  return false;
}

}  // namespace okuva::camera
