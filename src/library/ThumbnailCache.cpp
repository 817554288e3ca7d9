#include "library/ThumbnailCache.h"

#include <QDateTime>
#include <QFileInfo>
#include <QImageReader>

namespace
{

// What a picture of this size or more is read as: the cap spares memory on a decoding bomb.
constexpr int kMaxSourcePixels = 64 * 1024 * 1024;

QImage readScaled(const QString& path, const QSize& box)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    if (full.isValid()) {
        if (qint64(full.width()) * full.height() > kMaxSourcePixels)
            return {};
        reader.setScaledSize(full.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    }
    QImage image = reader.read();
    if (!image.isNull() && (image.width() > box.width() || image.height() > box.height()))
        image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

} // namespace

ThumbnailCache::ThumbnailCache(const QSize& size, QObject* parent) : QObject(parent), size_(size)
{
    pool_.setMaxThreadCount(2);
}

ThumbnailCache::~ThumbnailCache()
{
    pool_.clear();
    pool_.waitForDone();
}

bool ThumbnailCache::isPicture(const QString& path)
{
    static const QSet<QString> kSuffixes{QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("png"),
                                         QStringLiteral("gif"), QStringLiteral("bmp"),  QStringLiteral("webp"),
                                         QStringLiteral("ico")};
    return kSuffixes.contains(QFileInfo(path).suffix().toLower());
}

QImage ThumbnailCache::thumbnail(const QString& path)
{
    const QFileInfo file(path);
    const QString key = path + QLatin1Char('\n') + QString::number(file.lastModified().toMSecsSinceEpoch());
    if (const auto known = made_.constFind(key); known != made_.constEnd())
        return *known;
    if (!pending_.contains(key) && file.isFile()) {
        pending_.insert(key);
        pool_.start([this, key, path, box = size_] {
            const QImage image = readScaled(path, box);
            QMetaObject::invokeMethod(
                this, [this, key, path, image] { made(key, path, image); }, Qt::QueuedConnection);
        });
    }
    return {};
}

void ThumbnailCache::made(const QString& key, const QString& path, const QImage& image)
{
    pending_.remove(key);
    made_.insert(key, image);
    if (!image.isNull())
        emit thumbnailReady(path);
}
