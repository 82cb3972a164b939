#pragma once
// The desk's journal: opened at the start (finishing a save's move that a crash interrupted),
// following the table as its log, committed at the moments the desk says, off — visibly — after
// a failure and on again once the table is empty, and the way rows of an earlier run go to a
// recovery workbook without ever being offered twice.
#include "Journal.h"
#include "MeasurementTable.h"
#include "WorkbookExport.h"

#include <memory>
#include <string>
#include <vector>

namespace desk {

class JournalKeeper {
public:
    // `folder` empty: no journal at all.
    JournalKeeper(std::string folder, weighing::MeasurementTable& table) : folder_(std::move(folder)), table_(table) {}

    // What opening it came to, for the operator.
    struct Opening {
        enum class Told { Nothing, InUse, Failed, MovedAside } told = Told::Nothing;
        std::string path, movedTo, error;
        std::vector<journal::StoredRow> rows;  // what an earlier run left unsaved
        int unit = 0;                          // the unit they were shown in
    };
    Opening Open();

    journal::Journal* Get() const { return journal_.get(); }  // null without one
    bool On() const { return journal_ != nullptr && !off_; }
    bool Off() const { return off_; }  // a journal was wanted and does not keep the rows
    // From here on the journal follows the table, shown in `unit`.
    void Follow(int unit);

    enum class Committed {
        Done,
        Nothing,     // no journal, or off and the table not yet empty (or still failing)
        BackOn,      // it was off and starts again from the empty table
        FailedNow,   // it failed now and is off from here on: the operator is to be told (Error)
    };
    Committed Commit(bool synced, int unit);
    std::string Error() const { return journal_ ? journal_->Error() : std::string(); }
    // Off from now on (kept open and held against another Pesavo, to start again once the table
    // is empty).
    void TurnOff();

    // Writes rows of an earlier run to a workbook at `path` and takes them out of the journal:
    // the move into place is noted before it happens, so a crash right after it finishes the
    // move at the next start instead of offering the rows again.
    exporter::SaveResult Recover(const std::vector<journal::StoredRow>& rows,
                                 const std::array<std::u16string, exporter::kColumns>& titles, const std::string& path);

private:
    const std::string folder_;
    weighing::MeasurementTable& table_;
    std::unique_ptr<journal::Journal> journal_;
    bool off_ = false;
};

}  // namespace desk
