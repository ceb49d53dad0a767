#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <array>
#include <vector>

namespace talkmere {

class ZeviderUrive;

// The operator's status board: one row per slot that has had a client since the table was last
// emptied, in the order the rows were added. A display model only; routing never reads it.
class ClientTable : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 6;

    using QAbstractTableModel::QAbstractTableModel;

    // Adds the six column headers; until then the table has no columns.
    void setUp();
    // The first row whose key is the index's decimal text, or -1.
    int FindRow(qint32 lngIndex) const;
    int AddRow(qint32 lngIndex);
    void MarkConnected(qint32 lngIndex, const ZeviderUrive& pool);
    void MarkClosed(qint32 lngIndex);
    void MarkFailed(qint32 lngIndex, const QString& description);
    void ClearRows();

    QString cell(int row, int column) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    void setCell(int row, int column, const QString& text);
    // "Closed" and no peer: the row's index, or -1 when the slot has no row.
    int closeRow(qint32 lngIndex);

    bool setUp_ = false;
    std::vector<std::array<QString, kColumns>> rows_;
};

} // namespace talkmere
