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
    if (role == Qt::DisplayRole) return m_titles[static_cast<std::size_t>(section)];
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignVCenter | (section == Explan ? Qt::AlignLeft : Qt::AlignHCenter));
    return {};
}

void MeasurementModel::SetTitles(const std::array<QString, kColumns>& titles) {
    m_titles = titles;
    emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

int MeasurementModel::AppendRow(const weighing::RowTexts& texts, const weighing::Reading& reading) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    m_table.Append(texts, reading);
    endInsertRows();
    return row;
}

void MeasurementModel::RestoreRows(const std::vector<KeptRow>& rows) {
    if (rows.empty()) return;
    beginResetModel();  // (a row whose identity does not ascend is left out)
    for (const KeptRow& row : rows) {
        weighing::RowTexts texts = row.texts;
        const std::u16string number = weighing::NumberText(m_table.size());
        texts[weighing::kNumber] = number;
        m_table.Restore(row.id, texts, row.reading);
    }
    endResetModel();
}

std::u16string_view MeasurementModel::Text(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns) return {};
    return m_table.Text(static_cast<std::size_t>(row), column);
}

void MeasurementModel::SetText(int row, int column, std::u16string_view text) {
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns) return;
    m_table.SetText(static_cast<std::size_t>(row), column, text);
    emit dataChanged(index(row, column), index(row, column));
}

void MeasurementModel::SetReading(int row, const weighing::Reading& reading) {
    if (row >= 0 && row < rowCount()) m_table.SetReading(static_cast<std::size_t>(row), reading);
}

void MeasurementModel::Convert(int first, int end, int unit, std::u16string_view errorText,
                               std::u16string_view overweightText) {
    end = std::min(end, rowCount());
    if (first < 0 || first >= end) return;
    m_table.RenderRows(static_cast<std::size_t>(first), static_cast<std::size_t>(end), unit, errorText, overweightText);
    emit dataChanged(index(first, Data), index(end - 1, Unit));
}

void MeasurementModel::DeleteAllRows() {
    beginResetModel();
    m_table.Clear();
    endResetModel();
}

void MeasurementModel::RemoveRows(const std::vector<weighing::RowId>& ids) {
    const auto runs = m_table.RunsOf(ids);  // last run first, so earlier positions stay put
    if (runs.empty()) return;
    for (const auto& [first, count] : runs) {
        beginRemoveRows({}, static_cast<int>(first), static_cast<int>(first + count - 1));
        m_table.Erase(first, count);
        endRemoveRows();
    }
    const std::size_t from = runs.back().first;
    m_table.Renumber(from);
    if (from < m_table.size()) emit dataChanged(index(static_cast<int>(from), Number), index(rowCount() - 1, Number));
}
