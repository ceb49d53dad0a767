#include "ClientTable.h"

#include "ZeviderUrive.h"

namespace talkmere {

namespace {
const QString kNoPeer = QStringLiteral("---");
const std::array<QString, ClientTable::kColumns> kHeaders = {
    QStringLiteral("Index"),        QStringLiteral("State"),      QStringLiteral("RemoteHost"),
    QStringLiteral("RemoteHostIP"), QStringLiteral("RemotePort"), QStringLiteral("Error")};
} // namespace

void ClientTable::setUp() {
    if (setUp_)
        return;
    beginInsertColumns({}, 0, kColumns - 1);
    setUp_ = true;
    endInsertColumns();
}

int ClientTable::FindRow(qint32 lngIndex) const {
    const QString key = QString::number(lngIndex);
    const int rows = static_cast<int>(rows_.size());
    for (int row = 0; row < rows; ++row)
        if (rows_[static_cast<size_t>(row)][0] == key)
            return row;
    return -1;
}

int ClientTable::AddRow(qint32 lngIndex) {
    const int row = static_cast<int>(rows_.size());
    beginInsertRows({}, row, row);
    rows_.emplace_back();
    rows_.back()[0] = QString::number(lngIndex);
    endInsertRows();
    return row;
}

void ClientTable::MarkConnected(qint32 lngIndex, const ZeviderUrive& pool) {
    int row = FindRow(lngIndex);
    if (row < 0)
        row = AddRow(lngIndex);
    setCell(row, 1, QStringLiteral("Connected"));
    setCell(row, 2, pool.RemoteHost(lngIndex));
    setCell(row, 3, pool.RemoteHostIP(lngIndex));
    setCell(row, 4, QString::number(pool.RemotePort(lngIndex)));
    setCell(row, 5, QString());
}

int ClientTable::closeRow(qint32 lngIndex) {
    const int row = FindRow(lngIndex);
    if (row < 0)
        return row;
    setCell(row, 1, QStringLiteral("Closed"));
    for (int column = 2; column <= 4; ++column)
        setCell(row, column, kNoPeer);
    return row;
}

void ClientTable::MarkClosed(qint32 lngIndex) {
    closeRow(lngIndex);
}

void ClientTable::MarkFailed(qint32 lngIndex, const QString& description) {
    if (const int row = closeRow(lngIndex); row >= 0)
        setCell(row, 5, description);
}

void ClientTable::ClearRows() {
    if (rows_.empty())
        return;
    beginResetModel();
    rows_.clear();
    endResetModel();
}

QString ClientTable::cell(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns)
        return {};
    return rows_[static_cast<size_t>(row)][static_cast<size_t>(column)];
}

void ClientTable::setCell(int row, int column, const QString& text) {
    rows_[static_cast<size_t>(row)][static_cast<size_t>(column)] = text;
    const QModelIndex at = index(row, column);
    emit dataChanged(at, at, {Qt::DisplayRole});
}

int ClientTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ClientTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() || !setUp_ ? 0 : kColumns;
}

QVariant ClientTable::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return cell(index.row(), index.column());
}

QVariant ClientTable::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= columnCount())
        return {};
    return kHeaders[static_cast<size_t>(section)];
}

} // namespace talkmere
