#include "platform/win32/window.h"

#include <utility>

namespace tw::win32 {

HiddenWindow::HiddenWindow(WindowProc proc, ReleaseProc release)
    : window_(CreateMessageWindow(std::move(proc), std::move(release))) {}

HiddenWindow::~HiddenWindow() {
  if (window_) DestroyWindow(window_);
}

HiddenWindow::HiddenWindow(HiddenWindow&& other) noexcept : window_(std::exchange(other.window_, 0)) {}

HiddenWindow& HiddenWindow::operator=(HiddenWindow&& other) noexcept {
  if (this != &other) {
    if (window_) DestroyWindow(window_);
    window_ = std::exchange(other.window_, 0);
  }
  return *this;
}

WindowTimer::WindowTimer(HWND window, UINT_PTR id, UINT elapseMs) : id_(id) {
  if (SetTimer(window, id, elapseMs) != 0) window_ = window;
}

WindowTimer::WindowTimer(WindowTimer&& other) noexcept
    : window_(std::exchange(other.window_, 0)), id_(other.id_) {}

WindowTimer& WindowTimer::operator=(WindowTimer&& other) noexcept {
  if (this != &other) {
    Stop();
    window_ = std::exchange(other.window_, 0);
    id_ = other.id_;
  }
  return *this;
}

void WindowTimer::Stop() {
  if (window_) KillTimer(std::exchange(window_, 0), id_);
}

}  // namespace tw::win32
