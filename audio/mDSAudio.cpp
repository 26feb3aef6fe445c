// The tick is read once per Add and once per query. An entry's age is
// now - tick in unsigned 32-bit arithmetic, so entries written shortly
// before the counter wraps keep their true small age after it.
#include "audio/mDSAudio.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "audio/mDSP.h"
#include "platform/com/errorinfo.h"

#include "platform/win32/tick.h"

namespace tw {

TLooker::TLooker(size_t capacity, double initial) : entries_(capacity, Entry{initial, 0, false}) {
  if (capacity == 0) throw std::invalid_argument("TLooker needs at least one entry");
}

void TLooker::Add(double value) {
  entries_[position_] = {value, win32::GetTickCount(), true};
  if (++position_ == entries_.size()) position_ = 0;
}

template <typename Visit>
void TLooker::ForEachWithin(uint32_t windowMs, Visit visit) const {
  const uint32_t now = win32::GetTickCount();
  for (const Entry& e : entries_) {
    // An unwritten entry's tick 0 says nothing about its age: without the
    // flag it would look fresh whenever the counter is near 0 (at boot or
    // just after a wrap) and dilute the mean.
    if (windowMs == 0 || (e.written && static_cast<uint32_t>(now - e.tick) <= windowMs)) visit(e.value);
  }
}

double TLooker::MaxWithin(uint32_t windowMs) const {
  double best = 0.0;
  ForEachWithin(windowMs, [&](double v) { best = std::max(best, v); });
  return best;
}

double TLooker::MeanWithin(uint32_t windowMs) const {
  double sum = 0.0;
  size_t count = 0;
  ForEachWithin(windowMs, [&](double v) {
    sum += v;
    ++count;
  });
  return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

}  // namespace tw

// ---- TWave ----------------------------------------------------------------

namespace tw {

TWave::TWave()
    : window_(win32::HiddenWindow([](win32::HWND, win32::UINT, win32::WPARAM, win32::LPARAM) {
        return win32::LRESULT{1};
      })) {}

TWave::~TWave() = default;

// ---- TRecorder ------------------------------------------------------------

namespace {

constexpr size_t kFrameBytes = VoicePcmFormat::kFrameBytes;

// Hands "<where>: <what>" to the handler through a copy: it may destroy the
// reporting object.
void ReportFailure(const std::function<void(const std::string&)>& handler, const std::string& where,
                   const std::string& what) {
  if (!handler) return;
  const auto copy = handler;
  copy(where + ": " + what);
}

// The exception being handled, reported as the failure of `where`.
void ReportCaught(const std::function<void(const std::string&)>& handler, const std::string& where) {
  ReportFailure(handler, where, com::CaughtExceptionText());
}

}  // namespace

TRecorder::TRecorder() : codec_(std::make_unique<CVodec>()), capture_(std::make_unique<CDSRecord>(Window())) {
  capture_->OnData = [this](CDSRecord&, const uint8_t* bytes, size_t length) { DoData(bytes, length); };
  capture_->OnFailure = [this](DeviceFailure kind, const std::string& reason) { DeviceFailed(kind, reason); };
  capture_->Timer().OnFailure = [this](const std::string& what) { ReportFailure(OnFailure, "CDSRecord.Poll", what); };
}

void TRecorder::DeviceFailed(DeviceFailure kind, const std::string& reason) {
  const auto life = life_.Get();
  if (OnFailure) {
    const auto handler = OnFailure;
    handler(reason);
    if (!LifeToken::Alive(life)) return;
  }
  if (kind != DeviceFailure::Lost || !running_) return;
  // The capture has ended: the recorder stops, and a talk in progress ends
  // as it would after silence, so the next start begins without one.
  running_ = false;
  history_.reset();
  silentFrames_ = kHangoverFrames + 1;
  if (talking_) EndTalk();
}

TRecorder::~TRecorder() {
  codec_.reset();
  capture_.reset();
}

bool TRecorder::Start() {
  if (running_) return true;
  running_ = true;
  history_ = std::make_unique<TLooker>(250, 0.0);
  gain_ = 1.0;
  return capture_->Start();
}

bool TRecorder::Stop() {
  if (!running_) return false;
  running_ = false;
  capture_->Stop();
  history_.reset();
  return true;
}

bool TRecorder::Fire(const Event& event) {
  if (!event) return running_;
  const auto life = life_.Get();
  const Event handler = event;
  handler(*this);
  return LifeToken::Alive(life) && running_;
}

void TRecorder::DoData(const uint8_t* bytes, size_t length) {
  if (!running_) return;
  pending_.insert(pending_.end(), bytes, bytes + length);
  const auto life = life_.Get();
  while (pending_.size() >= kFrameBytes) {
    // The frame leaves pending before any handler runs, so a handler that
    // stops the recorder (or restarts it) never sees it processed twice.
    std::array<int16_t, kBlock> raw;
    std::memcpy(raw.data(), pending_.data(), kFrameBytes);
    pending_.erase(pending_.begin(), pending_.begin() + kFrameBytes);
    std::array<int16_t, kBlock> frame = raw;
    const bool voice = Analyse(frame);
    if (!Hangover(voice)) return;
    if (talking_) {
      if (OnWave) {
        const WaveEvent handler = OnWave;
        handler(*this, frame.data(), kFrameBytes);
        if (!LifeToken::Alive(life) || !running_) return;
      }
      if (!EncodeFrame(raw)) return;
      if (peak_ >= kLoudPeak && !loud_) {
        loud_ = true;
        if (!Fire(OnLoud)) return;
      }
    } else {
      pending_.clear();
    }
    if (loud_ && peak_ < kLoudPeak) {
      loud_ = false;
      if (!Fire(OnLoudEnd)) return;
    }
  }
}

bool TRecorder::EncodeFrame(const std::array<int16_t, kBlock>& raw) {
  const size_t n = codec_->Encode(raw, packet_);
  if (!OnPacket) return true;
  const auto life = life_.Get();
  const PacketEvent handler = OnPacket;
  handler(*this, packet_.data(), reinterpret_cast<const uint8_t*>(raw.data()), n, kFrameBytes);
  return LifeToken::Alive(life) && running_;
}

bool TRecorder::Analyse(std::span<int16_t, kBlock> frame) {
  max500_ = 0.0;
  mean500_ = 0.0;
  if (muted_) return false;
  peak_ = PeakAbs(frame);
  ApplyGain(frame, gain_);
  std::copy(frame.begin(), frame.end(), work_.begin());
  RemoveDC(work_);
  level_ = BlockLevel(work_);
  HannWindow(work_);
  fft_.Forward(work_);
  fft_.Magnitudes();
  bin_ = fft_.PeakBin(10);
  energy_ = fft_.BandEnergy(14, 17);
  if (energy_ == 0.0 || level_ == 0.0) return false;
  history_->Add(energy_ / level_);
  max500_ = history_->MaxWithin(500);
  mean500_ = history_->MeanWithin(500);

  const bool down = bin_ != 0 ? level_ > 50 : level_ > 10;
  const bool up = bin_ != 0 ? level_ < 5 : level_ < 1;
  if (down)
    gain_ -= gain_ / 50;
  else if (up)
    gain_ += gain_ / 50;
  if (gain_ > kGainCap) gain_ = kGainCap;

  bool voice = true;
  if (threshold_ != 0) {
    voice = max500_ > 10.0 * threshold_;
    if (!talking_ && bin_ == 0) voice = false;
  }
  const double limit = std::min(max500_ * 50.0, 32000.0);
  LimitPeak(frame, static_cast<int32_t>(limit));
  return voice;
}

bool TRecorder::Hangover(bool voice) {
  // The counter only needs to tell "fewer than four" from "four or more":
  // it stops at four instead of running towards an overflow.
  if (voice)
    silentFrames_ = 0;
  else if (silentFrames_ <= kHangoverFrames)
    ++silentFrames_;
  if (silentFrames_ <= kHangoverFrames) {
    if (!talking_) {
      talking_ = true;
      return Fire(OnTalkStart);
    }
    return true;
  }
  if (!talking_) return true;
  return EndTalk();
}

bool TRecorder::EndTalk() {
  const auto life = life_.Get();
  if (OnPacket) {
    static constexpr uint8_t kMarker[vodec::kEndOfTalkMarkerBytes] = {0, 0, 0, 0};
    const PacketEvent handler = OnPacket;
    handler(*this, kMarker, kMarker, sizeof kMarker, sizeof kMarker);
    if (!LifeToken::Alive(life)) return false;
  }
  talking_ = false;
  return Fire(OnTalkStop);
}

// ---- TPlayer --------------------------------------------------------------

TPlayer::TPlayer() : codec_(std::make_unique<CVodec>()), playback_(std::make_unique<CDSPlay>(Window())) {
  playback_->OnFailure = [this](DeviceFailure kind, const std::string& reason) { DeviceFailed(kind, reason); };
  playback_->Timer().OnFailure = [this](const std::string& what) {
    ReportFailure(OnFailure, "CDSPlay.TimerTick", what);
  };
}

void TPlayer::DeviceFailed(DeviceFailure kind, const std::string& reason) {
  if (kind == DeviceFailure::Lost) started_ = false;  // the buffer has stopped: no more packets
  if (OnFailure) {
    const auto handler = OnFailure;
    handler(reason);
  }
}

TPlayer::~TPlayer() {
  codec_.reset();
  playback_.reset();
}

bool TPlayer::Start() {
  if (started_) return false;
  started_ = true;
  bool ok = false;
  const auto life = life_.Get();
  try {
    ok = playback_->Start();
  } catch (...) {
    ReportCaught(OnFailure, "TPlayer.Start");
    if (!LifeToken::Alive(life)) return false;
  }
  packetFailureReported_ = false;
  current_.fill(0);
  previous_.fill(0);
  pending_.clear();
  output_.clear();
  return ok;
}

bool TPlayer::Stop() {
  if (!started_) return false;
  started_ = false;
  playback_->Stop();
  return true;
}

void TPlayer::PlayPacket(const uint8_t* packet, size_t length) {
  if (muted_ || !started_) return;
  if (length == vodec::kEndOfTalkMarkerBytes) {
    pending_.clear();
    output_.clear();
    previous_.fill(0);
    playback_->Reprime();
    return;
  }
  const auto life = life_.Get();
  try {
    codec_->Decode(std::span<const uint8_t>(packet, length), decoded_);
    pending_.insert(pending_.end(), decoded_.begin(), decoded_.end());
    size_t consumed = 0;
    while (pending_.size() - consumed >= kBlock) {
      std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(consumed), kBlock, block_.begin());
      consumed += kBlock / 2;
      ProcessBlock();
      output_.insert(output_.end(), block_.begin(), block_.begin() + kBlock / 2);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed));
    if (output_.empty()) return;
    // The handler may stop or free this player: hand it a local copy and
    // touch nothing afterwards.
    std::vector<int16_t> out;
    out.swap(output_);
    const auto* bytes = reinterpret_cast<const uint8_t*>(out.data());
    playback_->PushData(bytes, out.size() * 2);
    if (!LifeToken::Alive(life) || !started_) return;  // the device failed: nothing was played
    if (OnPlayed) {
      const PlayedEvent handler = OnPlayed;
      handler(*this, bytes, out.size() * 2);
    }
  } catch (...) {
    // A failing packet is dropped; the next one is processed normally. A
    // talker's packets may all fail: the first one of a start is reported.
    if (!LifeToken::Alive(life) || packetFailureReported_) return;
    packetFailureReported_ = true;
    ReportCaught(OnFailure, "TPlayer.PlayPacket");
  }
}

void TPlayer::ProcessBlock() {
  current_ = block_;
  fft_.Forward(current_);
  auto bins = fft_.Bins();
  bins[0] = {};
  for (size_t k = 12; k <= 19; ++k) bins[k] = {};
  fft_.Inverse(current_);
  Attenuate(current_, recorder_ != nullptr ? recorder_->Mean500() / 10.0 : 0.0);
  HannWindow(current_);
  for (size_t i = 0; i < kBlock / 2; ++i) {
    // Overlap-add of two windowed halves; clipped rather than wrapped.
    const int sum = current_[i] + previous_[i + kBlock / 2];
    block_[i] = static_cast<int16_t>(std::clamp(sum, -32768, 32767));
  }
  previous_ = current_;
}

}  // namespace tw
