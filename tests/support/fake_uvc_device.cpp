#include "tests/support/fake_uvc_device.h"

#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace okuva::camera {
namespace {

constexpr size_t kPage = 4096;

struct SizeRates {
  uint32_t width, height;
  std::vector<uint32_t> fps;
};
struct OfferedFormat {
  uint32_t fourcc;
  const char* description;
  uint32_t flags;
  std::vector<SizeRates> sizes;
};
// What a typical USB 2 webcam offers: raw YUYV is bandwidth-limited at 720p.
const std::vector<OfferedFormat>& Formats() {
  static const std::vector<OfferedFormat> formats = {
      {V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", 0, {{640, 480, {30, 15}}, {1280, 720, {10, 5}}}},
      {V4L2_PIX_FMT_MJPEG,
       "Motion-JPEG",
       V4L2_FMT_FLAG_COMPRESSED,
       {{640, 480, {30, 15}}, {1280, 720, {30, 15}}}},
  };
  return formats;
}

struct ControlDef {
  uint32_t id;
  uint32_t type;
  const char* name;
  int32_t minimum, maximum, step, defaultValue;
  uint32_t flags;
  std::map<int32_t, const char*> menu;
};
const std::vector<ControlDef>& Controls() {
  static const std::vector<ControlDef> controls = {
      {V4L2_CID_USER_CLASS,
       V4L2_CTRL_TYPE_CTRL_CLASS,
       "User Controls",
       0,
       0,
       0,
       0,
       V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY,
       {}},
      {V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness", 0, 255, 1, 128, 0, {}},
      {V4L2_CID_CONTRAST, V4L2_CTRL_TYPE_INTEGER, "Contrast", 0, 95, 1, 32, 0, {}},
      {V4L2_CID_HUE, V4L2_CTRL_TYPE_INTEGER, "Hue", -180, 180, 1, 0, V4L2_CTRL_FLAG_DISABLED, {}},
      {V4L2_CID_AUTO_WHITE_BALANCE,
       V4L2_CTRL_TYPE_BOOLEAN,
       "White Balance, Automatic",
       0,
       1,
       1,
       1,
       0,
       {}},
      {V4L2_CID_POWER_LINE_FREQUENCY,
       V4L2_CTRL_TYPE_MENU,
       "Power Line Frequency",
       0,
       2,
       1,
       1,
       0,
       {{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}}},
      {V4L2_CID_WHITE_BALANCE_TEMPERATURE,
       V4L2_CTRL_TYPE_INTEGER,
       "White Balance Temperature",
       2800,
       6500,
       10,
       4000,
       V4L2_CTRL_FLAG_INACTIVE,
       {}},
      {V4L2_CID_CAMERA_CLASS,
       V4L2_CTRL_TYPE_CTRL_CLASS,
       "Camera Controls",
       0,
       0,
       0,
       0,
       V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY,
       {}},
      // UVC exposes only the modes the camera has: menu indexes 0 and 2 are gaps.
      {V4L2_CID_EXPOSURE_AUTO,
       V4L2_CTRL_TYPE_MENU,
       "Auto Exposure",
       0,
       3,
       1,
       3,
       0,
       {{1, "Manual Mode"}, {3, "Aperture Priority Mode"}}},
      {V4L2_CID_EXPOSURE_ABSOLUTE,
       V4L2_CTRL_TYPE_INTEGER,
       "Exposure Time, Absolute",
       3,
       2047,
       1,
       250,
       0,
       {}},
      {V4L2_CID_PAN_RESET,
       V4L2_CTRL_TYPE_BUTTON,
       "Pan, Reset",
       0,
       0,
       0,
       0,
       V4L2_CTRL_FLAG_WRITE_ONLY,
       {}},
  };
  return controls;
}
const ControlDef* FindControl(uint32_t id) {
  for (const auto& c : Controls()) {
    if (c.id == id) {
      return &c;
    }
  }
  return nullptr;
}
const OfferedFormat* FindFormat(uint32_t fourcc) {
  for (const auto& f : Formats()) {
    if (f.fourcc == fourcc) {
      return &f;
    }
  }
  return nullptr;
}

void CopyText(uint8_t* dst, size_t size, const std::string& text) {
  std::memset(dst, 0, size);
  std::memcpy(dst, text.data(), std::min(size - 1, text.size()));
}

// Grey level of the test picture: eight bars across the top eighth show the frame
// number in binary (bit 0 on the left), a gradient that moves with the frame below.
uint8_t PatternGrey(uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint64_t frame) {
  if (y < height / 8) {
    const uint32_t bit = x * 8 / width;
    return ((frame >> bit) & 1) ? 235 : 16;
  }
  return static_cast<uint8_t>(40 + (x + y + frame * 4) % 160);
}

}  // namespace

struct FakeUvcDevice::Instance {
  std::string path, card, busInfo;
  bool capture = true;
  bool present = true;
  int openError = 0;
  uint32_t fourcc = V4L2_PIX_FMT_YUYV;
  uint32_t width = 640, height = 480;
  uint32_t fps = 30;
  std::map<uint32_t, int32_t> values;
  int buttonPresses = 0;

  enum class Where { User, Queued, Done };
  struct Buffer {
    std::shared_ptr<std::vector<uint8_t>> memory;
    Where where = Where::User;
    uint32_t bytesUsed = 0, flags = 0, sequence = 0;
  };
  std::vector<Buffer> buffers;
  size_t bufferSize = 0;
  std::deque<uint32_t> queued, done;
  bool streaming = false;
  bool damageNext = false;
  bool quietUnplug = false;
  bool shortenNext = false;
  uint64_t frames = 0;
  std::vector<int> fds;

  uint32_t BytesPerLine() const { return fourcc == V4L2_PIX_FMT_YUYV ? width * 2 : 0; }
  uint32_t SizeImage() const { return width * height * 2; }
};

FakeUvcDevice::~FakeUvcDevice() {
  for (const auto& [fd, dev] : fds_) {
    ::close(fd);
  }
}

void FakeUvcDevice::AddWebcam(const std::string& path, const std::string& card,
                              const std::string& busInfo) {
  auto dev = std::make_shared<Instance>();
  dev->path = path;
  dev->card = card;
  dev->busInfo = busInfo;
  for (const auto& c : Controls()) {
    dev->values[c.id] = c.defaultValue;
  }
  nodes_[path] = dev;
}

void FakeUvcDevice::AddMetadataNode(const std::string& path, const std::string& card,
                                    const std::string& busInfo) {
  AddWebcam(path, card, busInfo);
  nodes_[path]->capture = false;
}

void FakeUvcDevice::AddUnopenableNode(const std::string& path, int error) {
  AddWebcam(path);
  nodes_[path]->openError = error;
}

std::shared_ptr<FakeUvcDevice::Instance> FakeUvcDevice::Node(const std::string& path) const {
  auto it = nodes_.find(path);
  return it == nodes_.end() ? nullptr : it->second;
}

void FakeUvcDevice::Signal(Instance& dev) {
  const uint64_t one = 1;
  for (int fd : dev.fds) {
    if (::write(fd, &one, sizeof one) < 0) {
      // The counter cannot overflow in a test's lifetime; nothing to do.
    }
  }
}

void FakeUvcDevice::Drain(Instance& dev) {
  uint64_t value;
  for (int fd : dev.fds) {
    if (::read(fd, &value, sizeof value) < 0) {
      // EAGAIN: already drained.
    }
  }
}

int FakeUvcDevice::DeliverFrames(const std::string& path, int count) {
  auto dev = Node(path);
  if (!dev || !dev->streaming) {
    return 0;
  }
  int landed = 0;
  for (int n = 0; n < count; ++n) {
    const uint64_t frame = ++dev->frames;
    if (dev->queued.empty()) {
      continue;  // no buffer to fill: the frame is lost
    }
    const uint32_t index = dev->queued.front();
    dev->queued.pop_front();
    Instance::Buffer& b = dev->buffers[index];
    const uint32_t w = dev->width, h = dev->height;
    auto& mem = *b.memory;
    if (dev->fourcc == V4L2_PIX_FMT_YUYV) {
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; x += 2) {
          uint8_t* p = mem.data() + (static_cast<size_t>(y) * w + x) * 2;
          p[0] = PatternGrey(x, y, w, h, frame);
          p[1] = 128;
          p[2] = PatternGrey(x + 1, y, w, h, frame);
          p[3] = 128;
        }
      }
      b.bytesUsed = dev->SizeImage();
    } else {
      // Real UVC cameras send YCbCr 4:2:2 JPEG.
      std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
          std::fill_n(rgb.data() + (static_cast<size_t>(y) * w + x) * 3, 3,
                      PatternGrey(x, y, w, h, frame));
        }
      }
      tjhandle tj = tjInitCompress();
      unsigned char* jpeg = nullptr;
      unsigned long size = 0;
      tjCompress2(tj, rgb.data(), static_cast<int>(w), 0, static_cast<int>(h), TJPF_RGB, &jpeg,
                  &size, TJSAMP_422, 90, 0);
      const size_t used = std::min<size_t>(size, mem.size());
      std::memcpy(mem.data(), jpeg, used);
      b.bytesUsed = static_cast<uint32_t>(used);
      tjFree(jpeg);
      tjDestroy(tj);
    }
    if (dev->shortenNext) {
      b.bytesUsed /= 2;
    }
    dev->shortenNext = false;
    b.flags = dev->damageNext ? V4L2_BUF_FLAG_ERROR : 0;
    dev->damageNext = false;
    b.sequence = static_cast<uint32_t>(frame - 1);
    b.where = Instance::Where::Done;
    dev->done.push_back(index);
    ++landed;
  }
  if (landed) {
    Signal(*dev);
  }
  return landed;
}

