#pragma once
// The measurement table behind list view 1000: six text columns per row
// (Number, Data, Unit, Duration, Update_Time, Explan). Used on the user-interface thread only.
#include "TextColumn.h"

#include <QAbstractTableModel>
#include <QString>

#include <array>

class MeasurementModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 6;
    enum Column { Number, Data, Unit, Duration, UpdateTime, Explan };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void SetTitles(const std::array<QString, kColumns>& titles);
    QString Title(int column) const { return m_titles[static_cast<std::size_t>(column)]; }

    // The Number text of the row at `row`: its position from 1, right-aligned in eight places.
    static QString NumberText(int row) { return QStringLiteral("%1").arg(row + 1, 8); }

    // Appends a row with its six texts and returns its index.
    int AppendRow(const std::array<std::u16string_view, kColumns>& texts);
    std::u16string_view Text(int row, int column) const;
    void SetText(int row, int column, std::u16string_view text);
    void DeleteAllRows();
    // Removes rows 0..count-1; later rows move up.
    void DeleteFirstRows(int count);

private:
    std::array<TextColumn, kColumns> m_columns;
    std::array<QString, kColumns> m_titles;
};
