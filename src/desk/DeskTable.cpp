// Whole-table jobs — the display-unit change and the save to an .xls workbook — and Clear. One
// job at a time owns the table: meanwhile rows are only appended (frames keep coming); Save,
// Clear, the units and Apply are refused, and closing, disconnecting and the automatic save of a
// full table are held until the job has ended.
#include "Desk.h"

#include "CompoundFile.h"
#include "Journal.h"
#include "Notices.h"
#include "WorkbookExport.h"
#include "platform/Folder.h"
#include "platform/Utf.h"

#include <cerrno>
#include <filesystem>

namespace desk {

namespace {

constexpr std::size_t kChunkRows = 1000;  // a unit change renders this many rows per step

}  // namespace

void Desk::RemoveRows(const std::vector<weighing::RowId>& ids) {
    const auto runs = table_.RunsOf(ids);  // last run first, so earlier positions stay put
    if (runs.empty()) return;
    for (const auto& [first, count] : runs) {
        table_.Erase(first, count);
        view_.RowsRemoved(first, count);
    }
    // The rows left are numbered from 1 again.
    const std::size_t from = runs.back().first;
    table_.Renumber(from);
    if (from < table_.size()) view_.RowsChanged(from, table_.size());
}

void Desk::FinishJob(int mode, std::u16string message) {
    progress_ = -1;
    view_.HideProgress();
    heldWork_.JobEnded(mode, std::move(message));
    RequestPending();  // the job's end is taken up when nothing else is open
}

// ---- Clear ----

void Desk::OnClearData() {
    if (rules_.Busy() || closing_) return;  // the button is disabled meanwhile: the job owns the table
    // A table that filled up carries on with the scale once it is empty again.
    const auto takeUpTheScale = [this] {
        if (!rules_.TakesUpTheScale(table_.size())) return;
        SetupTable();
        rules_.NewConnection();
        link_.Reconnect();  // the port that was connected last, checked as if chosen by hand
    };
    // The rows the question is about: weighings that arrive while it is open are not the
    // operator's to discard unseen.
    const std::vector<weighing::RowId> asked = table_.Ids();
    if (asked.empty()) {
        takeUpTheScale();
        return;
    }
    Ask(Prompt::ClearData, kYesNo, Text(u"Message", u"Clear_Data"), [this, asked, takeUpTheScale](int answer) {
        if (answer == kYes && !rules_.Busy() && !closing_) {
            RemoveRows(asked);
            CommitJournal();
            SetupTable();
        }
        takeUpTheScale();
    });
}

// ---- the unit change ----

void Desk::OnUnit(int unit) {
    if (unit == unit_ || closing_ || unit < weighing::kKg || unit > weighing::kLbOz) return;
    if (!rules_.Begin(weighing::TableJob::Conversion)) {
        ShowState();  // another job owns the table: the unit shown stays
        return;
    }
    ShowState();
    progress_ = 0;
    view_.ShowProgress(Text(u"Progress", u"Change_Caption"), Text(u"Progress", u"Change_Display"));
    const std::size_t rows = table_.size();
    const std::uint64_t job = ++jobNumber_;
    // In steps on the view's thread: frames that arrive meanwhile are taken between them.
    PostSafe([this, unit, rows, job] { ConvertChunk(unit, 0, rows, job); });
}

void Desk::ConvertChunk(int unit, std::size_t next, std::size_t rows, std::uint64_t job) {
    if (job != jobNumber_) return;
    // Read at each step: the language cannot change while the job runs.
    const std::u16string error = Text(u"ListCtrl_Header", u"Error_EX"), overweight = Text(u"ListCtrl_Header", u"Overweight");
    const std::size_t end = std::min({next + kChunkRows, rows, table_.size()});
    if (next < end) {
        table_.RenderRows(next, end, unit, error, overweight);
        view_.RowsChanged(next, end);
        progress_ += static_cast<int>((end - next) * 1000000 / (rows + 1));
    }
    if (end < rows && end < table_.size()) {
        PostSafe([this, unit, end, rows, job] { ConvertChunk(unit, end, rows, job); });
        return;
    }
    // Rows that arrived meanwhile were rendered in the old unit: bring them over, then switch.
    if (end < table_.size()) {
        const std::size_t first = end;
        table_.RenderRows(first, table_.size(), unit, error, overweight);
        view_.RowsChanged(first, table_.size());
    }
    unit_ = unit;
    if (keeper_.Get()) keeper_.Get()->SetUnit(unit);
    CommitJournal();  // the rewritten texts and the unit together
    FinishJob(kOkOnly, {});
}

// ---- save ----

struct Desk::SaveJob {
    bool automatic = false;
    std::string path;
    exporter::UnmovedFile written;  // the complete file under its own name, until it is moved into place
    std::array<std::u16string, exporter::kColumns> titles;
    weighing::TableSnapshot rows;  // what this save writes, and the rows it removes
    exporter::SaveResult result;
};

void Desk::OnSaveTable() {
    if (!table_.empty()) SaveTable(false);
}

void Desk::SaveTable(bool automatic, std::function<void(bool started)> then) {
    if (closing_ || !rules_.Begin(automatic ? weighing::TableJob::AutomaticSave : weighing::TableJob::Save)) {
        if (automatic && !closing_) rules_.Hold(weighing::TableRules::kAutomaticSave);
        if (then) then(false);
        return;
    }
    ShowState();
    // The rows of this save are the ones in the table now; rows that arrive while the operator
    // chooses the file, or while it is written, stay for the next save.
    auto save = std::make_shared<SaveJob>();
    save->automatic = automatic;
    save->rows = table_.Snapshot();
    for (int c = 0; c < exporter::kColumns; ++c) save->titles[static_cast<std::size_t>(c)] = languages_.Titles()[static_cast<std::size_t>(c)];
    const std::string fileName = exporter::DefaultFileName(static_cast<std::time_t>(now_()));
    if (automatic) {
        // Beside the program, or in the operator's documents when the program is installed.
        save->path = (places_.documents.empty() ? places_.folder : platform::MakeFolder(places_.documents)) + fileName;
        WriteSave(save);
        if (then) then(true);
        return;
    }
    choosing_ = save;
    afterPath_ = std::move(then);
    // The folder of the last save, else the program's own (the documents' when it is installed).
    std::string folder = places_.documents.empty() ? places_.folder : platform::MakeFolder(places_.documents);
    if (!lastSavePath_.empty())
        folder = platform::Utf16ToUtf8(platform::Utf8Path(lastSavePath_).parent_path().u16string());
    view_.AskSavePath(fileName, folder);
}

void Desk::SavePathChosen(const std::string& path) {
    if (!choosing_) return;
    std::shared_ptr<SaveJob> save = std::exchange(choosing_, nullptr);
    std::function<void(bool)> then = std::exchange(afterPath_, {});
    if (path.empty()) {
        rules_.End();
        ShowState();
        questions_.ShowNext();  // what came while the dialog was open
        if (then) then(false);
        RequestPending();  // what was held meanwhile (the automatic save of a full table) follows
        return;
    }
    save->path = path;
    lastSavePath_ = path;
    WriteSave(save);
    questions_.ShowNext();  // over the progress dialog, never under it
    if (then) then(true);
}

void Desk::WriteSave(std::shared_ptr<SaveJob> save) {
    progress_ = 0;
    view_.ShowProgress(Text(u"Progress", u"Save_Caption"), Text(u"Progress", u"Save_Display"));
    if (saveWorker_.joinable()) saveWorker_.join();  // the last save's worker has ended its work
    saveWorker_ = std::jthread([this, save](std::stop_token stop) {
        const exporter::CellText text = [&](std::size_t row, int column) { return save->rows.Text(row, column); };
        save->result = exporter::WriteTableWorkbook(save->path, save->titles, save->rows.size(), text, &progress_, stop, &save->written);
        if (stop.stop_requested()) return;  // the desk is going away
        PostSafe([this, save] { FinishSave(save); });
    });
}

void Desk::FinishSave(const std::shared_ptr<SaveJob>& save) {
    exporter::SaveResult result = save->result;
    if (result.written) {
        // The file goes into place only once the journal knows of the move: a crash in between
        // finishes the move at the next start, and the saved rows never come back beside it. A
        // journal that cannot note it keeps the rows, so the file is not put in place either.
        bool noted = true;
        if (JournalOn()) {
            keeper_.Get()->NoteMove({save->written.written, save->written.target, save->rows.Ids()});
            noted = CommitJournal();
        }
        result.error = noted ? cfb::MoveFileIntoPlace(save->written.written, save->written.target) : EIO;
        result.written = result.error == 0;
        // Exactly the rows in the file leave the table; rows that came meanwhile stay, in order.
        if (result.written) RemoveRows(save->rows.Ids());
        if (keeper_.Get()) keeper_.Get()->MovesDone();
        CommitJournal();
        if (!result.written) {
            std::error_code ec;  // (only now: the note said it was to be moved)
            std::filesystem::remove(platform::Utf8Path(save->written.written), ec);
        }
    }
    if (result.written) {
        // The automatic save's notice is shown as a question; its answer is not used.
        std::u16string notice;
        if (save->automatic) {
            // Away from the program's folder the operator is told where the table went.
            notice = places_.documents.empty()
                         ? Text(u"Message", u"Data_Error")
                         : Fill(MessageText(u"Data_Error_Saved_As", "The table is full. The connection was closed and the table was saved as %1."),
                                platform::Utf8ToUtf16(save->path));
        }
        FinishJob(save->automatic ? kYesNo : kOkOnly, notice);
        return;
    }
    // Nothing is removed: every row stays for another try.
    FinishJob(kOkOnly, Text(u"Message", u"Save_error") + u"\n" + localisation::FailureText(*Texts(), result.error) + u"\n" +
                           platform::Utf8ToUtf16(save->path));
}

}  // namespace desk
