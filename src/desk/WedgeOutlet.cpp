// The keyboard wedge: with a Wedge.ini ([Wedge] Enabled=1), every weighing is typed into
// whichever window has the keyboard focus, as if the operator typed it, so that it reaches a
// carrier's tool, a spreadsheet or an ERP screen without any integration. The desk's thread only
// makes the text and queues it; a thread of the wedge's own types it, in order, each once. While
// one of Pesavo's own windows has the focus nothing is typed, and what came meanwhile is dropped
// (typed later it would land wherever the operator went next).
#include "Outlet.h"

#include "platform/KeyTyper.h"
#include "platform/ProfileFile.h"
#include "platform/Utf.h"

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

namespace desk {

namespace {

// Ounces the way the table counts them (its pounds and ounces come from the same figure).
constexpr double kOuncesPerKg = 35.27;
// Nothing typed for this long: spare keys lent to characters go back to being empty.
constexpr auto kIdle = std::chrono::seconds(1);

enum class WedgeUnit { Table, Kg, Lb, G, Oz };

struct WedgeSettings {
    WedgeUnit unit = WedgeUnit::Table;
    char16_t decimal = u'.';
    std::u16string prefix, suffix;
    platform::AfterKey after = platform::AfterKey::Enter;
    bool weights = true, overweights = false;
};

std::u16string Lower(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
}

std::u16string Trimmed(std::u16string_view s) {
    const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return std::u16string(s);
}

// Unknown values keep the defaults: the weighing as the row shows it, a point, Enter, weights.
WedgeSettings ReadSettings(const std::string& file) {
    constexpr std::size_t kLongest = 256;
    const auto value = [&](const char16_t* key, const char16_t* fallback) {
        return platform::GetProfileString(u"Wedge", key, fallback, file, kLongest);
    };
    WedgeSettings s;
    const std::u16string unit = Lower(value(u"Unit", u"table"));
    s.unit = unit == u"kg" ? WedgeUnit::Kg : unit == u"lb" ? WedgeUnit::Lb : unit == u"g" ? WedgeUnit::G : unit == u"oz" ? WedgeUnit::Oz : WedgeUnit::Table;
    if (value(u"Decimal", u".") == u",") s.decimal = u',';
    s.prefix = value(u"Prefix", u"");
    s.suffix = value(u"Suffix", u"");
    const std::u16string after = Lower(value(u"After", u"Enter"));
    s.after = after == u"tab" ? platform::AfterKey::Tab : after == u"none" ? platform::AfterKey::None : platform::AfterKey::Enter;
    const std::u16string kinds = Lower(value(u"Kinds", u"weight"));
    bool weights = false, overweights = false;
    for (std::size_t start = 0; start <= kinds.size();) {
        const std::size_t end = std::min(kinds.find(u',', start), kinds.size());
        const std::u16string kind = Trimmed(std::u16string_view(kinds).substr(start, end - start));
        weights |= kind == u"weight";
        overweights |= kind == u"overweight";
        start = end + 1;
    }
    if (weights || overweights) s.weights = weights, s.overweights = overweights;
    return s;
}

// `value` with `decimals` decimals, rounded.
std::u16string Fixed(double value, int decimals) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
    return std::u16string(text, end);
}

// What the wedge types for a weighing; empty when it types nothing for it.
std::u16string TextOf(const WedgeSettings& s, const Recorded& weighing) {
    const weighing::Reading& r = weighing.reading;
    std::u16string value;
    if (r.kind == weighing::RowKind::Error) return {};
    if (r.kind == weighing::RowKind::Overweight) {
        if (!s.overweights) return {};
        value = Trimmed(weighing.data);  // the language's word, as the row shows it
    } else {
        if (!s.weights) return {};
        const int decimals = r.decimals;
        switch (s.unit) {
            case WedgeUnit::Table: value = Trimmed(weighing.data); break;
            case WedgeUnit::Kg: value = platform::Utf8ToUtf16(weighing::WeightText(r.kg, decimals, weighing::kKg)); break;
            case WedgeUnit::Lb: value = platform::Utf8ToUtf16(weighing::WeightText(r.kg, decimals, weighing::kLb)); break;
            // Grams and ounces as fine as the scale weighs: 0.001 kg is 1 g and 0.035 oz.
            case WedgeUnit::G: value = Fixed(r.kg * 1000, std::max(decimals - 3, 0)); break;
            case WedgeUnit::Oz: value = Fixed(r.kg * kOuncesPerKg, std::max(decimals - 1, 0)); break;
        }
        if (s.decimal != u'.')
            for (char16_t& c : value)
                if (c == u'.') c = s.decimal;
    }
    return s.prefix + value + s.suffix;
}

class WedgeOutlet : public WeighingOutlet {
public:
    WedgeOutlet(OutletHost& host, const WedgeSettings& settings) : host_(host), settings_(settings) {}
    ~WedgeOutlet() override {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();  // (before the typer goes: it gives the keyboard back as it was)
        }
    }

