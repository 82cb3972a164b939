#include "MeasurementModel.h"

int MeasurementModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_columns[0].size());
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
    if (role == Qt::DisplayRole) return m_titles[static_cast<std::size_t>(section)];
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignVCenter | (section == Explan ? Qt::AlignLeft : Qt::AlignHCenter));
    return {};
}

void MeasurementModel::SetTitles(const std::array<QString, kColumns>& titles) {
    m_titles = titles;
    emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

int MeasurementModel::AppendRow(const std::array<std::u16string_view, kColumns>& texts) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    for (int c = 0; c < kColumns; ++c) m_columns[static_cast<std::size_t>(c)].push_back(texts[static_cast<std::size_t>(c)]);
    endInsertRows();
    return row;
}

std::u16string_view MeasurementModel::Text(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns) return {};
    return m_columns[static_cast<std::size_t>(column)].at(static_cast<std::size_t>(row));
}

void MeasurementModel::SetText(int row, int column, std::u16string_view text) {
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns) return;
    m_columns[static_cast<std::size_t>(column)].set(static_cast<std::size_t>(row), text);
    emit dataChanged(index(row, column), index(row, column));
}

void MeasurementModel::DeleteAllRows() {
    beginResetModel();
    for (auto& c : m_columns) c.clear();
    endResetModel();
}

void MeasurementModel::DeleteFirstRows(int count) {
    count = std::min(count, rowCount());
    if (count <= 0) return;
    beginRemoveRows({}, 0, count - 1);
    for (auto& c : m_columns) c.erase_front(static_cast<std::size_t>(count));
    endRemoveRows();
}
