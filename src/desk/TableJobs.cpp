#include "TableJobs.h"

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

void TableJobs::Stop() {
    if (!saveWorker_.joinable()) return;
    saveWorker_.request_stop();
    saveWorker_.join();
}

void TableJobs::RemoveRows(const std::vector<weighing::RowId>& ids) {
    const auto runs = parts_.table.RunsOf(ids);  // last run first, so earlier positions stay put
    if (runs.empty()) return;
    for (const auto& [first, count] : runs) {
        parts_.table.Erase(first, count);
        parts_.view.RowsRemoved(first, count);
    }
    // The rows left are numbered from 1 again.
    const std::size_t from = runs.back().first;
    parts_.table.Renumber(from);
    if (from < parts_.table.size()) parts_.view.RowsChanged(from, parts_.table.size());
}

void TableJobs::FinishJob(int mode, std::u16string message) {
    progress_ = -1;
    parts_.view.HideProgress();
    parts_.held.JobEnded(mode, std::move(message));
    host_.RequestPending();  // the job's end is taken up when nothing else is open
}

// ---- Clear ----

void TableJobs::OnClearData() {
    if (parts_.rules.Busy() || host_.Closing()) return;  // the button is disabled meanwhile: the job owns the table
    // A table that filled up carries on with the scale once it is empty again.
    const auto takeUpTheScale = [this] {
        if (!parts_.rules.TakesUpTheScale(parts_.table.size())) return;
        host_.TableEmptied();
        parts_.rules.NewConnection();
        host_.TakeUpTheScale();  // the port that was connected last, checked as if chosen by hand
    };
    // The rows the question is about: weighings that arrive while it is open are not the
    // operator's to discard unseen.
    const std::vector<weighing::RowId> asked = parts_.table.Ids();
    if (asked.empty()) {
        takeUpTheScale();
        return;
    }
    parts_.questions.Ask(Prompt::ClearData, kYesNo, parts_.languages.Text(u"Message", u"Clear_Data"), [this, asked, takeUpTheScale](int answer) {
        if (answer == kYes && !parts_.rules.Busy() && !host_.Closing()) {
            RemoveRows(asked);
            host_.CommitJournal(true);
            host_.TableEmptied();
        }
        takeUpTheScale();
    });
}

// ---- the unit change ----

void TableJobs::OnUnit(int unit) {
    if (unit == host_.Unit() || host_.Closing() || unit < weighing::kKg || unit > weighing::kLbOz) return;
    if (!parts_.rules.Begin(weighing::TableJob::Conversion)) {
        host_.ShowState();  // another job owns the table: the unit shown stays
        return;
    }
    host_.ShowState();
    progress_ = 0;
    parts_.view.ShowProgress(parts_.languages.Text(u"Progress", u"Change_Caption"), parts_.languages.Text(u"Progress", u"Change_Display"));
    const std::size_t rows = parts_.table.size();
    const std::uint64_t job = ++jobNumber_;
    // In steps on the view's thread: frames that arrive meanwhile are taken between them.
    host_.PostSafe([this, unit, rows, job] { ConvertChunk(unit, 0, rows, job); });
}

void TableJobs::ConvertChunk(int unit, std::size_t next, std::size_t rows, std::uint64_t job) {
    if (job != jobNumber_) return;
    // Read at each step: the language cannot change while the job runs.
    const std::u16string error = parts_.languages.Text(u"ListCtrl_Header", u"Error_EX"), overweight = parts_.languages.Text(u"ListCtrl_Header", u"Overweight");
    const std::size_t end = std::min({next + kChunkRows, rows, parts_.table.size()});
    if (next < end) {
        parts_.table.RenderRows(next, end, unit, error, overweight);
        parts_.view.RowsChanged(next, end);
        progress_ += static_cast<int>((end - next) * 1000000 / (rows + 1));
    }
    if (end < rows && end < parts_.table.size()) {
        host_.PostSafe([this, unit, end, rows, job] { ConvertChunk(unit, end, rows, job); });
        return;
    }
    // Rows that arrived meanwhile were rendered in the old unit: bring them over, then switch.
    if (end < parts_.table.size()) {
        const std::size_t first = end;
        parts_.table.RenderRows(first, parts_.table.size(), unit, error, overweight);
        parts_.view.RowsChanged(first, parts_.table.size());
    }
    host_.SetUnit(unit);
    if (parts_.keeper.Get()) parts_.keeper.Get()->SetUnit(unit);
    host_.CommitJournal(true);  // the rewritten texts and the unit together
    FinishJob(kOkOnly, {});
}

// ---- save ----

struct TableJobs::SaveJob {
    bool automatic = false;
    std::string path;
    exporter::UnmovedFile written;  // the complete file under its own name, until it is moved into place
    std::array<std::u16string, exporter::kColumns> titles;
    weighing::TableSnapshot rows;  // what this save writes, and the rows it removes
    exporter::SaveResult result;
};

void TableJobs::OnSaveTable() {
    if (!parts_.table.empty()) SaveTable(false);
}

