#include "platform/win32/ticker.h"

#include <utility>

namespace tw::win32 {

TickGrid::Clock::time_point TickGrid::Next(TickOutcome outcome, Clock::time_point now) {
  switch (outcome) {
    case TickOutcome::Busy:
      return now + kRetry;
    case TickOutcome::Rested:
      due_ += period_;
      return due_;
    case TickOutcome::Ticked:
      due_ = due_ + period_ > now ? due_ + period_ : now + period_;
      return due_;
  }
  return now + period_;
}

Ticker::Ticker(DWORD periodMs, std::function<TickOutcome()> onTick)
    : onTick_(std::move(onTick)), thread_([this, periodMs] { Run(std::chrono::milliseconds(periodMs)); }) {}

Ticker::~Ticker() {
  {
    std::lock_guard g(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Ticker::Run(std::chrono::milliseconds period) {
  TickGrid grid(period, TickGrid::Clock::now());
  std::unique_lock g(lock_);
  while (!stop_) {
    g.unlock();
    const TickOutcome outcome = onTick_();
    const TickGrid::Clock::time_point wake = grid.Next(outcome, TickGrid::Clock::now());
    g.lock();
    wake_.wait_until(g, wake, [this] { return stop_; });
  }
  finished_.store(true);
}

}  // namespace tw::win32
