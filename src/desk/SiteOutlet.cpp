// The site's database: with a Site.ini ([Site] Database= a libpq connection string, Desk= this
// desk's name), every weighing the journal commits also waits in its outbox until the site has
// it. A sender thread takes the outbox a batch at a time; the outlet only hands batches over and
// takes the answers, so the scale never waits for the network, and a server that is down,
// restarting or refusing costs nothing but a note in the title (and one notice).
#include "Outlet.h"

#include "Journal.h"
#include "Sender.h"
#include "platform/ProfileFile.h"
#include "platform/Utf.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>

namespace desk {

namespace {

constexpr std::size_t kBatch = 500;
constexpr auto kDownNotice = std::chrono::seconds(60);  // down that long: the operator hears once

// This start's own name among the desk's runs: the time and some random digits.
std::string NewRun(std::int64_t now) {
    std::random_device random;
    char text[48];
    std::snprintf(text, sizeof text, "%lld-%08x%08x", static_cast<long long>(now), random(), random());
    return text;
}

std::string HostName() {
#ifdef _WIN32
    const char* name = std::getenv("COMPUTERNAME");  // (Windows names every process's computer there)
    return name && *name ? name : "desk";
#else
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? name : "desk";
#endif
}

class SiteOutlet : public WeighingOutlet {
public:
    SiteOutlet(OutletHost& host, std::string file) : host_(host), file_(std::move(file)) {}
    ~SiteOutlet() override { sender_.reset(); }  // (its thread posts to the desk)

    void Started() override;
    void WeighingRecorded(const Recorded& weighing) override;
    std::u16string TitlePart() const override;

private:
    void Feed(bool evenEmpty = false);
    void Answered(const std::vector<journal::OutboxRow>& rows, bool held, const site::Result& result);
    void ShowState();
    std::u16string Refused(const std::u16string& why) const {
        return Fill(host_.MessageText(u"Site_Refused", "The site database refused Pesavo: %1. Weighing goes on; the weighings "
                                                       "wait on this desk until the site's settings are mended."),
                    why);
    }

