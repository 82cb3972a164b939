// The serial ports of a POSIX system: the device map beside the executable, then the
// kernel's serial devices.
#include "PortList.h"

#include "Utf.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace platform {

namespace {

struct KernelFamily {
    const char* prefix;
    int base;  // COM number of index 0
};

// Fixed bases keep numbers stable across runs and plug order.
constexpr KernelFamily kFamilies[] = {
    {"ttyS", 1}, {"ttyACM", 101}, {"ttyUSB", 201}, {"ttyAMA", 301}, {"rfcomm", 401}, {"ttyXRUSB", 501},
};

bool ReadSmallFile(const std::string& path, std::string& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, out);
    return true;
}

// A ttyS entry exists for every possible legacy port; only those with a UART behind them count.
bool HasUart(const std::string& sysEntry) {
    std::string type;
    return ReadSmallFile(sysEntry + "/type", type) && type != "0";
}

bool HasDevice(const std::string& sysEntry) {
    struct stat st {};
    return ::stat((sysEntry + "/device").c_str(), &st) == 0;
}

std::vector<std::pair<int, std::string>> KernelPorts(const std::string& ttyFolder) {
    std::vector<std::pair<int, std::string>> ports;
    DIR* dir = ::opendir(ttyFolder.c_str());
    if (!dir) return ports;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        for (const KernelFamily& f : kFamilies) {
            const std::string prefix = f.prefix;
            if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
            const std::string digits = name.substr(prefix.size());
            if (digits.size() > 4 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) continue;
            const std::string sys = ttyFolder + "/" + name;
            if (!HasDevice(sys) || (prefix == "ttyS" && !HasUart(sys))) continue;
            ports.emplace_back(f.base + std::stoi(digits), "/dev/" + name);
        }
    }
    ::closedir(dir);
    std::sort(ports.begin(), ports.end());
    return ports;
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts(const ProgramPlaces& places) {
    std::vector<SerialPortEntry> ports = MappedPorts(places);
    std::set<int> numbers;
    std::set<std::string> devices;
    for (const SerialPortEntry& e : ports) {
        numbers.insert(PortNumberFromName(e.name));
        devices.insert(e.device);
    }
    for (const auto& [number, device] : KernelPorts(places.kernelTtys)) {
        if (numbers.count(number) || devices.count(device)) continue;
        ports.push_back({u"COM" + Utf8ToUtf16(std::to_string(number)), device});
    }
    return ports;
}

}  // namespace platform
