// A build without XTEST: nothing is typed (the wedge says so when it is turned on).
#include "KeyTyper.h"

namespace platform {

std::unique_ptr<KeyTyper> OpenKeyTyper() { return nullptr; }

}  // namespace platform
