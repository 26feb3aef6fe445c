// One queue per thread: posted messages in a locked deque with an eventfd to
// wake the owner, and timers in a heap that only the owner thread touches.
// A global table maps window handles to their records, so a handle is looked
// up on every use and a destroyed window's handle simply stops resolving.

#include "platform/win32/messages.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tw::win32 {

namespace {

struct Message {
  HWND window;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

struct ThreadQueue;

struct Window {
  HWND handle = 0;
  std::weak_ptr<ThreadQueue> queue;
  std::thread::id owner;
  WindowProc proc;
  ReleaseProc release;
};

// A timer's place in the heap; stale entries (killed or reset timers) are
// recognised by their generation and skipped.
struct TimerEntry {
  int64_t due;
  HWND window;
  UINT_PTR id;
  uint64_t generation;
  bool operator>(const TimerEntry& o) const { return due > o.due; }
};

struct TimerState {
  UINT elapse;
  uint64_t generation;
};

struct ThreadQueue {
  ThreadQueue() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd < 0) throw std::runtime_error("eventfd failed");
  }
  ~ThreadQueue() { close(fd); }

  // The write comes first: whoever sees the flag finds the descriptor armed.
  void Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
    woken.store(true, std::memory_order_release);
  }
  // Resets the descriptor only when something woke it, so an idle pump
  // costs no system call.
  void Drain() {
    if (!woken.exchange(false, std::memory_order_acq_rel)) return;
    uint64_t v;
    [[maybe_unused]] ssize_t n = read(fd, &v, sizeof v);
  }

  // Extends the wrapping tick to 64 bits, so timer deadlines order correctly
  // across a wrap. Owner thread only.
  int64_t Now64() {
    DWORD t = GetTickCount();
    if (!clockStarted) {
      clockStarted = true;
      now64 = t;
    } else {
      now64 += TickDiff(t, lastTick);
    }
    lastTick = t;
    return now64;
  }

  int fd;
  std::atomic<bool> woken{false};
  std::mutex lock;
  std::deque<Message> posted;     // guarded by lock
  std::atomic<size_t> postedSize{0};  // posted.size(), readable without the lock

  // Owner thread only.
  std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<>> timers;
  std::unordered_map<uint64_t, TimerState> timerStates;  // key: window << 32 | id
  uint64_t nextGeneration = 1;
  bool clockStarted = false;
  DWORD lastTick = 0;
  int64_t now64 = 0;
  std::vector<HWND> ownedWindows;
};

uint64_t TimerKey(HWND w, UINT_PTR id) { return (uint64_t(w) << 32) | uint32_t(id); }

struct Registry {
  std::mutex lock;
  std::unordered_map<HWND, std::shared_ptr<Window>> windows;
  HWND next = 1;
};

Registry& registry() {
  static Registry* r = new Registry;  // lives as long as the process: threads may outlive main
  return *r;
}

std::shared_ptr<Window> FindWindow(HWND h) {
  Registry& r = registry();
  std::lock_guard g(r.lock);
  auto it = r.windows.find(h);
  return it == r.windows.end() ? nullptr : it->second;
}

void DestroyOwnedWindows();

// Destroys what the thread still owns when it ends, so pending payloads are
// released rather than leaked.
struct ThreadQueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~ThreadQueueHolder() {
    if (queue) DestroyOwnedWindows();
  }
};

thread_local ThreadQueueHolder t_holder;
thread_local std::function<void()>* t_pumpObserver = nullptr;
thread_local int t_dispatchDepth = 0;

// Counts a window procedure running on this thread.
struct DepthScope {
  DepthScope() { ++t_dispatchDepth; }
  ~DepthScope() { --t_dispatchDepth; }
  DepthScope(const DepthScope&) = delete;
  DepthScope& operator=(const DepthScope&) = delete;
};