    void Started() override {
        typer_ = platform::OpenKeyTyper();
        if (!typer_) {
            host_.Tell(host_.MessageText(u"Wedge_Unavailable",
                                         "Wedge.ini turns the keyboard wedge on, but nothing can be typed here: there is no X "
                                         "display with the XTEST extension (a Wayland-only session). Weighing goes on without "
                                         "it; the README says how to run Pesavo under XWayland."));
            return;
        }
        thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
    }

    void WeighingRecorded(const Recorded& weighing) override {
        if (!typer_) return;
        std::u16string text = TextOf(settings_, weighing);
        if (text.empty()) return;
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(text));
        }
        wake_.notify_one();
    }

    std::u16string TitlePart() const override { return typer_ ? host_.MessageText(u"Wedge_On", "typing weights") : std::u16string(); }

private:
    void Run(std::stop_token stop);

    OutletHost& host_;
    const WedgeSettings settings_;
    std::unique_ptr<platform::KeyTyper> typer_;  // used on the wedge's thread once that runs
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<std::u16string> queue_;  // guarded by mutex_
    bool failureTold_ = false;          // the wedge's thread's
    std::jthread thread_;
};

void WedgeOutlet::Run(std::stop_token stop) {
    bool typed = false;  // since the keyboard was last given back
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        const auto waiting = [this] { return !queue_.empty(); };
        if (queue_.empty()) {
            if (typed && !wake_.wait_for(lock, stop, kIdle, waiting) && !stop.stop_requested()) {
                lock.unlock();
                typer_->Idle();
                lock.lock();
                typed = false;
            } else if (!typed) {
                wake_.wait(lock, stop, waiting);
            }
            continue;
        }
        const std::u16string text = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        if (!typer_->OwnWindowFocused()) {
            typed = true;
            if (!typer_->Type(text, settings_.after) && !std::exchange(failureTold_, true)) {
                host_.Post([&host = host_] {
                    host.Tell(host.MessageText(u"Wedge_Key_Failed", "A weighing could not be typed: the system refused a key. "
                                                                    "Weighing goes on, and the next weighings are typed."));
                });
            }
        }
        lock.lock();
    }
}

}  // namespace

std::unique_ptr<WeighingOutlet> MakeWedgeOutlet(OutletHost& host, const std::vector<std::string>& folders) {
    // The operator's settings folder first, then beside the program; off unless it says so.
    for (const std::string& folder : folders) {
        std::error_code ec;
        if (folder.empty() || !std::filesystem::is_regular_file(platform::Utf8Path(folder + "Wedge.ini"), ec)) continue;
        const std::string file = folder + "Wedge.ini";
        if (platform::GetProfileString(u"Wedge", u"Enabled", u"0", file, 16) != u"1") return nullptr;
        return std::make_unique<WedgeOutlet>(host, ReadSettings(file));
    }
    return nullptr;
}

}  // namespace desk
