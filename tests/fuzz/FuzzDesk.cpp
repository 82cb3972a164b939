// Bytes from a connected scale, in pieces of any size and at any pace, go through the desk as the
// program takes them: every row gets one 0x9F and every 0x9F a row; whole frames cut anywhere by
// the line, each arriving within the wait for its rest, all become rows, in order, never 0xF9.
#include "Desk.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

struct Heard {
    std::vector<std::uint8_t> bytes;
};

class Line : public desk::Line {
public:
    explicit Line(Heard& heard) : heard_(heard) {}
    int PortCount() override { return 1; }
    int PortAt(int) override { return 1; }
    bool Open(int, const serial::LineUse&, serial::OpenFailure&) override { return true; }
    void Send(const std::vector<std::uint8_t>& bytes) override { heard_.bytes.insert(heard_.bytes.end(), bytes.begin(), bytes.end()); }
    void Release() override {}
    std::uint64_t Queue(std::uint8_t byte) override {
        heard_.bytes.push_back(byte);
        return heard_.bytes.size();
    }
    bool Written(std::uint64_t) override { return true; }
    void StopAfterQueued(bool) override {}
    bool WaitForSent(std::chrono::milliseconds) override { return true; }
    bool ListPorts() override { return true; }
    std::vector<Port> Ports() override { return {{1, "fuzz"}}; }
    std::string CommErrorText(const char*, int) override { return {}; }
    void Shutdown() override {}

private:
    Heard& heard_;
};

// A window that shows nothing and answers nothing; what the desk posts runs when pumped.
class View : public desk::View {
public:
    std::deque<std::function<void()>> posted;
    void Post(std::function<void()> fn) override { posted.push_back(std::move(fn)); }
    void StartTimer(int) override {}
    void RowsInserted(std::size_t, std::size_t) override {}
    void RowsRemoved(std::size_t, std::size_t) override {}
    void RowsChanged(std::size_t, std::size_t) override {}
    void RowsReset() override {}
    void TitlesChanged() override {}
    void ShowTexts() override {}
    void ShowState(const desk::State&) override {}
    void ShowPorts(const std::u16string&, const std::vector<desk::PortItem>&) override {}
    void ShowLanguages(const std::vector<std::u16string>&, const std::vector<std::string>&, int) override {}
    void Ask(const desk::Question&) override {}
    void AskSavePath(const std::string&, const std::string&) override {}
    void ShowProgress(const std::u16string&, const std::u16string&) override {}
    void HideProgress() override {}
    void Close() override {}
    void Pump() {
        while (!posted.empty()) {
            auto fn = std::move(posted.front());
            posted.pop_front();
            fn();
        }
    }
};

std::array<std::uint8_t, 6> Weighing(std::uint32_t count) {
    std::array<std::uint8_t, 6> f{0x5F, 0x02, static_cast<std::uint8_t>(count >> 16), static_cast<std::uint8_t>(count >> 8),
                                  static_cast<std::uint8_t>(count), 0};
    f[5] = f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4];
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool wholeFrames = in.ConsumeBool();
    Heard heard;
    View view;
    auto now = std::chrono::steady_clock::time_point{};
    desk::Options options;
    options.places.folder = (std::filesystem::temp_directory_path() / "pesavo-fuzz-desk-none").string() + "/";
    options.clock = [&now] { return now; };
    options.now = [] { return std::int64_t{1765000000}; };
    desk::Desk desk(view, options, std::make_unique<Line>(heard));
    Require(desk.ShowConnected({}), "the desk did not take the connection");

    // The line's bytes: arbitrary, or whole frames (some overweight) that the line cuts anywhere.
    std::vector<std::uint8_t> bytes;
    std::size_t frames = 0;
    if (wholeFrames) {
        frames = in.ConsumeIntegralInRange<std::size_t>(0, 200);
        for (std::size_t i = 0; i < frames; ++i) {
            auto f = Weighing(in.ConsumeIntegral<std::uint16_t>());
            if (in.ConsumeIntegralInRange(0, 9) == 0) f = {0x3F, 0, 0, 0, 0, 0};
            bytes.insert(bytes.end(), f.begin(), f.end());
        }
    } else {
        bytes = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 600));
    }
    std::vector<std::chrono::steady_clock::time_point> began((bytes.size() + 5) / 6);  // each frame's first byte
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t piece = std::min(bytes.size() - at, in.ConsumeIntegralInRange<std::size_t>(1, 20));
        auto gap = std::chrono::milliseconds(in.ConsumeIntegralInRange(0, 400));
        if (wholeFrames && at % 6 != 0) {
            // Inside a frame the line may pause, but its rest comes within the wait for it.
            const auto left = began[at / 6] + std::chrono::milliseconds(199) - now;
            gap = std::min(gap, std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(left)));
        }
        now += gap;
        for (std::size_t b = at; b < at + piece; ++b)
            if (b % 6 == 0) began[b / 6] = now;
        desk.OnSerialData(bytes.data() + at, piece);
        at += piece;
        if (in.ConsumeBool()) desk.OnTimer();  // a timer may fire at any moment
        view.Pump();
    }
    now += std::chrono::milliseconds(1000);
    desk.OnTimer();  // whatever was begun is judged
    view.Pump();

    std::size_t acks = 0, asks = 0;
    for (std::uint8_t b : heard.bytes) {
        acks += b == 0x9F;
        asks += b == 0xF9;
    }
    Require(acks == desk.Table().size(), "a row without its answer, or an answer without its row");
    if (wholeFrames) {
        Require(asks == 0, "a whole frame cut by the line was asked again");
        Require(desk.Table().size() == frames, "a whole frame cut by the line was lost or doubled");
        for (std::size_t r = 0; r < desk.Table().size(); ++r)
            Require(desk.Table().ReadingAt(r).kind != weighing::RowKind::Error, "a whole frame became an error row");
    }
    return 0;
}
