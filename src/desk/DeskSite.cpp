// The site's database: with a Site.ini ([Site] Database= a libpq connection string, Desk= this
// desk's name), every weighing the journal commits also waits in its outbox until the site has
// it. A sender thread takes the outbox a batch at a time; the desk only hands batches over and
// takes the answers, so the scale never waits for the network, and a server that is down,
// restarting or refusing costs nothing but a note in the title (and one notice).
#include "Desk.h"

#include "Journal.h"
#include "platform/ProfileFile.h"
#include "platform/Utf.h"
#ifdef PESAVO_SITE
#include "Sender.h"
#ifndef _WIN32
#include <unistd.h>
#endif
#endif

#include <cstdlib>
#include <filesystem>
#include <random>

namespace desk {

#ifndef PESAVO_SITE

void Desk::OpenSite() {}  // (this build has no site client)
void Desk::SiteRowAdded(weighing::RowId, const weighing::Reading&, const std::uint8_t*, bool) {}

#else

namespace {

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

}  // namespace

void Desk::OpenSite() {
    // The operator's settings folder first (IT's choice), then beside the program.
    std::string file;
    for (const std::string& folder : {places_.userSettings, places_.folder}) {
        std::error_code ec;
        if (!folder.empty() && std::filesystem::is_regular_file(platform::Utf8Path(folder + "Site.ini"), ec)) {
            file = folder + "Site.ini";
            break;
        }
    }
    if (file.empty()) return;
    // Read whole: a connection string cut short may lose what it says last (sslmode=...), and
    // two long desk names cut alike would become one.
    constexpr std::size_t kLongest = 4096;
    const std::u16string database16 = platform::GetProfileString(u"Site", u"Database", u"", file, kLongest);
    const std::u16string name16 = platform::GetProfileString(u"Site", u"Desk", u"", file, kLongest);
    if (database16.empty()) return;
    if (database16.size() >= kLongest - 1 || name16.size() >= kLongest - 1) {
        Ask(kOkOnly, Fill(MessageText(u"Site_Refused", "The site database refused Pesavo: %1. Weighing goes on; the weighings wait "
                                                       "on this desk until the site's settings are mended."),
                          u"Site.ini holds a value longer than 4,094 characters"));
        return;
    }
    const std::string database = platform::Utf16ToUtf8(database16);
    std::string name = platform::Utf16ToUtf8(name16);
    if (!JournalOn()) {
        // Without a journal there is no outbox that outlives a crash: nothing goes to the site.
        Ask(kOkOnly, MessageText(u"Site_No_Journal", "This desk keeps no journal, so its weighings are not sent to the site."));
        return;
    }
    if (name.empty()) name = HostName();
    siteRun_ = NewRun(now_());
    siteDesk_ = name;
    journal_->KeepForSite(siteRun_, siteDesk_);
    site_ = std::make_shared<site::Sender>(database, name);
    // At once, even with nothing waiting: the title says whether the site takes the weighings,
    // and a refusal is told before the first parcel.
    FeedSite(true);
}

void Desk::SiteRowAdded(weighing::RowId id, const weighing::Reading& reading, const std::uint8_t* frame, bool maybeRepeat) {
    if (!site_) return;
    if (journalOff_) {
        // Not in the journal's outbox: the row waits for the site here (lost only with the
        // program, like the table's rows while the journal is off).
        journal::OutboxRow row{siteRun_, id, reading, {}, now_(), maybeRepeat, siteDesk_};
        row.frame.assign(frame, frame + 6);  // (a six-byte frame)
        siteHeld_.push_back(std::move(row));
    }
    // While a batch is on its way (or waits for the server to come back) the new row is
    // counted without asking the journal; the title shows the count only while the site is
    // out of reach or far behind.
    ++siteWaiting_;
    if (!siteBusy_)
        FeedSite();
    else if (siteAnswered_ && !(siteConnected_ && siteWaiting_ < std::int64_t{kSiteBatch}))
        ShowSiteState();
}

void Desk::FeedSite(bool evenEmpty) {
    if (!site_ || siteBusy_) return;
    // The rows held in memory first (the journal is off, or was); then the journal's outbox.
    std::vector<journal::OutboxRow> rows;
    const bool held = !siteHeld_.empty();
    if (held)
        rows.assign(siteHeld_.begin(), siteHeld_.begin() + static_cast<std::ptrdiff_t>(std::min(siteHeld_.size(), kSiteBatch)));
    else if (JournalOn())
        rows = journal_->Outbox(kSiteBatch);
    if (JournalOn()) siteWaiting_ = journal_->OutboxSize() + static_cast<std::int64_t>(siteHeld_.size());
    ShowSiteState();
    if (rows.empty() && !evenEmpty) return;
    std::vector<site::Weighing> batch;
    batch.reserve(rows.size());
    for (const journal::OutboxRow& row : rows) {
        site::Weighing w;
        w.run = row.run;
        w.rowId = static_cast<std::int64_t>(row.id);
        w.kind = static_cast<site::RowKind>(row.reading.kind);
        if (row.reading.kind != weighing::RowKind::Error) w.kg = row.reading.kg;
        if (row.reading.kind == weighing::RowKind::Weight) w.widthCode = weighing::WidthCode(row.reading.kg, row.reading.decimals);
        w.frame = row.frame;
        w.at = row.at;
        w.maybeRepeat = row.maybeRepeat;
        w.desk = row.desk;
        batch.push_back(std::move(w));
    }
    const bool backlog = siteWaiting_ > static_cast<std::int64_t>(batch.size());
    siteBusy_ = site_->Send(
        std::move(batch),
        [this, rows = std::move(rows), held](const site::Result& result) {
            PostSafe([this, rows, held, result] { SiteAnswered(rows, held, result); });
        },
        backlog);
}

void Desk::SiteAnswered(const std::vector<journal::OutboxRow>& rows, bool held, const site::Result& result) {
    siteBusy_ = false;
    siteAnswered_ = true;
    siteConnected_ = result.kind == site::Result::Kind::Sent;
    if (siteConnected_) {
        // The site has them: they leave the outbox (and nothing else of the journal changes).
        // Not synced: a power cut that undoes it only sends them again, and the site ignores
        // rows it has.
        if (held) {
            siteHeld_.erase(siteHeld_.begin(), siteHeld_.begin() + static_cast<std::ptrdiff_t>(rows.size()));
            siteWaiting_ -= static_cast<std::int64_t>(rows.size());
        } else if (!rows.empty() && JournalOn()) {
            journal_->SentToSite(rows);
            CommitJournal(false);
        }
        siteDownSince_.reset();
        siteDownTold_ = siteRefusedTold_ = false;
    } else if (result.kind == site::Result::Kind::Refused) {
        if (!std::exchange(siteRefusedTold_, true))
            Ask(kOkOnly, Fill(MessageText(u"Site_Refused", "The site database refused Pesavo: %1. Weighing goes on; the weighings wait "
                                                           "on this desk until the site's settings are mended."),
                              platform::Utf8ToUtf16(result.message)));
    } else {
        const auto now = clock_();
        if (!siteDownSince_) siteDownSince_ = now;
        if (now - *siteDownSince_ >= kDownNotice && !std::exchange(siteDownTold_, true))
            Ask(kOkOnly, MessageText(u"Site_Unreachable", "The site database has been out of reach for a while. Weighing goes on; "
                                                          "the weighings wait on this desk and are sent when it is back."));
    }
    ShowSiteState();
    FeedSite();
}

void Desk::ShowSiteState() {
    std::u16string title = UpdateTitle();
    if (title == siteTitle_) return;
    siteTitle_ = std::move(title);
    ShowState();
}

#endif

}  // namespace desk
