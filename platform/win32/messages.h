// Hidden message windows, posted messages and timers: the per-thread message
// queue that the transport's pump, the engines' timers and every event to the
// container run on.
//
// A window belongs to the thread that created it; its procedure runs only on
// that thread, from ProcessMessages (or RunUntil, or a foreign event loop that
// drives the queue through MessageQueueFd/NextTimerTimeout). Messages can be
// posted from any thread. A window that is destroyed hands every message still
// queued for it to its release procedure, so payloads that travel in wParam or
// lParam are freed exactly once and never delivered late.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/win32/tick.h"

namespace tw::win32 {

using HWND = uint32_t;  // 0 names no window
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using UINT_PTR = uintptr_t;

constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

using WindowProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
using ReleaseProc = std::function<void(UINT, WPARAM, LPARAM)>;

// Creates a hidden window owned by the calling thread. `release` (may be
// empty) receives the messages still queued when the window is destroyed.
HWND CreateMessageWindow(WindowProc proc, ReleaseProc release = {});

// Destroys the window: its timers stop, pending messages go to its release
// procedure, later posts fail. Safe to call from inside its own procedure.
bool DestroyWindow(HWND window);
bool IsWindow(HWND window);

// Queues a message for the window's thread. False if the window is gone (the
// caller still owns whatever the message carries).
bool PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

// From the window's own thread: calls the procedure at once. From any other
// thread: queues the message and returns without waiting.
bool SendNotifyMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

// Creates or resets timer `id` of the window (owner thread only): WM_TIMER
// with wParam = id arrives every `elapse` ms. A handler that runs long does
// not make timers pile up: the next one is due `elapse` ms after it fired.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse);
bool KillTimer(HWND window, UINT_PTR id);

// Dispatches the messages that were queued when it was called, then every
// timer that is due, on the calling thread. Re-entrant: a procedure may call
// it again. Returns true if it dispatched anything.
bool ProcessMessages();

// How many window procedures are running on the calling thread right now
// (0 outside any; nested message loops count each level). Lets an object that
// is released inside a handler put its destruction off until the stack below
// it has unwound.
int DispatchDepth();

// Test seam: while an observer is installed on a thread, every
// ProcessMessages call on that thread first calls it (to count pumps, or to
// act in the middle of a long computation that pumps).
class ScopedPumpObserver {
 public:
  explicit ScopedPumpObserver(std::function<void()> observer);
  ~ScopedPumpObserver();
  ScopedPumpObserver(const ScopedPumpObserver&) = delete;
  ScopedPumpObserver& operator=(const ScopedPumpObserver&) = delete;

 private:
  std::function<void()> observer_;
  std::function<void()>* previous_;
};

// Processes messages, waiting without spinning, until `done()` holds or
// `timeoutMs` of real time passed. Returns done().
bool RunUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Embedding interface for a foreign event loop: a descriptor that turns
// readable when messages are queued for the calling thread, and the time in
// ms until its next timer is due (-1: no timer; 0: due now). After either
// event, call ProcessMessages on this thread.
int MessageQueueFd();
int NextTimerTimeout();

// Blocks the calling thread until a message is queued for it, a timer is
// due, or `timeoutMs` passed (-1 waits for ever).
void WaitMessage(int timeoutMs);

}  // namespace tw::win32
