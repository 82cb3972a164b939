#pragma once
// Reaching the main window's parts as a test does: its controls by their template ids (their
// object names), the desk's texts and state, the table's cells; and rows an earlier run left in
// a journal, for a window to start with.
#include "CPesavoDlg.h"
#include "Journal.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QString>

#include <string>

template <typename T = QWidget>
T* Item(CPesavoDlg& w, int id) {
    return w.findChild<T*>(QString::number(id));
}
inline QAbstractButton* Button(CPesavoDlg& w, int id) { return Item<QAbstractButton>(w, id); }
inline QComboBox* Ports(CPesavoDlg& w) { return Item<QComboBox>(w, CPesavoDlg::IDC_PORT); }
inline QComboBox* Languages(CPesavoDlg& w) { return Item<QComboBox>(w, CPesavoDlg::IDC_LANGUAGE); }
inline QString LanguageText(CPesavoDlg& w, const char16_t* section, const char16_t* key) {
    return QString::fromStdU16String(w.GetDesk().Text(section, key));
}
inline QString Cell(CPesavoDlg& w, int row, int column) {
    const std::u16string_view t = w.Model().Text(row, column);
    return QString::fromUtf16(t.data(), static_cast<qsizetype>(t.size()));
}
inline int Rows(CPesavoDlg& w) { return w.Model().rowCount(); }

// Leaves `count` rows of 123.4 kg in the journal in `folder`, as a run that ended without saving
// leaves them; a window started on that journal offers them back.
inline void LeaveRowsInJournal(const std::string& folder, int count) {
    journal::Journal::Opening opening = journal::Journal::Open(folder);
    if (!opening.journal) return;
    weighing::MeasurementTable table;
    table.SetLog(opening.journal.get());
    for (int i = 0; i < count; ++i)
        table.Append({weighing::NumberText(static_cast<std::size_t>(i)), u"123.4", u"KG", u"00:00:01", u"14:05:09 12/07/2026", u""},
                     {weighing::RowKind::Weight, 123.4, 1});
    opening.journal->Commit();
    table.SetLog(nullptr);
}
