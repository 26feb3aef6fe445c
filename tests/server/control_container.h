// What a container needs to drive the server control library from its file:
// a temporary registry, the library's exports, an event sink that records
// what it is told and may react, and clients on loopback (tw::CMill client
// pipes with their pump threads) that the thread's message loop serves
// together with the control. Used by the tests and the benchmark.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/connection.h"
#include "platform/com/errorinfo.h"
#include "platform/com/dispatch_call.h"
#include "platform/com/registry.h"
#include "platform/win32/messages.h"
#include "platform/win32/system.h"
#include "platform/win32/text.h"
#include "tests/support/control_container.h"
#include "tests/support/temp_folder.h"
#include "server/cParleySrvIntf.h"
#include "server/mHub.h"
#include "transport/mMill.h"
#include "transport/twTools.h"

namespace tw::test {

using namespace tw::com;

inline const char* ControlLibrary() { return TW_SERVER_CONTROL; }

// TW_COM_REGISTRY points at a fresh file in a temporary folder.
// The registry the control is registered in for one test (or benchmark).
using TempRegistryDir = TempRegistry;

// The control library's exports, as the support functions of that name.
inline HRESULT CallExport(const char* name) { return CallExport(ControlLibrary(), name); }
inline HRESULT LoadedCanUnloadNow() { return LoadedCanUnloadNow(ControlLibrary()); }

// The TCP ports this process listens on (the control's, once started).
inline std::vector<uint16_t> ListeningPorts() {
  std::set<std::string> inodes;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d)) {
      char target[128];
      std::string link = std::string("/proc/self/fd/") + e->d_name;
      ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      std::string t(target, static_cast<size_t>(n));
      if (t.rfind("socket:[", 0) == 0) inodes.insert(t.substr(8, t.size() - 9));
    }
    ::closedir(d);
  }
  std::vector<uint16_t> ports;
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);
  while (std::getline(tcp, line)) {
    std::istringstream f(line);
    std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
    f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
    if (state == "0A" && inodes.count(inode))
      ports.push_back(static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
  }
  return ports;
}

// The container's event sink for the server control's events.
struct TSink : TEventSink {
  TSink() : TEventSink(DIID_ItwParleySrvXEvents) {}
};

// A container's answer to OnConnectionRequest: the password to check and Accept.
inline std::function<HRESULT(std::span<VARIANT>)> Admit(std::u16string password) {
  return [password](std::span<VARIANT> a) {
    SysReAllocString(a[2].pbstrVal, password.c_str());
    *a[3].pboolVal = VARIANT_TRUE;
    return S_OK;
  };
}

// A client: a mill with its pump thread and one session pipe.
struct TClient {
  std::unique_ptr<CMill> mill = std::make_unique<CMill>(TMillSide::Client);
  CPipe* pipe = nullptr;
  std::vector<std::pair<int32_t, std::string>> got;  // channel, body
  TClient() {
    mill->Events.OnSackReceived = [this](CPipe&, int32_t ch, std::string& body) { got.emplace_back(ch, body); };
  }
  size_t Count(int32_t channel) const {
    return static_cast<size_t>(std::count_if(got.begin(), got.end(), [&](auto& g) { return g.first == channel; }));
  }
  void Send(int32_t channel, const std::string& body = {}) {
    pipe->QueueMessage(channel + sackAppBase, TMessage().Raw(body));
  }
  int32_t State() const { return pipe ? pipe->State : -1; }
};

}  // namespace tw::test
