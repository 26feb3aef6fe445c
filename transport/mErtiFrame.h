// ErtiFrame: the unit on the wire, and the two pure halves of the framing that
// a pipe owns: cutting batches of frames from its send queue (BuildCart) and
// finding frames in its receive stream and joining their chunks back into
// messages (TFrameReceiver). No sockets, no clock: the pipe passes in its send
// size, rate limit and pump tick, and fills the hooks for rate accounting,
// sealing, opening and posting.
//
// Ownership: a TSack owns its followers (Next); the send queue owns the
// messages queued in it; a relayed body may be shared (TSharedBody) by the
// records of many queues, each holding a reference and none a copy; the
// receiver owns its receive buffer and the messages under reassembly, and
// hands each complete message to its Post hook.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "transport/mSeal.h"
#include "transport/twTools.h"

namespace tw {

// --- Frame layout -----------------------------------------------------------
//   0  4  Magic "ERTI"
//   4  1  Flags
//   5  4  Length: 4 + chunk length (signed)
//   9  4  Code (signed)
//  13  .. Chunk (Length - 4 bytes)
inline constexpr std::string_view kErtiMagic = "ERTI";
inline constexpr size_t kFrameHeaderSize = 13;
inline constexpr size_t kFrameLengthOffset = 5;
inline constexpr size_t kFrameCodeOffset = 9;

// Flags. Ack, route list and peer id travel on the last chunk only.
inline constexpr uint8_t sfAckWanted = 0x01;
inline constexpr uint8_t sfFirstChunk = 0x02;
inline constexpr uint8_t sfLastChunk = 0x04;
inline constexpr uint8_t sfRouteList = 0x08;
inline constexpr uint8_t sfPeerId = 0x10;

// The largest send budget, and the largest Length a receiver accepts. A
// conforming sender's largest frame has Length 4 + 1 MiB + 32.
inline constexpr int32_t kMaxSendSize = 1 << 20;
inline constexpr int32_t kMinFrameLength = 4;
inline constexpr int32_t kMaxFrameLength = 2 << 20;

// --- Message codes ----------------------------------------------------------
// Below 0: acknowledgement of code -n. 1000 and above: application channel
// code - sackAppBase. Codes 0, 4-9, 18, 19 and 24-999 mean nothing here.
inline constexpr int32_t sackAppBase = 1000;
inline constexpr int32_t scRecvSize = 1;
inline constexpr int32_t scRateLimit = 2;
inline constexpr int32_t scError = 3;
inline constexpr int32_t scModeOffer = 10;
inline constexpr int32_t scModeReply = 11;
inline constexpr int32_t scClientKey = 12;
inline constexpr int32_t scServerKey = 13;
inline constexpr int32_t scClientHalf1 = 14;
inline constexpr int32_t scServerHalf1 = 15;
inline constexpr int32_t scClientHalf2 = 16;
inline constexpr int32_t scServerHalf2 = 17;
inline constexpr int32_t scLogin = 20;
inline constexpr int32_t scAccept = 21;
inline constexpr int32_t scChallenge = 22;
inline constexpr int32_t scResponse = 23;

// Bodies of codes 21 and up travel sealed on a keyed pipe (signed comparison:
// acknowledgements never are). Empty bodies never are; the hooks decide on
// the key.
inline constexpr bool IsSealedCode(int32_t code) { return code > scLogin; }

// --- Records ----------------------------------------------------------------

// A message body that many send queues share (one relayed message for many
// targets): read-only, freed with the last record that holds it.
using TSharedBody = std::shared_ptr<const std::string>;

// One message of the transport, outgoing or received.
struct TSack {
  TSack() = default;
  TSack(const TSack&) = delete;
  TSack& operator=(const TSack&) = delete;
  ~TSack();  // frees a long follower chain without deep recursion

