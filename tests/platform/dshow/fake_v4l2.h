// A stand-in for V4L2 devices behind the camera's device calls: capture
// devices with their formats and sizes (listed, as a range, or only the
// current one), mmap buffers with padded rows filled with the synthetic
// pattern in YUYV, wake-ups without a buffer, and switches that make a device
// vanish or its wait fail.
#pragma once

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <optional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dshow/camera.h"

namespace tw::dshow {

// Devices as V4L2 describes them; frames are the synthetic pattern in YUYV.
class FakeV4l2 final : public V4l2Io {
 public:
  struct Device {
    std::string card;
    bool capture = true;
    bool yuyv = true;
    std::vector<std::pair<int, int>> sizes;
    int forcedWidth = 0;  // the driver answers S_FMT with this width
    int loseAfter = -1;   // DQBUF fails with ENODEV after this many frames
    bool failStreamOn = false;
    bool listsSizes = true;                           // false: ENUM_FRAMESIZES answers ENOTTY
    std::optional<v4l2_frmsizeenum> range;            // listed instead of `sizes` (stepwise or continuous)
    std::pair<int, int> current{0, 0};               // what G_FMT answers
    int padding = 0;                                  // bytes after each row (bytesperline)
    int shortBy = 0;                                  // buffers this many bytes shorter than a frame
    int emptyWakeEvery = 0;                           // every n-th wake-up has no buffer (DQBUF: EAGAIN)
    int waitFailsAfter = -1;                          // the wait fails (EIO) after this many frames
  };
  std::map<std::string, Device> devices;

