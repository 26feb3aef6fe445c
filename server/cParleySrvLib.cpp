// The server control library's four exports. The module object (class
// factory and live-object count) is made when the library loads and lives
// until it unloads.
#include "control/cControlModule.h"
#include "server/cParleySrv.h"

namespace {

tw::TControlModule g_module(tw::TtwParleySrvX::Class(), &tw::TtwParleySrvX::Create);

}  // namespace

TW_CONTROL_MODULE_EXPORTS(g_module)
