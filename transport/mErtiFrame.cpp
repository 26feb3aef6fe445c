// Frames on the wire. The sender cuts every queued message into chunks, one
// per batch, newest message first; the receiver parses frames in place in its
// receive buffer and copies each chunk once, into the payload of its message.
// Prefixes (peer id, then route list) lead the payload; a single-frame message
// is copied in after them, a chunked one has them stripped off its first chunk
// as its code's previous message had them, and is shifted once only when
// its last chunk announces other prefixes than that.
#include "transport/mErtiFrame.h"

#include <algorithm>
#include <cstring>

#include "transport/twTools.h"

namespace tw {

namespace {

constexpr int64_t kMinRoom = 32;
// Finished records a send queue keeps for reuse, and the largest body buffer
// such a record keeps.
constexpr size_t kSpareRecords = 64;
constexpr size_t kSparePayloadBytes = 4096;
constexpr int64_t kRoomAllowance = 32;
constexpr size_t kIdSize = 4;
// What one message under reassembly costs beyond its payload, so that many
// empty partials cannot outgrow the cap either.
constexpr size_t kPartialOverhead = sizeof(TSack) + 64;
// A drained receive buffer larger than this gives its memory back.
constexpr size_t kKeptStorage = size_t{4} << 20;

// Appends the peer id and route list, in layout order.
void AppendPrefixes(std::string& out, const TSack& sack) {
  if (sack.PeerId != 0) PutIntField(out, sack.PeerId);
  if (!sack.RouteList.empty()) PutStrField(out, sack.RouteList);
}

// Puts the peer id and route list in front of a payload.
void Prefix(TSack& sack) {
  if (sack.RouteList.empty() && sack.PeerId == 0) return;
  std::string prefixed;
  prefixed.reserve(2 * kIdSize + sack.RouteList.size() + sack.Payload.size());
  AppendPrefixes(prefixed, sack);
  prefixed.append(sack.Payload);
  sack.Payload = std::move(prefixed);
}

struct TPrefixes {
  int32_t PeerId = 0;
  std::string_view RouteList;  // whole ids only
  size_t Size = 0;             // prefix bytes to strip
};

// Reads the prefixes that `flags` announce from the front of `payload`, in
// layout order. False when a flagged prefix is not there whole, or when a
// route list is empty, negative, longer than the payload or holds no whole id.
bool ReadPrefixes(std::string_view payload, uint8_t flags, TPrefixes& out) {
  std::string_view rest = payload;
  if (flags & sfPeerId) {
    if (rest.size() < kIdSize) return false;
    out.PeerId = ReadIntField(rest);
  }
  if (flags & sfRouteList) {
    if (rest.size() < kIdSize) return false;
    const auto count = static_cast<int32_t>(LoadLe32(rest.data()));
    if (count < static_cast<int32_t>(kIdSize) || static_cast<size_t>(count) > rest.size() - kIdSize)
      return false;
    const std::string_view ids = ReadStrField(rest);
    out.RouteList = ids.substr(0, ids.size() - ids.size() % kIdSize);
  }
  out.Size = payload.size() - rest.size();
  return true;
}

}  // namespace

TSack::~TSack() {
  // Unlink the chain one record at a time instead of recursing through it.
  std::unique_ptr<TSack> next = std::move(Next);
  while (next) next = std::move(next->Next);
}

std::vector<int32_t> RouteIds(std::string_view routeList) {
  std::vector<int32_t> ids;
  ids.reserve(routeList.size() / kIdSize);
  ForEachRouteId(routeList, [&](int32_t id) { ids.push_back(id); });
  return ids;
}

void AppendFrameHeader(std::string& out, uint8_t flags, int32_t code, size_t chunkSize) {
  out.append(kErtiMagic);
  out.push_back(static_cast<char>(flags));
  AppendLe32(out, static_cast<uint32_t>(kMinFrameLength + chunkSize));
  AppendLe32(out, static_cast<uint32_t>(code));
}

void AppendFrame(std::string& out, uint8_t flags, int32_t code, std::string_view chunk) {
  AppendFrameHeader(out, flags, code, chunk.size());
  out.append(chunk);
}

// --- TSendQueue ---------------------------------------------------------------

namespace {

// A heap block of `n` bytes as the allocator holds it: a word of bookkeeping
// in front, rounded up to 16 bytes, never less than 32.
size_t HeapBlock(size_t n) { return std::max<size_t>(32, (n + sizeof(size_t) + 15) & ~size_t{15}); }

// A string's heap block, or nothing while its text lives inside it.
size_t StringHeap(size_t capacity) {
  static const size_t kInline = std::string().capacity();
  return capacity > kInline ? HeapBlock(capacity + 1) : 0;
}

}  // namespace

size_t QueuedCost(size_t payloadCapacity, size_t routeListCapacity) {
  return HeapBlock(sizeof(TSack)) + StringHeap(payloadCapacity) + StringHeap(routeListCapacity);
}

size_t QueuedCost(const TSack& sack) {
  const size_t shared = sack.Shared ? sack.Shared->size() : 0;
  return QueuedCost(sack.Payload.capacity(), sack.RouteList.capacity()) + shared;
}

TSack& TSendQueue::Queue(std::unique_ptr<TSack> sack) {
  TSack& queued = *sack;
  queued.QueuedBytes = QueuedCost(queued);
  queued.QueuedFrom = queued.PeerId;
  queued.Seq = nextSeq_++;
  bytes_ += queued.QueuedBytes;
  CountFrom(queued.QueuedFrom, queued.QueuedBytes);
  auto tail = tails_.find(queued.Code);
  if (tail != tails_.end()) {
    tail->second.tail->Next = std::move(sack);
    tail->second.tail = &queued;
    ++tail->second.count;
  } else {
    tails_.emplace(queued.Code, TChain{&queued, 1});
    entries_.push_back(std::move(sack));
  }
  return queued;
}

size_t TSendQueue::Waiting(int32_t code) const {
  auto chain = tails_.find(code);
  return chain == tails_.end() ? 0 : chain->second.count;
}

bool TSendQueue::DoneBefore(uint64_t seq) const {
  return std::all_of(entries_.begin(), entries_.end(), [&](const auto& e) { return e->Seq >= seq; });
}

size_t TSendQueue::BytesFrom(int32_t peerId) const {
  auto it = bytesFrom_.find(peerId);
  return it == bytesFrom_.end() ? 0 : it->second;
}

void TSendQueue::CountFrom(int32_t peerId, size_t bytes) {
  auto [it, added] = bytesFrom_.try_emplace(peerId, 0);
  if (!added && it->second == 0) --idleSenders_;
  it->second += bytes;
}

void TSendQueue::UncountFrom(int32_t peerId, size_t bytes) {
  constexpr size_t kKeptIdle = 16;
  auto it = bytesFrom_.find(peerId);
  if (it == bytesFrom_.end()) return;
  it->second -= std::min(it->second, bytes);
  if (it->second != 0) return;
  ++idleSenders_;
  // Senders come and go (pipe ids are not reused at once): sweep the idle
  // entries once they are the most, which costs O(1) per message amortised.
  if (idleSenders_ > kKeptIdle && 2 * idleSenders_ > bytesFrom_.size()) {
    std::erase_if(bytesFrom_, [](const auto& entry) { return entry.second == 0; });
    idleSenders_ = 0;
  }
}

void TSendQueue::Finish(size_t i) {
  std::unique_ptr<TSack> done = std::move(entries_[i]);
  bytes_ -= done->QueuedBytes;
  UncountFrom(done->QueuedFrom, done->QueuedBytes);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
  if (done->Next) {
    entries_.push_back(std::move(done->Next));
    --tails_[done->Code].count;
  } else {
    tails_.erase(done->Code);
  }
  Recycle(std::move(done));
}

std::unique_ptr<TSack> TSendQueue::NewRecord() {
  if (spare_.empty()) return std::make_unique<TSack>();
  std::unique_ptr<TSack> sack = std::move(spare_.back());
  spare_.pop_back();
  return sack;
}

void TSendQueue::Recycle(std::unique_ptr<TSack> done) {
  if (spare_.size() >= kSpareRecords) return;
  TSack& s = *done;
  s.AckWanted = 0;
  s.PeerId = 0;
  s.LastSendTick = 0;
  s.Code = 0;
  s.BytesSent = 0;
  s.QueuedBytes = 0;
  s.QueuedFrom = 0;
  s.RouteList.clear();
  s.Shared.reset();
  s.SealKey.reset();
  // A small buffer is kept for the next body; a large one goes.
  if (s.Payload.capacity() > kSparePayloadBytes) std::string().swap(s.Payload);
  s.Payload.clear();
  spare_.push_back(std::move(done));
}

void TSendQueue::Clear() {
  entries_.clear();
  tails_.clear();
  bytes_ = 0;
  bytesFrom_.clear();
  idleSenders_ = 0;
}

// --- BuildCart ----------------------------------------------------------------

int32_t CartBudget(const TCartLimits& limits) {
  int32_t budget = std::min(limits.SendSize, kMaxSendSize);
  if (limits.RateLimit > 0 && limits.RateLimit / 2 < budget) budget = limits.RateLimit / 2;
  // A tiny rate limit throttles the pipe; it must not freeze it.
  return std::max(budget, static_cast<int32_t>(kMinRoom));
}

namespace {

// The sealing for a message whose first chunk is cut now: none unless its
// code is sealed, it has a body and the pipe holds a key.
TSealing SealingFor(const TSack& sack, const TCartHooks& hooks) {
  if (!IsSealedCode(sack.Code) || sack.Body().empty() || !hooks.Sealing) return {};
  return hooks.Sealing();
}

// First chunk of a shared body: the record's own head (prefixes, then the
// seal header) goes into its Payload; the body stays where it is.
void StartShared(TSack& sack, TSealing sealing) {
  sack.Payload.clear();
  AppendPrefixes(sack.Payload, sack);
  sack.SealKey = std::move(sealing.Key);
  if (sack.SealKey) sack.SealCut.Start(sack.Payload, sack.Shared->size(), sealing.Iv);
}

// First chunk of a message: sealed, then prefixed.
void StartCut(TSack& sack, const TCartHooks& hooks) {
  TSealing sealing = SealingFor(sack, hooks);
  if (sack.Shared) return StartShared(sack, std::move(sealing));
  if (sealing.Key) sack.Payload = SealPayload(sack.Payload, *sealing.Key, sealing.Iv);
  Prefix(sack);
}

// The payload's length on the wire, once the first chunk is cut.
int64_t WireSize(const TSack& sack) {
  if (!sack.Shared) return static_cast<int64_t>(sack.Payload.size());
  const size_t body = sack.Shared->size();
  const size_t tail = sack.SealKey ? SealedSize(body) - kSealHeaderSize : body;
  return static_cast<int64_t>(sack.Payload.size() + tail);
}

// Appends payload bytes [from, from + n) of a message on the wire.
void AppendChunk(TSack& sack, size_t from, size_t n, std::string& out) {
  const std::string_view own = sack.Payload;
  if (from < own.size()) {
    const size_t take = std::min(n, own.size() - from);
    out.append(own.substr(from, take));
    from += take;
    n -= take;
  }
  if (n == 0) return;
  const std::string_view body = *sack.Shared;
  if (!sack.SealKey) {
    out.append(body.substr(from - own.size(), n));
    return;
  }
  // The IV ends the seal header, which ends the record's own bytes.
  sack.SealCut.Append(out, body, *sack.SealKey, own.substr(own.size() - kSealIvSize), from - own.size(), n);
}

}  // namespace

size_t BuildCart(TSendQueue& queue, std::string& sendBuffer, const TCartLimits& limits,
                 const TCartHooks& hooks) {
  const int64_t budget = CartBudget(limits);
  // The batch's room counts only its own frames, after what the buffer held.
  const size_t start = sendBuffer.size();
  size_t frames = 0;
  // Newest first. Finishing entry i only moves entries above i (and appends a
  // follower at the end), so the entries still to visit keep their places.
  for (size_t i = queue.Size(); i-- > 0;) {
    if (hooks.RateWindowUsed && hooks.RateWindowUsed()) break;
    const int64_t room = (2 * budget - static_cast<int64_t>(sendBuffer.size() - start)) / 2;
    if (room < kMinRoom) break;

    TSack& sack = queue[i];
    sack.LastSendTick = limits.PumpTick;
    uint8_t flags = 0;
    if (sack.BytesSent == 0) {
      flags = sfFirstChunk;
      StartCut(sack, hooks);
    }
    const int64_t payloadSize = WireSize(sack);
    const int64_t n = std::max<int64_t>(0, std::min(payloadSize - sack.BytesSent, room + kRoomAllowance));
    const bool last = sack.BytesSent + n == payloadSize;
    if (last) {
      flags |= sfLastChunk;
      if (!sack.RouteList.empty()) flags |= sfRouteList;
      if (sack.PeerId != 0) flags |= sfPeerId;
      if (sack.AckWanted) flags |= sfAckWanted;
    }
    // A sealed piece may need a block's room beyond its chunk while it is made.
    sendBuffer.reserve(sendBuffer.size() + kFrameHeaderSize + static_cast<size_t>(n) + kSealBlockSize);
    AppendFrameHeader(sendBuffer, flags, sack.Code, static_cast<size_t>(n));
    AppendChunk(sack, static_cast<size_t>(sack.BytesSent), static_cast<size_t>(n), sendBuffer);
    sack.BytesSent += n;
    if (last) queue.Finish(i);
    ++frames;
    if (hooks.CountSent) hooks.CountSent(static_cast<int32_t>(kFrameHeaderSize + n));
  }
  return frames;
}

// --- TFrameReceiver -------------------------------------------------------------

TFrameReceiver::TFrameReceiver(TJoinHooks hooks, size_t reassemblyCap)
    : hooks_(std::move(hooks)), cap_(reassemblyCap) {}

char* TFrameReceiver::PrepareWrite(size_t n) {
  if (begin_ == end_) begin_ = end_ = 0;
  if (storage_.size() - end_ < n) {
    // Move the unparsed bytes (at most one incomplete frame) to the front once
    // half the buffer has been parsed, so that few bytes are ever moved and
    // none twice; grow when that does not make room.
    if (begin_ > 0 && begin_ >= storage_.size() / 2) {
      std::memmove(storage_.data(), storage_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (storage_.size() - end_ < n) storage_.resize(std::max(storage_.size() * 2, end_ + n));
  }
  return storage_.data() + end_;
}

void TFrameReceiver::CommitWrite(size_t written) {
  if (fault_ != TFrameFault::None) return;  // a faulted stream keeps nothing
  end_ = std::min(end_ + written, storage_.size());
}

void TFrameReceiver::Append(std::string_view bytes) {
  if (fault_ != TFrameFault::None || bytes.empty()) return;
  std::memcpy(PrepareWrite(bytes.size()), bytes.data(), bytes.size());
  CommitWrite(bytes.size());
}

TFrameFault TFrameReceiver::ParseFrames() {
  while (fault_ == TFrameFault::None && end_ - begin_ >= kFrameHeaderSize) {
    const std::string_view unparsed(storage_.data() + begin_, end_ - begin_);
    const size_t magic = unparsed.find(kErtiMagic);
    if (magic == std::string_view::npos) {
      // Keep only what could be the start of a magic split across reads.
      begin_ = end_ - (kErtiMagic.size() - 1);
      break;
    }
    begin_ += magic;
    const std::string_view frame = unparsed.substr(magic);
    if (frame.size() < kFrameCodeOffset) break;

    const auto flags = static_cast<uint8_t>(frame[4]);
    const auto length = static_cast<int32_t>(LoadLe32(frame.data() + kFrameLengthOffset));
    if (length < kMinFrameLength || length > kMaxFrameLength) return Fail(TFrameFault::BadLength);
    const size_t frameSize = kFrameCodeOffset + static_cast<size_t>(length);
    if (frame.size() < frameSize) break;

    const auto code = static_cast<int32_t>(LoadLe32(frame.data() + kFrameCodeOffset));
    begin_ += frameSize;
    // The chunk stays a view into the buffer: JoinChunk copies it once.
    JoinChunk(code, frame.substr(kFrameHeaderSize, frameSize - kFrameHeaderSize), flags, length);
  }
  if (begin_ == end_) {
    begin_ = end_ = 0;
    if (storage_.size() > kKeptStorage) std::string().swap(storage_);
  }
  return fault_;
}

TFrameFault TFrameReceiver::JoinChunk(int32_t code, std::string_view chunk, uint8_t flags, int32_t length) {
  if (fault_ != TFrameFault::None) return fault_;
  if (hooks_.CountReceived) hooks_.CountReceived(length);

  if (flags & sfFirstChunk) {
    // One code carries one message at a time: a new first chunk ends any older one.
    DropPartial(code);
    auto sack = std::make_unique<TSack>();
    sack->Code = code;
    if (flags & sfLastChunk) return Finish(std::move(sack), chunk, false, flags);
    if (chunk.size() + kPartialOverhead > cap_ - std::min(cap_, partialBytes_))
      return Fail(TFrameFault::ReassemblyTooLarge);
    return StartPartial(std::move(sack), chunk);
  }

  auto it = partials_.find(code);
  if (it == partials_.end()) return fault_;  // no message of this code under way: dropped
  const size_t before = Cost(it->second);
  const size_t after = Cost(it->second, chunk.size());
  if (after - before > cap_ - std::min(cap_, partialBytes_)) return Fail(TFrameFault::ReassemblyTooLarge);
  it->second.sack->Payload.append(chunk);
  partialBytes_ += after - before;
  if (!(flags & sfLastChunk)) return fault_;

  TPartial partial = std::move(it->second);
  partials_.erase(it);
  partialBytes_ -= Cost(partial);
  return FinishPartial(std::move(partial), flags);
}

TFrameFault TFrameReceiver::StartPartial(std::unique_ptr<TSack> sack, std::string_view chunk) {
  TPartial partial;
  auto history = history_.find(sack->Code);
  if (history != history_.end()) {
    TPrefixes prefixes;
    const uint8_t guess = history->second.prefixFlags;
    if (guess != 0 && ReadPrefixes(chunk, guess, prefixes)) {
      partial.strippedFlags = guess;
      partial.stripped.assign(chunk.substr(0, prefixes.Size));
      chunk.remove_prefix(prefixes.Size);
    }
    // Room for a message as long as the last one, within the cap, so that
    // appending the chunks does not move the payload again and again.
    const size_t room = cap_ - std::min(cap_, partialBytes_ + kPartialOverhead);
    if (history->second.size > chunk.size() && history->second.size <= room) {
      sack->Payload.reserve(history->second.size);
      partial.reserved = history->second.size;
    }
  }
  sack->Payload.append(chunk);
  partial.sack = std::move(sack);
  partialBytes_ += Cost(partial);
  const int32_t code = partial.sack->Code;
  partials_.emplace(code, std::move(partial));
  if (partialBytes_ > cap_) return Fail(TFrameFault::ReassemblyTooLarge);
  return fault_;
}

TFrameFault TFrameReceiver::FinishPartial(TPartial partial, uint8_t flags) {
  const auto prefixFlags = static_cast<uint8_t>(flags & (sfPeerId | sfRouteList));
  Remember(partial.sack->Code, prefixFlags, partial.sack->Payload.size());
  if (partial.strippedFlags == prefixFlags && !partial.stripped.empty()) {
    // The guess held: the prefixes are off the payload already.
    TPrefixes prefixes;
    ReadPrefixes(partial.stripped, prefixFlags, prefixes);
    partial.sack->PeerId = prefixes.PeerId;
    partial.sack->RouteList.assign(prefixes.RouteList);
    return Finish(std::move(partial.sack), {}, true, sfLastChunk | (flags & sfAckWanted));
  }
  // The guess failed: put the stripped bytes back (one shift) and read afresh.
  if (!partial.stripped.empty()) partial.sack->Payload.insert(0, partial.stripped);
  return Finish(std::move(partial.sack), {}, true, flags);
}

void TFrameReceiver::Remember(int32_t code, uint8_t prefixFlags, size_t size) {
  constexpr size_t kMaxCodes = 1024;
  if (history_.size() >= kMaxCodes && history_.find(code) == history_.end()) history_.clear();
  history_[code] = {prefixFlags, size};
}

// Strips the prefixes that `flags` announce, opens a sealed body and posts
// the message. `inPlace`: the payload is already in the record (chunked
// message); otherwise it is `payload`, copied in here after its prefixes.
TFrameFault TFrameReceiver::Finish(std::unique_ptr<TSack> sack, std::string_view payload, bool inPlace,
                                   uint8_t flags) {
  if (inPlace) payload = sack->Payload;
  TPrefixes prefixes;
  if (!ReadPrefixes(payload, flags, prefixes)) return Fail(TFrameFault::BadPrefix);
  sack->AckWanted = (flags & sfAckWanted) ? 1 : 0;
  if (flags & (sfPeerId | sfRouteList)) {
    sack->PeerId = prefixes.PeerId;
    sack->RouteList.assign(prefixes.RouteList);
  }
  if (inPlace) {
    sack->Payload.erase(0, prefixes.Size);
  } else {
    sack->Payload.assign(payload.substr(prefixes.Size));
  }
  if (IsSealedCode(sack->Code) && !sack->Payload.empty() && hooks_.Open && !hooks_.Open(sack->Payload))
    return Fail(TFrameFault::SealBroken);
  if (hooks_.Post) hooks_.Post(std::move(sack));
  return fault_;
}

TSack* TFrameReceiver::FindPartial(int32_t code) {
  auto it = partials_.find(code);
  return it == partials_.end() ? nullptr : it->second.sack.get();
}

void TFrameReceiver::ClearPartials() {
  partials_.clear();
  partialBytes_ = 0;
}

// What a partial counts against the cap once `extra` more bytes are appended:
// its bytes or its reservation, whichever is more, and its record.
size_t TFrameReceiver::Cost(const TPartial& partial, size_t extra) {
  return std::max(partial.sack->Payload.size() + extra, partial.reserved) + partial.stripped.size() +
         kPartialOverhead;
}

void TFrameReceiver::DropPartial(int32_t code) {
  auto it = partials_.find(code);
  if (it == partials_.end()) return;
  partialBytes_ -= Cost(it->second);
  partials_.erase(it);
}

TFrameFault TFrameReceiver::Fail(TFrameFault fault) {
  fault_ = fault;
  ClearPartials();
  begin_ = end_ = 0;
  return fault_;
}

}  // namespace tw
