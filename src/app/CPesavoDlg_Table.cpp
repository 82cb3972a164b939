// Whole-table operations: the display-unit conversion and the export to an .xls workbook. Both
// run on a worker thread while the progress dialog shows; the table itself is only ever touched
// on the window's thread, in chunks the worker hands over.
#include "CPesavoDlg.h"

#include "UiCall.h"
#include "platform/LocalTime.h"
#include "WorkbookExport.h"

#include <QFileDialog>
#include <QTableView>

#include <ctime>

namespace {

constexpr int kChunkRows = 1000;

std::u16string_view View(const QString& s) {
    return {reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size())};
}

}  // namespace

std::function<QString(const QString&)> CPesavoDlg::s_saveDialog;

QString CPesavoDlg::RenderData(int row, int unit) {
    const auto r = static_cast<std::size_t>(row);
    switch (m_anRowKind[r]) {
        case weighing::RowKind::Error: return ReadLanguageText(u"ListCtrl_Header", u"Error_EX");
        case weighing::RowKind::Overweight: return ReadLanguageText(u"ListCtrl_Header", u"Overweight");
        case weighing::RowKind::Weight: break;
    }
    return QString::fromLatin1(weighing::WeightText(m_adWeight[r], m_anWidthCode[r], unit));
}

// ---- unit conversion ----

void CPesavoDlg::OnUnit(int unit) {
    if (m_nUnit == unit) return;
    m_dlgProgress.SetTexts(ReadLanguageText(u"Progress", u"Change_Caption"), ReadLanguageText(u"Progress", u"Change_Display"));
    g_nProgress = 0;
    m_workers.Start([this, unit](std::stop_token stop) { ConvertThread(unit, stop); });
    m_dlgProgress.DoModal();
    g_nProgress = -1;
}

void CPesavoDlg::ConvertThread(int unit, std::stop_token stop) {
    const QString unitText = QString::fromLatin1(weighing::UnitText(unit));
    auto convert = [&](int row) {
        m_Model.SetText(row, MeasurementModel::Data, View(RenderData(row, unit)));
        m_Model.SetText(row, MeasurementModel::Unit, View(unitText));
    };
    const std::optional<int> rows = ui::CallOnUiThread<int>([&] { return m_Model.rowCount(); }, stop);
    if (!rows) return;
    const int step = 1000000 / (*rows + 1);
    for (int first = 0; first < *rows; first += kChunkRows) {
        const bool applied = ui::RunOnUiThread(
            [&] {
                const int end = std::min({first + kChunkRows, *rows, m_Model.rowCount()});
                for (int row = first; row < end; ++row) convert(row);
            },
            stop);
        if (!applied) return;
        g_nProgress += step * std::min(kChunkRows, *rows - first);
    }
    // Rows that arrived meanwhile were rendered in the old unit (and rows may have moved up when
    // a full table was saved): bring every row still in another unit over, then switch.
    ui::RunOnUiThread(
        [&] {
            for (int row = 0; row < m_Model.rowCount(); ++row)
                if (m_Model.Text(row, MeasurementModel::Unit) != View(unitText)) convert(row);
            m_nUnit = unit;
        },
        stop);
    g_nProgress = -1;
}

// ---- export ----

void CPesavoDlg::OnSaveTable() {
    if (m_Model.rowCount() > 0) SaveTable(false);
}

bool CPesavoDlg::SaveTable(bool automatic) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char name[128] = "TarnobelDataFile";
    if (platform::ToLocalTime(now, local)) std::strftime(name, sizeof name, "TarnobelDataFile-%Y-%m-%d-%H-%M-%S", &local);
    const QString fileName = QString::fromLatin1(name) + QStringLiteral(".xls");
    if (automatic) {
        m_strSavePath = m_strModuleDir + fileName;
    } else {
        QString chosen;
        if (s_saveDialog) {
            chosen = s_saveDialog(fileName);
        } else {
            QFileDialog dialog(nullptr);
            dialog.setAcceptMode(QFileDialog::AcceptSave);
            dialog.setFileMode(QFileDialog::AnyFile);
            dialog.setDefaultSuffix(QStringLiteral("xls"));
            dialog.setNameFilter(QStringLiteral("Excel Files(*.xls)"));
            dialog.selectFile(fileName);
            if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) chosen = dialog.selectedFiles().front();
        }
        if (chosen.isEmpty()) return false;
        m_strSavePath = chosen;
    }
    m_dlgProgress.SetTexts(ReadLanguageText(u"Progress", u"Save_Caption"), ReadLanguageText(u"Progress", u"Save_Display"));
    g_nProgress = 0;
    m_workers.Start([this](std::stop_token stop) { ExportThread(stop); });
    m_dlgProgress.DoModal();
    g_nProgress = -1;
    return true;
}

