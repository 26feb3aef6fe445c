// V4l2Camera: a capture device under /dev/video* offering YUYV, streamed
// through mmap buffers; every device call goes through V4l2Io.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/dshow/camera.h"
#include "platform/dshow/internal.h"

namespace tw::dshow {

namespace {

constexpr REFERENCE_TIME kSixteenFps = 625'000;
constexpr int kBufferCount = 4;
constexpr int kWaitMs = 50;  // how long the streaming thread waits before it looks at its stop flag

class SystemIo final : public V4l2Io {
 public:
  std::vector<std::string> DevicePaths() override {
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("video", 0) == 0 && name.size() > 5 &&
          std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
      return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return paths;
  }
  int Open(const std::string& path) override { return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); }
  int Close(int fd) override { return ::close(fd); }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    int r;
    do r = ::ioctl(fd, request, arg);
    while (r == -1 && errno == EINTR);
    return r;
  }
  void* Map(int fd, size_t length, int64_t offset) override {
    return ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(offset));
  }
  int Unmap(void* address, size_t length) override { return ::munmap(address, length); }
  int WaitFrame(int fd, int timeoutMs) override {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      errno = ENODEV;
      return -1;
    }
    return r > 0 ? 1 : r;
  }
};

// An open device, closed by the destructor.
class Device {
 public:
  Device(V4l2Io& io, const std::string& path) : io_(io), fd_(io.Open(path)) {}
  ~Device() {
    if (fd_ >= 0) io_.Close(fd_);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  bool Ok() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  int Ioctl(unsigned long request, void* arg) { return io_.Ioctl(fd_, request, arg); }

 private:
  V4l2Io& io_;
  int fd_;
};

bool IsCaptureDevice(Device& d, std::string* card) {
  v4l2_capability cap{};
  if (d.Ioctl(VIDIOC_QUERYCAP, &cap) != 0) return false;
  const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) return false;
  if (card)
    card->assign(reinterpret_cast<const char*>(cap.card),
                 strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
  return true;
}

bool OffersYuyv(Device& d) {
  for (uint32_t i = 0; i < 64; ++i) {
    v4l2_fmtdesc f{};
    f.index = i;
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (d.Ioctl(VIDIOC_ENUM_FMT, &f) != 0) return false;
    if (f.pixelformat == V4L2_PIX_FMT_YUYV) return true;
  }
  return false;
}

std::vector<std::pair<int, int>> YuyvSizes(Device& d) {
  std::vector<std::pair<int, int>> sizes;
  for (uint32_t i = 0; i < 64; ++i) {
    v4l2_frmsizeenum s{};
    s.index = i;
    s.pixel_format = V4L2_PIX_FMT_YUYV;
    if (d.Ioctl(VIDIOC_ENUM_FRAMESIZES, &s) != 0) break;
    if (s.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      sizes.emplace_back(static_cast<int>(s.discrete.width), static_cast<int>(s.discrete.height));
      continue;
    }
    // A range: offer the common sizes inside it.
    for (auto [w, h] : {std::pair{160, 120}, {176, 144}, {320, 240}, {352, 288}, {640, 480}}) {
      if (w >= static_cast<int>(s.stepwise.min_width) && w <= static_cast<int>(s.stepwise.max_width) &&
          h >= static_cast<int>(s.stepwise.min_height) && h <= static_cast<int>(s.stepwise.max_height))
        sizes.emplace_back(w, h);
    }
    break;
  }
  // Odd widths cannot be YUYV; sizes that do not fit 32-bit DIB sizes are dropped.
  std::erase_if(sizes, [](auto s) {
    return s.first <= 0 || s.first % 2 || s.second <= 0 || s.first > 16384 || s.second > 16384;
  });
  return sizes;
}

REFERENCE_TIME FrameTimeOf(const AM_MEDIA_TYPE& mt) {
  REFERENCE_TIME t = 0;
  if (mt.pbFormat && mt.cbFormat >= 48) std::memcpy(&t, mt.pbFormat + 40, sizeof t);
  return t > 0 ? t : kSixteenFps;
}

}  // namespace

std::shared_ptr<V4l2Io> SystemV4l2Io() { return std::make_shared<SystemIo>(); }

struct V4l2Camera::Stream {
  std::unique_ptr<Device> device;
  struct Buffer {
    void* address = MAP_FAILED;
    size_t length = 0;
  };
  std::vector<Buffer> buffers;
  std::thread thread;
  std::atomic<bool> stop{false};
};

V4l2Camera::V4l2Camera(std::shared_ptr<V4l2Io> io, std::string path) : io_(std::move(io)), path_(std::move(path)) {}

V4l2Camera::~V4l2Camera() {
  Stop();
  if (stream_ && stream_->thread.joinable()) stream_->thread.detach();
}

std::string V4l2Camera::Probe(V4l2Io& io, const std::string& path) {
  Device d(io, path);
  std::string card;
  if (!d.Ok() || !IsCaptureDevice(d, &card) || !OffersYuyv(d)) return {};
  return card.empty() ? path : card;
}

std::vector<MediaType> V4l2Camera::MediaTypes() {
  Device d(*io_, path_);
  if (!d.Ok() || !IsCaptureDevice(d, nullptr)) return {};
  const auto sizes = YuyvSizes(d);
  std::vector<MediaType> types;
  for (auto [w, h] : sizes) types.push_back(MediaType::Video(MEDIASUBTYPE_RGB24, w, h, 24, kSixteenFps));
  for (auto [w, h] : sizes) types.push_back(MediaType::Video(MEDIASUBTYPE_YUY2, w, h, 16, kSixteenFps));
  return types;
}

