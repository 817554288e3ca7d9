#include "library/LibraryFileModel.h"

#include "library/ThumbnailCache.h"
#include "util/DateText.h"
#include "util/SizedIcon.h"

#include <QApplication>
#include <QMimeDatabase>
#include <QStyle>
#include <iterator>

LibraryFileModel::LibraryFileModel(QObject* parent) : QFileSystemModel(parent)
{
    setReadOnly(false); // names can be edited in place
    setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::AllDirs);
}

QString LibraryFileModel::sizeText(qint64 bytes)
{
    const QLocale locale;
    if (bytes < 1024)
        return QStringLiteral("%1 字节").arg(locale.toString(bytes));
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    for (; value >= 1024 && unit + 1 < static_cast<int>(std::size(kUnits)); ++unit)
        value /= 1024;
    return locale.toString(value, 'f', 2) + QLatin1Char(' ') + QLatin1String(kUnits[unit]);
}

void LibraryFileModel::setIconStyle(const QSize& size, ThumbnailCache* thumbnails)
{
    iconSize_ = size;
    typeIcons_.clear();
    disconnect(thumbnailConnection_);
    thumbnails_ = thumbnails;
    if (thumbnails != nullptr)
        thumbnailConnection_ =
            connect(thumbnails, &ThumbnailCache::thumbnailReady, this, &LibraryFileModel::thumbnailReady);
    if (rowCount(index(rootPath())) > 0)
        emit dataChanged(index(0, NameColumn, index(rootPath())),
                         index(rowCount(index(rootPath())) - 1, NameColumn, index(rootPath())), {Qt::DecorationRole});
}

void LibraryFileModel::thumbnailReady(const QString& path)
{
    const QModelIndex shown = index(path, NameColumn);
    if (shown.isValid())
        emit dataChanged(shown, shown, {Qt::DecorationRole});
}

QIcon LibraryFileModel::typeIcon(const QModelIndex& index) const
{
    static const QMimeDatabase mimeTypes;
    const bool folder = isDir(index);
    const QMimeType type = folder ? mimeTypes.mimeTypeForName(QStringLiteral("inode/directory"))
                                  : mimeTypes.mimeTypeForFile(fileInfo(index), QMimeDatabase::MatchExtension);
    const auto known = typeIcons_.constFind(type.name());
    if (known != typeIcons_.constEnd())
        return *known;
    QIcon icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
    if (icon.isNull())
        icon = QFileSystemModel::data(index, Qt::DecorationRole).value<QIcon>();
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
    icon = SizedIcon::atSize(icon, iconSize_);
    typeIcons_.insert(type.name(), icon);
    return icon;
}

QVariant LibraryFileModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return QFileSystemModel::data(index, role);
    if (index.column() == TypeColumn && role == Qt::DisplayRole) {
        if (isDir(index))
            return QStringLiteral("文件夹");
        const QString suffix = fileInfo(index).suffix();
        return suffix.isEmpty() ? QStringLiteral("文件") : suffix.toUpper() + QStringLiteral(" 文件");
    }
    if (index.column() == DateColumn && role == Qt::DisplayRole) {
        const QDateTime modified = lastModified(index);
        return DateText::format(modified.date()) + QLatin1Char(' ') + modified.time().toString(QStringLiteral("HH:mm"));
    }
    if (index.column() == SizeColumn && role == Qt::DisplayRole)
        return isDir(index) ? QString() : sizeText(size(index));
    if (index.column() == NameColumn && role == Qt::DecorationRole) {
        if (thumbnails_ && !isDir(index) && ThumbnailCache::isPicture(filePath(index))) {
            const QImage thumbnail = thumbnails_->thumbnail(filePath(index));
            if (!thumbnail.isNull())
                return QIcon(QPixmap::fromImage(thumbnail));
        }
        return typeIcon(index);
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
