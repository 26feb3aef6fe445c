// The client control library's four exports. The module object (class
// factory and live-object count) is made when the library loads and lives
// until it unloads.
#include "client/cParleyCln.h"
#include "control/cControlModule.h"

namespace {

tw::TControlModule g_module(tw::TtwParleyClnX::Class(), &tw::TtwParleyClnX::Create);

}  // namespace

TW_CONTROL_MODULE_EXPORTS(g_module)
