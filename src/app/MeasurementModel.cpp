#include "MeasurementModel.h"

int MeasurementModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_table.size());
}

int MeasurementModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant MeasurementModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    if (role == Qt::DisplayRole) {
        const std::u16string_view t = Text(index.row(), index.column());
        return QString(reinterpret_cast<const QChar*>(t.data()), static_cast<qsizetype>(t.size()));
    }
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignVCenter | (index.column() == Explan ? Qt::AlignLeft : Qt::AlignHCenter));
    return {};
}

QVariant MeasurementModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) return {};
    if (role == Qt::DisplayRole) return m_title(section);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignVCenter | (section == Explan ? Qt::AlignLeft : Qt::AlignHCenter));
    return {};
}

std::u16string_view MeasurementModel::Text(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns) return {};
    return m_table.Text(static_cast<std::size_t>(row), column);
}

void MeasurementModel::RowsInserted(int first, int count) {
    if (count <= 0) return;
    // The rows are there already; nothing reads them between the two calls.
    beginInsertRows({}, first, first + count - 1);
    endInsertRows();
}

void MeasurementModel::RowsChanged(int first, int end) {
    end = std::min(end, rowCount());
    if (first < 0 || first >= end) return;
    emit dataChanged(index(first, 0), index(end - 1, kColumns - 1));
}

void MeasurementModel::Reset() {
    beginResetModel();
    endResetModel();
}

void MeasurementModel::TitlesChanged() { emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1); }
