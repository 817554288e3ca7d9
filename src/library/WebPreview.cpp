#include "library/WebPreview.h"

#include "library/OfflineRequestInterceptor.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <unistd.h>

namespace
{

const QString kPicturePrefix = QStringLiteral(R"(<p align="center"><img border="0" src=")");

QString pictureSuffix(WebPreview::PictureFit fit)
{
    switch (fit) {
    case WebPreview::PictureFit::Natural:
        return QStringLiteral(R"("></p>)");
    case WebPreview::PictureFit::Width:
        return QStringLiteral(R"(" width="100%"></p>)");
    case WebPreview::PictureFit::Height:
        return QStringLiteral(R"(" Height="100%"></p>)");
    case WebPreview::PictureFit::ActualSize:
        return QStringLiteral(R"(" ></p>)");
    }
    return {};
}

QString flashNotice(const QString& path)
{
    return QStringLiteral(R"(<p align="center">“%1”是 Flash 动画，如今的浏览器都已不能播放，无法预览。</p>)"
                          R"(<p align="center">在文件列表中双击它，可以用关联的程序打开。</p>)")
        .arg(QFileInfo(path).fileName().toHtmlEscaped());
}

} // namespace

WebPreview::WebPreview(QWidget* parent)
    : QWidget(parent), interceptor_(std::make_unique<OfflineRequestInterceptor>()),
      profile_(std::make_unique<QWebEngineProfile>()) // no storage name: off the record, nothing on disk
{
    profile_->setUrlRequestInterceptor(interceptor_.get());
    connect(interceptor_.get(), &OfflineRequestInterceptor::requestBlocked, this, &WebPreview::requestBlocked);

    view_ = new QWebEngineView(this);
    view_->setObjectName(QStringLiteral("WebView"));
    auto* page = new QWebEnginePage(profile_.get(), view_);
    QWebEngineSettings* settings = page->settings();
    // A previewed page is no program of the user's: no scripts, and no way from a local page to other
    // local files (only the picture page gets that, see showPicture) or to the network.
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    settings->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
    settings->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
    settings->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
    view_->setPage(page);
    connect(page, &QWebEnginePage::loadFinished, this, &WebPreview::loadFinished);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
}

WebPreview::~WebPreview()
{
    // The view takes its page with it; both must be gone before the profile they use.
    delete view_;
}

void WebPreview::prepareApplication()
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (!flags.contains("--lang=")) {
        flags += flags.isEmpty() ? "--lang=zh-CN" : " --lang=zh-CN";
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    }
}

QString WebPreview::picturePage(const QString& path, PictureFit fit)
{
    // The path becomes a percent-encoded file address, then is escaped for the attribute: a file named
    // with quotes or angle brackets stays a name and never turns into markup.
    const QString address = QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded(QUrl::FullyEncoded));
    return kPicturePrefix + address.toHtmlEscaped() + pictureSuffix(fit);
}

QUrl WebPreview::picturePageBase()
{
    return QUrl(QStringLiteral("file:///"));
}

void WebPreview::showDocument(const QString& path)
{
    allowLocalFiles(false);
    if (isFlashMovie(path)) {
        shown_ = {Shown::Kind::FlashNotice, path, PictureFit::Natural};
        view_->setHtml(flashNotice(path), picturePageBase());
        return;
    }
    shown_ = {Shown::Kind::Document, path, PictureFit::Natural};
    view_->setUrl(QUrl::fromLocalFile(path));
}

void WebPreview::showPicture(const QString& path, PictureFit fit)
{
    // The picture page is the program's own, without scripts and with its one address escaped: it alone
    // may load a local file. Harvested pages never get that.
    allowLocalFiles(true);
    shown_ = {Shown::Kind::Picture, path, fit};
    view_->setHtml(picturePage(path, fit), picturePageBase());
}

void WebPreview::blank()
{
    allowLocalFiles(false);
    shown_ = {};
    view_->setUrl(QUrl(QStringLiteral("about:blank")));
}

void WebPreview::allowLocalFiles(bool allowed)
{
    view_->page()->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, allowed);
}

QWebEnginePage* WebPreview::page() const
{
    return view_->page();
}

bool WebPreview::isFlashMovie(const QString& path)
{
    const QFileInfo file(path);
    return file.isFile() && file.suffix().compare(QStringLiteral("swf"), Qt::CaseInsensitive) == 0;
}
