#pragma once
// The measurement table as Qt's item views see it (list view 1000): a read-only view over a
// weighing::MeasurementTable that someone else changes. The owner of the table says what
// changed, after the change, and the model passes it on to the views. Used on the
// user-interface thread only.
#include "MeasurementTable.h"

#include <QAbstractTableModel>
#include <QString>

#include <functional>

class MeasurementModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = weighing::kColumns;
    enum Column { Number = weighing::kNumber, Data, Unit, Duration, UpdateTime, Explan };

    // `title` gives the column titles, read each time a view asks.
    MeasurementModel(const weighing::MeasurementTable& table, std::function<QString(int column)> title,
                     QObject* parent = nullptr)
        : QAbstractTableModel(parent), m_table(table), m_title(std::move(title)) {}

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    const weighing::MeasurementTable& Table() const { return m_table; }
    std::u16string_view Text(int row, int column) const;
    QString Title(int column) const { return m_title(column); }

    // The table has already changed when these are called. Rows appended are announced as
    // inserted; removals are told as a reset, so that no view reads a row that is gone.
    void RowsInserted(int first, int count);
    void RowsChanged(int first, int end);
    void Reset();
    void TitlesChanged();

private:
    const weighing::MeasurementTable& m_table;
    std::function<QString(int)> m_title;
};
