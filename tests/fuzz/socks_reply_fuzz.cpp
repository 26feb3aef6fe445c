// A dialled pipe of a real client mill runs its SOCKS 4 or SOCKS 5 exchange
// over loopback with a fake proxy that answers with the input's bytes, cut
// into the reads the input chooses, and may hang up at any point. Whatever
// the proxy says, the pipe either reaches the handshake after a granted
// exchange or is rejected with the SOCKS reason; its requests are well formed.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "platform/winsock/winsock.h"
#include "transport/mMill.h"

namespace {

using namespace tw;
using tw::fuzz::TFuzzInput;

// The fake proxy's listening socket, made once.
class TProxy {
 public:
  TProxy() {
    ws::WSADATA data;
    ws::WSAStartup(ws::MAKEWORD(1, 1), &data);
    listener_ = ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP);
    ws::sockaddr_in sa{};
    sa.sin_family = ws::AF_INET;
    sa.sin_port = 0;
    sa.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
    TW_FUZZ_CHECK(ws::bind(listener_, reinterpret_cast<ws::sockaddr*>(&sa), sizeof sa) == 0);
    TW_FUZZ_CHECK(ws::listen(listener_, 16) == 0);
    int len = sizeof sa;
    ws::getsockname(listener_, reinterpret_cast<ws::sockaddr*>(&sa), &len);
    port_ = ws::ntohs(sa.sin_port);
  }
  uint16_t Port() const { return port_; }

  // The connection the pipe made, non-blocking; INVALID_SOCKET if none came.
  ws::SOCKET Accept() {
    ws::fd_set set;
    set.Add(listener_);
    ws::timeval wait{1, 0};
    if (ws::select(0, &set, nullptr, nullptr, &wait) <= 0) return ws::INVALID_SOCKET;
    ws::SOCKET s = ws::accept(listener_, nullptr, nullptr);
    ws::u_long on = 1;
    if (s != ws::INVALID_SOCKET) ws::ioctlsocket(s, ws::FIONBIO, &on);
    return s;
  }

 private:
  ws::SOCKET listener_ = ws::INVALID_SOCKET;
  uint16_t port_ = 0;
};

// Everything the pipe has sent so far.
void Drain(ws::SOCKET s, std::string& got) {
  char buf[1024];
  for (;;) {
    const int n = ws::recv(s, buf, sizeof buf, 0);
    if (n <= 0) return;
    got.append(buf, static_cast<size_t>(n));
  }
}

bool InSocksExchange(uint8_t state) { return state >= psConnecting && state <= psSocks5Auth; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TProxy proxy;
  TFuzzInput in(data, size);
  const uint8_t setup = in.Byte();
  const bool v5 = setup & 1;
  const bool withUser = setup & 2;
  // SOCKS 5 names the target host; its length byte limits it to 255 bytes.
  const std::string host = v5 ? std::string(setup & 4 ? 256 : 1 + in.Pick(40), 'h') : "10.1.2.3";

  CMill mill(TMillSide::Client, false);
  mill.SocksHost = u"127.0.0.1";
  mill.SocksPort = proxy.Port();
  mill.SocksVersion = v5 ? 5 : 4;
  if (withUser) {
    mill.SocksUser = u"proxy user";
    mill.SocksPassword = u"proxy password";
  }
  std::vector<TCloseReason> rejections;
  mill.Events.OnPipeRejected = [&](CMill&, CPipe&, TCloseReason reason) { rejections.push_back(reason); };
  CPipe* pipe = mill.OpenSession(std::u16string(host.begin(), host.end()), 2222, u"APP", u"user", u"pw");
  TW_FUZZ_CHECK(pipe != nullptr);
  const ws::SOCKET s = proxy.Accept();
  TW_FUZZ_CHECK(s != ws::INVALID_SOCKET);

  std::string requests;
  for (int step = 0; step < 64 && InSocksExchange(pipe->State); ++step) {
    mill.PumpUp();
    Drain(s, requests);
    if (!InSocksExchange(pipe->State) || pipe->State == psConnecting) continue;
    if (in.Empty()) break;
    const uint8_t op = in.Byte();
    if (op == 0xFF) {  // the proxy hangs up
      ws::closesocket(s);
      for (int i = 0; i < 4 && InSocksExchange(pipe->State); ++i) mill.PumpUp();
      TW_FUZZ_CHECK(pipe->State == psClosed && rejections == std::vector<TCloseReason>{crSocks});
      return 0;
    }
    const std::string_view reply = in.Bytes(op % 16);
    ws::send(s, reply.data(), static_cast<int>(reply.size()), 0);
  }
  mill.PumpUp();
  Drain(s, requests);
  ws::closesocket(s);

  // The first request: SOCKS 4 CONNECT to 10.1.2.3:2222 with an empty user
  // id, or the SOCKS 5 greeting offering one method; nothing at all for a
  // host name too long to ask for.
  if (host.size() > 255) {
    TW_FUZZ_CHECK(requests.empty() && pipe->State == psClosed);
    TW_FUZZ_CHECK(rejections == std::vector<TCloseReason>{crSocks});
    return 0;
  }
  if (v5)
    TW_FUZZ_CHECK(requests.compare(0, 3, std::string{'\x05', '\x01', withUser ? '\x02' : '\x00'}) == 0);
  else
    TW_FUZZ_CHECK(requests.compare(0, 9, std::string("\x04\x01\x08\xae\x0a\x01\x02\x03\x00", 9)) == 0);
  const std::string connect5 = std::string{'\x05', '\x01', '\x00', '\x03', static_cast<char>(host.size())} + host +
                               std::string{'\x08', '\xae'};
  if (pipe->State == psHandshake) {
    // Granted: the proxy was asked for the target by name (SOCKS 5), and the
    // session starts with the mode offer.
    TW_FUZZ_CHECK(rejections.empty());
    if (v5) TW_FUZZ_CHECK(requests.find(connect5) != std::string::npos);
    TW_FUZZ_CHECK(requests.find("ERTI") != std::string::npos);
  } else if (pipe->State == psClosed) {
    TW_FUZZ_CHECK(rejections == std::vector<TCloseReason>{crSocks});
  } else {
    TW_FUZZ_CHECK(rejections.empty());
  }
  return 0;
}
