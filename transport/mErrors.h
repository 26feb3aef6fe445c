// LastError codes that the transport records and both controls report: the
// values that mean the same whatever layer set them. Any other LastError is
// a WinSock error number or a close reason's code (TCloseReason, mPipe.h).
#pragma once

#include <cstdint>

namespace tw {

enum : int32_t {
  errNone = 0,
  errTransport = 2,      // a socket call failed without an error number of its own
  errInvalidHandle = 3,  // the id or handle names nothing live
  errNotByteArray = 4,
  errSessionNotOpen = 13,
};

}  // namespace tw