void TableJobs::SaveTable(bool automatic, std::function<void(bool started)> then) {
    if (host_.Closing() || !parts_.rules.Begin(automatic ? weighing::TableJob::AutomaticSave : weighing::TableJob::Save)) {
        if (automatic && !host_.Closing()) parts_.rules.Hold(weighing::TableRules::kAutomaticSave);
        if (then) then(false);
        return;
    }
    host_.ShowState();
    // The rows of this save are the ones in the table now; rows that arrive while the operator
    // chooses the file, or while it is written, stay for the next save.
    auto save = std::make_shared<SaveJob>();
    save->automatic = automatic;
    save->rows = parts_.table.Snapshot();
    for (int c = 0; c < exporter::kColumns; ++c) save->titles[static_cast<std::size_t>(c)] = parts_.languages.Titles()[static_cast<std::size_t>(c)];
    const std::string fileName = exporter::DefaultFileName(static_cast<std::time_t>(host_.Now()));
    if (automatic) {
        // Beside the program, or in the operator's documents when the program is installed.
        save->path = (parts_.places.documents.empty() ? parts_.places.folder : platform::MakeFolder(parts_.places.documents)) + fileName;
        WriteSave(save);
        if (then) then(true);
        return;
    }
    choosing_ = save;
    afterPath_ = std::move(then);
    // The folder of the last save, else the program's own (the documents' when it is installed).
    std::string folder = parts_.places.documents.empty() ? parts_.places.folder : platform::MakeFolder(parts_.places.documents);
    if (!lastSavePath_.empty())
        folder = platform::Utf16ToUtf8(platform::Utf8Path(lastSavePath_).parent_path().u16string());
    parts_.view.AskSavePath(fileName, folder);
}

void TableJobs::SavePathChosen(const std::string& path) {
    if (!choosing_) return;
    std::shared_ptr<SaveJob> save = std::exchange(choosing_, nullptr);
    std::function<void(bool)> then = std::exchange(afterPath_, {});
    if (path.empty()) {
        parts_.rules.End();
        host_.ShowState();
        parts_.questions.ShowNext();  // what came while the dialog was open
        if (then) then(false);
        host_.RequestPending();  // what was held meanwhile (the automatic save of a full table) follows
        return;
    }
    save->path = path;
    lastSavePath_ = path;
    WriteSave(save);
    parts_.questions.ShowNext();  // over the progress dialog, never under it
    if (then) then(true);
}

void TableJobs::WriteSave(std::shared_ptr<SaveJob> save) {
    progress_ = 0;
    parts_.view.ShowProgress(parts_.languages.Text(u"Progress", u"Save_Caption"), parts_.languages.Text(u"Progress", u"Save_Display"));
    if (saveWorker_.joinable()) saveWorker_.join();  // the last save's worker has ended its work
    saveWorker_ = std::jthread([this, save](std::stop_token stop) {
        const exporter::CellText text = [&](std::size_t row, int column) { return save->rows.Text(row, column); };
        save->result = exporter::WriteTableWorkbook(save->path, save->titles, save->rows.size(), text, &progress_, stop, &save->written);
        if (stop.stop_requested()) return;  // the desk is going away
        host_.PostSafe([this, save] { FinishSave(save); });
    });
}

void TableJobs::FinishSave(const std::shared_ptr<SaveJob>& save) {
    exporter::SaveResult result = save->result;
    if (result.written) {
        // The file goes into place only once the journal knows of the move: a crash in between
        // finishes the move at the next start, and the saved rows never come back beside it. A
        // journal that cannot note it keeps the rows, so the file is not put in place either.
        bool noted = true;
        if (parts_.keeper.On()) {
            parts_.keeper.Get()->NoteMove({save->written.written, save->written.target, save->rows.Ids()});
            noted = host_.CommitJournal(true);
        }
        result.error = noted ? cfb::MoveFileIntoPlace(save->written.written, save->written.target) : EIO;
        result.written = result.error == 0;
        // Exactly the rows in the file leave the table; rows that came meanwhile stay, in order.
        if (result.written) RemoveRows(save->rows.Ids());
        if (parts_.keeper.Get()) parts_.keeper.Get()->MovesDone();
        host_.CommitJournal(true);
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
            notice = parts_.places.documents.empty()
                         ? parts_.languages.Text(u"Message", u"Data_Error")
                         : Fill(parts_.languages.MessageText(u"Data_Error_Saved_As", "The table is full. The connection was closed and the table was saved as %1."),
                                platform::Utf8ToUtf16(save->path));
        }
        FinishJob(save->automatic ? kYesNo : kOkOnly, notice);
        return;
    }
    // Nothing is removed: every row stays for another try.
    FinishJob(kOkOnly, parts_.languages.Text(u"Message", u"Save_error") + u"\n" + localisation::FailureText(*parts_.languages.Texts(), result.error) + u"\n" +
                           platform::Utf8ToUtf16(save->path));
}

}  // namespace desk
