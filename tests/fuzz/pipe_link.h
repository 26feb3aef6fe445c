// Real pipes of real mills joined without sockets: what one pipe queues is
// cut into frames exactly as its pump step would cut them (sealed when keyed)
// and fed to the receiver of the other, whose posted messages are then
// delivered through the mill window. No pump thread, no clock: the fuzz
// input alone decides what moves when.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32/messages.h"
#include "transport/mErtiFrame.h"
#include "transport/mMill.h"
#include "transport/mPipe.h"
#include "transport/twTools.h"

namespace tw::fuzz {

// Small fixed RSA key pairs (160-bit moduli, minimal big-endian bytes): the
// handshake runs every step while the big-number work stays cheap.
inline const std::string kServerModulus("\xa4\x86\x60\x98\xc0\x9e\x00\x25\x4c\x2c\xcb\x01\xe5\xb4\x61\xb0\x4c\xd3\xa3\x45", 20);
inline const std::string kServerPrivate("\x10\x38\x43\x3b\xab\xf9\xa7\xb0\x05\xa3\x58\x5b\x7c\x9a\x51\x65\xee\xe9\xd4\xa1", 20);
inline const std::string kClientModulus("\x82\x89\x6d\x86\xc9\xf9\x9e\x8c\x8e\xfa\xf1\xde\x81\xe6\xf6\xcd\x7b\x8f\x7f\xd5", 20);
inline const std::string kClientPrivate("\x6e\x5a\x15\x80\x6c\x40\x9c\xdb\x40\x87\x06\x80\x28\x76\xfd\x2d\xad\x26\x0c\x05", 20);

// Delivers every message posted to this thread's windows.
inline void DeliverPosted() {
  for (int i = 0; i < 64 && win32::ProcessMessages(); ++i) {
  }
}

// Bytes arriving at `pipe` as they would from its socket.
inline void FeedPipe(CPipe& pipe, std::string_view bytes) {
  if (bytes.empty()) return;
  pipe.Receiver().Append(bytes);
  pipe.ParseFrames();
  DeliverPosted();
}

// Bytes that `pipe` reads from its socket: they count towards its read-size
// measurement as a real read does (which may ask the peer for a new size).
inline void ReadIntoPipe(CPipe& pipe, std::string_view bytes) {
  if (bytes.empty()) return;
  pipe.AdaptRecvSize(static_cast<int32_t>(bytes.size()));
  FeedPipe(pipe, bytes);
}

// One batch as the pump step cuts it with the pipe's rate limit in force:
// empty while the rate window is used up.
inline std::string CutLimitedBatch(CPipe& pipe) {
  std::string batch;
  if (pipe.Queue().Empty() || pipe.SendDead) return batch;
  TCartHooks hooks{[&pipe] { return pipe.CheckRateWindow(); }, [&pipe](int32_t n) { pipe.RateBytes += n; },
                   [&pipe] { return pipe.Sealing(); }};
  BuildCart(pipe.Queue(), batch, TCartLimits{pipe.SendSize, pipe.RateLimit, pipe.Mill().PumpTick()}, hooks);
  return batch;
}

// One batch of what `pipe` has queued, cut as its pump step cuts it.
inline std::string CutBatch(CPipe& pipe) {
  std::string batch;
  if (pipe.Queue().Empty() || pipe.SendDead) return batch;
  TCartHooks hooks{{}, {}, [&pipe] { return pipe.Sealing(); }};
  BuildCart(pipe.Queue(), batch, TCartLimits{pipe.SendSize, 0, pipe.Mill().PumpTick()}, hooks);
  return batch;
}

// Moves up to `batches` batches from `from` to `to`, each in slices of
// `slice` bytes (0: whole). Returns whether anything moved.
inline bool Shuttle(CPipe& from, CPipe& to, int batches = 64, size_t slice = 0) {
  bool moved = false;
  for (int i = 0; i < batches; ++i) {
    const std::string batch = CutBatch(from);
    if (batch.empty()) break;
    moved = true;
    const size_t step = slice == 0 ? batch.size() : slice;
    for (size_t at = 0; at < batch.size(); at += step) FeedPipe(to, std::string_view(batch).substr(at, step));
  }
  return moved;
}

// A server pipe as the mill makes it for an accepted connection.
inline CPipe& AddServerPipe(CMill& mill) {
  CPipe& pipe = mill.AddPipe();
  pipe.State = psHandshake;
  pipe.Incoming = true;
  pipe.StateStartTick = mill.PumpTick();
  pipe.StartServerHandshake();
  return pipe;
}

// A dialled pipe whose connection just completed: it offers its mode.
inline CPipe& AddClientPipe(CMill& mill, std::string appId, std::u16string user, std::u16string password) {
  CPipe& pipe = mill.AddPipe();
  pipe.AppId = std::move(appId);
  pipe.UserName = std::move(user);
  pipe.Password = std::move(password);
  pipe.StartProtocol();
  return pipe;
}

}  // namespace tw::fuzz
