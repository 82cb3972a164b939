#pragma once
// Whole-table jobs — the display-unit change and the save to an .xls workbook — and Clear. One
// job at a time owns the table: meanwhile rows are only appended (weighings keep coming); Save,
// Clear, the units and Apply are refused, and closing, disconnecting and the automatic save of a
// full table are held until the job has ended (TableRules, HeldWork).
#include "JournalKeeper.h"
#include "Languages.h"
#include "MeasurementTable.h"
#include "Questions.h"
#include "TableRules.h"
#include "WorkbookExport.h"
#include "platform/ModulePath.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace desk {

class View;

// What the jobs need of the desk beyond its parts.
class JobHost {
public:
    virtual ~JobHost() = default;
    virtual void ShowState() = 0;
    virtual bool CommitJournal(bool synced) = 0;
    virtual void RequestPending() = 0;  // a job ended: the held work, once nothing is open
    virtual void PostSafe(std::function<void()> fn) = 0;
    virtual std::int64_t Now() const = 0;
    virtual bool Closing() const = 0;
    virtual int Unit() const = 0;
    virtual void SetUnit(int unit) = 0;
    virtual void TableEmptied() = 0;  // the operator discarded every row: the table starts again
    virtual void TakeUpTheScale() = 0;  // a full table is empty again: the scale is taken up again
};

class TableJobs {
public:
    struct Parts {
        View& view;
        weighing::MeasurementTable& table;
        weighing::TableRules& rules;
        weighing::HeldWork& held;
        Questions& questions;
        JournalKeeper& keeper;
        const Languages& languages;
        const platform::ProgramPlaces& places;
    };
    TableJobs(Parts parts, JobHost& host) : parts_(parts), host_(host) {}
    // The save on its way is stopped (no file is left) and waited for.
    ~TableJobs() { Stop(); }
    void Stop();

    void OnClearData();
    void OnUnit(int unit);
    void OnSaveTable();
    // A save: the operator's (the save dialog first) or the automatic one of a full table. `then`
    // learns whether it started (false: another job owns the table, or the dialog was cancelled).
    void SaveTable(bool automatic, std::function<void(bool started)> then = {});
    void SavePathChosen(const std::string& path);
    // Exactly these rows leave the table, wherever they stand; the rows left are numbered anew.
    void RemoveRows(const std::vector<weighing::RowId>& ids);

    bool ChoosingPath() const { return choosing_ != nullptr; }
    const std::atomic<int>& Progress() const { return progress_; }  // 0..1,000,000; -1: none
    std::string LastSavePath() const { return lastSavePath_; }

private:
    struct SaveJob;
    void ConvertChunk(int unit, std::size_t next, std::size_t rows, std::uint64_t job);
    void WriteSave(std::shared_ptr<SaveJob> save);
    void FinishSave(const std::shared_ptr<SaveJob>& save);
    void FinishJob(int mode, std::u16string message);

    Parts parts_;
    JobHost& host_;
    std::atomic<int> progress_{-1};
    std::uint64_t jobNumber_ = 0;          // the running conversion, so a stale chunk knows it is
    std::function<void(bool)> afterPath_;  // what a manual save does once its path is chosen
    std::shared_ptr<SaveJob> choosing_;    // the save whose path is being chosen
    std::jthread saveWorker_;
    std::string lastSavePath_;
};

}  // namespace desk
