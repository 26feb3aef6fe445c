#include "client/mFiles.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "client/mCRC32.h"
#include "client/mOfferedName.h"
#include "client/mParleyCln.h"
#include "transport/twTools.h"

namespace tw::cln {

namespace {

// What a data message adds to its chunk on the wire: the frame header (13),
// the route list or peer id (8), the chunk's field count (4), and when sealed
// the seal's header (17) and padding (up to 16).
constexpr int32_t kChunkHeadroom = 64;

// Decide's result for an offer that a cancel answered while the container
// decided.
constexpr int32_t kAnswered = -1;

std::string_view NameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Fires a container event through a copy, so a handler that replaces itself
// does not destroy the closure that runs it.
template <typename Event, typename... Args>
void Fire(const Event& event, Args&&... args) {
  if (!event) return;
  const Event copy = event;
  copy(std::forward<Args>(args)...);
}

}  // namespace

// --- Operations ------------------------------------------------------------------

int32_t TFileUnit::RequestOutFile(TPeer& peer, const std::u16string& file) {
  TOutFile& out = peer.Files.Out;
  if (out.Active) return errBusy;
  // A peer that is gone can never answer: the transfer would hold the file
  // open until it is cancelled.
  if (peer.LinkState != lsConnected) return errWrongState;
  files::TFile source;
  int64_t size = 0;
  if (!source.OpenForReading(files::PathFromWide(file), files::Sharing::Exclusive) || !source.Size(size))
    return errOpenFailed;
  out.Active = true;
  out.State = fsOffered;
  out.Ready = out.InFlight = out.DoneSent = false;
  out.Path = file;
  out.Source = std::move(source);
  out.Crc = kCrc32Start;
  out.Size = size;
  out.Sent = 0;
  out.StartTick = win32::GetTickCount();
  out.OfferHeld = out.StaleAnswers > 0 || out.CancelUnacked;
  if (!out.OfferHeld) SendOffer(peer);
  return errNone;
}

void TFileUnit::SendOffer(TPeer& peer) {
  TOutFile& out = peer.Files.Out;
  out.OfferHeld = false;
  Send(peer, APP_FILE_OFFER, TMessage().Wide(BareFileName(out.Path)).Int64(out.Size));
}

int32_t TFileUnit::CancelOutFile(TPeer& peer) {
  if (!peer.Files.Out.Active) return errNoTransfer;
  EndOutFile(peer, errCancelled, true);
  return errNone;
}

int32_t TFileUnit::CancelInFile(TPeer& peer) {
  if (!peer.Files.In.Active) return errNoTransfer;
  EndInFile(peer, errCancelled, true);
  return errNone;
}

std::u16string TFileUnit::GetOutgoingFile(const TPeer& peer) const {
  return peer.Files.Out.Active ? peer.Files.Out.Path : std::u16string();
}

// The room counts body bytes; the frame around them must fit the read size
// of the pipes it crosses too, or each hop waits a pump step for its tail.
int32_t TFileUnit::ChunkSize() {
  const int32_t room = engine_.Mate().GetChunkSize();
  return room > 2 * kChunkHeadroom ? room - kChunkHeadroom : room;
}

bool TFileUnit::SetTransferSuffix(const std::u16string& suffix) {
  // A suffix with a separator would put the temporary file in another folder.
  if (suffix.empty() || suffix.find_first_of(std::u16string_view(u"/\0", 2)) != std::u16string::npos) return false;
  suffix_ = suffix;
  return true;
}

// --- Messages --------------------------------------------------------------------

void TFileUnit::DoMessage(TPeer& peer, int32_t channel, std::string& body) {
  switch (channel) {
    case APP_FILE_OFFER: DoOffer(peer, body); break;
    case APP_FILE_ACCEPT: DoAccepted(peer); break;
    case APP_FILE_START: DoStart(peer); break;
    case APP_FILE_READY: DoReady(peer); break;
    case APP_FILE_DATA: DoData(peer, body); break;
    case APP_FILE_DONE: DoDone(peer, body); break;
    case APP_FILE_END: {
      const int32_t code = ReadIntField(body);
      if (!TakeStaleAnswer(peer, false)) EndOutFile(peer, code, false);
      break;
    }
    case APP_FILE_CANCEL: DoCancel(peer, ReadIntField(body)); break;
    default: break;
  }
}

// The receiver: asks the container where the file goes, opens the temporary
// file and accepts, or answers the refusal's code. A name that is not a plain
// file name, or that would pass for a temporary file, never reaches the
// container.
void TFileUnit::DoOffer(TPeer& peer, std::string& body) {
  const std::u16string offered = ReadWideField(body);
  const int64_t size = ReadInt64Field(body);
  TInFile& in = peer.Files.In;
  const std::u16string name = TrimOfferedName(offered);
  int32_t code = errNone;
  if (!engine_.Events.OnInFileRequested) {
    code = errNoReceiver;
  } else if (in.Active || in.State == fsOffered) {
    code = errBusy;  // a transfer, or an offer the container still decides
  } else if (size < 0 || !IsPlainName(name) || name.ends_with(suffix_)) {
    code = errDeclined;  // no file has a negative size or such a name
  } else {
    code = Decide(peer, name);
  }
  if (code == kAnswered) return;
  if (code != errNone) {
    SendCode(peer, APP_FILE_END, code);
    return;
  }
  in.Active = true;
  in.State = fsOffered;
  in.Size = size;
  in.Received = 0;
  in.Crc = kCrc32Start;
  in.StartTick = win32::GetTickCount();
  receiving_.push_back(&in);
  Send(peer, APP_FILE_ACCEPT, TMessage().Int64(0));  // resume offset: transfers always start at 0
}

// The container runs inside the event and may pump messages: the peer's
// cancel, a disconnect or a closed session may come meanwhile.
int32_t TFileUnit::Decide(TPeer& peer, const std::u16string& name) {
  TInFile& in = peer.Files.In;
  const auto event = engine_.Events.OnInFileRequested;
  const uint32_t offer = ++offers_;
  in.State = fsOffered;
  in.Offer = offer;
  std::u16string path = name;
  bool okay = false;
  event(peer.Handle, path, okay);
  if (in.Offer != offer) return kAnswered;  // the peer's cancel ended it
  in.State = fsNone;
  in.Offer = 0;
  if (!okay) return errDeclined;
  if (peer.LinkState != lsConnected || engine_.GetSessionStatus() != ssOpen) return errCancelled;
  return PrepareIncoming(in, name, path);
}

// A name the container kept is the peer's choice, so only its last component
// counts, in the current folder; a path the container set is its own.
int32_t TFileUnit::PrepareIncoming(TInFile& in, const std::u16string& offeredName, const std::u16string& path) {
  std::u16string target = path;
  if (path == offeredName) {
    std::optional<std::u16string> local = SafeLocalName(offeredName);
    if (!local) return errDeclined;
    target = *local;
  }
  if (target.empty()) return errCreateFailed;
  const std::string destination = files::PathFromWide(target);
  const std::string temporary = files::PathFromWide(target + suffix_);
  const std::string folderPath = files::FolderOf(temporary);
  if (!files::MakeFolderChain(folderPath)) return errCreateFailed;
  // Places are compared by the folder's id and the name in it, so another
  // spelling of a path (relative, through a link) names the same place.
  files::TFileId folder;
  if (!files::IdOf(folderPath, folder)) return errCreateFailed;
  if (InUse(folder, NameOf(destination)) || InUse(folder, NameOf(temporary))) return errCreateFailed;
  // A new file of its own, never through a link planted at its place.
  if (!in.Temp.CreateFresh(temporary)) return errCreateFailed;
  in.FinalPath = target;
  in.Destination = destination;
  in.Temporary = temporary;
  in.Folder = folder;
  return errNone;
}

bool TFileUnit::InUse(const files::TFileId& folder, std::string_view name) const {
  return std::any_of(receiving_.begin(), receiving_.end(), [&](const TInFile* other) {
    return other->Folder == folder && (NameOf(other->Destination) == name || NameOf(other->Temporary) == name);
  });
}

// The sender: the receiver accepted; data start once it is ready.
void TFileUnit::DoAccepted(TPeer& peer) {
  TOutFile& out = peer.Files.Out;
  if (TakeStaleAnswer(peer, true)) return;
  if (!out.Active || out.State != fsOffered || out.OfferHeld) return;
  out.Crc = kCrc32Start;
  out.Sent = 0;
  if (!out.Source.Seek(0)) {
    EndOutFile(peer, errReadFailed, true);
    return;
  }
  out.State = fsMoving;
  Send(peer, APP_FILE_START, TMessage().Int64(0));  // start offset
}

void TFileUnit::DoStart(TPeer& peer) {
  TInFile& in = peer.Files.In;
  if (!in.Active || in.State != fsOffered) return;
  in.State = fsMoving;
  in.Received = 0;  // the temporary file is new and empty: no offset but 0
  in.Crc = kCrc32Start;
  Send(peer, APP_FILE_READY);
}

void TFileUnit::DoReady(TPeer& peer) {
  TOutFile& out = peer.Files.Out;
  if (!out.Active || out.State != fsMoving || out.Ready) return;
  out.Ready = true;
  SendNextChunk(peer);
}

void TFileUnit::DoAck(TPeer& peer, int32_t channel) {
  TOutFile& out = peer.Files.Out;
  if (channel == APP_FILE_CANCEL) {
    if (!out.CancelUnacked) return;
    out.CancelUnacked = false;
    ReleaseHeldOffer(peer);
    return;
  }
  if (channel != APP_FILE_DATA) return;
  if (out.StaleAcks > 0) {
    --out.StaleAcks;
    return;
  }
  if (!out.Active || !out.InFlight) return;
  out.InFlight = false;
  SendNextChunk(peer);
}

// One chunk as large as the session pipe can carry now, or APP_FILE_DONE
// once every byte has been acknowledged.
void TFileUnit::SendNextChunk(TPeer& peer) {
  TOutFile& out = peer.Files.Out;
  if (!out.Active || out.State != fsMoving || !out.Ready || out.InFlight || out.DoneSent) return;
  if (out.Sent >= out.Size) {
    out.DoneSent = Send(peer, APP_FILE_DONE, TMessage().Int(static_cast<int32_t>(out.Crc)));
    return;
  }
  const int64_t chunk = ChunkSize();
  if (chunk <= 0) return;  // no session pipe
  const auto n = static_cast<size_t>(std::min(chunk, out.Size - out.Sent));
  chunk_.resize(n);
  size_t done = 0;
  if (!out.Source.Read(chunk_.data(), n, done) || done != n) {
    EndOutFile(peer, errReadFailed, true);
    return;
  }
  if (!Send(peer, APP_FILE_DATA, TMessage().Str(chunk_), true)) return;
  out.InFlight = true;
  out.Sent += static_cast<int64_t>(n);
  out.Crc = Crc32Update(out.Crc, chunk_);
  if (ProgressDue(out.LastProgress))
    Fire(engine_.Events.OnOutFileProgress, peer.Handle, Int64Lo(out.Sent), Int64Hi(out.Sent), Int64Lo(out.Size),
         Int64Hi(out.Size));
}

// The receiver writes what the offer announced and not a byte more.
void TFileUnit::DoData(TPeer& peer, std::string& body) {
  TInFile& in = peer.Files.In;
  if (!in.Active || in.State != fsMoving) return;
  std::string_view rest = body;
  while (in.Received < in.Size) {
    const std::string_view field = ReadStrField(rest);
    if (field.empty()) break;
    const auto n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(field.size()), in.Size - in.Received));
    size_t done = 0;
    if (!in.Temp.Write(field.data(), n, done)) {
      EndInFile(peer, errWriteFailed, true);
      return;
    }
    in.Received += static_cast<int64_t>(n);
    in.Crc = Crc32Update(in.Crc, field.data(), n);
  }
  if (ProgressDue(in.LastProgress))
    Fire(engine_.Events.OnInFileProgress, peer.Handle, Int64Lo(in.Received), Int64Hi(in.Received),
         Int64Lo(in.Size), Int64Hi(in.Size));
}

