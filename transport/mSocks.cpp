// The SOCKS 4 and SOCKS 5 (user name and password) client exchange that a
// dialled pipe runs with its proxy before the session handshake. Requests go
// out in one send(); replies are gathered across reads until complete.
// Every failure closes the pipe with crSocks.

#include "platform/win32/text.h"
#include "transport/mMill.h"
#include "transport/mPipe.h"

namespace tw {

namespace {

constexpr size_t kMaxSocksField = 255;

void AppendPort(std::string& out, uint16_t port) {
  out += static_cast<char>(port >> 8);
  out += static_cast<char>(port & 0xFF);
}

}  // namespace

bool CPipe::SendRaw(const std::string& bytes) {
  int sent = ws::send(Socket(), bytes.data(), static_cast<int>(bytes.size()), 0);
  return sent != ws::SOCKET_ERROR && static_cast<size_t>(sent) == bytes.size();
}

void CPipe::SocksConnected() {
  mill_.Guard("SocksConnected", [&] {
    StateStartTick = mill_.PumpTick();
    SocksReply.clear();
    std::string request;
    bool ok = true;
    if (mill_.SocksVersion == 4) {
      State = psSocks4Reply;
      std::optional<ws::in_addr> target = CMill::ResolveHost(SocksHost);
      if (!target) {
        ok = false;
      } else {
        request = {'\x04', '\x01'};
        AppendPort(request, SocksPort);
        request.append(reinterpret_cast<const char*>(&target->s_addr), 4);  // network order already
        request += '\0';
      }
    } else {
      State = psSocks5Method;
      // The length bytes count bytes: anything longer fails before a byte goes out.
      ok = SocksHost.size() <= kMaxSocksField && mill_.SocksUser.size() <= kMaxSocksField &&
           win32::WideToAnsi(mill_.SocksPassword).size() <= kMaxSocksField;
      request = {'\x05', '\x01', mill_.SocksUser.empty() ? '\x00' : '\x02'};
    }
    if (ok) ok = SendRaw(request);
    if (!ok) FinishSession(crSocks);
  });
}

void CPipe::TakeSocksReply(std::string_view bytes) {
  SocksReply.append(bytes);
  switch (State) {
    case psSocks4Reply: TakeSocks4Reply(); break;
    case psSocks5Method: TakeSocks5Method(); break;
    case psSocks5Auth: TakeSocks5Auth(); break;
    case psSocks5Connect: TakeSocks5Connect(); break;
    default: break;
  }
}

void CPipe::TakeSocks4Reply() {
  if (SocksReply.size() < 8) return;  // VN CD DSTPORT DSTIP
  const bool granted = SocksReply[0] == '\x00' && SocksReply[1] == '\x5A';
  SocksReply.clear();
  if (granted)
    StartProtocol();
  else
    FinishSession(crSocks);
}

void CPipe::TakeSocks5Method() {
  if (SocksReply.size() < 2) return;
  const char version = SocksReply[0], method = SocksReply[1];
  SocksReply.clear();
  if (version != '\x05') return FinishSession(crSocks);
  if (method == '\x00') return SendSocks5Connect();
  if (method != '\x02') return FinishSession(crSocks);
  const std::string user = win32::WideToAnsi(mill_.SocksUser);
  const std::string password = win32::WideToAnsi(mill_.SocksPassword);
  if (user.size() > kMaxSocksField || password.size() > kMaxSocksField) return FinishSession(crSocks);
  std::string request = {'\x01', static_cast<char>(user.size())};
  request += user;
  request += static_cast<char>(password.size());
  request += password;
  State = psSocks5Auth;
  if (!SendRaw(request)) FinishSession(crSocks);
}

void CPipe::TakeSocks5Auth() {
  if (SocksReply.size() < 2) return;
  const bool granted = SocksReply[1] == '\x00';
  SocksReply.clear();
  if (granted)
    SendSocks5Connect();
  else
    FinishSession(crSocks);
}

void CPipe::SendSocks5Connect() {
  if (SocksHost.size() > kMaxSocksField) return FinishSession(crSocks);
  std::string request = {'\x05', '\x01', '\x00', '\x03', static_cast<char>(SocksHost.size())};
  request += SocksHost;
  AppendPort(request, SocksPort);
  State = psSocks5Connect;
  if (!SendRaw(request)) FinishSession(crSocks);
}

void CPipe::TakeSocks5Connect() {
  // VER REP RSV ATYP BND.ADDR BND.PORT: 10 bytes for IPv4, 7 + n for a
  // domain name of n bytes, 22 for IPv6. A refusal needs only REP.
  if (SocksReply.size() < 2) return;
  if (SocksReply[0] != '\x05' || SocksReply[1] != '\x00') {
    SocksReply.clear();
    return FinishSession(crSocks);
  }
  if (SocksReply.size() < 5) return;
  size_t need = 0;
  switch (SocksReply[3]) {
    case '\x01': need = 10; break;
    case '\x03': need = 7 + static_cast<unsigned char>(SocksReply[4]); break;
    case '\x04': need = 22; break;
    default: SocksReply.clear(); return FinishSession(crSocks);
  }
  if (SocksReply.size() < need) return;
  SocksReply.clear();
  StartProtocol();
}

}  // namespace tw
