// Shared by the talk tests: the talk events of a client written into its log
// ("invited bob", "began bob", "ended bob", "joined bob", "refused bob 30",
// "error 1"), with the invitation answered by a function the test chooses.
#pragma once

#include <functional>
#include <string>

#include "client_harness.h"
#include "platform/win32/text.h"

namespace tw::test {

// okay, audio, video as the handler leaves them.
using TAnswer = std::function<void(cln::TPeerHandle, bool& okay, bool& audio, bool& video)>;

inline void WatchTalks(TClient& c, TAnswer answer = {}) {
  auto name = [&c](cln::TPeerHandle h) {
    cln::TPeer* p = c.engine->CheckPeer(h);
    return p ? win32::Utf16ToUtf8(p->Name) : std::string("?");
  };
  cln::TParleyClnEvents& ev = c->Events;
  ev.OnTalkInvited = [&c, name, answer](cln::TPeerHandle h, bool& okay, bool& audio, bool& video) {
    c.log.push_back("invited " + name(h));
    if (answer) answer(h, okay, audio, video);
  };
  ev.OnTalkBegan = [&c, name](cln::TPeerHandle h) { c.log.push_back("began " + name(h)); };
  ev.OnTalkEnded = [&c, name](cln::TPeerHandle h) { c.log.push_back("ended " + name(h)); };
  ev.OnTalkJoined = [&c, name](cln::TPeerHandle h) { c.log.push_back("joined " + name(h)); };
  ev.OnTalkRefused = [&c, name](cln::TPeerHandle h, int32_t code) {
    c.log.push_back("refused " + name(h) + " " + std::to_string(code));
  };
  ev.OnError = [&c](int32_t code) { c.log.push_back("error " + std::to_string(code)); };
}

inline TAnswer Accept() {
  return [](cln::TPeerHandle, bool& okay, bool&, bool&) { okay = true; };
}

// The log lines from `from` on that start with one of the talk events.
inline std::vector<std::string> TalkEvents(const TClient& c, size_t from = 0) {
  std::vector<std::string> out;
  for (size_t i = from; i < c.log.size(); ++i) {
    const std::string& l = c.log[i];
    for (const char* p : {"invited ", "began ", "ended ", "joined ", "refused ", "error ", "disconnected "})
      if (l.rfind(p, 0) == 0) out.push_back(l);
  }
  return out;
}

}  // namespace tw::test