  std::unique_ptr<TSack> Next;  // follower: the next message of the same code
  uint8_t AckWanted = 0;        // the receiver is to acknowledge
  int32_t PeerId = 0;           // 0, or the server pipe a relayed message entered by
  uint32_t LastSendTick = 0;    // pump tick of the last chunk cut; 0 before
  int32_t Code = 0;             // message code
  int64_t BytesSent = 0;        // payload bytes already cut into frames
  std::string Payload;          // the body (sealed and prefixed once its first chunk is cut)
  std::string RouteList;        // concatenated 4-byte ids of the target pipes, or empty
  size_t QueuedBytes = 0;       // what it held when it was queued (QueuedCost; the send queue's count)
  int32_t QueuedFrom = 0;       // the PeerId it was counted for when queued (TSendQueue::BytesFrom)
  uint64_t Seq = 0;             // the send queue's count of messages queued before it

  // An outgoing body shared with other queues, in place of Payload: it is
  // cut as Payload = *Shared would be, and Payload holds only this record's
  // own bytes once the first chunk is cut (the prefixes, and the seal
  // header when sealed).
  TSharedBody Shared;
  // A shared body sealed as it is cut: the key it was begun with, and where
  // its ciphertext stands.
  std::shared_ptr<const TAesKey> SealKey;
  TSealCursor SealCut;

  // The body to send, before the first chunk is cut: the shared one or Payload.
  std::string_view Body() const { return Shared ? std::string_view(*Shared) : std::string_view(Payload); }
};

// What a message holds in memory: its record and the heap blocks of its body
// and route list, with the allocator's bookkeeping of each. A queue of small
// messages costs several times their bodies. A shared body counts whole in
// every queue that holds it: each still owes it to its peer.
size_t QueuedCost(const TSack& sack);
// The same for a message whose body and route list hold these capacities.
size_t QueuedCost(size_t payloadCapacity, size_t routeListCapacity = 0);

// One pending acknowledgement: the full wire code and the body length when sent.
struct TAckEntry {
  int32_t Code = 0;
  int32_t Length = 0;
};

// Calls `f` with each id of a route list, in order, up to its last whole
// 4-byte id, reading them in place (nothing allocated, whatever the list's
// length). When `f` returns bool, false stops the walk.
template <class F>
void ForEachRouteId(std::string_view routeList, F&& f) {
  constexpr size_t kId = 4;
  for (size_t at = 0; at + kId <= routeList.size(); at += kId) {
    const auto id = static_cast<int32_t>(LoadLe32(routeList.data() + at));
    if constexpr (std::is_same_v<std::invoke_result_t<F&, int32_t>, bool>) {
      if (!f(id)) return;
    } else {
      f(id);
    }
  }
}

// The ids of a route list, up to its last whole 4-byte id.
std::vector<int32_t> RouteIds(std::string_view routeList);

// Appends one frame to `out`.
void AppendFrame(std::string& out, uint8_t flags, int32_t code, std::string_view chunk);
// Appends a frame's header for a chunk of `chunkSize` bytes; the chunk follows.
void AppendFrameHeader(std::string& out, uint8_t flags, int32_t code, size_t chunkSize);

// --- Sending ----------------------------------------------------------------

// A pipe's send queue: at most one message per code; later messages of a code
// wait as followers of the one queued and enter the queue when it is cut
// completely, so one code's messages leave in the order they were queued.
class TSendQueue {
 public:
  // Queues `sack` behind the last message of its code, or at the end of the
  // queue. The reference stays valid until the message is cut completely; the
  // caller may still set AckWanted, PeerId and RouteList, never Code.
  TSack& Queue(std::unique_ptr<TSack> sack);