void FakeUvcDevice::DamageNextFrame(const std::string& path) {
  if (auto dev = Node(path)) {
    dev->damageNext = true;
  }
}

void FakeUvcDevice::ShortenNextFrame(const std::string& path) {
  if (auto dev = Node(path)) {
    dev->shortenNext = true;
  }
}

void FakeUvcDevice::Unplug(const std::string& path) {
  auto dev = Node(path);
  if (!dev) {
    return;
  }
  dev->present = false;
  dev->streaming = false;
  unplugged_[path] = {dev->card, dev->busInfo};
  nodes_.erase(path);
  Signal(*dev);  // a waiting poll wakes up and sees the error
}

void FakeUvcDevice::UnplugDuringDequeue(const std::string& path) {
  auto dev = Node(path);
  if (!dev) {
    return;
  }
  Unplug(path);
  dev->quietUnplug = true;
}

void FakeUvcDevice::Replug(const std::string& oldPath, const std::string& newPath) {
  auto it = unplugged_.find(oldPath);
  if (it == unplugged_.end()) {
    return;
  }
  AddWebcam(newPath, it->second.first, it->second.second);
  unplugged_.erase(it);
}

int32_t FakeUvcDevice::ControlValue(const std::string& path, uint32_t id) const {
  auto dev = Node(path);
  return dev ? dev->values.at(id) : 0;
}
int FakeUvcDevice::ButtonPresses(const std::string& path) const {
  auto dev = Node(path);
  return dev ? dev->buttonPresses : 0;
}
StreamFormat FakeUvcDevice::Format(const std::string& path) const {
  auto dev = Node(path);
  if (!dev) {
    return {};
  }
  return {dev->fourcc,
          static_cast<int32_t>(dev->width),
          static_cast<int32_t>(dev->height),
          {1, dev->fps}};
}
bool FakeUvcDevice::Streaming(const std::string& path) const {
  auto dev = Node(path);
  return dev && dev->streaming;
}

