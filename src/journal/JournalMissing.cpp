// The journal of a build without SQLite: it never opens, and says why.
#include "Journal.h"

namespace journal {

bool Journal::Available() { return false; }

Journal::Opening Journal::Open(const std::string& folder) {
    Opening o;
    o.path = folder;
    o.error = "this build of Pesavo has no journal (it was built without SQLite)";
    return o;
}

Journal::Journal(sqlite3* db) : db_(db) {}
Journal::~Journal() = default;
std::vector<StoredRow> Journal::Rows() { return {}; }
int Journal::Unit() { return 0; }
void Journal::SetUnit(int) {}
void Journal::NextRowFrom(const std::uint8_t*, std::size_t, bool) {}
void Journal::MarkAnswered(weighing::RowId) {}
void Journal::NoteMove(const PendingMove&) {}
void Journal::MovesDone() {}
std::vector<PendingMove> Journal::PendingMoves() { return {}; }
void Journal::KeepForSite(std::string, std::string) {}
std::vector<OutboxRow> Journal::Outbox(std::size_t) { return {}; }
std::int64_t Journal::OutboxSize() { return 0; }
void Journal::SentToSite(const std::vector<OutboxRow>&) {}
bool Journal::Commit(bool) { return false; }
bool Journal::TryAgain() { return false; }
void Journal::Appended(weighing::RowId, const weighing::RowTexts&, const weighing::Reading&) {}
void Journal::TextChanged(weighing::RowId, int, std::u16string_view) {}
void Journal::ReadingChanged(weighing::RowId, const weighing::Reading&) {}
void Journal::Rendered(weighing::RowId, std::u16string_view, std::u16string_view) {}
void Journal::Removed(const std::vector<weighing::RowId>&) {}
void Journal::Cleared() {}

}  // namespace journal
