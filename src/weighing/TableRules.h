#pragma once
// The rules that keep the table whole while whole-table jobs run, without any user interface:
// at most one job (a unit conversion or a save) at a time; the commands that would change or
// remove rows meanwhile are held and run after it; and the row limit, which ends the connection
// and makes an automatic save fall due.
#include <cstddef>

namespace weighing {

enum class TableJob { None, Conversion, Save, AutomaticSave };

class TableRules {
public:
    // ---- jobs ----
    bool Busy() const { return job_ != TableJob::None; }
    // Starts `job` when none runs; false when one does (then nothing may touch the table).
    bool Begin(TableJob job);
    void End() { job_ = TableJob::None; }

    // Commands held while a job runs, run after it in this order.
    enum Held : unsigned { kNothing = 0, kAutomaticSave = 1, kDisconnect = 2, kClose = 4 };
    void Hold(Held command) { held_ |= command; }
    // The held command to run now, taken off the list: the automatic save first. Nothing while
    // a job runs.
    Held TakeNext();

    // ---- the row limit ----
    // A row was added at index `row`. True when it fills the table: the connection ends and an
    // automatic save falls due (held until no job runs).
    bool RowAdded(std::size_t row);
    bool Full() const { return full_; }
    // A new connection, made by the operator or by Clear after a full table: rows come again.
    void NewConnection() { full_ = false; }

    // After Clear (whose question alone decides which rows go): a table that filled up takes
    // up the scale again once it is empty, and only then.
    bool TakesUpTheScale(std::size_t rowsLeft) const { return full_ && rowsLeft == 0; }

private:
    TableJob job_ = TableJob::None;
    unsigned held_ = kNothing;
    bool full_ = false;
};

}  // namespace weighing
