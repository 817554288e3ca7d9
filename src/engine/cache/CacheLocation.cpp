#include "engine/cache/CacheLocation.h"

#include <QStringList>

QString CacheLocation::kindName(Kind kind)
{
    switch (kind) {
    case Kind::ChromiumSimple:
        return QStringLiteral("chromium-simple");
    case Kind::ChromiumBlockfile:
        return QStringLiteral("chromium-blockfile");
    case Kind::Firefox:
        return QStringLiteral("firefox");
    case Kind::IndexDat:
        return QStringLiteral("indexdat");
    case Kind::NoPermission:
        return QStringLiteral("no-permission");
    case Kind::ChromiumCacheStorage:
        return QStringLiteral("chromium-cache-storage");
    case Kind::WebKit:
        return QStringLiteral("webkit");
    case Kind::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

QString CacheLocation::title() const
{
    QStringList parts;
    for (const QString& part : {program, profile}) {
        if (!part.isEmpty())
            parts << part;
    }
    if (kind == Kind::ChromiumCacheStorage)
        parts << QStringLiteral("service workers");
    return parts.join(QStringLiteral(" · "));
}
