// The drivers wait between rounds on what can move a hand-pumped mill on: its
// sockets (select, at most a few ms, so that timers on a test clock are seen
// too) and, when no socket is open, the thread's message queue.
#include "tests/support/mill_rig.h"

#include <chrono>

namespace tw::test {
namespace {

constexpr long kRoundWaitUs = 5000;

// One round: a pump step of every mill, then every posted message.
void PumpRound(const std::vector<CMill*>& mills) {
  for (CMill* m : mills) m->PumpUp();
  while (win32::ProcessMessages()) {
  }
}

void WaitForSockets(const std::vector<CMill*>& mills) {
  ws::fd_set readable, writable;
  for (CMill* m : mills) m->AddPollSockets(readable, writable);
  if (readable.empty() && writable.empty()) {
    win32::WaitMessage(static_cast<int>(kRoundWaitUs / 1000));
    return;
  }
  ws::timeval wait{0, kRoundWaitUs};
  ws::select(0, &readable, &writable, nullptr, &wait);
}

}  // namespace

bool Drive(const std::vector<CMill*>& mills, const std::function<bool()>& done, uint32_t timeoutMs) {
  using clock = std::chrono::steady_clock;
  const auto end = clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    PumpRound(mills);
    if (done()) return true;
    if (clock::now() >= end) return false;
    WaitForSockets(mills);
  }
}

bool PumpUntil(const std::vector<CMill*>& mills, const std::function<bool()>& done, uint32_t timeoutMs) {
  using clock = std::chrono::steady_clock;
  const auto end = clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (CMill* m : mills) m->PumpUp();
    if (done()) return true;
    if (clock::now() >= end) return false;
    WaitForSockets(mills);
  }
}

std::string RawLoginBody(std::u16string_view user) {
  std::string login;
  PutIntField(login, 1);
  PutStrField(login, "APP");
  PutStrField(login, "");
  PutIntField(login, 0);
  PutWideField(login, user);
  return login;
}

void LogInPlain(TRawPeer& peer) {
  peer.SendFrame(scModeOffer, IntToField(0));
  peer.SendFrame(scLogin, RawLoginBody());
}

int32_t ServerIdOf(CMill& server, const TMillProbe& probe, const CPipe* client) {
  for (int32_t id : probe.opened)
    if (server.GetRemotePort(id) == client->LocalPort) return id;
  return 0;
}

bool TRawPeer::WaitForEof(long ms) {
  using clock = std::chrono::steady_clock;
  const auto end = clock::now() + std::chrono::milliseconds(ms);
  while (!eof_ && clock::now() < end) {
    ws::fd_set readable;
    readable.Add(s_.get());
    ws::timeval wait{0, kRoundWaitUs};
    ws::select(0, &readable, nullptr, nullptr, &wait);
    Read();
  }
  return eof_;
}

void Settle(const std::vector<CMill*>& mills, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    PumpRound(mills);
    WaitForSockets(mills);
  }
}

TListeningServer::TListeningServer(int32_t securityMode) {
  mill.ErrorLog = log;
  mill.SecurityMode = securityMode;
  probe.Attach(mill);
  BindLogin();
  mill.Listen(0);
}

void TListeningServer::BindLogin() {
  mill.Events.OnPipeLogin = [this](CPipe&, const std::u16string& app, const std::u16string& user,
                                   std::u16string& password, bool& accept) {
    ++Logins;
    LastUser = user;
    LastApp = app;
    password = Password;
    accept = Accept;
  };
}

CPipe* TListeningServer::Dial(CMill& client, const std::u16string& user, const std::u16string& password,
                              const std::u16string& app) {
  return client.OpenSession(u"127.0.0.1", Port(), app, user, password);
}

}  // namespace tw::test