void TFileUnit::DoDone(TPeer& peer, std::string& body) {
  TInFile& in = peer.Files.In;
  if (!in.Active || in.State != fsMoving) return;
  const auto crc = static_cast<uint32_t>(ReadIntField(body));
  const bool whole = in.Received == in.Size && crc == in.Crc;
  EndInFile(peer, whole ? int32_t{errNone} : int32_t{errCrcMismatch}, true);
}

// --- Ends ------------------------------------------------------------------------

// The receiver's end. A completed file takes the destination's name in one
// step before the sender hears 0, so 0 means the file is in place; every
// other end removes the temporary file and leaves the destination alone.
void TFileUnit::EndInFile(TPeer& peer, int32_t code, bool notify) {
  TInFile& in = peer.Files.In;
  if (!in.Active) return;
  in.Active = false;
  in.State = fsNone;
  std::erase(receiving_, &in);
  const files::TFileId temp = in.Temp.Id();
  if (code == errNone) {
    if (!files::CommitOver(in.Temp, in.Destination)) code = errRenameFailed;
  } else {
    (void)in.Temp.Close();
  }
  // Only the file this transfer created: its name may have been taken since.
  if (code != errNone) (void)files::DeleteFile(in.Temporary, temp);
  in.FinalPath.clear();
  in.Destination.clear();
  in.Temporary.clear();
  if (notify) SendCode(peer, APP_FILE_END, code);
  if (!engine_.Destroying()) Fire(engine_.Events.OnInFileDone, peer.Handle, code);
}

