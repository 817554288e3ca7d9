#pragma once

#include <QFileSystemModel>

// The file system as the library's file list shows it: names, sizes, types and dates, with Chinese
// column captions and type names, folders before files.
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
};
