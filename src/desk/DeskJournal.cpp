// The journal: opening it at start-up and offering back what an earlier run left unsaved,
// committing the table's changes at the moments they must be on disk, and going on without it —
// visibly — when it fails.
#include "Desk.h"

#include "CompoundFile.h"
#include "Journal.h"
#include "WorkbookExport.h"
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
    if (journalFolder_.empty()) return;
    if (!journal::Journal::Available()) {
        // This build keeps no journal: the title says so, and no box at every start.
        journalOff_ = true;
        ShowState();
        return;
    }
    using Status = journal::Journal::Status;
    journal::Journal::Opening opening = journal::Journal::Open(journalFolder_);
    const std::u16string path = platform::Utf8ToUtf16(opening.path);
    if (opening.status == Status::InUse) {
        journalOff_ = true;
        ShowState();
        Ask(Prompt::Notice, kOkOnly, Fill(MessageText(u"Journal_In_Use", "Another Pesavo keeps its journal in %1: the weighings of this window are "
                                                         "not journalled. Save the table regularly."),
                          path));
        return;
    }
    if (!opening.journal) {
        journalOff_ = true;
        ShowState();
        Ask(Prompt::Notice, kOkOnly, MessageText(u"Journal_Error", "The journal cannot be written: weighings are not kept safe on disk until they "
                                                   "are saved. Save the table regularly.") +
                         u"\n(" + platform::Utf8ToUtf16(opening.error) + u")");
        return;
    }
    if (opening.status == Status::MovedAside)
        Ask(Prompt::Notice, kOkOnly, Fill(MessageText(u"Journal_Moved", "The journal %1 was damaged. It was kept as %2, and a new one was started."),
                          path, platform::Utf8ToUtf16(opening.movedTo)));
    journal_ = std::move(opening.journal);
    // A save that a crash interrupted on its way into place: its file is complete, so the move is
    // finished and its rows leave the journal. (Its file is gone only when it was moved.)
    const std::vector<journal::PendingMove> moves = journal_->PendingMoves();
    for (const journal::PendingMove& move : moves) {
        bool placed;
        if (cfb::FileExists(move.temp)) {
            placed = cfb::MoveFileIntoPlace(move.temp, move.target) == 0;
            std::error_code ec;
            if (!placed) std::filesystem::remove(platform::Utf8Path(move.temp), ec);
        } else {
            // Gone from its own name: moved onto the target, if that is there. A file out of
            // reach (a stick not plugged in) is not taken for saved: its rows are offered back.
            placed = cfb::FileExists(move.target);
        }
        if (placed) journal_->Removed(move.ids);
    }
    if (!moves.empty()) {
        journal_->MovesDone();
        CommitJournal();
    }
    auto rows = std::make_shared<std::vector<journal::StoredRow>>(journal_->Rows());
    const int unit = journal_->Unit();
    // (Restored or written to a file: the scale may send that weighing again either way.)
    if (!rows->empty() && !rows->back().answered)
        scale_.Unconfirmed({rows->back().frame.begin(), rows->back().frame.end()});
    const auto follow = [this] {
        // From here on the journal follows the table.
        if (!journal_) return;
        journal_->SetUnit(unit_);
        table_.SetLog(journalOff_ ? nullptr : journal_.get());
        CommitJournal();
    };
    if (rows->empty()) {
        follow();
        return;
    }
    OfferJournalRows(rows, unit, follow);
}

void Desk::OfferJournalRows(std::shared_ptr<std::vector<journal::StoredRow>> rows, int unit, std::function<void()> then) {
    const std::u16string question =
        Fill(MessageText(u"Journal_Restore", "%1 weighings from %2 on were not saved when Pesavo last ended. Put them back into the "
                                             "table? (No: they are first written to a workbook in Pesavo's data folder.)"),
             Latin(std::to_string(rows->size())), Latin(weighing::FormatUpdateTime(rows->front().at)));
    Ask(Prompt::JournalRestore, kYesNo, question, [this, rows, unit, then](int answer) {
        // Only an explicit No sends them to a file; Esc or the box's close button puts them back.
        if (answer != kNo || !journal_) {
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
        std::array<std::u16string, exporter::kColumns> titles;
        for (int c = 0; c < exporter::kColumns; ++c) titles[static_cast<std::size_t>(c)] = titles_[static_cast<std::size_t>(c)];
        std::vector<std::u16string> numbers(rows->size());
        for (std::size_t r = 0; r < rows->size(); ++r) numbers[r] = weighing::NumberText(r);
        exporter::UnmovedFile unmoved;
        exporter::SaveResult saved = exporter::WriteTableWorkbook(path, titles, rows->size(), [&](std::size_t r, int c) {
            return c == weighing::kNumber ? std::u16string_view(numbers[r])
                                          : std::u16string_view((*rows)[r].texts[static_cast<std::size_t>(c)]);
        }, nullptr, {}, &unmoved);
        const std::u16string file = platform::Utf8ToUtf16(path);
        std::vector<weighing::RowId> ids;
        for (const auto& row : *rows) ids.push_back(row.id);
        if (saved.written) {
            // As a save does: the move is noted before it happens, so a crash right after it
            // finishes the move at the next start instead of offering these rows a second time.
            journal_->NoteMove({unmoved.written, unmoved.target, ids});
            saved.error = CommitJournal() ? cfb::MoveFileIntoPlace(unmoved.written, unmoved.target) : EIO;
            saved.written = saved.error == 0;
            if (!saved.written) {
                std::error_code ec;
                std::filesystem::remove(platform::Utf8Path(unmoved.written), ec);
            }
        }
        if (JournalOn()) {
            if (saved.written) journal_->Removed(ids);
            journal_->MovesDone();
            CommitJournal();
        }
        if (saved.written) {
            Ask(Prompt::Notice, kOkOnly, Fill(MessageText(u"Journal_Recovered", "The weighings were written to %1."), file));
            then();
            return;
        }
        Ask(Prompt::Notice, kOkOnly, Fill(MessageText(u"Journal_Recover_Failed", "The weighings could not be written to %1 (error %2). They are back "
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
        table_.SetLog(journal_.get());
        table_.RenderRows(0, table_.size(), unit, Text(u"ListCtrl_Header", u"Error_EX"), Text(u"ListCtrl_Header", u"Overweight"));
        view_.RowsChanged(0, table_.size());
    }
}

bool Desk::CommitJournal(bool synced) {
    if (!journal_) return false;
    if (journalOff_) {
        // Off after a failure: an empty table holds nothing the journal lacks, so the journal
        // starts again from empty (rows saved meanwhile must not come back at the next start).
        if (!table_.empty() || !journal_->TryAgain()) return false;
        journal_->Cleared();
        journal_->MovesDone();
        journal_->SetUnit(unit_);
        if (!journal_->Commit()) return false;  // still failing: stays off (the operator was told)
        journalOff_ = false;
        table_.SetLog(journal_.get());
        ShowState();
        return true;
    }
    if (journal_->Commit(synced)) return true;
    JournalOff(MessageText(u"Journal_Error", "The journal cannot be written: weighings are not kept safe on disk until they are "
                                             "saved. Save the table regularly.") +
               u"\n(" + platform::Utf8ToUtf16(journal_->Error()) + u")");
    return false;
}

void Desk::JournalOff(const std::u16string& why) {
    // Kept open (and held against another Pesavo) to start again once the table is empty.
    table_.SetLog(nullptr);
    journalOff_ = true;
    ShowState();
    Ask(Prompt::Notice, kOkOnly, why);  // told once, behind what is under way
}

}  // namespace desk