void TFileUnit::EndOutFile(TPeer& peer, int32_t code, bool notify) {
  TOutFile& out = peer.Files.Out;
  if (!out.Active) return;
  if (notify && !out.OfferHeld) SendCode(peer, APP_FILE_CANCEL, code);
  // Given up before its answer came: that answer is still on its way (an
  // offer held back never went out, so none comes for it).
  if (notify && out.State == fsOffered && !out.OfferHeld) ++out.StaleAnswers;
  out.OfferHeld = false;
  out.Active = false;
  out.State = fsNone;
  out.Ready = out.DoneSent = false;
  // The acknowledgement of the chunk in flight may still come: it must not
  // release a chunk of the next transfer.
  if (out.InFlight) ++out.StaleAcks;
  out.InFlight = false;
  (void)out.Source.Close();
  out.Path.clear();
  if (!engine_.Destroying()) Fire(engine_.Events.OnOutFileDone, peer.Handle, code);
}

void TFileUnit::PeerGone(TPeer& peer) {
  // The peer learns of the end from the link's own end: nothing is sent.
  EndOutFile(peer, errCancelled, false);
  EndInFile(peer, errCancelled, false);
}

// A cancel from the sender. It ends the offer the container still decides
// too: that offer is answered at once with END [1], and nothing is created
// or fired for it when the container's answer comes.
void TFileUnit::DoCancel(TPeer& peer, int32_t code) {
  TInFile& in = peer.Files.In;
  if (!in.Active && in.State == fsOffered) {
    in.State = fsNone;
    in.Offer = 0;
    SendCode(peer, APP_FILE_END, errCancelled);
    return;
  }
  // Only APP_FILE_DONE with every byte and a matching CRC completes a
  // transfer: a cancel that says 0 still cancels.
  EndInFile(peer, code == errNone ? int32_t{errCancelled} : code, false);
}

