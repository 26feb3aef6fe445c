// What the client engine and its units share: peer handles, the LastError
// codes (which are also the codes of the talk and file events), the session
// and link states, and the split of 64-bit values for progress events.
#pragma once

#include <cstdint>

#include "transport/mErrors.h"

namespace tw::cln {

// A 32-bit serial naming one bonded peer; never reused.
using TPeerHandle = int32_t;

// The client's LastError codes; the same numbers are the codes of the talk
// and file events. Those shared with the server come from its session layer.
using tw::errInvalidHandle;
using tw::errNone;
using tw::errNotByteArray;
using tw::errSessionNotOpen;
using tw::errTransport;
enum : int32_t {
  errCancelled = 1,
  errNoReceiver = 5,
  errWrongState = 6,
  errDeclined = 23,
  errBusy = 30,
  errNoTransfer = 31,
  errMediaFailed = 50,
  errRenameFailed = 104,
  errOpenFailed = 105,
  errCreateFailed = 106,
  errReadFailed = 107,
  errWriteFailed = 108,
  errCrcMismatch = 112,
};

// Session status and peer link states.
enum : uint8_t { ssClosed = 0, ssOpening = 1, ssOpen = 2 };
enum : uint8_t { lsNew = 0, lsConnected = 1, lsDisconnected = 2 };

// 64-bit values for the 32-bit arguments of progress events.
inline int32_t Int64Lo(int64_t v) { return static_cast<int32_t>(static_cast<uint64_t>(v)); }
inline int32_t Int64Hi(int64_t v) { return static_cast<int32_t>(static_cast<uint64_t>(v) >> 32); }

}  // namespace tw::cln
