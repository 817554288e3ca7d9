#include "library/OfflineRequestInterceptor.h"

#include <QStringList>

void OfflineRequestInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info)
{
    const QUrl url = info.requestUrl();
    if (isLocal(url))
        return;
    info.block(true);
    emit requestBlocked(url);
}

bool OfflineRequestInterceptor::isLocal(const QUrl& url)
{
    // An allow-list: a scheme the engine learns later is blocked until someone decides it is local.
    static const QStringList localSchemes{QStringLiteral("file"), QStringLiteral("data"), QStringLiteral("blob"),
                                          QStringLiteral("about"), QStringLiteral("qrc")};
    return localSchemes.contains(url.scheme(), Qt::CaseInsensitive);
}
