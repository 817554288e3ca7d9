#include "util/SizedIcon.h"

#include <QPainter>
#include <QPixmap>

QIcon SizedIcon::atSize(const QIcon& icon, const QSize& size)
{
    if (icon.isNull() || icon.actualSize(size).width() >= size.width())
        return icon;
    QPixmap picture(size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(picture.rect(), icon.pixmap(icon.actualSize(size)));
    painter.end();
    QIcon sized(icon);
    sized.addPixmap(picture);
    return sized;
}
