// A host for one talk or file unit alone: peer records the test adds, the
// messages the unit sends written down instead of queued, a clock that moves
// only when told to, the fake media of media_fakes.h, and the reports the
// unit makes. No engine, server or socket.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/mPeer.h"
#include "client/mUnitHost.h"
#include "media_fakes.h"
#include "transport/twTools.h"

namespace tw::test {

class TFakeUnitHost final : public cln::IUnitHost {
 public:
  // A message the unit sent, with the handles it went to in route order.
  struct TSent {
    std::vector<cln::TPeerHandle> to;
    int32_t channel = 0;
    std::string body;
    bool ack = false;
  };

  explicit TFakeUnitHost(TMediaLog& log, bool loggingEncoder = false)
      : factory_(std::make_shared<TFakeMedia>(log, loggingEncoder)),
        recorder_(factory_->CreateRecorder()),
        player_(factory_->CreatePlayer()),
        capture_(factory_->CreateCapture()),
        encoder_(factory_->CreateEncoder()) {}

  // A peer that bonds now; handles count from 1, the hub knows it by 100 +
  // handle.
  cln::TPeer& AddPeer(std::u16string name) {
    auto peer = std::make_unique<cln::TPeer>();
    peer->Handle = static_cast<cln::TPeerHandle>(peers_.size() + 1);
    peer->Tube = static_cast<cln::TTubeId>(peer->Handle);
    peer->LinkState = cln::lsConnected;
    peer->Bond = static_cast<uint64_t>(peer->Handle);
    peer->Name = std::move(name);
    peers_.push_back(std::move(peer));
    return *peers_.back();
  }
  cln::TPeer& Peer(cln::TPeerHandle handle) { return *peers_.at(static_cast<size_t>(handle - 1)); }

  // What `handle` was sent from message `from` on: "100", "102 30" (an int
  // body), "110 <size>" (audio and frames: the first field's size).
  std::vector<std::string> Heard(cln::TPeerHandle handle, size_t from = 0) const {
    std::vector<std::string> out;
    for (size_t i = from; i < sent.size(); ++i) {
      const TSent& s = sent[i];
      if (std::find(s.to.begin(), s.to.end(), handle) == s.to.end()) continue;
      std::string body = s.body;
      std::string line = std::to_string(s.channel);
      if (s.channel == cln::APP_AUDIO || s.channel == cln::APP_FRAME)
        line += " " + std::to_string(ReadStrField(body).size());
      else if (!body.empty())
        line += " " + std::to_string(ReadIntField(body));
      out.push_back(line);
    }
    return out;
  }
  size_t Count(cln::TPeerHandle handle, int32_t channel) const {
    size_t n = 0;
    for (const std::string& line : Heard(handle)) n += line.substr(0, line.find(' ')) == std::to_string(channel);
    return n;
  }

  // --- IUnitHost --------------------------------------------------------------------
  cln::TPeer* FindPeer(cln::TPeerHandle handle) override {
    return handle > 0 && static_cast<size_t>(handle) <= peers_.size() ? peers_[static_cast<size_t>(handle - 1)].get()
                                                                      : nullptr;
  }
  cln::TPeer* FindPeerByHubId(int32_t hubId) override {
    cln::TPeer* p = FindPeer(hubId - 100);
    return p && p->LinkState == cln::lsConnected ? p : nullptr;  // a gone link has no id
  }
  int32_t HubId(const cln::TPeer& peer) override { return peer.LinkState == cln::lsConnected ? 100 + peer.Handle : 0; }
  bool SessionOpen() const override { return sessionOpen; }
  uint64_t Bonds() const override { return peers_.size(); }
  bool Send(std::span<cln::TPeer* const> peers, int32_t channel, TMessage body, bool ack) override {
    TSent s{{}, channel, std::move(body).Take(), ack};
    for (const cln::TPeer* p : peers)
      if (p->LinkState == cln::lsConnected) s.to.push_back(p->Handle);
    if (s.to.empty()) return false;
    if (ack)
      for (cln::TPeerHandle h : s.to) ++pending[{h, channel}];
    sent.push_back(std::move(s));
    return true;
  }
  int32_t PendingAcks(const cln::TPeer& peer, int32_t channel) override {
    auto it = pending.find({peer.Handle, channel});
    return it == pending.end() ? 0 : it->second;
  }
  int32_t ChunkRoom() override { return chunkRoom; }
  cln::TParleyClnEvents& Events() override { return events; }
  uint32_t Now() override { return now; }
  void SetLastError(int32_t code) override { lastError = code; }
  bool Destroying() const override { return destroying; }
  void ReportFailure(const std::string& reason) override { reports.push_back(reason); }
  cln::TMediaFactory& MediaFactory() override { return *factory_; }
  cln::IRecorder& Recorder() override { return *recorder_; }
  cln::IPlayer& Player() override { return *player_; }
  cln::ICaptureSource& Capture() override { return *capture_; }
  cln::IVideoEncoder& Encoder() override { return *encoder_; }

  cln::TParleyClnEvents events;
  std::vector<TSent> sent;
  std::map<std::pair<cln::TPeerHandle, int32_t>, int32_t> pending;  // acknowledgements due
  std::vector<std::string> reports;
  uint32_t now = 1'000'000;
  int32_t lastError = cln::errNone;
  int32_t chunkRoom = 4096;
  bool sessionOpen = true;
  bool destroying = false;

 private:
  std::shared_ptr<cln::TMediaFactory> factory_;
  std::unique_ptr<cln::IRecorder> recorder_;
  std::unique_ptr<cln::IPlayer> player_;
  std::unique_ptr<cln::ICaptureSource> capture_;
  std::unique_ptr<cln::IVideoEncoder> encoder_;
  std::vector<std::unique_ptr<cln::TPeer>> peers_;  // declared last: freed first, with their media
};

}  // namespace tw::test