  bool Empty() const { return entries_.empty(); }
  size_t Size() const { return entries_.size(); }
  // How many messages of `code` are queued and not yet cut completely.
  size_t Waiting(int32_t code) const;
  // What every queued message and follower held when it was queued
  // (QueuedCost); a message counts until its last chunk is cut.
  size_t Bytes() const { return bytes_; }
  // The part of Bytes() that the messages with PeerId `peerId` at queueing
  // hold (0: the pipe's own messages), followers included.
  size_t BytesFrom(int32_t peerId) const;
  // Entries from the first queued to the last (followers not included).
  const TSack& operator[](size_t i) const { return *entries_[i]; }
  TSack& operator[](size_t i) { return *entries_[i]; }

  // The sequence number the next queued message gets.
  uint64_t NextSeq() const { return nextSeq_; }
  // Every message queued before sequence number `seq` has been cut
  // completely (a code's followers come after its entry, so the entries
  // tell).
  bool DoneBefore(uint64_t seq) const;

  // Takes entry `i` out of the queue; its follower, if any, goes to the end.
  // The record is kept for NewRecord.
  void Finish(size_t i);
  void Clear();

  // A blank record to queue: one that a finished message left, with its
  // body's buffer when that is small, or a new one. A pipe that sends many
  // small messages (announcements) thus allocates nothing per message once
  // it has sent a few.
  std::unique_ptr<TSack> NewRecord();

 private:
  void Recycle(std::unique_ptr<TSack> done);
  void CountFrom(int32_t peerId, size_t bytes);
  void UncountFrom(int32_t peerId, size_t bytes);

  std::vector<std::unique_ptr<TSack>> spare_;  // finished records, blank
  std::vector<std::unique_ptr<TSack>> entries_;
  struct TChain {
    TSack* tail = nullptr;  // the last message of the code
    size_t count = 0;       // its messages in the queue
  };
  std::unordered_map<int32_t, TChain> tails_;  // each queued code
  size_t bytes_ = 0;
  // Bytes by sender. A sender whose messages have all gone keeps its entry
  // at 0, so that a steady sender allocates nothing per message; such
  // entries are swept once they outnumber the others.
  std::unordered_map<int32_t, size_t> bytesFrom_;
  size_t idleSenders_ = 0;
  uint64_t nextSeq_ = 0;
};

// What the pipe tells BuildCart about itself.
struct TCartLimits {
  int32_t SendSize = 1024;  // the other side's announced read size
  int32_t RateLimit = 0;    // effective rate limit in bytes per second; <= 0: none
  uint32_t PumpTick = 0;    // becomes each cut message's LastSendTick
};

// How a pipe seals: its session key, expanded, and the IV of the current
// pump step. No key: the pipe holds none and seals nothing.
struct TSealing {
  std::shared_ptr<const TAesKey> Key;
  std::string_view Iv;  // 16 bytes while Key is set
};

// Hooks that BuildCart calls; an empty hook does nothing (no rate limit, no sealing).
struct TCartHooks {
  std::function<bool()> RateWindowUsed;        // true: the rate window is used up
  std::function<void(int32_t)> CountSent;      // frame size, for the rate window
  // Asked when the first chunk of a code-21+ message with a body is cut.
  std::function<TSealing()> Sealing;
};

// The byte budget of one batch: the send size, halved to L div 2 by a rate
// limit L, and never more than kMaxSendSize.
int32_t CartBudget(const TCartLimits& limits);

// Cuts the next batch onto the end of `sendBuffer` (whatever it holds
// already goes out first): newest queued message first, at most one chunk
// each, while room := (2B - bytes in this batch) div 2 is at least 32; a
// chunk holds up to room + 32 bytes. Returns the number of frames cut.
// A shared body is cut into the frames that the same body in Payload would
// give, straight from the shared bytes (sealed block by block as it goes).
size_t BuildCart(TSendQueue& queue, std::string& sendBuffer, const TCartLimits& limits,
                 const TCartHooks& hooks = {});

// --- Receiving --------------------------------------------------------------

// Why a receive stream cannot go on; the pipe closes with crSecurity (8).
enum class TFrameFault {
  None,
  BadLength,          // Length below 4 or above kMaxFrameLength
  BadPrefix,          // a flagged route list or peer id that the payload does not hold
  ReassemblyTooLarge, // partial messages beyond the receiver's cap
  SealBroken,         // a sealed body that does not open
};

// Hooks that the receiver calls while it parses; they must not feed the
// receiver itself. An empty Open opens everything, an empty Post drops.
struct TJoinHooks {
  std::function<void(int32_t)> CountReceived;        // Length of every frame (read-size adaptation)
  std::function<bool(std::string&)> Open;            // opens a code-21+ payload when keyed; false: broken
  std::function<void(std::unique_ptr<TSack>)> Post;  // a complete message
};

inline constexpr size_t kDefaultReassemblyCap = size_t{64} << 20;

// The receive side of one pipe: the receive buffer and the messages under
// reassembly. After a fault it takes no more bytes and reports the fault again.
class TFrameReceiver {
 public:
  explicit TFrameReceiver(TJoinHooks hooks, size_t reassemblyCap = kDefaultReassemblyCap);

