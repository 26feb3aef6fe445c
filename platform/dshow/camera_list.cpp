// The list of cameras the enumerator shows: the V4L2 devices that answer a
// probe, then the synthetic cameras a test (or the default) set up.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/camera.h"

namespace tw::dshow {

namespace {

struct CameraConfig {
  std::mutex mutex;
  std::vector<SyntheticCamera::Options> synthetic{SyntheticCamera::Options{}};
  std::shared_ptr<V4l2Io> v4l2 = SystemV4l2Io();
};

CameraConfig& Config() {
  static CameraConfig config;
  return config;
}

}  // namespace

void SetSyntheticCameras(std::vector<SyntheticCamera::Options> cameras) {
  std::lock_guard lock(Config().mutex);
  Config().synthetic = std::move(cameras);
}

void ResetSyntheticCameras() { SetSyntheticCameras({SyntheticCamera::Options{}}); }

void SetV4l2Io(std::shared_ptr<V4l2Io> io) {
  std::lock_guard lock(Config().mutex);
  Config().v4l2 = std::move(io);
}

std::shared_ptr<V4l2Io> CurrentV4l2Io() {
  std::lock_guard lock(Config().mutex);
  return Config().v4l2;
}

std::vector<CameraEntry> ListCameras() {
  std::vector<SyntheticCamera::Options> synthetic;
  std::shared_ptr<V4l2Io> io;
  {
    std::lock_guard lock(Config().mutex);
    synthetic = Config().synthetic;
    io = Config().v4l2;
  }
  std::vector<CameraEntry> list;
  if (io) {
    for (const std::string& path : io->DevicePaths()) {
      std::string name = V4l2Camera::Probe(*io, path);
      if (name.empty()) continue;
      list.push_back({std::move(name), "v4l2:" + path, [io, path] { return std::make_unique<V4l2Camera>(io, path); }});
    }
  }
  for (const SyntheticCamera::Options& o : synthetic) {
    list.push_back({o.name, o.path, [o] { return std::make_unique<SyntheticCamera>(o); }});
  }
  return list;
}


}  // namespace tw::dshow