int FakeUvcDevice::FrameNumber(const Frame& frame) {
  if (frame.width < 8 || frame.height < 8) {
    return -1;
  }
  int number = 0;
  const int32_t y = frame.height / 16;
  for (int bit = 0; bit < 8; ++bit) {
    const int32_t x = (2 * bit + 1) * frame.width / 16;
    const uint8_t g = frame.rgb[(static_cast<size_t>(y) * frame.width + x) * 3 + 1];
    if (g > 200) {
      number |= 1 << bit;
    } else if (g > 50) {
      return -1;
    }
  }
  return number;
}

std::vector<std::string> FakeUvcDevice::ListDevices() {
  std::vector<std::string> paths;
  for (const auto& [path, dev] : nodes_) {
    paths.push_back(path);  // alphabetical, like readdir might
  }
  return paths;
}

int FakeUvcDevice::Open(const std::string& path, int flags) {
  auto dev = Node(path);
  if (!dev) {
    errno = ENOENT;
    return -1;
  }
  if (dev->openError) {
    errno = dev->openError;
    return -1;
  }
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  lastOpenFlags_ = flags;
  dev->fds.push_back(fd);
  fds_[fd] = dev;
  return fd;
}

int FakeUvcDevice::Close(int fd) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) {
    errno = EBADF;
    return -1;
  }
  auto& dev = *it->second;
  dev.fds.erase(std::remove(dev.fds.begin(), dev.fds.end(), fd), dev.fds.end());
  // The last close of a device stops its stream and frees buffers no longer mapped.
  if (dev.fds.empty()) {
    dev.streaming = false;
    dev.queued.clear();
    dev.done.clear();
    bool mapped = false;
    for (const auto& [start, m] : maps_) {
      mapped = mapped || m.instance.get() == &dev;
    }
    if (!mapped) {
      dev.buffers.clear();
    }
  }
  fds_.erase(it);
  ::close(fd);
  return 0;
}

