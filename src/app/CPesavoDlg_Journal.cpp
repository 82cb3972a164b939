// The window's side of the journal: opening it at start-up and offering back what an earlier run
// left unsaved, committing the table's changes at the moments they must be on disk, and going on
// without it — visibly — when it fails.
#include "CPesavoDlg.h"

#include "Journal.h"
#include "WorkbookExport.h"
#include "CompoundFile.h"
#include "platform/LocalTime.h"
#include "platform/Utf.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QTimer>

#include <ctime>
#include <filesystem>

namespace {

QString Latin(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

#ifdef _WIN32
constexpr const char* kSeparator = "\\";
#else
constexpr const char* kSeparator = "/";
#endif

}  // namespace

void CPesavoDlg::SetJournalFolder(const std::string& folder) {
    m_journalFolder = folder;
    m_bWantJournal = true;
}

void CPesavoDlg::UpdateTitle() {
    QString title = ReadLanguageText(u"Dialog_Caption", u"Dialog_Caption");
    if (m_bJournalOff) title += QStringLiteral(" — ") + MessageText(u"Journal_Off", "rows not journalled");
    setWindowTitle(title);
}

void CPesavoDlg::OpenJournal() {
    if (!m_bWantJournal) return;
    using Status = journal::Journal::Status;
    journal::Journal::Opening opening = journal::Journal::Open(m_journalFolder);
    const QString path = QString::fromStdString(opening.path);
    if (opening.status == Status::InUse) {
        m_bJournalOff = true;
        UpdateTitle();
        m_MyMsg.Show(CMyMsg::ModeOk, MessageText(u"Journal_In_Use", "Another Pesavo keeps its journal in %1: the weighings of this "
                                                                   "window are not journalled. Save the table regularly.")
                                         .arg(path));
        return;
    }
    if (!opening.journal) {
        m_bJournalOff = true;
        UpdateTitle();
        m_MyMsg.Show(CMyMsg::ModeOk, MessageText(u"Journal_Error", "The journal cannot be written: weighings are not kept safe on disk "
                                                                  "until they are saved. Save the table regularly.") +
                                         QStringLiteral("\n(") + QString::fromStdString(opening.error) + QLatin1Char(')'));
        return;
    }
    if (opening.status == Status::MovedAside)
        m_MyMsg.Show(CMyMsg::ModeOk, MessageText(u"Journal_Moved", "The journal %1 was damaged. It was kept as %2, and a new one was started.")
                                         .arg(path, QString::fromStdString(opening.movedTo)));
    m_journal = std::move(opening.journal);
    // A save that a crash interrupted on its way into place: its file is complete, so the move is
    // finished and its rows leave the journal. (Its file is gone only when it was moved.)
    const std::vector<journal::PendingMove> moves = m_journal->PendingMoves();
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
        if (placed) m_journal->Removed(move.ids);
    }
    if (!moves.empty()) {
        m_journal->MovesDone();
        CommitJournal();
    }
    const std::vector<journal::StoredRow> rows = m_journal->Rows();
    const int unit = m_journal->Unit();
    // (Restored or written to a file: the scale may send that weighing again either way.)
    if (!rows.empty() && !rows.back().answered) m_unconfirmed = Unconfirmed{rows.back().id, rows.back().frame};
    if (!rows.empty()) OfferJournalRows(rows, unit);
    if (!m_journal) return;
    m_journal->SetUnit(m_nUnit);
    m_Model.SetLog(m_journal.get());
    CommitJournal();
}

