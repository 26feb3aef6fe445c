// The client engine's events: one closure per event of the client control,
// fired by the engine and its talk and file units on the engine's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "client/mCodes.h"
#include "client/mMedia.h"
#include "platform/com/variant.h"

namespace tw::cln {

// Event closures; each fires only when assigned and never during destruction.
struct TParleyClnEvents {
  std::function<void()> OnSessionOpen;
  std::function<void()> OnSessionClosed;
  std::function<void(int32_t code)> OnSessionRejected;
  std::function<void(TPeerHandle)> OnPeerConnected;
  std::function<void(TPeerHandle)> OnPeerDisconnected;
  std::function<void(TPeerHandle, const std::u16string& text)> OnAlertMessage;
  std::function<void(TPeerHandle, const std::u16string& text)> OnChatMessage;
  std::function<void(TPeerHandle, const com::VARIANT& message)> OnBinaryMessage;  // 0: the server host
  // Talks.
  std::function<void(TPeerHandle, bool& okay, bool& audio, bool& video)> OnTalkInvited;
  std::function<void(TPeerHandle)> OnTalkBegan;
  std::function<void(TPeerHandle)> OnTalkEnded;
  std::function<void(TPeerHandle)> OnTalkJoined;
  std::function<void(TPeerHandle, int32_t code)> OnTalkRefused;
  std::function<void(int32_t code)> OnError;
  std::function<void(TBytes data)> OnWaveRecorded;
  std::function<void(TPeerHandle, TBytes data)> OnWavePlayed;
  std::function<void(TBytes image)> OnLocalFrame;
  std::function<void(TPeerHandle, TBytes image)> OnRemoteFrame;
  // Files.
  std::function<void(TPeerHandle, std::u16string& path, bool& okay)> OnInFileRequested;
  std::function<void(TPeerHandle, int32_t countLo, int32_t countHi, int32_t sizeLo, int32_t sizeHi)>
      OnOutFileProgress;
  std::function<void(TPeerHandle, int32_t countLo, int32_t countHi, int32_t sizeLo, int32_t sizeHi)>
      OnInFileProgress;
  std::function<void(TPeerHandle, int32_t code)> OnOutFileDone;
  std::function<void(TPeerHandle, int32_t code)> OnInFileDone;
};

}  // namespace tw::cln
