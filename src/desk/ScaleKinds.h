#pragma once
// The kinds of scale the desk may find at a port: every kind Pesavo knows, in the search's
// order, unless Scales.ini names the one at that port ([COM9] Protocol=sics); and the minimum
// weight of each port's scale (MinimumWeight=0.02, in kg). Scales.ini is read from the user's
// settings folder, else from beside the program.
#include "ConnectionControl.h"
#include "Protocols.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace desk {

class ScaleKinds {
public:
    // `folders`: where Scales.ini may be, in order. `only`: the one kind of scale there is
    // (Scales.ini is then not read).
    ScaleKinds(std::vector<std::string> folders, std::shared_ptr<const scale::ScaleProtocol> only);

    // Reads Scales.ini again; what in it cannot be used, one line each ("[COM9] Protocol=x").
    std::vector<std::string> Load();
    // The ways to try at `port`, in order (from any thread).
    std::vector<serial::LineUse> UsesAt(int port) const;
    // The protocol of `kind` as it is set for `port`; the six-byte scale's when `kind` is unknown.
    std::shared_ptr<const scale::ScaleProtocol> Protocol(const std::string& kind, int port) const;
    // The file read last (empty: none).
    std::string File() const;

private:
    struct PortSetting {
        std::string protocol;  // empty: every kind is tried
        scale::ScaleOptions options;
    };
    PortSetting SettingOf(int port) const;

    const std::vector<std::string> folders_;
    const std::shared_ptr<const scale::ScaleProtocol> only_;
    mutable std::mutex mutex_;  // guards what follows: the controller's worker reads it
    std::map<int, PortSetting> ports_;
    std::string file_;
    // The protocols handed out, by kind and minimum: the same settings give the same one.
    mutable std::map<std::pair<std::string, double>, std::shared_ptr<const scale::ScaleProtocol>> made_;
};

}  // namespace desk
