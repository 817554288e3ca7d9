#pragma once

#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QThreadPool>

// Small pictures of picture files for the library's large-icon view. Each is read and scaled on a pool
// thread, since a folder of large photographs would hold the window up, and kept in memory for as long as
// the cache lives (the library window's life), keyed by path and modification time so that a file
// changed meanwhile is read again.
class ThumbnailCache : public QObject
{
    Q_OBJECT

public:
    explicit ThumbnailCache(const QSize& size, QObject* parent = nullptr);
    ~ThumbnailCache() override;

    ThumbnailCache(const ThumbnailCache&) = delete;
    ThumbnailCache& operator=(const ThumbnailCache&) = delete;

    // Whether the file's name says it is a picture this program can show.
    static bool isPicture(const QString& path);

    // The thumbnail of the picture at `path`: null while it is being made (thumbnailReady follows) and for a
    // file that does not decode.
    QImage thumbnail(const QString& path);

    QSize size() const { return size_; }

signals:
    void thumbnailReady(const QString& path);

private:
    void made(const QString& key, const QString& path, const QImage& image);

    const QSize size_;
    QHash<QString, QImage> made_; // by key; a null image for a file that did not decode
    QSet<QString> pending_;
    QThreadPool pool_; // its own, so that destruction waits for the pictures being read
};
