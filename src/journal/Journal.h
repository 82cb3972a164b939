#pragma once
// The journal of the current table: every row is on disk (an SQLite database in the user's data
// folder, WAL, every commit synced) before the scale is told it was received, and leaves it when
// it was saved or the operator discarded it. After a crash, a killed process or a power cut the
// next start finds the rows that were never saved and offers them back.
//
// The journal follows the table as its log (weighing::TableLog): appends, rewritten texts and
// removals go into one open transaction, which Commit makes durable. Used on one thread. The
// first failure (disk full, a folder that cannot be written, a damaged file) ends its work: every
// later call does nothing and Failed() says why, so that the program can go on without it.
#include "MeasurementTable.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace journal {

inline constexpr const char* kFileName = "journal.sqlite3";

// A row kept from an earlier run.
struct StoredRow {
    weighing::RowId id = 0;
    std::array<std::u16string, weighing::kColumns> texts;
    weighing::Reading reading;
    std::int64_t at = 0;         // when it was journalled, in seconds since 1970
    bool answered = false;       // its answer was known to have left for the scale
    std::vector<std::uint8_t> frame;  // the bytes it came from (none when not known)
};

// A saved workbook on its way into place: complete under `temp`, to replace `target`; the rows
// it holds leave the journal once it is there.
struct PendingMove {
    std::string temp, target;
    std::vector<weighing::RowId> ids;
};

// A weighing on its way to the site's database. It waits in the journal's outbox, through saves,
// Clear, closing and crashes, until the site has it.
struct OutboxRow {
    std::string run;             // the start of the program it was weighed in
    weighing::RowId id = 0;      // its identity within that start
    weighing::Reading reading;
    std::vector<std::uint8_t> frame;  // the bytes it came from (six zeros when not known)
    std::int64_t at = 0;         // when it was journalled, in seconds since 1970
    bool maybeRepeat = false;    // the row says it may be the weighing before a restart, sent again
    std::string desk;            // the desk's name when it was weighed (empty: not known)
};

class Journal : public weighing::TableLog {
public:
    enum class Status {
        Opened,      // ready
        MovedAside,  // ready, after a damaged journal was moved aside (see movedTo)
        InUse,       // another Pesavo holds the journal
        Failed,      // could not be opened or created (see error)
    };
    struct Opening {
        std::unique_ptr<Journal> journal;  // null when InUse or Failed
        Status status = Status::Failed;
        std::string path;     // the journal's file
        std::string movedTo;  // where the damaged journal went
        std::string error;    // what failed: the step and the reason
    };
    // Opens the journal in `folder` (created when missing) and holds it for this process alone.
    // A journal an earlier Pesavo wrote is brought up to date in place, every row kept; one of a
    // later Pesavo, like any other database, is moved aside as it is.
    static Opening Open(const std::string& folder);
    // False in a build without SQLite: no journal can ever be opened.
    static bool Available();
    ~Journal() override;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // The rows kept, in order, and the unit they were last shown in.
    std::vector<StoredRow> Rows();
    int Unit();
    void SetUnit(int unit);
    // The bytes the next appended row comes from, and whether the row may be a repeat.
    void NextRowFrom(const std::uint8_t* bytes, std::size_t size, bool maybeRepeat = false);
    // The row's answer has left for the scale.
    void MarkAnswered(weighing::RowId id);
    // A save about to move its file into place, and the move done (either way). A start finds
    // a move that a crash interrupted here, and finishes it.
    void NoteMove(const PendingMove& move);
    void MovesDone();
    std::vector<PendingMove> PendingMoves();

    // From now on every appended row also goes into the outbox, under `run` (this start's own
    // identity) and the desk's name, in the same commit as the row itself.
    void KeepForSite(std::string run, std::string desk);
    // The oldest rows of the outbox, at most `limit`, and how many wait there (what is not
    // committed yet included: ask after Commit).
    std::vector<OutboxRow> Outbox(std::size_t limit);
    std::int64_t OutboxSize();
    // The site has these rows: they leave the outbox with the next commit.
    void SentToSite(const std::vector<OutboxRow>& rows);

    // Makes every change so far part of the journal, synced to the disk. False once failed.
    // Not `synced`: a change that may be lost to a power cut (not to a crash), because losing it
    // costs nothing — the next synced commit takes it along to the disk.
    bool Commit(bool synced = true);
    bool Failed() const { return !error_.empty(); }
    // Forgets a failure (and what was not committed), to be used again from a known state.
    bool TryAgain();
    const std::string& Error() const { return error_; }

    // weighing::TableLog
    void Appended(weighing::RowId id, const weighing::RowTexts& texts, const weighing::Reading& reading) override;
    void TextChanged(weighing::RowId id, int column, std::u16string_view text) override;
    void ReadingChanged(weighing::RowId id, const weighing::Reading& reading) override;
    void Rendered(weighing::RowId id, std::u16string_view data, std::u16string_view unit) override;
    void Removed(const std::vector<weighing::RowId>& ids) override;
    void Cleared() override;

private:
    explicit Journal(sqlite3* db);
    bool Prepare();
    sqlite3_stmt* Statement(const char* sql);
    bool Begin();
    bool Step(sqlite3_stmt* statement, const char* what);
    bool Fail(const char* what);

    sqlite3* db_;
    std::string error_;
    bool inTransaction_ = false;
    std::vector<std::uint8_t> nextFrame_;
    bool hasNextFrame_ = false;
    bool nextMaybeRepeat_ = false;
    std::vector<sqlite3_stmt*> statements_;  // every prepared statement, finalized at the end
    sqlite3_stmt* insert_ = nullptr;
    std::array<sqlite3_stmt*, weighing::kColumns> updateText_{};
    sqlite3_stmt* updateReading_ = nullptr;
    sqlite3_stmt* render_ = nullptr;
    sqlite3_stmt* remove_ = nullptr;
    sqlite3_stmt* removeAll_ = nullptr;
    sqlite3_stmt* answered_ = nullptr;
    sqlite3_stmt* setUnit_ = nullptr;
    sqlite3_stmt* noteMove_ = nullptr;
    sqlite3_stmt* movesDone_ = nullptr;
    std::string siteRun_;  // empty: nothing goes to the outbox
    std::string siteDesk_;
    sqlite3_stmt* toOutbox_ = nullptr;
    sqlite3_stmt* outboxReading_ = nullptr;
    sqlite3_stmt* sent_ = nullptr;
};

}  // namespace journal
