// Whole-table jobs: the display-unit conversion and the export to an .xls workbook. One job at a
// time owns the table: it runs on a worker thread while the progress dialog shows, and its end
// is applied on the window's thread. Meanwhile rows are only appended (frames keep coming);
// Save, Clear, the unit buttons and Apply are disabled, and closing, disconnecting and the
// automatic save of a full table are held until the job has ended.
#include "CPesavoDlg.h"

#include "Journal.h"
#include "UiCall.h"
#include "CompoundFile.h"
#include "platform/Utf.h"
#include "WorkbookExport.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QFileDialog>
#include <QTimer>

#include <ctime>
#include <filesystem>

namespace {

constexpr int kChunkRows = 1000;

}  // namespace

// ---- jobs ----

// A job owns the table from its start until its end has been taken up at the top level: after
// its progress dialog's showing has returned and no other command is half-way through (a
// question of the frame handler, of Clear, of closing). Only then do its message and the
// commands held meanwhile run — never inside another operation's modal loop.

CPesavoDlg::CommandScope::CommandScope(CPesavoDlg& dlg) : dlg_(dlg) { dlg_.m_heldWork.Enter(); }

CPesavoDlg::CommandScope::~CommandScope() {
    if (dlg_.m_heldWork.Leave()) dlg_.RunPending();
}

void CPesavoDlg::ShowProgress() {
    m_dlgProgress.DoModal();
    g_nProgress = -1;
    // Closed early (Esc or its close box): the job runs on and FinishJob carries on from there.
}

void CPesavoDlg::FinishJob(int messageMode, const QString& message) {
    const CommandScope scope(*this);  // its end takes the job's end up, when nothing else runs
    g_nProgress = -1;                 // the progress dialog closes: now, not at its next tick
    m_dlgProgress.Look();
    m_heldWork.JobEnded(messageMode, message.toStdU16String());
}

void CPesavoDlg::RequestPending() {
    if (m_heldWork.Idle()) QTimer::singleShot(0, this, [this] { RunPending(); });
    // Otherwise the command in progress runs it as it ends.
}

void CPesavoDlg::RunPending() {
    m_heldWork.Run({
        [this] { UpdateControls(); },
        [this](int mode, const std::u16string& message) { m_MyMsg.Show(mode, QString::fromStdU16String(message)); },
        // Nothing to save when a save that ran meanwhile took every row.
        [this] { if (m_Model.rowCount() > 0) SaveTable(true); },
        [this] { if (m_bConnected) ToggleConnection(); },
        [this] { close(); },
        [this] { return m_bClosing; },
    });
}

// ---- unit conversion ----

void CPesavoDlg::OnUnit(int unit) {
    if (m_nUnit == unit) return;
    const CommandScope scope(*this);
    if (!m_tableRules.Begin(weighing::TableJob::Conversion)) {
        // Another job owns the table (the buttons are disabled meanwhile): keep the unit shown.
        if (QAbstractButton* b = m_unitGroup->button(m_nUnit)) b->setChecked(true);
        return;
    }
    UpdateControls();
    m_dlgProgress.SetTexts(ReadLanguageText(u"Progress", u"Change_Caption"), ReadLanguageText(u"Progress", u"Change_Display"));
    g_nProgress = 0;
    const int rows = m_Model.rowCount();
    // Read once: the language cannot change while the job runs.
    const ConversionTexts texts{ReadLanguageText(u"ListCtrl_Header", u"Error_EX"), ReadLanguageText(u"ListCtrl_Header", u"Overweight")};
    m_workers.Start([this, unit, rows, texts](std::stop_token stop) { ConvertThread(unit, rows, texts, stop); });
    ShowProgress();
}

void CPesavoDlg::ConvertThread(int unit, int rows, const ConversionTexts& texts, std::stop_token stop) {
    const int step = 1000000 / (rows + 1);
    for (int first = 0; first < rows; first += kChunkRows) {
        const int end = std::min(first + kChunkRows, rows);
        const bool applied = ui::RunOnUiThread(
            [&] {
                m_Model.Convert(first, end, unit, Utf16(texts.error), Utf16(texts.overweight));
            },
            stop);
        if (!applied) return;  // the window is going away
        g_nProgress += step * (end - first);
    }
    ui::PostToUiThread(this, [this, unit, rows, texts] { FinishConversion(unit, rows, texts); });
}

void CPesavoDlg::FinishConversion(int unit, int rows, const ConversionTexts& texts) {
    // Rows that arrived meanwhile were rendered in the old unit: bring them over, then switch.
    m_Model.Convert(rows, m_Model.rowCount(), unit, Utf16(texts.error), Utf16(texts.overweight));
    m_nUnit = unit;
    if (QAbstractButton* b = m_unitGroup->button(unit)) b->setChecked(true);
    if (m_journal) m_journal->SetUnit(unit);
    CommitJournal();  // the rewritten texts and the unit together
    FinishJob(CMyMsg::ModeOk, QString());
}

