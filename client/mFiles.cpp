#include "client/mFiles.h"

#include "client/mParleyCln.h"

namespace tw::cln {

void TFileUnit::DoMessage(TPeer&, int32_t, std::string&) {}
void TFileUnit::SendNextChunk(TPeer&) {}

}  // namespace tw::cln
