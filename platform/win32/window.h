// Owning handles for a hidden message window and for one of its timers, so
// that an object holding them needs no hand-written teardown.
//
// Members are destroyed in the reverse order of their declaration. Declare
// the window after every member its procedure or release procedure uses
// (it then goes before them), and each timer after its window (it stops
// while the window still exists):
//
//   State state_;                // what the procedure touches
//   win32::HiddenWindow window_; // procedure: uses state_
//   win32::WindowTimer timer_;   // a timer of window_
#pragma once

#include "platform/win32/messages.h"

namespace tw::win32 {

// A hidden window of the creating thread (see CreateMessageWindow). Its
// destruction destroys the window: its timers stop, the messages still
// queued for it go to its release procedure, and its procedure never runs
// again. The owner may be destroyed from inside the window's own procedure.
class HiddenWindow {
 public:
  HiddenWindow() = default;  // holds no window
  explicit HiddenWindow(WindowProc proc, ReleaseProc release = {});
  ~HiddenWindow();
  HiddenWindow(HiddenWindow&& other) noexcept;
  HiddenWindow& operator=(HiddenWindow&& other) noexcept;
  HiddenWindow(const HiddenWindow&) = delete;
  HiddenWindow& operator=(const HiddenWindow&) = delete;

  HWND Handle() const { return window_; }

 private:
  HWND window_ = 0;
};

// Timer `id` of a window, running from construction (see SetTimer) until the
// object is destroyed or stopped. Stopping from inside the timer's own
// WM_TIMER handler is allowed.
class WindowTimer {
 public:
  WindowTimer() = default;  // runs no timer
  // Not running (Running() false) if the window refused the timer.
  WindowTimer(HWND window, UINT_PTR id, UINT elapseMs);
  ~WindowTimer() { Stop(); }
  WindowTimer(WindowTimer&& other) noexcept;
  WindowTimer& operator=(WindowTimer&& other) noexcept;
  WindowTimer(const WindowTimer&) = delete;
  WindowTimer& operator=(const WindowTimer&) = delete;

  bool Running() const { return window_ != 0; }
  void Stop();

 private:
  HWND window_ = 0;
  UINT_PTR id_ = 0;
};

}  // namespace tw::win32