// While an answer is due for an offer given up, no other offer is on the
// wire: the answer that comes is that one.
bool TFileUnit::TakeStaleAnswer(TPeer& peer, bool accepted) {
  TOutFile& out = peer.Files.Out;
  if (out.StaleAnswers <= 0) return false;
  --out.StaleAnswers;
  if (accepted) {
    // The receiver may hold a transfer that nothing will feed: our cancel
    // came before the offer (the transport keeps the order of one code
    // only). No other offer of ours is on its way, so this cancel can reach
    // that transfer alone; the next offer waits until it was taken.
    out.CancelUnacked = Send(peer, APP_FILE_CANCEL, TMessage().Int(errCancelled), true);
  }
  ReleaseHeldOffer(peer);
  return true;
}

void TFileUnit::ReleaseHeldOffer(TPeer& peer) {
  TOutFile& out = peer.Files.Out;
  if (out.StaleAnswers == 0 && !out.CancelUnacked && out.Active && out.OfferHeld) SendOffer(peer);
}

void TFileUnit::Release(TPeer& peer) {
  TPeerFiles& f = peer.Files;
  f.Out.Active = false;
  (void)f.Out.Source.Close();
  if (f.In.Active) {
    f.In.Active = false;
    std::erase(receiving_, &f.In);
    const files::TFileId temp = f.In.Temp.Id();
    (void)f.In.Temp.Close();
    (void)files::DeleteFile(f.In.Temporary, temp);
  }
}

// --- Helpers ---------------------------------------------------------------------

bool TFileUnit::Send(TPeer& peer, int32_t channel, TMessage body, bool ack) {
  return engine_.Mate().Send(peer.Tube, channel, std::move(body), ack) != nullptr;
}

void TFileUnit::SendCode(TPeer& peer, int32_t channel, int32_t code) { Send(peer, channel, TMessage().Int(code)); }

bool TFileUnit::ProgressDue(uint32_t& lastProgress) {
  const uint32_t now = win32::GetTickCount();
  if (static_cast<uint32_t>(now - lastProgress) < kProgressEveryMs) return false;
  lastProgress = now;
  return true;
}

}  // namespace tw::cln
