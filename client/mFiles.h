// TFileUnit: the engine's file transfers, one outgoing and one incoming per
// peer, paced by end-to-end acknowledgements of the data messages. It
// receives the file codes APP_FILE_OFFER..APP_FILE_DONE and the
// acknowledgements of APP_FILE_DATA.
//
// For now it moves no file: every file code is received and ignored.
#pragma once

#include <cstdint>
#include <string>

namespace tw::cln {

class TTWParleyCln;
struct TPeer;

// File codes (channels; they travel as channel + 1000).
enum : int32_t {
  APP_FILE_OFFER = 160,
  APP_FILE_END = 161,
  APP_FILE_CANCEL = 162,
  APP_FILE_ACCEPT = 166,
  APP_FILE_START = 167,
  APP_FILE_READY = 168,
  APP_FILE_DATA = 169,
  APP_FILE_DONE = 171,
};

inline constexpr const char16_t* kDefaultTransferSuffix = u"_twfilelib_transfer";

class TFileUnit {
 public:
  explicit TFileUnit(TTWParleyCln& engine) : engine_(engine) {}
  TFileUnit(const TFileUnit&) = delete;
  TFileUnit& operator=(const TFileUnit&) = delete;

  static bool Handles(int32_t channel) {
    return (channel >= APP_FILE_OFFER && channel <= APP_FILE_CANCEL) ||
           (channel >= APP_FILE_ACCEPT && channel <= APP_FILE_DATA) || channel == APP_FILE_DONE;
  }
  void DoMessage(TPeer& peer, int32_t channel, std::string& body);
  // An acknowledged APP_FILE_DATA: the next chunk may go.
  void SendNextChunk(TPeer& peer);

  std::u16string TransferSuffix = kDefaultTransferSuffix;

 private:
  [[maybe_unused]] TTWParleyCln& engine_;
};

}  // namespace tw::cln
