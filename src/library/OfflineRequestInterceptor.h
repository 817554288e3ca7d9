#pragma once

#include <QUrl>
#include <QWebEngineUrlRequestInterceptor>

// Keeps a previewed page offline: every request whose scheme reaches beyond this machine (http, https,
// ftp, ws and any scheme not known to be local) is blocked, so that opening a harvested page never
// tells a tracker or the page's site that it was looked at.
class OfflineRequestInterceptor : public QWebEngineUrlRequestInterceptor
{
    Q_OBJECT

public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void interceptRequest(QWebEngineUrlRequestInfo& info) override;

    // Whether a request for `url` may go ahead: only schemes that name local or in-memory content.
    static bool isLocal(const QUrl& url);

signals:
    void requestBlocked(const QUrl& url);
};
