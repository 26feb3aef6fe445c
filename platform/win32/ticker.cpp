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
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void Ticker::Run(std::chrono::milliseconds period) {
  TickGrid grid(period, TickGrid::Clock::now());
  while (!stop_.load()) {
    const TickOutcome outcome = onTick_();
    std::this_thread::sleep_until(grid.Next(outcome, TickGrid::Clock::now()));
  }
  finished_.store(true);
}

}  // namespace tw::win32