ThreadQueue& CurrentQueue() {
  if (!t_holder.queue) t_holder.queue = std::make_shared<ThreadQueue>();
  return *t_holder.queue;
}

void DestroyOwnedWindows() {
  std::vector<HWND> owned = t_holder.queue->ownedWindows;
  for (HWND h : owned) DestroyWindow(h);
}

bool Enqueue(const std::shared_ptr<Window>& w, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> q = w->queue.lock();
  if (!q) return false;
  bool wasEmpty;
  {
    std::lock_guard g(q->lock);
    // Checked under the queue lock, which DestroyWindow also takes while it
    // collects the window's messages: a message is either released or
    // delivered, never left behind.
    if (!FindWindow(w->handle)) return false;
    wasEmpty = q->posted.empty();
    q->posted.push_back({w->handle, msg, wParam, lParam});
    q->postedSize.store(q->posted.size(), std::memory_order_release);
  }
  // One wake-up per batch: the owner re-arms the descriptor itself when it
  // leaves messages behind (see ProcessMessages).
  if (wasEmpty) q->Wake();
  return true;
}



LRESULT Dispatch(const Message& m) {
  std::shared_ptr<Window> w = FindWindow(m.window);
  if (!w || !w->proc) return 0;
  DepthScope depth;
  return w->proc(m.window, m.msg, m.wParam, m.lParam);
}

bool PopPosted(ThreadQueue& q, Message& out) {
  if (q.postedSize.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard g(q.lock);
  if (q.posted.empty()) return false;
  out = q.posted.front();
  q.posted.pop_front();
  q.postedSize.store(q.posted.size(), std::memory_order_release);
  return true;
}

size_t PostedCount(ThreadQueue& q) { return q.postedSize.load(std::memory_order_acquire); }

// Fires every timer that is due now, each at most once.
bool FireDueTimers(ThreadQueue& q) {
  bool any = false;
  int64_t now = q.Now64();
  std::vector<TimerEntry> due;
  while (!q.timers.empty() && q.timers.top().due <= now) {
    due.push_back(q.timers.top());
    q.timers.pop();
  }
  for (const TimerEntry& e : due) {
    auto it = q.timerStates.find(TimerKey(e.window, e.id));
    if (it == q.timerStates.end() || it->second.generation != e.generation) continue;
    q.timers.push({now + it->second.elapse, e.window, e.id, e.generation});
    Dispatch({e.window, WM_TIMER, e.id, 0});
    any = true;
  }
  return any;
}

void DropStaleTimers(ThreadQueue& q) {
  while (!q.timers.empty()) {
    const TimerEntry& e = q.timers.top();
    auto it = q.timerStates.find(TimerKey(e.window, e.id));
    if (it != q.timerStates.end() && it->second.generation == e.generation) return;
    q.timers.pop();
  }
}

}  // namespace

HWND CreateMessageWindow(WindowProc proc, ReleaseProc release) {
  ThreadQueue& q = CurrentQueue();
  auto w = std::make_shared<Window>();
  w->queue = t_holder.queue;
  w->owner = std::this_thread::get_id();
  w->proc = std::move(proc);
  w->release = std::move(release);
  Registry& r = registry();
  {
    std::lock_guard g(r.lock);
    while (r.next == 0 || r.windows.count(r.next)) ++r.next;
    w->handle = r.next++;
    r.windows.emplace(w->handle, w);
  }
  q.ownedWindows.push_back(w->handle);
  return w->handle;
}

