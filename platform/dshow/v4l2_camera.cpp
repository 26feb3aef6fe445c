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
#include <mutex>
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

// The driver's card name, UTF-8 in a fixed field: a driver that cut a long
// name in the middle of a character leaves a partial sequence at the end,
// which is dropped.
std::string CardName(const v4l2_capability& cap) {
  const char* text = reinterpret_cast<const char*>(cap.card);
  std::string name(text, strnlen(text, sizeof cap.card));
  size_t lead = name.size();
  while (lead > 0 && (static_cast<uint8_t>(name[lead - 1]) & 0xC0) == 0x80 && name.size() - lead < 3) --lead;
  if (lead > 0 && static_cast<uint8_t>(name[lead - 1]) >= 0xC0) {
    const auto first = static_cast<uint8_t>(name[lead - 1]);
    const size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
    if (name.size() - (lead - 1) < length) name.resize(lead - 1);
  }
  return name;
}

bool IsCaptureDevice(Device& d, std::string* card) {
  v4l2_capability cap{};
  if (d.Ioctl(VIDIOC_QUERYCAP, &cap) != 0) return false;
  const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) return false;
  if (card) *card = CardName(cap);
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

bool InSteps(int value, uint32_t min, uint32_t max, uint32_t step) {
  const auto v = static_cast<uint32_t>(value);
  return v >= min && v <= max && (step == 0 || (v - min) % step == 0);
}

// The frame size the device is set to now, for drivers that do not list theirs.
std::vector<std::pair<int, int>> CurrentSize(Device& d) {
  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (d.Ioctl(VIDIOC_G_FMT, &fmt) != 0 || fmt.fmt.pix.width > 16384 || fmt.fmt.pix.height > 16384) return {};
  return {{static_cast<int>(fmt.fmt.pix.width), static_cast<int>(fmt.fmt.pix.height)}};
}