  std::vector<std::string> DevicePaths() override {
    std::vector<std::string> paths;
    for (auto& [path, d] : devices) paths.push_back(path);
    return paths;
  }
  int Open(const std::string& path) override {
    std::lock_guard lock(mutex_);
    auto it = devices.find(path);
    if (it == devices.end()) {
      errno = ENOENT;
      return -1;
    }
    const int fd = nextFd_++;
    open_[fd] = &it->second;
    return fd;
  }
  int Close(int fd) override {
    std::lock_guard lock(mutex_);
    const bool known = open_.erase(fd) != 0;
    closed_.notify_all();
    return known ? 0 : -1;
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    std::lock_guard lock(mutex_);
    Device* d = open_.at(fd);
    switch (request) {
      case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        std::snprintf(reinterpret_cast<char*>(cap->card), sizeof cap->card, "%s", d->card.c_str());
        cap->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
        cap->device_caps = (d->capture ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_META_CAPTURE) | V4L2_CAP_STREAMING;
        return 0;
      }
      case VIDIOC_ENUM_FMT: {
        auto* f = static_cast<v4l2_fmtdesc*>(arg);
        if (f->index == 0) f->pixelformat = V4L2_PIX_FMT_MJPEG;
        else if (f->index == 1 && d->yuyv) f->pixelformat = V4L2_PIX_FMT_YUYV;
        else return Fail(EINVAL);
        return 0;
      }
      case VIDIOC_ENUM_FRAMESIZES: {
        auto* s = static_cast<v4l2_frmsizeenum*>(arg);
        if (!d->listsSizes) return Fail(ENOTTY);
        if (d->range && s->pixel_format == V4L2_PIX_FMT_YUYV && s->index == 0) {
          *s = *d->range;
          return 0;
        }
        if (s->pixel_format != V4L2_PIX_FMT_YUYV || s->index >= d->sizes.size()) return Fail(EINVAL);
        s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        s->discrete.width = static_cast<uint32_t>(d->sizes[s->index].first);
        s->discrete.height = static_cast<uint32_t>(d->sizes[s->index].second);
        return 0;
      }
      case VIDIOC_G_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        f->fmt.pix.width = static_cast<uint32_t>(d->current.first);
        f->fmt.pix.height = static_cast<uint32_t>(d->current.second);
        f->fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
        return 0;
      }
      case VIDIOC_S_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        if (d->forcedWidth) f->fmt.pix.width = static_cast<uint32_t>(d->forcedWidth);
        f->fmt.pix.bytesperline = f->fmt.pix.width * 2 + static_cast<uint32_t>(d->padding);
        width_ = static_cast<int>(f->fmt.pix.width);
        height_ = static_cast<int>(f->fmt.pix.height);
        stride_ = static_cast<size_t>(f->fmt.pix.bytesperline);
        shortBy_ = static_cast<size_t>(d->shortBy);
        return 0;
      }
      case VIDIOC_S_PARM: return 0;
      case VIDIOC_REQBUFS: {
        auto* r = static_cast<v4l2_requestbuffers*>(arg);
        buffers_.assign(r->count, std::vector<uint8_t>(r->count ? stride_ * static_cast<size_t>(height_) - shortBy_ : 0));
        return 0;
      }
      case VIDIOC_QUERYBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        b->length = static_cast<uint32_t>(buffers_.at(b->index).size());
        b->m.offset = b->index * 4096;
        return 0;
      }
      case VIDIOC_QBUF: queue_.push_back(static_cast<v4l2_buffer*>(arg)->index); return 0;
      case VIDIOC_DQBUF: {
        if (d->loseAfter >= 0 && frames_ == d->loseAfter) return Fail(ENODEV);
        if (d->emptyWakeEvery && ++wakes_ % d->emptyWakeEvery == 0) {
          ++emptyWakes_;
          return Fail(EAGAIN);
        }
        if (queue_.empty()) return Fail(EAGAIN);
        auto* b = static_cast<v4l2_buffer*>(arg);
        b->index = queue_.front();
        queue_.erase(queue_.begin());
        const MediaType yuyv = MediaType::Video(MEDIASUBTYPE_YUY2, width_, height_, 16, 1);
        const std::vector<uint8_t> frame = SyntheticCamera::RenderFrame(yuyv.Get(), static_cast<uint64_t>(frames_++));
        // Rows at the device's stride, the padding filled with noise; the mapping stays.
        std::vector<uint8_t>& buffer = buffers_[b->index];
        std::fill(buffer.begin(), buffer.end(), uint8_t{0xA5});
        const size_t row = static_cast<size_t>(width_) * 2;
        for (size_t y = 0; y < static_cast<size_t>(height_); ++y)
          std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(y * row), row,
                      buffer.begin() + static_cast<std::ptrdiff_t>(y * stride_));
        b->bytesused = static_cast<uint32_t>(buffers_[b->index].size());
        return 0;
      }
      case VIDIOC_STREAMON:
        if (d->failStreamOn) return Fail(EIO);
        streaming_ = true;
        return 0;
      case VIDIOC_STREAMOFF: streaming_ = false; return 0;
      default: return Fail(ENOTTY);
    }
  }
  void* Map(int, size_t length, int64_t offset) override {
    std::lock_guard lock(mutex_);
    auto& b = buffers_.at(static_cast<size_t>(offset / 4096));
    if (length != b.size()) return MAP_FAILED;
    ++mapped_;
    return b.data();
  }
  int Unmap(void*, size_t) override {
    std::lock_guard lock(mutex_);
    --mapped_;
    return 0;
  }
  int WaitFrame(int fd, int) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a frame every millisecond
    std::lock_guard lock(mutex_);
    const Device* d = open_.at(fd);
    if (d->waitFailsAfter >= 0 && frames_ >= d->waitFailsAfter) return Fail(EIO);
    return 1;
  }

  // Waits until every device opened is closed again.
  bool WaitAllClosed() {
    std::unique_lock lock(mutex_);
    return closed_.wait_for(lock, std::chrono::seconds(5), [&] { return open_.empty(); });
  }
  int EmptyWakes() {
    std::lock_guard lock(mutex_);
    return emptyWakes_;
  }

  int Mapped() {
    std::lock_guard lock(mutex_);
    return mapped_;
  }
  size_t OpenCount() {
    std::lock_guard lock(mutex_);
    return open_.size();
  }
  bool Streaming() {
    std::lock_guard lock(mutex_);
    return streaming_;
  }

 private:
  static int Fail(int error) {
    errno = error;
    return -1;
  }
  std::mutex mutex_;
  int nextFd_ = 10;
  std::map<int, Device*> open_;
  std::condition_variable closed_;
  int width_ = 0, height_ = 0;
  size_t stride_ = 0, shortBy_ = 0;
  int wakes_ = 0, emptyWakes_ = 0;
  std::vector<std::vector<uint8_t>> buffers_;
  std::vector<uint32_t> queue_;
  int frames_ = 0;
  int mapped_ = 0;
  bool streaming_ = false;
};

}  // namespace tw::dshow