void CPesavoDlg::ExportThread(std::stop_token stop) {
    struct Start {
        std::array<std::u16string, exporter::kColumns> titles;
        int rows = 0;
        std::string path;
    };
    const std::optional<Start> start = ui::CallOnUiThread<Start>([&] {
        Start s;
        for (int c = 0; c < exporter::kColumns; ++c) {
            const QString title = m_Model.Title(c);
            s.titles[static_cast<std::size_t>(c)] = std::u16string(View(title));
        }
        s.rows = m_Model.rowCount();  // rows that arrive from now on stay for the next save
        s.path = m_strSavePath.toStdString();
        return s;
    }, stop);
    if (!start) return;

    // The rows' texts come over from the window's thread a chunk at a time.
    std::vector<std::u16string> chunk;
    int chunkFirst = -1;
    std::stop_source abort;  // a chunk that could not be fetched cancels the file
    const std::stop_callback forward(stop, [&] { abort.request_stop(); });
    const exporter::CellText text = [&](std::size_t row, int column) -> std::u16string_view {
        const int r = static_cast<int>(row);
        if (chunkFirst < 0 || r < chunkFirst || r >= chunkFirst + kChunkRows) {
            chunkFirst = r;
            const bool fetched = ui::RunOnUiThread(
                [&] {
                    chunk.clear();
                    const int end = std::min({r + kChunkRows, start->rows, m_Model.rowCount()});
                    for (int i = r; i < end; ++i)
                        for (int c = 0; c < exporter::kColumns; ++c) chunk.emplace_back(m_Model.Text(i, c));
                },
                stop);
            if (!fetched) abort.request_stop();
        }
        const std::size_t at = static_cast<std::size_t>(r - chunkFirst) * exporter::kColumns + static_cast<std::size_t>(column);
        return at < chunk.size() ? std::u16string_view(chunk[at]) : std::u16string_view();
    };
    exporter::SaveResult result = exporter::WriteTableWorkbook(start->path, start->titles,
                                                               static_cast<std::size_t>(start->rows), text, &g_nProgress, abort.get_token());
    if (abort.stop_requested()) return;  // the window is going away: nothing more to do  // the window is going away: nothing more to do
    if (result.written) {
        if (!ui::RunOnUiThread([&] { RemoveSavedRows(start->rows); }, stop)) return;
    }
    g_nProgress = -1;
    if (!result.written) {
        // Nothing is deleted: every row stays for another try.
        const QString message = QString::asprintf("%s \n\rerror: %d", ReadLanguageText(u"Message", u"Save_error").toUtf8().constData(),
                                                  result.error);
        m_MyMsg.Show(CMyMsg::ModeOk, message, stop);
    }
}

void CPesavoDlg::RemoveSavedRows(int count) {
    count = std::min(count, m_Model.rowCount());
    if (count <= 0) return;
    m_Model.DeleteFirstRows(count);
    // Rows that arrived during the save move to the top, with their stored values, and are
    // numbered from 1 again like every table after a save.
    const int left = m_Model.rowCount();
    for (int i = 0; i < left; ++i) {
        const auto to = static_cast<std::size_t>(i), from = static_cast<std::size_t>(i + count);
        m_adWeight[to] = m_adWeight[from];
        m_anWidthCode[to] = m_anWidthCode[from];
        m_anRowKind[to] = m_anRowKind[from];
        m_Model.SetText(i, MeasurementModel::Number, View(MeasurementModel::NumberText(i)));
    }
}
