#pragma once

#include <QFileSystemModel>
#include <QHash>
#include <QIcon>
#include <QPointer>
#include <QSize>

class ThumbnailCache;

// The file system as the library's file list shows it: names, sizes, types and dates, with Chinese
// column captions, type names and size units, folders before files. Each file shows the icon of its type
// at the view's icon size; with a thumbnail cache, pictures show themselves instead.
class LibraryFileModel : public QFileSystemModel
{
    Q_OBJECT

public:
    enum Column
    {
        NameColumn,
        SizeColumn,
        TypeColumn,
        DateColumn,
    };

    explicit LibraryFileModel(QObject* parent = nullptr);

    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The size icons are drawn at, and whether pictures show their thumbnails from `thumbnails` (may be null;
    // it outlives this model).
    void setIconStyle(const QSize& size, ThumbnailCache* thumbnails);

    // `bytes` in the program's units: 字节 below a kilobyte, then KB, MB, GB of 1024.
    static QString sizeText(qint64 bytes);

private:
    QIcon typeIcon(const QModelIndex& index) const;
    void thumbnailReady(const QString& path);

    QSize iconSize_{16, 16};
    QPointer<ThumbnailCache> thumbnails_;
    QMetaObject::Connection thumbnailConnection_;
    mutable QHash<QString, QIcon> typeIcons_; // by MIME type name
};