// ---- export ----

struct CPesavoDlg::SaveJob {
    bool automatic = false;
    std::string path;
    exporter::UnmovedFile written;  // the complete file under its own name, until it is moved into place
    std::array<std::u16string, exporter::kColumns> titles;
    weighing::TableSnapshot rows;  // what this save writes, and the rows it removes
    exporter::SaveResult result;
};

void CPesavoDlg::OnSaveTable() {
    if (m_Model.rowCount() > 0) SaveTable(false);
}

bool CPesavoDlg::SaveTable(bool automatic) {
    const CommandScope scope(*this);
    if (!m_tableRules.Begin(automatic ? weighing::TableJob::AutomaticSave : weighing::TableJob::Save)) {
        if (automatic) m_tableRules.Hold(weighing::TableRules::kAutomaticSave);
        return false;
    }
    UpdateControls();
    // The rows of this save are the ones in the table now; rows that arrive while the operator
    // chooses the file, or while it is written, stay for the next save.
    auto save = std::make_shared<SaveJob>();
    save->automatic = automatic;
    save->rows = m_Model.Table().Snapshot();
    for (int c = 0; c < exporter::kColumns; ++c) save->titles[static_cast<std::size_t>(c)] = std::u16string(Utf16(m_Model.Title(c)));

    const QString fileName = QString::fromStdString(exporter::DefaultFileName(std::time(nullptr)));
    if (automatic) {
        m_strSavePath = m_strModuleDir + fileName;
    } else {
        QString chosen;
        if (m_prompts) {
            chosen = m_prompts->ChooseSaveFile(fileName);
        } else {
            QFileDialog dialog(nullptr);
            dialog.setAcceptMode(QFileDialog::AcceptSave);
            dialog.setFileMode(QFileDialog::AnyFile);
            dialog.setDefaultSuffix(QStringLiteral("xls"));
            dialog.setNameFilter(QStringLiteral("Excel Files(*.xls)"));
            dialog.selectFile(fileName);
            if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) chosen = dialog.selectedFiles().front();
        }
        if (chosen.isEmpty()) {
            m_tableRules.End();
            UpdateControls();
            return false;  // what was held meanwhile (the automatic save of a full table) follows
        }
        m_strSavePath = chosen;
    }
    save->path = m_strSavePath.toStdString();
    m_dlgProgress.SetTexts(ReadLanguageText(u"Progress", u"Save_Caption"), ReadLanguageText(u"Progress", u"Save_Display"));
    g_nProgress = 0;
    m_workers.Start([this, save](std::stop_token stop) {
        const exporter::CellText text = [&](std::size_t row, int column) { return save->rows.Text(row, column); };
        save->result = exporter::WriteTableWorkbook(save->path, save->titles, save->rows.size(), text, &g_nProgress, stop,
                                                    &save->written);
        if (stop.stop_requested()) return;  // the window is going away
        ui::PostToUiThread(this, [this, save] { FinishSave(*save); });
    });
    ShowProgress();
    return true;
}

void CPesavoDlg::FinishSave(const SaveJob& save) {
    QString message;
    int mode = CMyMsg::ModeOk;
    exporter::SaveResult result = save.result;
    if (result.written) {
        // The file goes into place only once the journal knows of the move: a crash in between
        // finishes the move at the next start, and the saved rows never come back beside it.
        if (m_journal) m_journal->NoteMove({save.written.written, save.written.target, save.rows.Ids()});
        CommitJournal();
        result.error = cfb::MoveFileIntoPlace(save.written.written, save.written.target);
        result.written = result.error == 0;
        // Exactly the rows in the file leave the table; rows that came meanwhile stay, in order,
        // numbered from 1 again.
        if (result.written) m_Model.RemoveRows(save.rows.Ids());
        if (m_journal) m_journal->MovesDone();
        CommitJournal();
        if (!result.written) {
            std::error_code ec;  // (only now: the note said it was to be moved)
            std::filesystem::remove(platform::Utf8Path(save.written.written), ec);
        }
    }
    if (result.written) {
        if (save.automatic) {
            message = ReadLanguageText(u"Message", u"Data_Error");
            mode = CMyMsg::ModeYesNo;  // shown as a question; the answer is not used
        }
    } else {
        // Nothing is removed: every row stays for another try.
        message = QString::asprintf("%s \n\rerror: %d", ReadLanguageText(u"Message", u"Save_error").toUtf8().constData(),
                                    result.error);
    }
    FinishJob(mode, message);
}