HRESULT V4l2Camera::Start(const MediaType& type, FrameSink& sink) {
  if (stream_) return VFW_E_WRONG_STATE;
  const BITMAPINFOHEADER* h = VideoHeaderOf(type.Get());
  const bool rgb = type.Get().subtype == MEDIASUBTYPE_RGB24;
  if (!h || (!rgb && type.Get().subtype != MEDIASUBTYPE_YUY2) || h->biWidth <= 0 || h->biWidth % 2)
    return VFW_E_INVALIDMEDIATYPE;
  const int width = h->biWidth;
  const int height = std::abs(h->biHeight);
  auto stream = std::make_unique<Stream>();
  stream->device = std::make_unique<Device>(*io_, path_);
  Device& d = *stream->device;
  if (!d.Ok()) return VFW_E_NO_CAPTURE_HARDWARE;

  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  fmt.fmt.pix.width = static_cast<uint32_t>(width);
  fmt.fmt.pix.height = static_cast<uint32_t>(height);
  fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
  fmt.fmt.pix.field = V4L2_FIELD_NONE;
  if (d.Ioctl(VIDIOC_S_FMT, &fmt) != 0) return VFW_E_INVALIDMEDIATYPE;
  if (fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV || static_cast<int>(fmt.fmt.pix.width) != width ||
      static_cast<int>(fmt.fmt.pix.height) != height)
    return VFW_E_INVALIDMEDIATYPE;  // the driver picked another size
  const size_t srcStride = std::max<size_t>(fmt.fmt.pix.bytesperline, static_cast<size_t>(width) * 2);
  const size_t frameBytes = srcStride * static_cast<size_t>(height);

  const REFERENCE_TIME frameTime = FrameTimeOf(type.Get());
  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  parm.parm.capture.timeperframe.numerator = static_cast<uint32_t>(frameTime);
  parm.parm.capture.timeperframe.denominator = 10'000'000;
  d.Ioctl(VIDIOC_S_PARM, &parm);  // a device that keeps its own rate still streams

  v4l2_requestbuffers req{};
  req.count = kBufferCount;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (d.Ioctl(VIDIOC_REQBUFS, &req) != 0 || req.count == 0) return VFW_E_NO_CAPTURE_HARDWARE;
  // A start that fails from here on hands the buffers back before the device closes.
  auto release = [&] {
    for (auto& m : stream->buffers) io_->Unmap(m.address, m.length);
    v4l2_requestbuffers none{};
    none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    none.memory = V4L2_MEMORY_MMAP;
    d.Ioctl(VIDIOC_REQBUFS, &none);
    return VFW_E_NO_CAPTURE_HARDWARE;
  };
  for (uint32_t i = 0; i < req.count; ++i) {
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = i;
    Stream::Buffer mapped;
    if (d.Ioctl(VIDIOC_QUERYBUF, &b) == 0) {
      mapped.length = b.length;
      mapped.address = io_->Map(d.Fd(), b.length, b.m.offset);
    }
    if (mapped.address == MAP_FAILED || d.Ioctl(VIDIOC_QBUF, &b) != 0) {
      if (mapped.address != MAP_FAILED) io_->Unmap(mapped.address, mapped.length);
      return release();
    }
    stream->buffers.push_back(mapped);
  }
  int on = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (d.Ioctl(VIDIOC_STREAMON, &on) != 0) return release();

  Stream* s = stream.get();
  V4l2Io* io = io_.get();
  const size_t rgbStride = static_cast<size_t>(((24 * width + 31) / 32) * 4);
  s->thread = std::thread([s, io, &sink, rgb, width, height, srcStride, frameBytes, frameTime, rgbStride] {
    detail::StreamingThreadMark mark;
    std::vector<uint8_t> out(rgb ? rgbStride * static_cast<size_t>(height) : 0);
    uint64_t n = 0;
    while (!s->stop.load()) {
      const int ready = io->WaitFrame(s->device->Fd(), kWaitMs);
      if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
      v4l2_buffer b{};
      b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      b.memory = V4L2_MEMORY_MMAP;
      if (ready < 0 || s->device->Ioctl(VIDIOC_DQBUF, &b) != 0) {
        if (errno == EAGAIN) continue;
        sink.Lost();  // ENODEV, EIO: the camera was unplugged
        return;
      }
      if (b.index < s->buffers.size() && b.bytesused >= frameBytes) {
        const auto* data = static_cast<const uint8_t*>(s->buffers[b.index].address);
        const REFERENCE_TIME start = static_cast<REFERENCE_TIME>(n++) * frameTime;
        if (rgb) {
          ConvertYuyvToRgb24(data, srcStride, width, height, out.data(), rgbStride, true);
          sink.Deliver(start, start + frameTime, out);
        } else {
          sink.Deliver(start, start + frameTime, {data, frameBytes});
        }
      }
      if (s->device->Ioctl(VIDIOC_QBUF, &b) != 0 && errno != EINVAL) {
        sink.Lost();
        return;
      }
    }
  });
  stream_ = std::move(stream);
  return com::S_OK;
}

void V4l2Camera::Stop() {
  if (!stream_) return;
  stream_->stop = true;
  if (stream_->thread.get_id() == std::this_thread::get_id()) return;  // ends within one wait
  if (stream_->thread.joinable()) stream_->thread.join();
  int off = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  stream_->device->Ioctl(VIDIOC_STREAMOFF, &off);
  for (auto& m : stream_->buffers) io_->Unmap(m.address, m.length);
  v4l2_requestbuffers req{};
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  stream_->device->Ioctl(VIDIOC_REQBUFS, &req);
  stream_.reset();
}

}  // namespace tw::dshow
