// Shared by the layer's implementation files only: setting the thread's last
// error from errno, and asking whether an injected fault takes this call.
#pragma once

#include "platform/winsock/winsock.h"

namespace tw::ws::detail {

// Sets the last error from errno (read before anything else can change it)
// and returns `result`, so a failing call ends in one statement.
int FailFromErrno(int result);

// Sets the last error and returns `result`.
inline int Fail(int error, int result) {
  WSASetLastError(error);
  return result;
}

// True when an armed fault takes this call; the last error is then set to the
// fault's error and the call must fail without doing anything.
bool FaultTakes(Call call);

// The number of bytes an armed short write lets a send() of `len` bytes take
// (`len` when none is armed).
int ShortWriteLength(int len);

}  // namespace tw::ws::detail