void CPesavoDlg::OfferJournalRows(const std::vector<journal::StoredRow>& rows, int unit) {
    const QString question =
        MessageText(u"Journal_Restore", "%1 weighings from %2 on were not saved when Pesavo last ended. Put them back into the table? "
                                        "(No: they are first written to a workbook in Pesavo's data folder.)")
            .arg(rows.size())
            .arg(Latin(weighing::FormatUpdateTime(rows.front().at)));
    if (m_MyMsg.Show(CMyMsg::ModeYesNo, question) == CMyMsg::IdYes) {
        RestoreJournalRows(rows, unit);
        return;
    }
    // Kept in a file before they leave the journal: a No never loses a weighing.
    char name[96] = "RecoveredTable";
    std::tm local{};
    if (platform::ToLocalTime(std::time(nullptr), local)) std::strftime(name, sizeof name, "RecoveredTable-%Y-%m-%d-%H-%M-%S", &local);
    const std::string path = m_journalFolder + kSeparator + name + ".xls";
    std::array<std::u16string, exporter::kColumns> titles;
    for (int c = 0; c < exporter::kColumns; ++c) titles[static_cast<std::size_t>(c)] = m_Model.Title(c).toStdU16String();
    std::vector<std::u16string> numbers(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) numbers[r] = weighing::NumberText(r);
    const exporter::SaveResult saved = exporter::WriteTableWorkbook(path, titles, rows.size(), [&](std::size_t r, int c) {
        return c == weighing::kNumber ? std::u16string_view(numbers[r]) : std::u16string_view(rows[r].texts[static_cast<std::size_t>(c)]);
    });
    const QString file = QString::fromStdString(path);
    if (saved.written) {
        std::vector<weighing::RowId> ids;
        for (const auto& row : rows) ids.push_back(row.id);
        m_journal->Removed(ids);
        CommitJournal();
        m_MyMsg.Show(CMyMsg::ModeOk, MessageText(u"Journal_Recovered", "The weighings were written to %1.").arg(file));
        return;
    }
    m_MyMsg.Show(CMyMsg::ModeOk, MessageText(u"Journal_Recover_Failed", "The weighings could not be written to %1 (error %2). They are back "
                                                                       "in the table: save them from there.")
                                     .arg(file)
                                     .arg(saved.error));
    RestoreJournalRows(rows, unit);
}

void CPesavoDlg::RestoreJournalRows(const std::vector<journal::StoredRow>& rows, int unit) {
    std::vector<MeasurementModel::KeptRow> kept;
    kept.reserve(rows.size());
    bool mixed = false;  // a unit change was under way: some rows still show the unit before it
    const QString unitText = QString::fromLatin1(weighing::UnitText(unit));
    for (const auto& row : rows) {
        MeasurementModel::KeptRow k{row.id, {}, row.reading};
        for (int c = 0; c < weighing::kColumns; ++c) k.texts[static_cast<std::size_t>(c)] = row.texts[static_cast<std::size_t>(c)];
        mixed = mixed || QString::fromStdU16String(row.texts[weighing::kUnit]) != unitText;
        kept.push_back(k);
    }
    m_Model.RestoreRows(kept);
    m_nUnit = unit;
    if (QAbstractButton* b = m_unitGroup->button(unit)) b->setChecked(true);
    if (mixed) {
        // Every row in the one unit the journal last recorded (the log follows from here on).
        m_Model.SetLog(m_journal.get());
        m_Model.Convert(0, m_Model.rowCount(), unit, Utf16(ReadLanguageText(u"ListCtrl_Header", u"Error_EX")),
                        Utf16(ReadLanguageText(u"ListCtrl_Header", u"Overweight")));
    }
}

bool CPesavoDlg::CommitJournal() {
    if (!m_journal) return false;
    if (m_bJournalOff) {
        // Off after a failure: an empty table holds nothing the journal lacks, so the journal
        // starts again from empty (rows saved meanwhile must not come back at the next start).
        if (m_Model.rowCount() != 0 || !m_journal->TryAgain()) return false;
        m_journal->Cleared();
        m_journal->MovesDone();
        m_journal->SetUnit(m_nUnit);
        if (!m_journal->Commit()) return false;  // still failing: stays off (the operator was told)
        m_bJournalOff = false;
        m_Model.SetLog(m_journal.get());
        UpdateTitle();
        return true;
    }
    if (m_journal->Commit()) return true;
    JournalOff(MessageText(u"Journal_Error", "The journal cannot be written: weighings are not kept safe on disk until they are "
                                             "saved. Save the table regularly.") +
               QStringLiteral("\n(") + QString::fromStdString(m_journal->Error()) + QLatin1Char(')'));
    return false;
}

void CPesavoDlg::NoteAnswerLeft() {
    if (!m_answerPending || !m_SerialPort.Written(m_answerPending->place)) return;
    if (m_journal) {
        m_journal->MarkAnswered(m_answerPending->id);
        CommitJournal();
    }
    m_answerPending.reset();
}

void CPesavoDlg::JournalOff(const QString& why) {
    // Kept open (and held against another Pesavo) to start again once the table is empty.
    m_Model.SetLog(nullptr);
    m_bJournalOff = true;
    UpdateTitle();
    // Told once, after what is under way (a frame's answer must not wait for the operator).
    QTimer::singleShot(0, this, [this, why] {
        const CommandScope scope(*this);
        m_MyMsg.Show(CMyMsg::ModeOk, why);
    });
}