    OutletHost& host_;
    const std::string file_;
    std::shared_ptr<site::Sender> sender_;
    std::string run_, desk_;
    // Rows weighed while the journal is off: they wait for the site here, in memory only.
    std::vector<journal::OutboxRow> held_;
    bool busy_ = false, answered_ = false, connected_ = false, refusedTold_ = false, downTold_ = false;
    std::u16string shown_;  // the title part last shown
    std::int64_t waiting_ = 0;
    std::optional<std::chrono::steady_clock::time_point> downSince_;
};

void SiteOutlet::Started() {
    // Read whole: a connection string cut short may lose what it says last (sslmode=...), and
    // two long desk names cut alike would become one.
    constexpr std::size_t kLongest = 4096;
    const std::u16string database16 = platform::GetProfileString(u"Site", u"Database", u"", file_, kLongest);
    const std::u16string name16 = platform::GetProfileString(u"Site", u"Desk", u"", file_, kLongest);
    if (database16.empty()) return;
    if (database16.size() >= kLongest - 1 || name16.size() >= kLongest - 1) {
        host_.Tell(Refused(u"Site.ini holds a value longer than 4,094 characters"));
        return;
    }
    const std::string database = platform::Utf16ToUtf8(database16);
    std::string name = platform::Utf16ToUtf8(name16);
    if (!host_.JournalOn()) {
        // Without a journal there is no outbox that outlives a crash: nothing goes to the site.
        host_.Tell(host_.MessageText(u"Site_No_Journal", "This desk keeps no journal, so its weighings are not sent to the site."));
        return;
    }
    if (name.empty()) name = HostName();
    run_ = NewRun(host_.Now());
    desk_ = name;
    host_.Journal()->KeepForSite(run_, desk_);
    sender_ = std::make_shared<site::Sender>(database, name);
    // At once, even with nothing waiting: the title says whether the site takes the weighings,
    // and a refusal is told before the first parcel.
    Feed(true);
}

void SiteOutlet::WeighingRecorded(const Recorded& weighing) {
    if (!sender_) return;
    if (!host_.JournalOn()) {
        // Not in the journal's outbox: the row waits for the site here (lost only with the
        // program, like the table's rows while the journal is off).
        held_.push_back({run_, weighing.id, weighing.reading, weighing.raw, weighing.at, weighing.maybeRepeat, desk_});
    }
    // While a batch is on its way (or waits for the server to come back) the new row is
    // counted without asking the journal; the title shows the count only while the site is
    // out of reach or far behind.
    ++waiting_;
    if (!busy_)
        Feed();
    else if (answered_ && !(connected_ && waiting_ < std::int64_t{kBatch}))
        ShowState();
}

void SiteOutlet::Feed(bool evenEmpty) {
    if (!sender_ || busy_) return;
    // The rows held in memory first (the journal is off, or was); then the journal's outbox.
    std::vector<journal::OutboxRow> rows;
    const bool held = !held_.empty();
    if (held)
        rows.assign(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(std::min(held_.size(), kBatch)));
    else if (host_.JournalOn())
        rows = host_.Journal()->Outbox(kBatch);
    if (host_.JournalOn()) waiting_ = host_.Journal()->OutboxSize() + static_cast<std::int64_t>(held_.size());
    ShowState();
    if (rows.empty() && !evenEmpty) return;
    std::vector<site::Weighing> batch;
    batch.reserve(rows.size());
    for (const journal::OutboxRow& row : rows) {
        site::Weighing w;
        w.run = row.run;
        w.rowId = static_cast<std::int64_t>(row.id);
        w.kind = static_cast<site::RowKind>(row.reading.kind);
        if (row.reading.kind != weighing::RowKind::Error) w.kg = row.reading.kg;
        // (the site keeps how the weight was shown in the packing of three widths it always had)
        if (row.reading.kind == weighing::RowKind::Weight) w.widthCode = weighing::WidthCode(row.reading.kg, row.reading.decimals);
        w.frame = row.frame;
        w.at = row.at;
        w.maybeRepeat = row.maybeRepeat;
        w.desk = row.desk;
        batch.push_back(std::move(w));
    }
    const bool backlog = waiting_ > static_cast<std::int64_t>(batch.size());
    busy_ = sender_->Send(
        std::move(batch),
        [this, rows = std::move(rows), held](const site::Result& result) {
            host_.Post([this, rows, held, result] { Answered(rows, held, result); });
        },
        backlog);
}

void SiteOutlet::Answered(const std::vector<journal::OutboxRow>& rows, bool held, const site::Result& result) {
    busy_ = false;
    answered_ = true;
    connected_ = result.kind == site::Result::Kind::Sent;
    if (connected_) {
        // The site has them: they leave the outbox (and nothing else of the journal changes).
        // Not synced: a power cut that undoes it only sends them again, and the site ignores
        // rows it has.
        if (held) {
            held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(rows.size()));
            waiting_ -= static_cast<std::int64_t>(rows.size());
        } else if (!rows.empty() && host_.JournalOn()) {
            host_.Journal()->SentToSite(rows);
            host_.CommitJournal(false);
        }
        downSince_.reset();
        downTold_ = refusedTold_ = false;
    } else if (result.kind == site::Result::Kind::Refused) {
        if (!std::exchange(refusedTold_, true)) host_.Tell(Refused(platform::Utf8ToUtf16(result.message)));
    } else {
        const auto now = host_.Clock();
        if (!downSince_) downSince_ = now;
        if (now - *downSince_ >= kDownNotice && !std::exchange(downTold_, true))
            host_.Tell(host_.MessageText(u"Site_Unreachable", "The site database has been out of reach for a while. Weighing goes "
                                                              "on; the weighings wait on this desk and are sent when it is back."));
    }
    ShowState();
    Feed();
}

std::u16string SiteOutlet::TitlePart() const {
    if (!sender_) return {};
    // Everything there, or how many weighings wait on this desk.
    const std::string digits = std::to_string(waiting_);
    std::u16string count;  // with thousands separated: 1,234
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) count += u',';
        count += static_cast<char16_t>(digits[i]);
    }
    // A connected site takes what waits a batch at a time: the count matters only when more
    // than one batch waits (and the title does not flicker with every weighing).
    return !answered_                                           ? host_.MessageText(u"Site_Connecting", "site: connecting...")
           : connected_ && waiting_ < std::int64_t{kBatch} ? host_.MessageText(u"Site_Connected", "site: connected")
                                                             : Fill(host_.MessageText(u"Site_Waiting", "site: %1 waiting"), count);
}

void SiteOutlet::ShowState() {
    std::u16string part = TitlePart();
    if (part == shown_) return;
    shown_ = std::move(part);
    host_.TitleChanged();
}

}  // namespace

std::unique_ptr<WeighingOutlet> MakeSiteOutlet(OutletHost& host, const std::vector<std::string>& folders) {
    // The operator's settings folder first (IT's choice), then beside the program.
    for (const std::string& folder : folders) {
        std::error_code ec;
        if (!folder.empty() && std::filesystem::is_regular_file(platform::Utf8Path(folder + "Site.ini"), ec))
            return std::make_unique<SiteOutlet>(host, folder + "Site.ini");
    }
    return nullptr;
}

}  // namespace desk
