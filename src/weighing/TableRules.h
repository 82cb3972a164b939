#pragma once
// The rules that keep the table whole while whole-table jobs run, without any user interface:
// at most one job (a unit conversion or a save) at a time; the commands that would change or
// remove rows meanwhile are held and run after it; and the row limit, which ends the connection
// and makes an automatic save fall due.
#include "MeasurementTable.h"

#include <cstddef>
#include <functional>
#include <string>

namespace weighing {

enum class TableJob { None, Conversion, Save, AutomaticSave };

class TableRules {
public:
    // `lastRow`: the index of the table's last row (a smaller table for tests).
    explicit TableRules(std::size_t lastRow = kRowLimit) : lastRow_(lastRow) {}

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
    std::size_t lastRow_;
    TableJob job_ = TableJob::None;
    unsigned held_ = kNothing;
    bool full_ = false;
};

// A window's commands in progress and the work held for when the outermost one has ended: a
// job's end (its message, then the table given back) and the commands the rules held meanwhile.
// Held work never runs inside another command's modal loop (a frame's question, Clear's, the
// close question): only at the top level, in one order for every window.
class HeldWork {
public:
    explicit HeldWork(TableRules& rules) : rules_(rules) {}

    // A command of the window begins or ends; Leave is true when the outermost one ended (the
    // window then runs the held work).
    void Enter() { ++depth_; }
    bool Leave() { return --depth_ == 0; }
    bool Idle() const { return depth_ == 0; }

    // A job ended; `message` (empty: none) is shown in `mode` when its end is taken up.
    void JobEnded(int mode, std::u16string message) {
        mode_ = mode;
        message_ = std::move(message);
        afterJob_ = true;
    }

    // What the window does for each piece of held work.
    struct Steps {
        std::function<void()> tableGivenBack;                           // the job's end: controls enabled again
        std::function<void(int mode, const std::u16string&)> message;  // the job's message
        std::function<void()> automaticSave, disconnect, close;
        std::function<bool()> closing;                                  // the window is going: nothing more runs
    };
    // Runs the held work in order until none is left, a job owns the table again or a step began
    // a command of its own (a question); nothing while a command is in progress or the held work
    // is already running.
    void Run(const Steps& steps);

private:
    TableRules& rules_;
    int depth_ = 0;
    bool running_ = false;
    bool afterJob_ = false;
    int mode_ = 0;
    std::u16string message_;
};

}  // namespace weighing
