// TPeer: the client engine's record of one bonded peer. The engine owns the
// record and its identity and link (handle, tube, name, Moniker, link
// state, the order of its bond); the talk unit owns `Talk` and the file unit owns `Files`, each
// declared in its unit's header.
#pragma once

#include <cstdint>
#include <string>

#include "client/mCodes.h"
#include "client/mFiles.h"
#include "client/mMate.h"
#include "client/mTalks.h"

namespace tw::cln {

struct TPeer {
  TPeerHandle Handle = 0;
  TTubeId Tube = 0;  // looked up in the session layer at every use
  int32_t Moniker = 0;
  uint8_t LinkState = lsNew;
  // Its bond's place among the engine's bonds (IUnitHost::Bonds), counted
  // from 1 when the link opened; 0: not known to have bonded.
  uint64_t Bond = 0;
  std::u16string Name;
  TPeerTalk Talk;
  TPeerFiles Files;
};

}  // namespace tw::cln
