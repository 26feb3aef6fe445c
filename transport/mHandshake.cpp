// The session handshake, both sides: security mode, the RSA exchange of two
// session-key halves, the login with its MD5 challenge, and acceptance.
//
// Each handler runs only on its own side, in state 7, at the step the pipe
// expects; anything else fails the pipe with crSecurity. RSA work and the
// host's login decision may pump the thread's messages, so every handler
// looks again at its pipe's state after such a call before it goes on.

#include <cstdio>
#include <optional>

#include "crypto/mMD5.h"
#include "crypto/mRSA.h"
#include "platform/com/guid.h"
#include "platform/win32/system.h"
#include "platform/win32/text.h"
#include "transport/mMill.h"
#include "transport/mPipe.h"

namespace tw {

namespace {

// Key bytes from a peer: a modulus of at most 4096 bits.
constexpr size_t kMaxPeerKeyBytes = 512;
constexpr size_t kChallengeBytes = 16;

// 8 bytes of a new GUID (its bytes 8 to 15).
std::string NewSessionHalf() {
  com::GUID g;
  if (com::CoCreateGuid(&g) != com::S_OK) throw std::runtime_error("CoCreateGuid failed");
  return std::string(reinterpret_cast<const char*>(g.Data4), 8);
}

std::string RandomBytes(size_t n) {
  std::string out(n, '\0');
  if (!win32::SystemRandom(out.data(), n)) throw std::runtime_error("no random source");
  return out;
}

std::string HexText(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string ChallengeDigest(const std::u16string& password, std::string_view challenge) {
  std::string data = win32::Utf16ToUtf8(password);
  data.append(challenge);
  return Md5OfString(data);
}

std::string OleDateText() {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", win32::NowAsOleDate());
  return buf;
}

std::string FirstHalf(const std::string& s) { return s.substr(0, s.size() / 2); }
std::string SecondHalf(const std::string& s) { return s.substr(s.size() / 2); }

}  // namespace

bool CPipe::Expect(THandshakeStep step, bool serverSide) {
  if (State == psHandshake && Incoming == serverSide && Step == step) return true;
  if (State != psClosed) Fail(crSecurity);
  return false;
}

// Draws the own half (the provisional session key) and encrypts it with the
// peer's key. RSA work pumps messages: the step is held busy meanwhile, and
// false means the pipe left the handshake or failed.
bool CPipe::MakeOwnCipher() {
  OwnHalf = NewSessionHalf();
  SessionKey = OwnHalf;
  Step = THandshakeStep::None;  // busy: anything arriving meanwhile fails
  std::string cipher = RsaPublicEncrypt(PeerKey, OwnHalf);
  if (!StillHandshaking()) return false;
  if (cipher.empty()) {
    Fail(crSecurity);
    return false;
  }
  OwnCipher = std::move(cipher);
  return true;
}

// Decrypts the peer's joined ciphertext (at most twice the modulus long) with
// the own key pair; none when the pipe left the handshake or failed.
std::optional<std::string> CPipe::OpenPeerCipher() {
  if (PeerCipher.empty() || PeerCipher.size() > 2 * mill_.OwnPublicKey.size()) {
    Fail(crSecurity);
    return std::nullopt;
  }
  Step = THandshakeStep::None;
  std::string half = RsaPrivateDecrypt(mill_.OwnPublicKey, mill_.OwnPrivateKey, PeerCipher);
  if (!StillHandshaking()) return std::nullopt;
  if (half.empty()) {
    Fail(crSecurity);
    return std::nullopt;
  }
  return half;
}

// --- Client ------------------------------------------------------------------

void CPipe::StartProtocol() {
  State = psHandshake;
  StateStartTick = mill_.PumpTick();
  QueryAddresses();
  Step = THandshakeStep::AwaitModeReply;
  QueueOwn(scModeOffer, IntToField(mill_.SecurityMode));
}

void CPipe::TakeModeReply(std::string body) {
  if (!Expect(THandshakeStep::AwaitModeReply, false)) return;
  if (ReadIntField(body) != mill_.SecurityMode) return Fail(crSecurity);
  if (mill_.SecurityMode == secRsa) {
    Step = THandshakeStep::AwaitServerKey;
    QueueOwn(scClientKey, StrToField(mill_.OwnPublicKey));
  } else {
    SendLogin();
  }
}

void CPipe::TakeServerKey(std::string body) {
  if (!Expect(THandshakeStep::AwaitServerKey, false)) return;
  PeerKey = ReadStrField(body);
  if (PeerKey.empty() || PeerKey.size() > kMaxPeerKeyBytes) return Fail(crSecurity);
  if (!MakeOwnCipher()) return;
  Step = THandshakeStep::AwaitServerHalf1;
  QueueOwn(scClientHalf1, StrToField(FirstHalf(OwnCipher)));
}

void CPipe::TakeServerHalf1(std::string body) {
  if (!Expect(THandshakeStep::AwaitServerHalf1, false)) return;
  PeerCipher = ReadStrField(body);
  Step = THandshakeStep::AwaitServerHalf2;
  QueueOwn(scClientHalf2, StrToField(SecondHalf(OwnCipher)));
}

void CPipe::TakeServerHalf2(std::string body) {
  if (!Expect(THandshakeStep::AwaitServerHalf2, false)) return;
  PeerCipher += ReadStrField(body);
  std::optional<std::string> serverHalf = OpenPeerCipher();
  if (!serverHalf) return;
  SessionKey = OwnHalf + *serverHalf;
  SendLogin();
}

void CPipe::ApplySecretKey() {
  if (mill_.SecurityMode == secSharedKey) SessionKey = mill_.SecretKey;
}

void CPipe::SendLogin() {
  ApplySecretKey();
  std::string body;
  tw::PutIntField(body, id_);
  tw::PutStrField(body, AppId);
  tw::PutStrField(body, RemoteAddress);
  tw::PutIntField(body, RemotePort);
  tw::PutWideField(body, UserName);
  Step = THandshakeStep::AwaitChallengeOrAccept;
  QueueOwn(scLogin, std::move(body));
}

void CPipe::TakeChallenge(std::string body) {
  if (!Expect(THandshakeStep::AwaitChallengeOrAccept, false)) return;
  const std::string challenge = ReadStrField(body);
  Step = THandshakeStep::AwaitAccept;
  QueueOwn(scResponse, StrToField(ChallengeDigest(Password, challenge)));
}

void CPipe::TakeAccept(std::string body) {
  if (!(State == psHandshake && !Incoming &&
        (Step == THandshakeStep::AwaitChallengeOrAccept || Step == THandshakeStep::AwaitAccept))) {
    if (State != psClosed) Fail(crSecurity);
    return;
  }
  PeerStatedId = ReadIntField(body);
  ServerTimeText = ReadStrField(body);
  PeerStatedAddress = ReadStrField(body);
  PeerStatedPort = ReadIntField(body);
  State = psSession;
  Step = THandshakeStep::None;
  if (mill_.Events.OnPipeOpen) mill_.Events.OnPipeOpen(*this);
  if (State == psSession && OwnRateLimit > 0) SendRateLimit();
}

// --- Server ------------------------------------------------------------------

void CPipe::StartServerHandshake() { Step = THandshakeStep::AwaitModeOffer; }

void CPipe::TakeModeOffer(std::string body) {
  if (!Expect(THandshakeStep::AwaitModeOffer, true)) return;
  if (ReadIntField(body) != mill_.SecurityMode) return Fail(crSecurity);
  Step = mill_.SecurityMode == secRsa ? THandshakeStep::AwaitClientKey : THandshakeStep::AwaitLogin;
  QueueOwn(scModeReply, IntToField(mill_.SecurityMode));
}

void CPipe::TakeClientKey(std::string body) {
  if (!Expect(THandshakeStep::AwaitClientKey, true)) return;
  PeerKey = ReadStrField(body);
  if (PeerKey.empty() || PeerKey.size() > kMaxPeerKeyBytes || !mill_.IsKeyAllowed(PeerKey))
    return Fail(crSecurity);
  Step = THandshakeStep::AwaitClientHalf1;
  QueueOwn(scServerKey, StrToField(mill_.OwnPublicKey));
}

void CPipe::TakeClientHalf1(std::string body) {
  if (!Expect(THandshakeStep::AwaitClientHalf1, true)) return;
  PeerCipher = ReadStrField(body);
  if (!MakeOwnCipher()) return;
  Step = THandshakeStep::AwaitClientHalf2;
  QueueOwn(scServerHalf1, StrToField(FirstHalf(OwnCipher)));
}

void CPipe::TakeClientHalf2(std::string body) {
  if (!Expect(THandshakeStep::AwaitClientHalf2, true)) return;
  PeerCipher += ReadStrField(body);
  std::optional<std::string> clientHalf = OpenPeerCipher();
  if (!clientHalf) return;
  SessionKey = *clientHalf + OwnHalf;
  Step = THandshakeStep::AwaitLogin;
  QueueOwn(scServerHalf2, StrToField(SecondHalf(OwnCipher)));
}

void CPipe::TakeLogin(std::string body) {
  if (!Expect(THandshakeStep::AwaitLogin, true)) return;
  // In RSA mode the exchange must have set the 16-byte key: a login that
  // skips it would open an unsealed session past the fingerprint list.
  if (mill_.SecurityMode == secRsa && SessionKey.size() != 16) return Fail(crSecurity);
  ApplySecretKey();
  Step = THandshakeStep::AwaitHostDecision;
  if (!mill_.Events.OnPipeLogin) return;  // waits for the time-out
  PeerStatedId = ReadIntField(body);
  AppId = ReadStrField(body);
  PeerStatedAddress = ReadStrField(body);
  PeerStatedPort = ReadIntField(body);
  UserName = ReadWideField(body);
  Password.clear();
  bool accept = false;
  if (!mill_.Guard("OnPipeLogin",
                   [&] { mill_.Events.OnPipeLogin(*this, win32::AnsiToWide(AppId), UserName, Password, accept); }))
    accept = false;  // a failed admission is a refusal
  if (!StillHandshaking() || Step != THandshakeStep::AwaitHostDecision) return;
  if (!accept) return Fail(crRefused);
  if (UserName.empty()) return AcceptSession();
  // An empty password must not be guessable: replace it by random text.
  if (Password.empty()) Password = win32::AnsiToWide(HexText(RandomBytes(16)));
  const std::string challenge = RandomBytes(kChallengeBytes);
  Expected = ChallengeDigest(Password, challenge);
  Step = THandshakeStep::AwaitResponse;
  QueueOwn(scChallenge, StrToField(challenge));
}

void CPipe::TakeResponse(std::string body) {
  if (!Expect(THandshakeStep::AwaitResponse, true)) return;
  const std::string response = ReadStrField(body);
  if (Expected.size() != 16 || response != Expected) return Fail(crPassword);
  AcceptSession();
}

void CPipe::AcceptSession() {
  std::string body;
  tw::PutIntField(body, id_);
  tw::PutStrField(body, OleDateText());
  tw::PutStrField(body, RemoteAddress);
  tw::PutIntField(body, RemotePort);
  QueueOwn(scAccept, std::move(body));
  State = psSession;
  Step = THandshakeStep::None;
  if (mill_.Events.OnPipeAccepted) mill_.Events.OnPipeAccepted(*this);
  if (State == psSession && OwnRateLimit > 0) SendRateLimit();
}

}  // namespace tw
