// The bundle's entry point: when the Settings application loads it, its principal class is registered
// under the name its information list gives.
#include "PSListController.h"
#include "TarvikDNSListController.h"

namespace {

[[gnu::constructor]] void RegisterPrincipalClass()
{
    PSListControllerClass::registerClass("TarvikDNSListController", [] { return std::make_unique<TarvikDNSListController>(); });
}

} // namespace
