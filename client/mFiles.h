// TFileUnit: the engine's file transfers. One client sends one file to one
// peer through the hub: offer, accept, start, ready, data chunks one at a time
// (each end-to-end acknowledgement releases the next chunk, as large as the
// session pipe can carry at that moment), done with the sender's CRC-32, and
// the receiver's final code. Each peer has at most one outgoing and one
// incoming transfer, so a client can send to and receive from several peers at
// once.
//
// The receiver writes into a temporary file beside the destination (the final
// path followed by TransferSuffix) and renames it over the destination only
// when every byte arrived and the CRC matched; only then does it tell the
// sender 0. Every other end removes the temporary file and leaves the
// destination as it was. Sizes and counts are 64-bit throughout.
//
// A peer cannot reach another transfer's files: an offered name must be a
// plain file name that does not end with the suffix, a destination or
// temporary file of an active transfer is refused to every other transfer,
// each temporary file is created fresh, and a commit moves only the file its
// own handle wrote.
//
// The wire carries no transfer id, and the transport keeps the order of
// messages of one code only, so an answer is matched to its offer by keeping
// one offer on the wire per peer: every offer gets exactly one answer
// (APP_FILE_ACCEPT or APP_FILE_END), also one that a cancel reaches while the
// container still decides (END [1], and nothing is created or fired). A
// sender that gave an offer up before its answer came holds its next offer to
// that peer back until the answer came and was discarded, so a late answer
// can never end the next offer. A late accept may leave the receiver with a
// transfer nothing feeds (our cancel overtook the offer): it is cancelled, and
// a held offer goes out only once that cancel was acknowledged.
//
// The records live in each TPeer (TPeerFiles) and own their open files; every
// file call goes through the file layer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/files.h"
#include "transport/twTools.h"

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

// Transfer states on either side.
enum : uint8_t { fsNone = 0, fsOffered = 1, fsMoving = 3 };

// The progress events fire at most this often per transfer.
inline constexpr uint32_t kProgressEveryMs = 500;

// One peer's outgoing transfer.
struct TOutFile {
  bool Active = false;  // by this flag alone: the start tick may be any value
  uint8_t State = fsNone;
  bool Ready = false;     // the receiver's APP_FILE_READY came: data may flow
  bool InFlight = false;  // an APP_FILE_DATA awaits its acknowledgement
  bool DoneSent = false;
  int32_t StaleAcks = 0;  // acknowledgements still due for an earlier transfer's data
  int32_t StaleAnswers = 0;  // answers still due to offers given up before they came
  bool OfferHeld = false;    // its APP_FILE_OFFER waits for those answers
  bool CancelUnacked = false;  // a cancel for a late accept awaits its acknowledgement
  std::u16string Path;
  files::TFile Source;
  uint32_t Crc = 0;
  int64_t Size = 0;
  int64_t Sent = 0;
  uint32_t StartTick = 0;
  uint32_t LastProgress = 0;  // kept from one transfer to the next
};

// One peer's incoming transfer.
struct TInFile {
  bool Active = false;
  uint8_t State = fsNone;
  uint32_t Offer = 0;  // which offer the record belongs to (see DoOffer)
  std::u16string FinalPath;
  std::string Destination;  // the final path as a file-system path
  std::string Temporary;    // the destination followed by the suffix
  files::TFileId Folder;    // the folder both are in
  files::TFile Temp;
  int64_t Size = 0;
  int64_t Received = 0;
  uint32_t Crc = 0;
  uint32_t StartTick = 0;
  uint32_t LastProgress = 0;  // kept from one transfer to the next
};

struct TPeerFiles {
  TOutFile Out;
  TInFile In;
};

class TFileUnit {
 public:
  explicit TFileUnit(TTWParleyCln& engine) : engine_(engine) {}
  TFileUnit(const TFileUnit&) = delete;
  TFileUnit& operator=(const TFileUnit&) = delete;

  static bool Handles(int32_t channel) {
    return (channel >= APP_FILE_OFFER && channel <= APP_FILE_CANCEL) ||
           (channel >= APP_FILE_ACCEPT && channel <= APP_FILE_DATA) || channel == APP_FILE_DONE;
  }

  // --- Operations (the engine checks the session and the handle first) ---------
  // Opens `file` for exclusive reading and offers it; LastError codes 6, 30, 105.
  int32_t RequestOutFile(TPeer& peer, const std::u16string& file);
  int32_t CancelOutFile(TPeer& peer);  // 31 without an active outgoing transfer
  int32_t CancelInFile(TPeer& peer);   // 31 without an active incoming transfer
  std::u16string GetOutgoingFile(const TPeer& peer) const;
  const std::u16string& GetTransferSuffix() const { return suffix_; }
  // Refuses an empty suffix: the temporary file would be the destination itself.
  bool SetTransferSuffix(const std::u16string& suffix);

  // The bytes of file data the next chunk carries: the session pipe's room
  // less what the frame around them adds; 0 without a session pipe.
  int32_t ChunkSize();

  // --- The engine's hooks ---------------------------------------------------------
  void DoMessage(TPeer& peer, int32_t channel, std::string& body);
  // An acknowledged file message (APP_FILE_DATA, APP_FILE_CANCEL) to this peer.
  void DoAck(TPeer& peer, int32_t channel);
  // The peer's link ended (disconnect, session closed): its transfers end
  // with code 1, with their done events.
  void PeerGone(TPeer& peer);
  // The engine goes away: files are closed and temporary files removed, with
  // no message and no event.
  void Release(TPeer& peer);

 private:
  void DoOffer(TPeer& peer, std::string& body);
  void DoAccepted(TPeer& peer);
  void DoStart(TPeer& peer);
  void DoReady(TPeer& peer);
  void DoData(TPeer& peer, std::string& body);
  void DoDone(TPeer& peer, std::string& body);
  // Asks the container about an offer; 0, the refusal code, or kAnswered.
  int32_t Decide(TPeer& peer, const std::u16string& name);
  // Opens the temporary file for an accepted offer; 0 or the refusal code.
  int32_t PrepareIncoming(TInFile& in, const std::u16string& offeredName, const std::u16string& path);
  // Whether a file named `name` in the folder `folder` is an active incoming
  // transfer's destination or temporary file.
  bool InUse(const files::TFileId& folder, std::string_view name) const;
  // The receiver: an APP_FILE_CANCEL from the peer.
  void DoCancel(TPeer& peer, int32_t code);
  // The sender: an answer to an offer given up, or none; true when taken.
  bool TakeStaleAnswer(TPeer& peer, bool accepted);
  // Sends the offer held back once nothing of a given-up offer is on its way.
  void ReleaseHeldOffer(TPeer& peer);
  void SendOffer(TPeer& peer);
  void SendNextChunk(TPeer& peer);
  void EndOutFile(TPeer& peer, int32_t code, bool notify);
  void EndInFile(TPeer& peer, int32_t code, bool notify);
  // Sends the fields pushed so far to the peer as `channel`; true when queued.
  bool Send(TPeer& peer, int32_t channel, TMessage body = {}, bool ack = false);
  void SendCode(TPeer& peer, int32_t channel, int32_t code);
  bool ProgressDue(uint32_t& lastProgress);

  TTWParleyCln& engine_;
  std::u16string suffix_ = kDefaultTransferSuffix;
  uint32_t offers_ = 0;
  std::vector<const TInFile*> receiving_;  // the active incoming transfers
  std::string chunk_;  // one buffer for every chunk read
};

}  // namespace tw::cln
