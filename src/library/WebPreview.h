#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>
#include <memory>

class OfflineRequestInterceptor;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;

// The library window's preview: a web view that shows harvested pages (MHTML archives), pictures on
// a small page of their own, and a notice for Flash movies. It runs offline and without scripts on a
// private profile that keeps nothing on disk, as previewed pages come from anywhere.
class WebPreview : public QWidget
{
    Q_OBJECT

public:
    // How the picture page sizes its picture. Natural and ActualSize both show it at its own size;
    // they are kept apart because the page text of each request is fixed.
    enum class PictureFit
    {
        Natural,    // a click in the file list
        Width,      // fitted to the preview's width
        Height,     // fitted to the preview's height
        ActualSize, // back to its own size
    };

    // What the preview was last asked to show.
    struct Shown
    {
        enum class Kind
        {
            Blank,
            Document,    // the file itself, opened by the engine
            FlashNotice, // a Flash movie, which no engine plays
            Picture,     // the picture page
        };
        Kind kind = Kind::Blank;
        QString path;
        PictureFit fit = PictureFit::Natural;
    };

    explicit WebPreview(QWidget* parent = nullptr);
    ~WebPreview() override;

    // Settings the engine reads once, when it starts: call before the QApplication is created. Turns the
    // engine's sandbox off when running as root (it refuses to start otherwise), shares OpenGL contexts
    // between windows, and gives the engine a Chinese locale so that it guesses old Chinese pages without
    // a charset declaration as GBK. The program's own QLocale is left alone: dates in the plan file follow
    // it.
    static void prepareApplication();

    // The picture page of the file at `path`: one centred paragraph holding the picture, sized by `fit`.
    static QString picturePage(const QString& path, PictureFit fit);
    // The base address the picture page is shown under, so that its file address is allowed to load.
    static QUrl picturePageBase();

    // Opens the file or folder itself (an MHTML archive renders as the whole page); a Flash movie gets a
    // notice instead.
    void showDocument(const QString& path);
    void showPicture(const QString& path, PictureFit fit);
    void blank();

    const Shown& shown() const { return shown_; }
    QWebEnginePage* page() const;

signals:
    void loadFinished(bool ok);
    // A request the preview refused because it would have left this machine.
    void requestBlocked(const QUrl& url);

private:
    static bool isFlashMovie(const QString& path);
    // Whether the page shown next may load local files other than itself.
    void allowLocalFiles(bool allowed);

    // Declared in this order so that the page goes before its profile, and the profile before the
    // interceptor it uses.
    std::unique_ptr<OfflineRequestInterceptor> interceptor_;
    std::unique_ptr<QWebEngineProfile> profile_;
    QWebEngineView* view_ = nullptr;
    Shown shown_;
};