int FakeUvcDevice::Ioctl(int fd, unsigned long request, void* arg) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) {
    errno = EBADF;
    return -1;
  }
  if (!it->second->present) {
    errno = ENODEV;
    return -1;
  }
  const int r = DoIoctl(*it->second, fd, request, arg);
  return r;
}

int FakeUvcDevice::DoIoctl(Instance& dev, int fd, unsigned long request, void* arg) {
  auto fail = [](int e) {
    errno = e;
    return -1;
  };
  auto fit = [&](v4l2_format& f) {
    const OfferedFormat* offer = FindFormat(f.fmt.pix.pixelformat);
    if (!offer) {
      offer = &Formats()[0];
    }
    const SizeRates* best = &offer->sizes[0];
    auto distance = [&](const SizeRates& s) {
      return std::abs(int64_t{s.width} - f.fmt.pix.width) +
             std::abs(int64_t{s.height} - f.fmt.pix.height);
    };
    for (const auto& s : offer->sizes) {
      if (distance(s) < distance(*best)) {
        best = &s;
      }
    }
    f.fmt.pix.pixelformat = offer->fourcc;
    f.fmt.pix.width = best->width;
    f.fmt.pix.height = best->height;
    f.fmt.pix.field = V4L2_FIELD_NONE;
    f.fmt.pix.bytesperline = offer->fourcc == V4L2_PIX_FMT_YUYV ? best->width * 2 : 0;
    f.fmt.pix.sizeimage = best->width * best->height * 2;
    f.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    return best;
  };
  auto ratesNow = [&]() -> const std::vector<uint32_t>& {
    for (const auto& s : FindFormat(dev.fourcc)->sizes) {
      if (s.width == dev.width && s.height == dev.height) {
        return s.fps;
      }
    }
    return Formats()[0].sizes[0].fps;
  };

  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto* cap = static_cast<v4l2_capability*>(arg);
      *cap = {};
      CopyText(cap->driver, sizeof cap->driver, "uvcvideo");
      CopyText(cap->card, sizeof cap->card, dev.card);
      CopyText(cap->bus_info, sizeof cap->bus_info, dev.busInfo);
      cap->version = 0x060100;
      cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING |
                          V4L2_CAP_DEVICE_CAPS;
      cap->device_caps =
          (dev.capture ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_META_CAPTURE) | V4L2_CAP_STREAMING;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto* d = static_cast<v4l2_fmtdesc*>(arg);
      if (!dev.capture || d->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || d->index >= Formats().size()) {
        return fail(EINVAL);
      }
      const auto& offer = Formats()[d->index];
      const uint32_t index = d->index;
      *d = {};
      d->index = index;
      d->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      d->flags = offer.flags;
      d->pixelformat = offer.fourcc;
      CopyText(d->description, sizeof d->description, offer.description);
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      auto* s = static_cast<v4l2_frmsizeenum*>(arg);
      const OfferedFormat* offer = FindFormat(s->pixel_format);
      if (!dev.capture || !offer || s->index >= offer->sizes.size()) {
        return fail(EINVAL);
      }
      s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
      s->discrete = {offer->sizes[s->index].width, offer->sizes[s->index].height};
      return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
      auto* i = static_cast<v4l2_frmivalenum*>(arg);
      const OfferedFormat* offer = FindFormat(i->pixel_format);
      if (!dev.capture || !offer) {
        return fail(EINVAL);
      }
      for (const auto& s : offer->sizes) {
        if (s.width == i->width && s.height == i->height) {
          if (i->index >= s.fps.size()) {
            return fail(EINVAL);
          }
          i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
          i->discrete = {1, s.fps[i->index]};
          return 0;
        }
      }
      return fail(EINVAL);
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
      auto* f = static_cast<v4l2_format*>(arg);
      if (!dev.capture || f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return fail(EINVAL);
      }
      fit(*f);
      if (request == VIDIOC_TRY_FMT) {
        return 0;
      }
      if (!dev.buffers.empty()) {
        return fail(EBUSY);
      }
      dev.fourcc = f->fmt.pix.pixelformat;
      dev.width = f->fmt.pix.width;
      dev.height = f->fmt.pix.height;
      const auto& rates = ratesNow();
      if (std::find(rates.begin(), rates.end(), dev.fps) == rates.end()) {
        dev.fps = rates.front();
      }
      return 0;
    }
    case VIDIOC_G_FMT: {
      auto* f = static_cast<v4l2_format*>(arg);
      if (!dev.capture || f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return fail(EINVAL);
      }
      f->fmt.pix = {};
      f->fmt.pix.pixelformat = dev.fourcc;
      f->fmt.pix.width = dev.width;
      f->fmt.pix.height = dev.height;
      fit(*f);
      return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      auto* p = static_cast<v4l2_streamparm*>(arg);
      if (!dev.capture || p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return fail(EINVAL);
      }
      if (request == VIDIOC_S_PARM) {
        if (dev.streaming) {
          return fail(EBUSY);
        }
        const auto& t = p->parm.capture.timeperframe;
        if (t.numerator && t.denominator) {
          const double wanted = double(t.denominator) / t.numerator;
          uint32_t best = ratesNow().front();
          for (uint32_t fps : ratesNow()) {
            if (std::abs(fps - wanted) < std::abs(best - wanted)) {
              best = fps;
            }
          }
          dev.fps = best;
        }
      }
      p->parm.capture = {};
      p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      p->parm.capture.timeperframe = {1, dev.fps};
      p->parm.capture.readbuffers = 0;
      return 0;
    }
    case VIDIOC_REQBUFS: {
      auto* r = static_cast<v4l2_requestbuffers*>(arg);
      if (!dev.capture || r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r->memory != V4L2_MEMORY_MMAP) {
        return fail(EINVAL);
      }
      if (dev.streaming) {
        return fail(EBUSY);
      }
      for (const auto& [start, m] : maps_) {
        if (m.instance.get() == &dev) {
          return fail(EBUSY);  // buffers still mapped
        }
      }
      dev.buffers.clear();
      dev.queued.clear();
      dev.done.clear();
      if (r->count == 0) {
        return 0;
      }
      r->count = std::clamp<uint32_t>(r->count, 2, 8);
      dev.bufferSize = (dev.SizeImage() + kPage - 1) / kPage * kPage;
      for (uint32_t i = 0; i < r->count; ++i) {
        dev.buffers.push_back({std::make_shared<std::vector<uint8_t>>(dev.bufferSize),
                               Instance::Where::User, 0, 0, 0});
      }
      return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
      auto* b = static_cast<v4l2_buffer*>(arg);
      if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP) {
        return fail(EINVAL);
      }
      if (request == VIDIOC_DQBUF) {
        if (!dev.streaming) {
          return fail(EINVAL);
        }
        if (dev.done.empty()) {
          return fail(EAGAIN);
        }
        b->index = dev.done.front();
        dev.done.pop_front();
        if (dev.done.empty()) {
          Drain(dev);
        }
      }
      if (b->index >= dev.buffers.size()) {
        return fail(EINVAL);
      }
      auto& buffer = dev.buffers[b->index];
      if (request == VIDIOC_QBUF) {
        if (buffer.where != Instance::Where::User) {
          return fail(EINVAL);
        }
        buffer.where = Instance::Where::Queued;
        dev.queued.push_back(b->index);
        return 0;
      }
      if (request == VIDIOC_DQBUF) {
        buffer.where = Instance::Where::User;
      }
      b->length = static_cast<uint32_t>(dev.bufferSize);
      b->m.offset = static_cast<uint32_t>(b->index * dev.bufferSize);
      b->bytesused = request == VIDIOC_DQBUF ? buffer.bytesUsed : 0;
      b->flags =
          V4L2_BUF_FLAG_MAPPED | (request == VIDIOC_DQBUF ? buffer.flags | V4L2_BUF_FLAG_DONE : 0);
      b->sequence = buffer.sequence;
      b->field = V4L2_FIELD_NONE;
      return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return fail(EINVAL);
      }
      if (request == VIDIOC_STREAMON) {
        if (dev.buffers.empty()) {
          return fail(EINVAL);
        }
        dev.streaming = true;
        return 0;
      }
      dev.streaming = false;
      for (auto& buffer : dev.buffers) {
        buffer.where = Instance::Where::User;
      }
      dev.queued.clear();
      dev.done.clear();
      Drain(dev);
      return 0;
    }
    case VIDIOC_QUERYCTRL: {
      auto* q = static_cast<v4l2_queryctrl*>(arg);
      const ControlDef* found = nullptr;
      if (q->id & V4L2_CTRL_FLAG_NEXT_CTRL) {
        const uint32_t after = q->id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
        for (const auto& c : Controls()) {
          if (c.id > after && (!found || c.id < found->id)) {
            found = &c;
          }
        }
      } else {
        found = FindControl(q->id);
      }
      if (!found || !dev.capture) {
        return fail(EINVAL);
      }
      *q = {};
      q->id = found->id;
      q->type = found->type;
      CopyText(q->name, sizeof q->name, found->name);
      q->minimum = found->minimum;
      q->maximum = found->maximum;
      q->step = found->step;
      q->default_value = found->defaultValue;
      q->flags = found->flags;
      // Manual white balance has no effect while the automatic one is on.
      if (found->id == V4L2_CID_WHITE_BALANCE_TEMPERATURE &&
          dev.values[V4L2_CID_AUTO_WHITE_BALANCE] == 0) {
        q->flags &= ~V4L2_CTRL_FLAG_INACTIVE;
      }
      return 0;
    }
    case VIDIOC_QUERYMENU: {
      auto* m = static_cast<v4l2_querymenu*>(arg);
      const ControlDef* c = FindControl(m->id);
      if (!c || c->type != V4L2_CTRL_TYPE_MENU) {
        return fail(EINVAL);
      }
      auto item = c->menu.find(static_cast<int32_t>(m->index));
      if (item == c->menu.end()) {
        return fail(EINVAL);
      }
      CopyText(m->name, sizeof m->name, item->second);
      return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
      auto* v = static_cast<v4l2_control*>(arg);
      const ControlDef* c = FindControl(v->id);
      if (!c || (c->flags & V4L2_CTRL_FLAG_DISABLED)) {
        return fail(EINVAL);
      }
      if (c->type == V4L2_CTRL_TYPE_CTRL_CLASS) {
        return fail(EACCES);
      }
      if (request == VIDIOC_G_CTRL) {
        if (c->type == V4L2_CTRL_TYPE_BUTTON) {
          return fail(EACCES);
        }
        v->value = dev.values[v->id];
        return 0;
      }
      if (c->type == V4L2_CTRL_TYPE_BUTTON) {
        ++dev.buttonPresses;
        return 0;
      }
      if (v->value < c->minimum || v->value > c->maximum) {
        return fail(ERANGE);
      }
      if (c->type == V4L2_CTRL_TYPE_MENU && !c->menu.count(v->value)) {
        return fail(EINVAL);
      }
      dev.values[v->id] = v->value;
      return 0;
    }
    default: (void)fd; return fail(ENOTTY);
  }
}

