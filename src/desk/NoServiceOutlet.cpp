// A build without the server library: no local weight service.
#include "Outlet.h"

namespace desk {

std::unique_ptr<WeighingOutlet> MakeServiceOutlet(OutletHost&, const std::vector<std::string>&, const std::string&) { return nullptr; }

}  // namespace desk
