#include "client_harness.h"

#include <algorithm>
#include <mutex>

#include "platform/win32/messages.h"
#include "server/mHub.h"
#include "platform/win32/text.h"
#include "transport/twTools.h"

namespace tw::test {

std::string Hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// --- TClient --------------------------------------------------------------------

TClient::TClient(std::shared_ptr<cln::TMediaFactory> media, bool startPump)
    : engine(std::make_unique<cln::TTWParleyCln>(media, startPump)) {
  cln::TParleyClnEvents& ev = engine->Events;
  auto name = [this](cln::TPeerHandle h) {
    // Reading the name must not disturb LastError, which tests check.
    cln::TPeer* p = engine->CheckPeer(h);
    return p ? win32::Utf16ToUtf8(p->Name) : std::string("?");
  };
  ev.OnSessionOpen = [this] { log.push_back("open"); };
  ev.OnSessionClosed = [this] { log.push_back("closed"); };
  ev.OnSessionRejected = [this](int32_t code) { log.push_back("rejected " + std::to_string(code)); };
  ev.OnPeerConnected = [this, name](cln::TPeerHandle h) {
    connected.push_back(h);
    log.push_back("connected " + name(h));
  };
  ev.OnPeerDisconnected = [this, name](cln::TPeerHandle h) { log.push_back("disconnected " + name(h)); };
  ev.OnAlertMessage = [this, name](cln::TPeerHandle h, const std::u16string& text) {
    log.push_back("alert " + name(h) + " " + win32::Utf16ToUtf8(text));
  };
  ev.OnChatMessage = [this, name](cln::TPeerHandle h, const std::u16string& text) {
    log.push_back("chat " + name(h) + " " + win32::Utf16ToUtf8(text));
  };
  ev.OnBinaryMessage = [this, name](cln::TPeerHandle h, const com::VARIANT& m) {
    log.push_back("binary " + (h == 0 ? std::string("0") : name(h)) + " " + Hex(VarArrayToStr(m).value_or("?")));
  };
}

TClient::~TClient() = default;

cln::TPeerHandle TClient::Handle(const std::u16string& name) {
  for (auto it = connected.rbegin(); it != connected.rend(); ++it) {
    cln::TPeer* p = engine ? engine->CheckPeer(*it) : nullptr;
    if (p && p->Name == name) return *it;
  }
  return 0;
}

size_t TClient::Count(const std::string& prefix) const {
  return static_cast<size_t>(
      std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

bool TClient::Saw(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }

// --- THarness -------------------------------------------------------------------

THarness::THarness(THarnessOptions options)
    : options_(std::move(options)), stepper_([this](std::vector<CMill*>& mills) {
        if (server_) mills.push_back(&server_->Hub().Mill());
        for (const auto& c : clients_)
          if (c->engine) mills.push_back(&c->engine->Mate().Mill());
        mills.insert(mills.end(), watched_.begin(), watched_.end());
      }) {
  if (options_.manualClock) clock_.emplace(options_.startTick);
  server_ = std::make_unique<TTWParleySrv>(false);
  server_->Hub().Mill().ErrorLogPath.clear();
  server_->SetSecurityMode(options_.securityMode);
  server_->SetSecretKey(u"harness-secret");
  if (options_.securityMode == secRsa) {
    std::u16string priv;
    server_->GenerateKeypair(serverPublic_, priv);
    server_->SetPublicKey(serverPublic_);
    server_->SetPrivateKey(priv);
  }
  server_->Events.OnConnectionRequest = [this](TPeerHandle, const std::u16string& user, std::u16string& password,
                                               bool& accept) {
    serverLog_.push_back("request " + win32::Utf16ToUtf8(user));
    password = options_.password;
    accept = true;
  };
  server_->Events.OnPeerConnected = [this](TPeerHandle h) {
    serverLog_.push_back("connected " + win32::Utf16ToUtf8(server_->GetPeerName(h)));
  };
  server_->Events.OnPeerDisconnected = [this](TPeerHandle h, int32_t code) {
    serverLog_.push_back("disconnected " + win32::Utf16ToUtf8(server_->GetPeerName(h)) + " " +
                         std::to_string(code));
  };
  server_->Events.OnBinaryMessage = [this](TPeerHandle h, const com::VARIANT& m) {
    serverLog_.push_back("binary " + win32::Utf16ToUtf8(server_->GetPeerName(h)) + " " +
                         Hex(VarArrayToStr(m).value_or("?")));
  };
  server_->ListeningPort = 0;
  server_->Start();
  port_ = server_->Hub().Mill().ListeningPort();
}

THarness::~THarness() {
  clients_.clear();
  server_.reset();
}

TClient& THarness::AddClient(std::shared_ptr<cln::TMediaFactory> media) {
  clients_.push_back(std::make_unique<TClient>(std::move(media), false));
  TClient& c = *clients_.back();
  c->SetSecurityMode(options_.securityMode);
  c->SetSecretKey(u"harness-secret");
  if (options_.securityMode == secRsa) {
    // The server's key serves as the client's too: key generation is slow.
    c->SetPublicKey(serverPublic_);
    c->SetPrivateKey(Server().GetPrivateKey());
  }
  return c;
}

bool THarness::Open(TClient& c, const std::u16string& user, const std::u16string& password, uint16_t port) {
  const size_t before = c.log.size();
  if (!c->OpenSession(u"127.0.0.1", port ? port : port_, user, password)) return false;
  Run([&] { return c.log.size() > before; });
  return c->GetSessionStatus() == cln::ssOpen;
}

bool THarness::OpenMesh(size_t count) {
  while (clients_.size() < count) AddClient();
  for (size_t i = 0; i < count; ++i) {
    TClient& c = *clients_[i];
    if (!Open(c, u"c" + win32::Utf8ToUtf16(std::to_string(i)))) return false;
    // Everyone present so far bonds with the newcomer.
    const bool bonded = Run([&] {
      for (size_t k = 0; k <= i; ++k)
        if (clients_[k]->connected.size() < i) return false;
      return true;
    });
    if (!bonded) return false;
  }
  return true;
}

bool THarness::Run(const std::function<bool()>& done, win32::DWORD timeoutMs) {
  return stepper_.RunUntil(done, timeoutMs);
}

bool THarness::Settle() { return stepper_.Settle(); }

void THarness::Settle(win32::DWORD ms) { stepper_.RunUntil([] { return false; }, ms); }

}  // namespace tw::test

// --- TRawClient and TWireTap ---------------------------------------------------------------

namespace tw::test {

TRawClient::TRawClient(THarness& harness, const std::u16string& user) : harness_(harness) {
  harness_.Watch(mill_);
  mill_.Events.OnPipeOpen = [this](CPipe&) { SendCommand(CMD_READY); };
  mill_.Events.OnSackReceived = [this](CPipe&, int32_t channel, std::string& body) {
    commands.emplace_back(channel, body);
    if (channel == CMD_WELCOME) {
      open_ = true;
      SendCommand(CMD_ANNOUNCE);
    }
  };
  mill_.Events.OnBondSack = [this](CPipe&, TSack& s) {
    bonds.push_back({s.PeerId, s.Code, s.Payload, s.AckWanted != 0});
  };
  if (CPipe* pipe = mill_.OpenSession(u"127.0.0.1", harness.Port(), kParleyAppId, user, u"pw")) pipe_ = pipe->Id();
  harness.Run([this] { return open_; });
}

TRawClient::~TRawClient() { harness_.Unwatch(mill_); }

int32_t TRawClient::PeerId(const std::u16string& name) const {
  for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
    if (it->first != CMD_PEER_LISTED && it->first != CMD_PEER_JOINED) continue;
    std::string body = it->second;
    const int32_t id = ReadIntField(body);
    if (ReadWideField(body) == name) return id;
  }
  return 0;
}

void TRawClient::SendRouted(int32_t code, std::string body, int32_t to, bool ackWanted) {
  CPipe* pipe = mill_.GetPipe(pipe_);
  if (!pipe) return;
  TSack& sack = pipe->QueueOwn(code, std::move(body));
  sack.AckWanted = ackWanted ? 1 : 0;
  AppendLe32(sack.RouteList, static_cast<uint32_t>(to));
}

void TRawClient::SendCommand(int32_t channel, std::string body) {
  if (CPipe* pipe = mill_.GetPipe(pipe_)) pipe->QueueOwn(channel + sackAppBase, std::move(body));
}

bool TRawClient::SendIdle() {
  CPipe* pipe = mill_.GetPipe(pipe_);
  return !pipe || pipe->SendIdle();
}

void TRawClient::Close() {
  if (CPipe* pipe = mill_.GetPipe(pipe_)) pipe->FinishSession(crLocal);
}

struct TWireTap::TShared {
  std::mutex lock;
  std::string up, down;
};

TWireTap::TWireTap(uint16_t target) : shared_(std::make_unique<TShared>()) {
  relay_ = std::make_unique<TTcpRelay>(target, [shared = shared_.get()](bool up, std::string_view bytes) {
    std::lock_guard g(shared->lock);
    (up ? shared->up : shared->down).append(bytes);
  });
}

TWireTap::~TWireTap() = default;

std::vector<TWireTap::TFrame> TWireTap::Frames() {
  std::string up, down;
  {
    std::lock_guard g(shared_->lock);
    up = shared_->up;
    down = shared_->down;
  }
  std::vector<TFrame> frames;
  for (bool isUp : {true, false}) {
    std::string_view rest = isUp ? up : down;
    // Stops at the first bytes that do not make a whole frame.
    while (rest.size() >= kFrameHeaderSize && rest.substr(0, 4) == kErtiMagic) {
      const auto length = static_cast<int32_t>(LoadLe32(rest.data() + kFrameLengthOffset));
      if (length < kMinFrameLength || rest.size() < kFrameCodeOffset + static_cast<size_t>(length)) break;
      const auto code = static_cast<int32_t>(LoadLe32(rest.data() + kFrameCodeOffset));
      frames.push_back({isUp, static_cast<uint8_t>(rest[4]), code,
                        std::string(rest.substr(kFrameHeaderSize, static_cast<size_t>(length) - 4))});
      rest.remove_prefix(kFrameCodeOffset + static_cast<size_t>(length));
    }
  }
  return frames;
}

}  // namespace tw::test
