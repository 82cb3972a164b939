// The journal: opening it at start-up and offering back what an earlier run left unsaved,
// committing the table's changes at the moments they must be on disk, and going on without it —
// visibly — when it fails.
#include "Desk.h"

#include "Journal.h"
#include "platform/LocalTime.h"
#include "platform/Utf.h"

#include <cerrno>
#include <ctime>
#include <filesystem>

namespace desk {

namespace {

std::u16string Latin(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

void Desk::OpenJournal() {
    JournalKeeper::Opening opening = keeper_.Open();
    ShowState();
    const std::u16string path = platform::Utf8ToUtf16(opening.path);
    using Told = JournalKeeper::Opening::Told;
    if (opening.told == Told::InUse) {
        Ask(Prompt::Notice, kOkOnly,
            Fill(MessageText(u"Journal_In_Use", "Another Pesavo keeps its journal in %1: the weighings of this window are "
                                                "not journalled. Save the table regularly."),
                 path));
        return;
    }
    if (opening.told == Told::Failed) {
        Ask(Prompt::Notice, kOkOnly,
            MessageText(u"Journal_Error", "The journal cannot be written: weighings are not kept safe on disk until they "
                                          "are saved. Save the table regularly.") +
                u"\n(" + platform::Utf8ToUtf16(opening.error) + u")");
        return;
    }
    if (!keeper_.Get()) return;
    if (opening.told == Told::MovedAside)
        Ask(Prompt::Notice, kOkOnly,
            Fill(MessageText(u"Journal_Moved", "The journal %1 was damaged. It was kept as %2, and a new one was started."), path,
                 platform::Utf8ToUtf16(opening.movedTo)));
    CommitJournal();  // (the moves a crash interrupted, finished)
    auto rows = std::make_shared<std::vector<journal::StoredRow>>(std::move(opening.rows));
    // (Restored or written to a file: the scale may send that weighing again either way.)
    if (!rows->empty() && !rows->back().answered) scale_.Unconfirmed(rows->back().frame);
    const auto follow = [this] {
        // From here on the journal follows the table.
        keeper_.Follow(unit_);
        CommitJournal();
    };
    if (rows->empty()) {
        follow();
        return;
    }
    OfferJournalRows(rows, opening.unit, follow);
}

void Desk::OfferJournalRows(std::shared_ptr<std::vector<journal::StoredRow>> rows, int unit, std::function<void()> then) {
    const std::u16string question =
        Fill(MessageText(u"Journal_Restore", "%1 weighings from %2 on were not saved when Pesavo last ended. Put them back into the "
                                             "table? (No: they are first written to a workbook in Pesavo's data folder.)"),
             Latin(std::to_string(rows->size())), Latin(weighing::FormatUpdateTime(rows->front().at)));
    Ask(Prompt::JournalRestore, kYesNo, question, [this, rows, unit, then](int answer) {
        // Only an explicit No sends them to a file; Esc or the box's close button puts them back.
        if (answer != kNo || !keeper_.Get()) {
            RestoreJournalRows(*rows, unit);
            then();
            return;
        }
        // Kept in a file before they leave the journal: a No never loses a weighing.
        char name[96] = "RecoveredTable";
        std::tm local{};
        if (platform::ToLocalTime(static_cast<std::time_t>(now_()), local))
            std::strftime(name, sizeof name, "RecoveredTable-%Y-%m-%d-%H-%M-%S", &local);
        const std::string path = journalFolder_ + platform::kPathSeparator + name + ".xls";
        const exporter::SaveResult saved = keeper_.Recover(*rows, languages_.Titles(), path);
        CommitJournal();
        const std::u16string file = platform::Utf8ToUtf16(path);
        if (saved.written) {
            Ask(Prompt::Notice, kOkOnly, Fill(MessageText(u"Journal_Recovered", "The weighings were written to %1."), file));
            then();
            return;
        }
        Ask(Prompt::Notice, kOkOnly,
            Fill(MessageText(u"Journal_Recover_Failed", "The weighings could not be written to %1 (error %2). They are back "
                                                        "in the table: save them from there."),
                 file, Latin(std::to_string(saved.error))));
        RestoreJournalRows(*rows, unit);
        then();
    });
}

void Desk::RestoreJournalRows(const std::vector<journal::StoredRow>& rows, int unit) {
    const std::size_t first = table_.size();
    bool mixed = false;  // a unit change was under way: some rows still show the unit before it
    const std::u16string unitText = Latin(weighing::UnitText(unit));
    for (const journal::StoredRow& row : rows) {
        weighing::RowTexts texts;
        for (int c = 0; c < weighing::kColumns; ++c) texts[static_cast<std::size_t>(c)] = row.texts[static_cast<std::size_t>(c)];
        const std::u16string number = weighing::NumberText(table_.size());
        texts[weighing::kNumber] = number;
        table_.Restore(row.id, texts, row.reading);  // (a row whose identity does not ascend is left out)
        mixed = mixed || row.texts[weighing::kUnit] != unitText;
    }
    if (table_.size() > first) view_.RowsInserted(first, table_.size() - first);
    unit_ = unit;
    ShowState();
    if (mixed) {
        // Every row in the one unit the journal last recorded (the log follows from here on).
        table_.SetLog(keeper_.Get());
        table_.RenderRows(0, table_.size(), unit, Text(u"ListCtrl_Header", u"Error_EX"), Text(u"ListCtrl_Header", u"Overweight"));
        view_.RowsChanged(0, table_.size());
    }
}

bool Desk::CommitJournal(bool synced) {
    switch (keeper_.Commit(synced, unit_)) {
        case JournalKeeper::Committed::Done: return true;
        case JournalKeeper::Committed::Nothing: return false;
        case JournalKeeper::Committed::BackOn: ShowState(); return true;
        case JournalKeeper::Committed::FailedNow: break;
    }
    ShowState();
    // Told once, behind what is under way.
    Ask(Prompt::Notice, kOkOnly,
        MessageText(u"Journal_Error", "The journal cannot be written: weighings are not kept safe on disk until they are "
                                      "saved. Save the table regularly.") +
            u"\n(" + platform::Utf8ToUtf16(keeper_.Error()) + u")");
    return false;
}

}  // namespace desk
