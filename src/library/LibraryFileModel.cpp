#include "library/LibraryFileModel.h"

LibraryFileModel::LibraryFileModel(QObject* parent) : QFileSystemModel(parent)
{
    setReadOnly(false); // names can be edited in place
    setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::AllDirs);
}

QVariant LibraryFileModel::data(const QModelIndex& index, int role) const
{
    if (index.isValid() && index.column() == TypeColumn && role == Qt::DisplayRole) {
        if (isDir(index))
            return QStringLiteral("文件夹");
        const QString suffix = fileInfo(index).suffix();
        return suffix.isEmpty() ? QStringLiteral("文件") : suffix.toUpper() + QStringLiteral(" 文件");
    }
    return QFileSystemModel::data(index, role);
}

QVariant LibraryFileModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        switch (section) {
        case NameColumn:
            return QStringLiteral("名称");
        case SizeColumn:
            return QStringLiteral("大小");
        case TypeColumn:
            return QStringLiteral("类型");
        case DateColumn:
            return QStringLiteral("修改日期");
        default:
            break;
        }
    }
    return QFileSystemModel::headerData(section, orientation, role);
}
