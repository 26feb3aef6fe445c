// A short demonstration of what stands so far: a hidden message window on
// this thread, messages posted to it from another thread, a timer, and a
// fresh GUID. Prints what happens and exits.
#include <cstdio>
#include <thread>

#include "platform/com/guid.h"
#include "platform/win32/messages.h"
#include "platform/win32/system.h"

using namespace tw::win32;

int main() {
  int posted = 0, ticks = 0;
  HWND w = CreateMessageWindow([&](HWND, UINT msg, WPARAM wp, LPARAM) -> LRESULT {
    if (msg == WM_USER + 1) {
      ++posted;
      std::printf("message %d from the pump thread\n", static_cast<int>(wp));
    } else if (msg == WM_TIMER) {
      ++ticks;
    }
    return 0;
  });
  SetTimer(w, 1, 20);
  std::thread pump([w] {
    for (int i = 1; i <= 5; ++i) {
      SendNotifyMessageA(w, WM_USER + 1, static_cast<WPARAM>(i), 0);
      Sleep(10);
    }
  });
  RunUntil([&] { return posted == 5 && ticks >= 5; }, 2000);
  pump.join();
  DestroyWindow(w);

  tw::com::GUID g;
  tw::com::CoCreateGuid(&g);
  std::printf("%d timer ticks of 20 ms; a new GUID: %s\n", ticks, tw::com::GuidToString(g).c_str());
  std::printf("local time %s, running from %s\n", LocalDateTimeText().c_str(), ExeFolder().c_str());
  return 0;
}