  // Space for up to `n` bytes at the end of the receive buffer, for recv() to
  // fill; CommitWrite keeps the first `written` of them.
  char* PrepareWrite(size_t n);
  void CommitWrite(size_t written);
  void Append(std::string_view bytes);

  // Takes every complete frame out of the receive buffer and joins it. Bytes
  // before a magic are dropped; a buffer without one keeps only its last 3.
  TFrameFault ParseFrames();

  // Adds one frame's chunk to its message; posts the message on its last chunk.
  TFrameFault JoinChunk(int32_t code, std::string_view chunk, uint8_t flags, int32_t length);

  // The message under reassembly with that code, or nullptr. Its Payload holds
  // the chunks so far, less any prefixes already taken off the first.
  TSack* FindPartial(int32_t code);

  size_t Buffered() const { return end_ - begin_; }
  size_t PartialBytes() const { return partialBytes_; }
  // Bytes of messages not yet complete: those under reassembly and those of
  // frames not yet whole in the receive buffer.
  size_t Unfinished() const { return partialBytes_ + Buffered(); }
  TFrameFault Fault() const { return fault_; }
  void ClearPartials();

 private:
  // A message under reassembly. Its prefixes are announced by the last chunk
  // only; to copy the body just once anyway, the first chunk is stripped of
  // the prefixes that the previous chunked message of its code carried
  // (`stripped`, read as `strippedFlags`), and the payload reserves that
  // message's size. A wrong guess is mended at the end.
  struct TPartial {
    std::unique_ptr<TSack> sack;
    std::string stripped;
    uint8_t strippedFlags = 0;
    size_t reserved = 0;  // payload bytes reserved up front
  };

  TFrameFault Fail(TFrameFault fault);
  void DropPartial(int32_t code);
  static size_t Cost(const TPartial& partial, size_t extra = 0);
  TFrameFault StartPartial(std::unique_ptr<TSack> sack, std::string_view chunk);
  TFrameFault FinishPartial(TPartial partial, uint8_t flags);
  TFrameFault Finish(std::unique_ptr<TSack> sack, std::string_view payload, bool inPlace, uint8_t flags);
  void Remember(int32_t code, uint8_t prefixFlags, size_t size);

  TJoinHooks hooks_;
  size_t cap_;
  std::string storage_;  // receive buffer: bytes [begin_, end_) are unparsed
  size_t begin_ = 0;
  size_t end_ = 0;
  std::unordered_map<int32_t, TPartial> partials_;
  size_t partialBytes_ = 0;  // memory the partials hold, plus a record's size each
  struct TCodeHistory {
    uint8_t prefixFlags = 0;
    size_t size = 0;
  };
  std::unordered_map<int32_t, TCodeHistory> history_;  // each code's last chunked message
  TFrameFault fault_ = TFrameFault::None;
};

}  // namespace tw
