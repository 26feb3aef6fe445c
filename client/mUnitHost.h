// IUnitHost: what the talk and file units ask of the engine that hosts them,
// and nothing more: its peer records and the order they bonded in, sending
// to peers, the chunk room and the acknowledgements still due, its events,
// its clock, its media, its LastError and its one failure reporter. The engine implements it over its
// session layer; tests implement it to drive a unit alone.
//
// Everything is called on the engine's thread, except Destroying, which the
// capture's streaming thread reads too.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "client/mCodes.h"
#include "client/mEvents.h"
#include "client/mMedia.h"
#include "transport/twTools.h"

namespace tw::cln {

struct TPeer;

class IUnitHost {
 public:
  // --- Peers ------------------------------------------------------------------------
  // The record a handle names, or null; LastError stays as it is.
  virtual TPeer* FindPeer(TPeerHandle handle) = 0;
  // The record of the peer whose link the hub knows by `hubId`, or null.
  virtual TPeer* FindPeerByHubId(int32_t hubId) = 0;
  // The id the hub knows the peer's link by (0 once the link is gone).
  virtual int32_t HubId(const TPeer& peer) = 0;
  virtual bool SessionOpen() const = 0;
  // The bonds opened so far; each peer's record holds its own (TPeer::Bond),
  // so a unit can tell whether a peer bonded before or after a moment.
  virtual uint64_t Bonds() const = 0;

  // --- Sending ----------------------------------------------------------------------
  // Queues `body` as `channel` to every peer of `peers` whose link is live
  // (the route list from the last peer to the first), asking each for an
  // acknowledgement when `ack`. False when none was live (nothing queued).
  virtual bool Send(std::span<TPeer* const> peers, int32_t channel, TMessage body, bool ack) = 0;
  bool Send(TPeer& peer, int32_t channel, TMessage body = {}, bool ack = false) {
    TPeer* const one[] = {&peer};
    return Send(one, channel, std::move(body), ack);
  }
  // Messages of `channel` to the peer still waiting for their acknowledgement.
  virtual int32_t PendingAcks(const TPeer& peer, int32_t channel) = 0;
  // The bytes one message body may carry now; 0 without a session.
  virtual int32_t ChunkRoom() = 0;

  // --- Events, clock, errors --------------------------------------------------------
  virtual TParleyClnEvents& Events() = 0;
  virtual uint32_t Now() = 0;  // the millisecond tick
  virtual void SetLastError(int32_t code) = 0;
  // True once the engine's teardown began: no event fires from then on.
  virtual bool Destroying() const = 0;
  // A failure the caller handled and goes on from, with its reason, for the
  // control's error log.
  virtual void ReportFailure(const std::string& reason) = 0;

  // --- Media (the talk unit's) ------------------------------------------------------
  virtual TMediaFactory& MediaFactory() = 0;
  virtual IRecorder& Recorder() = 0;
  // The engine's own player: its device and mute settings apply to all.
  virtual IPlayer& Player() = 0;
  virtual ICaptureSource& Capture() = 0;
  virtual IVideoEncoder& Encoder() = 0;

 protected:
  ~IUnitHost() = default;
};

}  // namespace tw::cln
