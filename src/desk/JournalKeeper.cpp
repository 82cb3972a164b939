#include "JournalKeeper.h"

#include "CompoundFile.h"
#include "platform/Utf.h"

#include <cerrno>
#include <filesystem>

namespace desk {

JournalKeeper::Opening JournalKeeper::Open() {
    Opening result;
    if (folder_.empty()) return result;
    if (!journal::Journal::Available()) {
        off_ = true;  // this build keeps no journal: the title says so, and no box at every start
        return result;
    }
    using Status = journal::Journal::Status;
    journal::Journal::Opening opening = journal::Journal::Open(folder_);
    result.path = opening.path;
    result.movedTo = opening.movedTo;
    result.error = opening.error;
    if (opening.status == Status::InUse || !opening.journal) {
        off_ = true;
        result.told = opening.status == Status::InUse ? Opening::Told::InUse : Opening::Told::Failed;
        return result;
    }
    if (opening.status == Status::MovedAside) result.told = Opening::Told::MovedAside;
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
    if (!moves.empty()) journal_->MovesDone();
    result.rows = journal_->Rows();
    result.unit = journal_->Unit();
    return result;
}

void JournalKeeper::Follow(int unit) {
    if (!journal_) return;
    journal_->SetUnit(unit);
    table_.SetLog(off_ ? nullptr : journal_.get());
}

JournalKeeper::Committed JournalKeeper::Commit(bool synced, int unit) {
    if (!journal_) return Committed::Nothing;
    if (off_) {
        // Off after a failure: an empty table holds nothing the journal lacks, so the journal
        // starts again from empty (rows saved meanwhile must not come back at the next start).
        if (!table_.empty() || !journal_->TryAgain()) return Committed::Nothing;
        journal_->Cleared();
        journal_->MovesDone();
        journal_->SetUnit(unit);
        if (!journal_->Commit()) return Committed::Nothing;  // still failing: stays off (the operator was told)
        off_ = false;
        table_.SetLog(journal_.get());
        return Committed::BackOn;
    }
    if (journal_->Commit(synced)) return Committed::Done;
    TurnOff();
    return Committed::FailedNow;
}

void JournalKeeper::TurnOff() {
    table_.SetLog(nullptr);
    off_ = true;
}

exporter::SaveResult JournalKeeper::Recover(const std::vector<journal::StoredRow>& rows,
                                            const std::array<std::u16string, exporter::kColumns>& titles, const std::string& path) {
    std::vector<std::u16string> numbers(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) numbers[r] = weighing::NumberText(r);
    exporter::UnmovedFile unmoved;
    exporter::SaveResult saved = exporter::WriteTableWorkbook(
        path, titles, rows.size(),
        [&](std::size_t r, int c) {
            return c == weighing::kNumber ? std::u16string_view(numbers[r]) : std::u16string_view(rows[r].texts[static_cast<std::size_t>(c)]);
        },
        nullptr, {}, &unmoved);
    if (!saved.written) return saved;
    if (!On()) {
        // (nothing to note a move in)
        saved.error = cfb::MoveFileIntoPlace(unmoved.written, unmoved.target);
        saved.written = saved.error == 0;
        return saved;
    }
    std::vector<weighing::RowId> ids;
    for (const auto& row : rows) ids.push_back(row.id);
    // As a save does: noted, moved, removed.
    journal_->NoteMove({unmoved.written, unmoved.target, ids});
    saved.error = journal_->Commit() ? cfb::MoveFileIntoPlace(unmoved.written, unmoved.target) : EIO;
    saved.written = saved.error == 0;
    if (!saved.written) {
        std::error_code ec;
        std::filesystem::remove(platform::Utf8Path(unmoved.written), ec);
    }
    if (saved.written) journal_->Removed(ids);
    journal_->MovesDone();
    return saved;
}

}  // namespace desk