void* FakeUvcDevice::Mmap(size_t length, int prot, int flags, int fd, int64_t offset) {
  (void)prot;
  auto it = fds_.find(fd);
  if (it == fds_.end()) {
    errno = EBADF;
    return MAP_FAILED;
  }
  Instance& dev = *it->second;
  if (!dev.present) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  if (!(flags & MAP_SHARED) || dev.bufferSize == 0 || offset < 0 ||
      offset % static_cast<int64_t>(dev.bufferSize) ||
      static_cast<size_t>(offset) / dev.bufferSize >= dev.buffers.size() ||
      length > dev.bufferSize) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  auto memory = dev.buffers[static_cast<size_t>(offset) / dev.bufferSize].memory;
  for (const auto& [start, m] : maps_) {
    if (m.memory == memory) {
      errno = EINVAL;  // one mapping per buffer keeps the bookkeeping honest
      return MAP_FAILED;
    }
  }
  maps_[memory->data()] = {it->second, memory, length};
  return memory->data();
}

int FakeUvcDevice::Munmap(void* start, size_t length) {
  auto it = maps_.find(start);
  if (it == maps_.end() || it->second.length != length) {
    errno = EINVAL;
    return -1;
  }
  maps_.erase(it);
  return 0;
}

int FakeUvcDevice::Poll(int fd, short events, short* revents, int timeoutMs) {
  (void)timeoutMs;  // never waits: the test decides when frames arrive
  auto it = fds_.find(fd);
  if (it == fds_.end()) {
    *revents = POLLNVAL;
    return 1;
  }
  const Instance& dev = *it->second;
  short ready = 0;
  if (!dev.present && dev.quietUnplug) {
    ready = POLLIN | POLLRDNORM;
  } else if (!dev.present || !dev.streaming) {
    ready = POLLERR | (dev.present ? 0 : POLLHUP);
  } else if (!dev.done.empty()) {
    ready = static_cast<short>((POLLIN | POLLRDNORM) & (events | POLLRDNORM));
  }
  *revents = ready;
  return ready ? 1 : 0;
}

}  // namespace okuva::camera
