#pragma once
// Where a weighing goes besides the table: the site's database, and others beside it. Each
// outlet is told of every weighing the desk records, after the row is in the journal and its
// answer is on its way to the scale, on the desk's thread; it never makes the desk wait (its own
// work goes to a thread of its own), and it may add a part to the window's title.
#include "MeasurementTable.h"
#include "Questions.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace journal {
class Journal;
}

namespace desk {

// A weighing as the desk recorded it.
struct Recorded {
    weighing::RowId id = 0;
    std::size_t row = 0;  // its position in the table now
    weighing::Reading reading;
    const std::vector<std::uint8_t>& raw;  // the bytes it came from
    std::int64_t at = 0;                   // seconds since 1970
    bool maybeRepeat = false;
    std::u16string_view data, unit;        // its Data and Unit texts as the row shows them
};

// What the desk shows the operator, for outlets that tell others: told after every change of it
// (and once at the start), possibly more often.
struct DeskPicture {
    bool connected = false;
    int port = 0;       // COM<port> while connected
    std::string scale;  // the connected kind's name ("frame6", "sics", ...)
    int unit = 0;       // the table's unit (weighing::kKg, kLb, kLbOz)
    std::u16string errorText, overweightText;  // what error and overweight rows show
};

// What an outlet may use of the desk. Every call on the desk's thread.
class OutletHost {
public:
    virtual ~OutletHost() = default;
    virtual journal::Journal* Journal() = 0;  // null without one; it may be off (JournalOn)
    virtual bool JournalOn() const = 0;
    // Commits the journal's changes (false once it failed: the operator is told).
    virtual bool CommitJournal(bool synced) = 0;
    virtual void Tell(std::u16string text) = 0;
    virtual std::u16string MessageText(const char16_t* key, const char* english) const = 0;
    // A text of the current language's `section` (empty when missing).
    virtual std::u16string Text(const char16_t* section, const char16_t* key) const = 0;
    // The title changed: the view is shown it.
    virtual void TitleChanged() = 0;
    // Runs `fn` later on the desk's thread; never once the desk is gone. From any thread.
    virtual void Post(std::function<void()> fn) = 0;
    virtual std::int64_t Now() const = 0;
    virtual std::chrono::steady_clock::time_point Clock() const = 0;
};

class WeighingOutlet {
public:
    virtual ~WeighingOutlet() = default;
    // The desk's start, once the journal is open and its rows are back.
    virtual void Started() {}
    virtual void WeighingRecorded(const Recorded& weighing) = 0;
    virtual void Shown(const DeskPicture&) {}
    // Every weight a scale that reports its live weight shows (kg as in a row's reading).
    virtual void LiveWeight(const weighing::Reading&, bool /*stable*/) {}
    // What it adds to the title (empty: nothing).
    virtual std::u16string TitlePart() const { return {}; }
    // A web page that shows it (with what opening it needs); empty: none.
    virtual std::string PageAddress() const { return {}; }
};

// The site's database, when Site.ini names one (null otherwise, and in a build without a client).
std::unique_ptr<WeighingOutlet> MakeSiteOutlet(OutletHost& host, const std::vector<std::string>& folders);
// The keyboard wedge, when a Wedge.ini turns it on (null otherwise).
std::unique_ptr<WeighingOutlet> MakeWedgeOutlet(OutletHost& host, const std::vector<std::string>& folders);

// The local weight service, when Service.ini names a port (null otherwise, and in a build
// without a server library). Its live page's files are in `pageFolder`.
std::unique_ptr<WeighingOutlet> MakeServiceOutlet(OutletHost& host, const std::vector<std::string>& folders,
                                                  const std::string& pageFolder);

}  // namespace desk
