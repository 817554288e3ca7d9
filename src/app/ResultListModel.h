#pragma once

#include "engine/run/ResultRow.h"

#include <QAbstractTableModel>
#include <QList>
#include <QString>

// The rows of the results list: one per match of a run, in match order. Rows arrive in batches, so
// tens of thousands of them keep the list responsive.
class ResultListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    using Row = ResultRow;

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    const Row& row(int index) const { return rows_.at(index); }
    void appendRows(const QList<Row>& rows);
    void clear();

private:
    QList<Row> rows_;
};
