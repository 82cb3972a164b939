#include "ScaleKinds.h"

#include "platform/ProfileFile.h"
#include "platform/Utf.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>

namespace desk {

namespace {

// The largest minimum weight taken: anything above is a slip of the pen (a value in grams).
constexpr double kLargestMinimumKg = 100.0;

// The port of a section name "COM<n>" (any case); 0 when it is not one.
int PortOfSection(const std::string& name) {
    if (name.size() < 4 || name.size() > 6) return 0;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[static_cast<std::size_t>(i)])) != "COM"[i]) return 0;
    int port = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
        port = port * 10 + (name[i] - '0');
    }
    return port;
}

// The sections of the text, with where each begins.
std::vector<std::pair<std::string, std::size_t>> SectionNames(const std::u16string& text) {
    std::vector<std::pair<std::string, std::size_t>> names;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(u'\n', at);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = text.substr(at, end - at);
        const std::size_t begins = at;
        at = end + 1;
        const std::size_t open = line.find_first_not_of(u" \t");
        if (open == std::u16string::npos || line[open] != u'[') continue;
        const std::size_t close = line.find(u']', open);
        if (close == std::u16string::npos) continue;
        std::u16string name = line.substr(open + 1, close - open - 1);
        while (!name.empty() && (name.back() == u' ' || name.back() == u'\t')) name.pop_back();
        while (!name.empty() && (name.front() == u' ' || name.front() == u'\t')) name.erase(name.begin());
        names.emplace_back(platform::Utf16ToUtf8(name), begins);
    }
    return names;
}

}  // namespace

ScaleKinds::ScaleKinds(std::vector<std::string> folders, std::shared_ptr<const scale::ScaleProtocol> only)
    : folders_(std::move(folders)), only_(std::move(only)) {}

std::vector<std::string> ScaleKinds::Load() {
    std::vector<std::string> unusable;
    std::map<int, PortSetting> ports;
    std::string file;
    if (!only_) {
        for (const std::string& folder : folders_) {
            std::error_code ec;
            if (!folder.empty() && std::filesystem::is_regular_file(platform::Utf8Path(folder + "Scales.ini"), ec)) {
                file = folder + "Scales.ini";
                break;
            }
        }
    }
    if (!file.empty()) {
        const std::u16string text = platform::DecodeProfileBytes(platform::ReadFileBytes(file));
        const std::vector<std::pair<std::string, std::size_t>> sections = SectionNames(text);
        for (std::size_t i = 0; i < sections.size(); ++i) {
            const std::string& section = sections[i].first;
            const int port = PortOfSection(section);
            if (port <= 0) continue;  // (not a port: nothing of ours)
            // The first section of a port counts, and is looked up in its own lines: a file of
            // many sections is read once, not once per section.
            if (ports.count(port) > 0) continue;
            const std::size_t begins = sections[i].second;
            const std::size_t ends = i + 1 < sections.size() ? sections[i + 1].second : text.size();
            const std::u16string_view from = std::u16string_view(text).substr(begins, ends - begins);
            const std::u16string name16 = platform::Utf8ToUtf16(section);
            PortSetting setting;
            std::u16string value;
            if (platform::FindProfileValue(from, name16, u"Protocol", value) && !value.empty()) {
                const std::string protocol = platform::Utf16ToUtf8(value);
                if (scale::MakeProtocol(protocol))
                    setting.protocol = protocol;
                else
                    unusable.push_back("[" + section + "] Protocol=" + protocol);
            }
            if (platform::FindProfileValue(from, name16, u"MinimumWeight", value) && !value.empty()) {
                const std::string number = platform::Utf16ToUtf8(value);
                // (with a point whatever the locale: a Qt program on Linux takes the system's,
                // where strtod may want a comma)
                double kg = 0;
                const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), kg);
                if (error == std::errc() && end == number.data() + number.size() && std::isfinite(kg) && kg > 0 &&
                    kg <= kLargestMinimumKg)
                    setting.options.minimumKg = kg;
                else
                    unusable.push_back("[" + section + "] MinimumWeight=" + number);
            }
            ports.emplace(port, setting);
        }
    }
    std::lock_guard lock(mutex_);
    ports_ = std::move(ports);
    file_ = std::move(file);
    return unusable;
}

ScaleKinds::PortSetting ScaleKinds::SettingOf(int port) const {
    std::lock_guard lock(mutex_);
    const auto found = ports_.find(port);
    return found == ports_.end() ? PortSetting{} : found->second;
}

std::vector<serial::LineUse> ScaleKinds::UsesAt(int port) const {
    if (only_) return {only_->Use()};
    const PortSetting setting = SettingOf(port);
    std::vector<serial::LineUse> uses;
    if (!setting.protocol.empty()) {
        uses.push_back(scale::MakeProtocol(setting.protocol, setting.options)->Use());
        return uses;
    }
    for (const std::string& name : scale::ProtocolNames()) uses.push_back(scale::MakeProtocol(name, setting.options)->Use());
    return uses;
}

std::shared_ptr<const scale::ScaleProtocol> ScaleKinds::Protocol(const std::string& kind, int port) const {
    if (only_) return only_;
    const scale::ScaleOptions options = SettingOf(port).options;
    const std::string name = scale::MakeProtocol(kind) ? kind : "frame6";
    std::lock_guard lock(mutex_);
    auto& made = made_[{name, options.minimumKg}];
    if (!made) made = scale::MakeProtocol(name, options);
    return made;
}

std::string ScaleKinds::File() const {
    std::lock_guard lock(mutex_);
    return file_;
}

}  // namespace desk
