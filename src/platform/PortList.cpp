#include "PortList.h"

#include "ProfileFile.h"
#include "Utf.h"

#include <algorithm>
#include <climits>
#include <dirent.h>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace platform {

namespace {

std::string g_ttyFolder = "/sys/class/tty";

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

std::vector<std::pair<int, std::string>> KernelPorts() {
    std::vector<std::pair<int, std::string>> ports;
    DIR* dir = ::opendir(g_ttyFolder.c_str());
    if (!dir) return ports;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        for (const KernelFamily& f : kFamilies) {
            const std::string prefix = f.prefix;
            if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
            const std::string digits = name.substr(prefix.size());
            if (digits.size() > 4 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) continue;
            const std::string sys = g_ttyFolder + "/" + name;
            if (!HasDevice(sys) || (prefix == "ttyS" && !HasUart(sys))) continue;
            ports.emplace_back(f.base + std::stoi(digits), "/dev/" + name);
        }
    }
    ::closedir(dir);
    std::sort(ports.begin(), ports.end());
    return ports;
}

}  // namespace

void SetKernelTtyFolderForTesting(const std::string& folder) {
    g_ttyFolder = folder.empty() ? "/sys/class/tty" : folder;
}

int PortNumberFromName(std::u16string_view name) {
    if (name.size() <= 3) return 0;
    name.remove_prefix(3);
    while (!name.empty() && (name.front() == u' ' || (name.front() >= u'\t' && name.front() <= u'\r')))
        name.remove_prefix(1);
    bool negative = false;
    if (!name.empty() && (name.front() == u'-' || name.front() == u'+')) {
        negative = name.front() == u'-';
        name.remove_prefix(1);
    }
    long long value = 0;
    for (char16_t c : name) {
        if (c < u'0' || c > u'9') break;
        value = std::min<long long>(value * 10 + (c - u'0'), static_cast<long long>(INT_MAX) + 1);
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

std::vector<SerialPortEntry> ListSerialPorts(const std::string& moduleDir) {
    std::vector<SerialPortEntry> ports;
    std::set<int> numbers;
    std::set<std::string> devices;
    for (const auto& [key, value] : GetProfileSection(u"SerialComm", moduleDir + "SerialComm.ini")) {
        const int number = PortNumberFromName(key);
        if (number <= 0 || value.empty()) continue;
        ports.push_back({u"COM" + Utf8ToUtf16(std::to_string(number)), Utf16ToUtf8(value)});
        numbers.insert(number);
        devices.insert(Utf16ToUtf8(value));
    }
    for (const auto& [number, device] : KernelPorts()) {
        if (numbers.count(number) || devices.count(device)) continue;
        ports.push_back({u"COM" + Utf8ToUtf16(std::to_string(number)), device});
    }
    return ports;
}

std::string DeviceForPort(const std::string& moduleDir, int number) {
    for (const SerialPortEntry& e : ListSerialPorts(moduleDir))
        if (PortNumberFromName(e.name) == number) return e.device;
    return {};
}

}  // namespace platform
