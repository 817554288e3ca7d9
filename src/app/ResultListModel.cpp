#include "app/ResultListModel.h"

#include <array>

namespace
{
const std::array<QString, 4> kColumnCaptions{QStringLiteral("文件名称"), QStringLiteral("访问日期"),
                                             QStringLiteral("文件大小"), QStringLiteral("符合方案")};
}

int ResultListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ResultListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(kColumnCaptions.size());
}

QVariant ResultListModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows_.size())
        return {};
    const Row& shown = rows_.at(index.row());
    switch (index.column()) {
    case 0:
        return shown.url;
    case 1:
        return shown.accessDate;
    case 2:
        return shown.size;
    case 3:
        return shown.planName;
    default:
        return {};
    }
}

QVariant ResultListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= static_cast<int>(kColumnCaptions.size()))
        return {};
    return kColumnCaptions[section];
}

void ResultListModel::appendRows(const QList<Row>& rows)
{
    if (rows.isEmpty())
        return;
    beginInsertRows(QModelIndex(), static_cast<int>(rows_.size()), static_cast<int>(rows_.size() + rows.size() - 1));
    rows_.append(rows);
    endInsertRows();
}

void ResultListModel::clear()
{
    beginResetModel();
    rows_.clear();
    endResetModel();
}