std::vector<std::pair<int, int>> YuyvSizes(Device& d) {
  std::vector<std::pair<int, int>> sizes;
  for (uint32_t i = 0; i < 64; ++i) {
    v4l2_frmsizeenum s{};
    s.index = i;
    s.pixel_format = V4L2_PIX_FMT_YUYV;
    if (d.Ioctl(VIDIOC_ENUM_FRAMESIZES, &s) != 0) {
      if (i == 0) sizes = CurrentSize(d);
      break;
    }
    if (s.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      sizes.emplace_back(static_cast<int>(s.discrete.width), static_cast<int>(s.discrete.height));
      continue;
    }
    // A range (continuous or in steps): offer the common sizes the range holds.
    const v4l2_frmsize_stepwise& r = s.stepwise;
    const bool continuous = s.type == V4L2_FRMSIZE_TYPE_CONTINUOUS;
    for (auto [w, h] : {std::pair{160, 120}, {176, 144}, {320, 240}, {352, 288}, {640, 480}}) {
      if (InSteps(w, r.min_width, r.max_width, continuous ? 1 : r.step_width) &&
          InSteps(h, r.min_height, r.max_height, continuous ? 1 : r.step_height))
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

// What a running capture holds: the open device, its mapped buffers and the
// streaming thread's stop flag. The camera and its streaming thread share it,
// so a camera destroyed on its own streaming thread leaves the thread its
// device until it ends; the last owner hands the buffers back and closes the
// device.
struct V4l2Camera::Stream {
  struct Buffer {
    void* address = MAP_FAILED;
    size_t length = 0;
  };
  // How the frames are laid out and delivered.
  struct Layout {
    bool rgb;
    int width, height;
    size_t srcStride;   // bytes of one row in the device's buffers
    size_t frameBytes;  // bytes a buffer must hold: the last row needs no padding
    size_t rgbStride;
    REFERENCE_TIME frameTime;
  };

  Stream(std::shared_ptr<V4l2Io> deviceIo, const std::string& path)
      : io(std::move(deviceIo)), device(std::make_unique<Device>(*io, path)) {}
  ~Stream() {
    int off = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (streaming) device->Ioctl(VIDIOC_STREAMOFF, &off);
    for (Buffer& m : buffers) io->Unmap(m.address, m.length);
    if (requested) {
      v4l2_requestbuffers none{};
      none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      none.memory = V4L2_MEMORY_MMAP;
      device->Ioctl(VIDIOC_REQBUFS, &none);
    }
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  void Run(FrameSink& sink, const Layout& layout);
  // One dequeued buffer to the sink, as RGB24 or as packed YUY2 rows.
  void Deliver(FrameSink& sink, const Layout& layout, const v4l2_buffer& b, uint64_t n);

  std::shared_ptr<V4l2Io> io;  // outlives the device, which closes through it
  std::unique_ptr<Device> device;
  std::vector<Buffer> buffers;
  bool requested = false;
  bool streaming = false;
  std::thread thread;
  std::mutex starting;  // held by Start until the camera knows its stream
  std::atomic<bool> stop{false};
  std::vector<uint8_t> out;  // the converted or packed frame, when a buffer cannot go as it is
};

void V4l2Camera::Stream::Deliver(FrameSink& sink, const Layout& layout, const v4l2_buffer& b, uint64_t n) {
  const auto* data = static_cast<const uint8_t*>(buffers[b.index].address);
  const REFERENCE_TIME start = static_cast<REFERENCE_TIME>(n) * layout.frameTime;
  const size_t rowBytes = static_cast<size_t>(layout.width) * 2;
  if (layout.rgb) {
    ConvertYuyvToRgb24(data, layout.srcStride, layout.width, layout.height, out.data(), layout.rgbStride, true);
    sink.Deliver(start, start + layout.frameTime, out);
  } else if (layout.srcStride == rowBytes) {
    sink.Deliver(start, start + layout.frameTime, {data, layout.frameBytes});
  } else {
    // Padded rows: the media type's YUY2 rows are packed.
    for (int y = 0; y < layout.height; ++y)
      std::memcpy(out.data() + static_cast<size_t>(y) * rowBytes, data + static_cast<size_t>(y) * layout.srcStride,
                  rowBytes);
    sink.Deliver(start, start + layout.frameTime, out);
  }
}

void V4l2Camera::Stream::Run(FrameSink& sink, const Layout& layout) {
  detail::StreamingThreadMark mark;
  // The sink may destroy the camera from a Deliver call: once `stop` is set
  // the sink is not called again.
  auto lost = [&] {
    if (!stop.load()) sink.Lost();  // ENODEV, EIO: the camera was unplugged
  };
  uint64_t n = 0;
  while (!stop.load()) {
    const int ready = io->WaitFrame(device->Fd(), kWaitMs);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (ready < 0) return lost();
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    if (device->Ioctl(VIDIOC_DQBUF, &b) != 0) {
      if (errno == EAGAIN || errno == EINTR) continue;  // woken without a filled buffer
      return lost();
    }
    if (b.index >= buffers.size()) continue;  // not one of ours: nothing to hand back
    if (b.bytesused >= layout.frameBytes && !(b.flags & V4L2_BUF_FLAG_ERROR)) Deliver(sink, layout, b, n++);
    if (device->Ioctl(VIDIOC_QBUF, &b) != 0 && errno != EINVAL) return lost();
  }
}

V4l2Camera::V4l2Camera(std::shared_ptr<V4l2Io> io, std::string path) : io_(std::move(io)), path_(std::move(path)) {}

V4l2Camera::~V4l2Camera() {
  Stop();
  // Destroyed on the streaming thread: the thread ends after this frame and
  // frees the stream it shares.
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
  if (!h || (!rgb && type.Get().subtype != MEDIASUBTYPE_YUY2) || h->biWidth <= 0 || h->biWidth % 2 ||
      h->biWidth > 16384 || h->biHeight == 0 || std::abs(h->biHeight) > 16384)
    return VFW_E_INVALIDMEDIATYPE;
  const int width = h->biWidth;
  const int height = std::abs(h->biHeight);
  auto stream = std::make_shared<Stream>(io_, path_);
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
  Stream::Layout layout{};
  layout.rgb = rgb;
  layout.width = width;
  layout.height = height;
  layout.srcStride = std::max<size_t>(fmt.fmt.pix.bytesperline, static_cast<size_t>(width) * 2);
  layout.frameBytes = layout.srcStride * static_cast<size_t>(height - 1) + static_cast<size_t>(width) * 2;
  layout.rgbStride = static_cast<size_t>(((24 * width + 31) / 32) * 4);
  layout.frameTime = FrameTimeOf(type.Get());

  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  parm.parm.capture.timeperframe.numerator = static_cast<uint32_t>(layout.frameTime);
  parm.parm.capture.timeperframe.denominator = 10'000'000;
  d.Ioctl(VIDIOC_S_PARM, &parm);  // a device that keeps its own rate still streams

  // A start that fails from here on hands the buffers back before the device
  // closes: the stream's destructor does.
  v4l2_requestbuffers req{};
  req.count = kBufferCount;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (d.Ioctl(VIDIOC_REQBUFS, &req) != 0) return VFW_E_NO_CAPTURE_HARDWARE;
  stream->requested = true;
  if (req.count == 0 || req.count > 32) return VFW_E_NO_CAPTURE_HARDWARE;
  for (uint32_t i = 0; i < req.count; ++i) {
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = i;
    if (d.Ioctl(VIDIOC_QUERYBUF, &b) != 0) return VFW_E_NO_CAPTURE_HARDWARE;
    // A buffer shorter than a frame would be read past its end.
    if (b.length < layout.frameBytes) return VFW_E_NO_CAPTURE_HARDWARE;
    Stream::Buffer mapped{io_->Map(d.Fd(), b.length, b.m.offset), b.length};
    if (mapped.address == MAP_FAILED) return VFW_E_NO_CAPTURE_HARDWARE;
    stream->buffers.push_back(mapped);
    if (d.Ioctl(VIDIOC_QBUF, &b) != 0) return VFW_E_NO_CAPTURE_HARDWARE;
  }
  int on = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (d.Ioctl(VIDIOC_STREAMON, &on) != 0) return VFW_E_NO_CAPTURE_HARDWARE;
  stream->streaming = true;

  if (rgb) stream->out.resize(layout.rgbStride * static_cast<size_t>(height));
  else if (layout.srcStride != static_cast<size_t>(width) * 2) stream->out.resize(static_cast<size_t>(width) * 2 * height);
  // The thread waits for Start to finish: its sink may destroy the camera
  // from the first frames, which must not happen while Start still runs.
  std::unique_lock starting(stream->starting);
  stream->thread = std::thread([stream, &sink, layout] {
    { std::lock_guard started(stream->starting); }
    stream->Run(sink, layout);
  });
  stream_ = stream;
  return com::S_OK;
}

void V4l2Camera::Stop() {
  if (!stream_) return;
  stream_->stop = true;
  if (stream_->thread.get_id() == std::this_thread::get_id()) return;  // ends within one wait
  if (stream_->thread.joinable()) stream_->thread.join();
  stream_.reset();
}

}  // namespace tw::dshow
