#include "Protocols.h"

#include "Polled8217Protocol.h"
#include "PrintProtocol.h"
#include "SicsProtocol.h"
#include "SixByteProtocol.h"

#include <algorithm>
#include <cctype>

namespace scale {

namespace {

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

const std::vector<std::string>& ProtocolNames() {
    static const std::vector<std::string> names = {"print", "sics", "8217", "frame6"};
    return names;
}

std::shared_ptr<const ScaleProtocol> MakeProtocol(std::string_view name, const ScaleOptions& options) {
    if (SameName(name, "print")) return std::make_shared<PrintProtocol>(options);
    if (SameName(name, "8217")) return std::make_shared<Polled8217Protocol>(options);
    if (SameName(name, "sics")) return std::make_shared<SicsProtocol>(options);
    if (SameName(name, "frame6")) return std::make_shared<SixByteProtocol>();
    return nullptr;
}

}  // namespace scale
