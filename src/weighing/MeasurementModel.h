#pragma once
// The measurement table as Qt's item views see it (list view 1000): a thin view over
// weighing::MeasurementTable that tells the views what changed. Used on the user-interface
// thread only.
#include "MeasurementTable.h"

#include <QAbstractTableModel>
#include <QString>

#include <array>
#include <vector>

// The characters of a QString as the table keeps them (valid while the string lives).
inline std::u16string_view Utf16(const QString& s) {
    return {reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size())};
}

class MeasurementModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = weighing::kColumns;
    enum Column { Number = weighing::kNumber, Data, Unit, Duration, UpdateTime, Explan };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void SetTitles(const std::array<QString, kColumns>& titles);
    QString Title(int column) const { return m_titles[static_cast<std::size_t>(column)]; }

    const weighing::MeasurementTable& Table() const { return m_table; }

    // Rows kept from an earlier run, appended under their identities (which ascend) and numbered
    // by their positions; the table's log is not told.
    struct KeptRow {
        weighing::RowId id;
        weighing::RowTexts texts;
        weighing::Reading reading;
    };
    void RestoreRows(const std::vector<KeptRow>& rows);
    // Every change to the rows from now on is told to `log` (none when null).
    void SetLog(weighing::TableLog* log) { m_table.SetLog(log); }

    // Appends a row with its six texts and what it stands for; returns its index.
    int AppendRow(const weighing::RowTexts& texts, const weighing::Reading& reading = {});
    std::u16string_view Text(int row, int column) const;
    void SetText(int row, int column, std::u16string_view text);
    void SetReading(int row, const weighing::Reading& reading);
    // Renders rows [first, end) in `unit` (Data and Unit texts), with one change notice.
    void Convert(int first, int end, int unit, std::u16string_view errorText, std::u16string_view overweightText);
    void DeleteAllRows();
    // Removes exactly the rows with these identities, wherever they stand; the rows left are
    // numbered from 1 again.
    void RemoveRows(const std::vector<weighing::RowId>& ids);

private:
    weighing::MeasurementTable m_table;
    std::array<QString, kColumns> m_titles;
};