bool DestroyWindow(HWND window) {
  std::shared_ptr<Window> w = FindWindow(window);
  if (!w) return false;
  std::shared_ptr<ThreadQueue> q = w->queue.lock();
  std::vector<Message> pending;
  {
    std::unique_lock qg(q ? std::unique_lock(q->lock) : std::unique_lock<std::mutex>());
    {
      Registry& r = registry();
      std::lock_guard g(r.lock);
      r.windows.erase(window);
    }
    if (q) {
      auto keep = std::stable_partition(q->posted.begin(), q->posted.end(),
                                        [&](const Message& m) { return m.window != window; });
      pending.assign(keep, q->posted.end());
      q->posted.erase(keep, q->posted.end());
      q->postedSize.store(q->posted.size(), std::memory_order_release);
    }
  }
  if (q && w->owner == std::this_thread::get_id()) {
    std::erase(q->ownedWindows, window);
    std::erase_if(q->timerStates, [&](const auto& kv) { return HWND(kv.first >> 32) == window; });
  }
  if (w->release)
    for (const Message& m : pending) w->release(m.msg, m.wParam, m.lParam);
  return true;
}

bool IsWindow(HWND window) { return FindWindow(window) != nullptr; }

bool PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> w = FindWindow(window);
  return w && Enqueue(w, msg, wParam, lParam);
}

bool SendNotifyMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> w = FindWindow(window);
  if (!w) return false;
  if (w->owner == std::this_thread::get_id()) {
    if (w->proc) {
      DepthScope depth;
      w->proc(window, msg, wParam, lParam);
    }
    return true;
  }
  return Enqueue(w, msg, wParam, lParam);
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse) {
  std::shared_ptr<Window> w = FindWindow(window);
  if (!w || w->owner != std::this_thread::get_id() || id == 0) return 0;
  ThreadQueue& q = CurrentQueue();
  elapse = std::max<UINT>(elapse, 1);
  uint64_t gen = q.nextGeneration++;
  q.timerStates[TimerKey(window, id)] = {elapse, gen};
  q.timers.push({q.Now64() + elapse, window, id, gen});
  q.Wake();  // a foreign loop must recompute its next deadline
  return id;
}

bool KillTimer(HWND window, UINT_PTR id) {
  ThreadQueue& q = CurrentQueue();
  bool found = q.timerStates.erase(TimerKey(window, id)) > 0;
  DropStaleTimers(q);
  return found;
}

ScopedPumpObserver::ScopedPumpObserver(std::function<void()> observer)
    : observer_(std::move(observer)), previous_(t_pumpObserver) {
  t_pumpObserver = &observer_;
}

ScopedPumpObserver::~ScopedPumpObserver() { t_pumpObserver = previous_; }

bool ProcessMessages() {
  if (t_pumpObserver) (*t_pumpObserver)();
  ThreadQueue& q = CurrentQueue();
  q.Drain();
  bool any = false;
  size_t budget = PostedCount(q);
  Message m;
  while (budget-- > 0 && PopPosted(q, m)) {
    Dispatch(m);
    any = true;
  }
  if (FireDueTimers(q)) any = true;
  if (PostedCount(q) > 0) q.Wake();  // keep the descriptor readable for what is left
  return any;
}

int DispatchDepth() { return t_dispatchDepth; }

int MessageQueueFd() { return CurrentQueue().fd; }

int NextTimerTimeout() {
  ThreadQueue& q = CurrentQueue();
  DropStaleTimers(q);
  if (q.timers.empty()) return -1;
  int64_t left = q.timers.top().due - q.Now64();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

void WaitMessage(int timeoutMs) {
  ThreadQueue& q = CurrentQueue();
  int timer = NextTimerTimeout();
  int wait = timer < 0 ? timeoutMs : (timeoutMs < 0 ? timer : std::min(timer, timeoutMs));
  if (wait == 0) return;
  pollfd p{q.fd, POLLIN, 0};
  poll(&p, 1, wait);
}

bool RunUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  using clock = std::chrono::steady_clock;
  const auto end = clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (ProcessMessages()) continue;
    if (done()) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
    if (left <= 0) return false;
    // A test clock may hold timers back: never sleep longer than a few ms
    // past what the real clock says, so a test that advances it is seen soon.
    WaitMessage(static_cast<int>(std::min<int64_t>(left, 10)));
  }
  return true;
}

}  // namespace tw::win32
