#include "library/TFrmzlk.h"

#include "app/ProgramLocale.h"
#include "engine/archive/MhtmlComposer.h"
#include "engine/archive/PageText.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/SimpleCache.h"
#include "library/LibraryFileModel.h"
#include "library/OfflineRequestInterceptor.h"
#include "library/ShellListView.h"
#include "library/WebPreview.h"
#include "plans/PlanFile.h"
#include "util/DateText.h"
#include "util/GuardedApplication.h"
#include "util/Prompt.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QListView>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <filesystem>

namespace
{

const QString kFixtureSite = QStringLiteral("http://127.0.0.1:18431");

// The kind test looks for "swf", "SWF" and ".mht" anywhere in a path, so the temporary folder's random
// name must hold none of them.
std::unique_ptr<QTemporaryDir> neutralTemporaryDir()
{
    for (;;) {
        auto folder = std::make_unique<QTemporaryDir>();
        const QString path = folder->path();
        if (!path.contains("swf", Qt::CaseInsensitive) && !path.contains(".mht", Qt::CaseInsensitive))
            return folder;
    }
}

void writeFile(const QString& path, const QByteArray& content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void writePicture(const QString& path, int width, int height)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(Qt::darkGreen);
    QVERIFY(picture.save(path));
}

// An archive of one page whose text is GBK with no charset anywhere, as old Chinese pages were saved.
QByteArray gbkArchiveWithoutCharset(const QString& title)
{
    QStringEncoder gbk("GBK");
    QByteArray body;
    for (int line = 0; line < 20; ++line)
        body += "<p>Plain ASCII text of an old page, line " + QByteArray::number(line) + ".</p>\n";
    const QByteArray page =
        "<html><head><title>" + QByteArray(gbk.encode(title)) + "</title></head><body>\n" + body + "</body></html>";
    return "From: <saved>\r\nSubject: old\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/related;\r\n\tboundary=\"----=gleaner\";\r\n\ttype=\"text/html\"\r\n\r\n"
           "This is a multi-part message in MIME format.\r\n\r\n"
           "------=gleaner\r\nContent-Type: text/html;\r\nContent-Location: http://old.example/page.html\r\n\r\n" +
           page + "\r\n------=gleaner--\r\n";
}

} // namespace

// Drives the library window through its real widgets and a real web engine; message boxes are answered
// by the test.
class TFrmzlkTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        programFolder_ = neutralTemporaryDir();
        saved_ = neutralTemporaryDir();
        prompts_.clear();
        answerYes_ = true;
        Prompt::setResponder([this](const Prompt::Request& request, QString*) {
            prompts_ << request.caption + ":" + request.text;
            return request.kind != Prompt::Kind::Question || answerYes_;
        });
    }

    void cleanup()
    {
        window_.reset();
        Prompt::setResponder({});
    }

    void theWindowOpensWithItsPlansToolBarAndBlankPreview()
    {
        writePlanFile(
            {{"key1", "新闻", folder("news")}, {"key2", "", folder("unnamed")}, {"key9", "图片", folder("pictures")}},
            "n3=key3\n");
        openWindow();
        QCOMPARE(window_->windowTitle(), QStringLiteral("资料库"));
        QVERIFY(window_->isModal());
        const QTreeWidgetItem* root = planTree()->topLevelItem(0);
        QCOMPARE(root->text(0), QStringLiteral("回收方案列表"));
        QVERIFY(root->isExpanded());
        QCOMPARE(childTexts(root), (QStringList{"新闻", "图片"}));
        QVERIFY(window_->statusText().isEmpty());
        QVERIFY(window_->currentFile().isEmpty());
        QCOMPARE(preview()->shown().kind, WebPreview::Shown::Kind::Blank);
        QCOMPARE(fileList()->viewStyle(), ShellListView::ViewStyle::Details);

        QStringList buttons;
        for (QAction* action : window_->findChild<QToolBar*>("ToolBar1")->actions()) {
            const QWidget* button = window_->findChild<QToolBar*>("ToolBar1")->widgetForAction(action);
            buttons << (action->isSeparator() ? QStringLiteral("-")
                                              : button->objectName() + "=" + button->toolTip() +
                                                    (button->isEnabled() ? "" : "(disabled)"));
        }
        QCOMPARE(buttons, (QStringList{"ToolButton1=大图标", "ToolButton2=列表", "ToolButton3=详细信息",
                                       "ToolButton4=小图标", "-", "ToolButton11=删除文件", "-", "ToolButton6=整宽",
                                       "ToolButton8=整高", "ToolButton10=原始大小", "-", "ToolButton9=退出"}));
    }

    void choosingAPlanListsItsFolderFoldersFirstAndSetsTheStatusText()
    {
        const QString news = folder("news");
        writePicture(news + "/a.png", 8, 8);
        QVERIFY(QDir().mkpath(news + "/sub"));
        // What a save interrupted by a crash leaves is no harvested file.
        QFile part(news + "/.webgleaner-4321-1.part");
        QVERIFY(part.open(QIODevice::WriteOnly));
        part.close();
        writePlanFile({{"key1", "新闻", news}});
        openWindow();
        clickNode(planTree()->topLevelItem(0)->child(0));
        QCOMPARE(fileList()->root(), news);
        QCOMPARE(window_->statusText(), "当前路径：" + news);
        QTRY_COMPARE(listedNames(), (QStringList{"sub", "a.png"}));
        QVERIFY(prompts_.isEmpty());

        clickNode(planTree()->topLevelItem(0));
        QVERIFY(window_->statusText().isEmpty());
        QCOMPARE(fileList()->root(), news);
    }

    void aMissingFolderShowsTheMessageAndKeepsTheList()
    {
        const QString news = folder("news");
        QVERIFY(QDir().mkpath(news));
        writePlanFile({{"key1", "新闻", news}, {"key2", "旧", folder("removed")}, {"key3", "空", ""}});
        openWindow();
        clickNode(planTree()->topLevelItem(0)->child(0));
        for (int plan : {1, 2}) {
            prompts_.clear();
            clickNode(planTree()->topLevelItem(0)->child(plan));
            QCOMPARE(prompts_, QStringList{"提示:该方案的保存路径不存在或已删除！"});
            QCOMPARE(fileList()->root(), news);
            QVERIFY(window_->statusText().isEmpty());
        }
    }

    void theKindOfAFileDecidesBetweenTheFileItselfAndThePicturePage_data()
    {
        QTest::addColumn<QString>("item"); // under the plan folder; a trailing "/" makes a folder
        QTest::addColumn<WebPreview::Shown::Kind>("shown");
        using Kind = WebPreview::Shown::Kind;
        QTest::newRow("archive") << "page.mht" << Kind::Document;
        QTest::newRow("archive, upper case") << "PAGE.MHT" << Kind::Picture;
        QTest::newRow("Flash movie") << "movie.swf" << Kind::FlashNotice;
        QTest::newRow("Flash movie, upper case") << "MOVIE.SWF" << Kind::FlashNotice;
        QTest::newRow("Flash movie, mixed case") << "movie.Swf" << Kind::Picture;
        QTest::newRow("picture") << "photo.jpg" << Kind::Picture;
        QTest::newRow("picture in a folder named with swf") << "swf-movies/photo.jpg" << Kind::Document;
        QTest::newRow("folder named with swf") << "old swf/" << Kind::Document;
        QTest::newRow("folder") << "pictures/" << Kind::Picture;
    }

    void theKindOfAFileDecidesBetweenTheFileItselfAndThePicturePage()
    {
        QFETCH(QString, item);
        QFETCH(WebPreview::Shown::Kind, shown);
        const QString path = folder("plan") + "/" + item;
        if (item.endsWith('/'))
            QVERIFY(QDir().mkpath(path));
        else
            writeFile(path, "content");
        openWindow();
        const QString clean = QDir::cleanPath(path);
        fileList()->setRoot(QFileInfo(clean).path());
        clickListItem(clean);
        QCOMPARE(window_->currentFile(), clean);
        QCOMPARE(preview()->shown().kind, shown);
        QCOMPARE(preview()->shown().path, clean);
        const bool picturePage = shown == WebPreview::Shown::Kind::Picture;
        for (const char* fit : {"ToolButton6", "ToolButton8", "ToolButton10"})
            QCOMPARE(button(fit)->isEnabled(), picturePage);
    }

    void thePicturePageEscapesThePathAndEndsWithTheSuffixOfItsRequest_data()
    {
        QTest::addColumn<QString>("button"); // empty for the click in the list
        QTest::addColumn<WebPreview::PictureFit>("fit");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("click") << "" << WebPreview::PictureFit::Natural << "\"></p>";
        QTest::newRow("整宽") << "ToolButton6" << WebPreview::PictureFit::Width << "\" width=\"100%\"></p>";
        QTest::newRow("整高") << "ToolButton8" << WebPreview::PictureFit::Height << "\" Height=\"100%\"></p>";
        QTest::newRow("原始大小") << "ToolButton10" << WebPreview::PictureFit::ActualSize << "\" ></p>";
    }

    void thePicturePageEscapesThePathAndEndsWithTheSuffixOfItsRequest()
    {
        QFETCH(QString, button);
        QFETCH(WebPreview::PictureFit, fit);
        QFETCH(QString, suffix);
        const QString prefix = "<p align=\"center\"><img border=\"0\" src=\"";
        QCOMPARE(WebPreview::picturePage("/harvest/a b/图.gif", fit),
                 prefix + "file:///harvest/a%20b/%E5%9B%BE.gif" + suffix);
        // A name with a quote and a tag stays a name.
        const QString injecting = "/harvest/x\"><script>alert(1)</script>&.gif";
        QCOMPARE(WebPreview::picturePage(injecting, fit),
                 prefix + "file:///harvest/x%22%3E%3Cscript%3Ealert(1)%3C/script%3E&amp;.gif" + suffix);

        const QString picture = folder("plan") + "/photo.png";
        writePicture(picture, 40, 30);
        openWindow();
        fileList()->setRoot(folder("plan"));
        clickListItem(picture);
        if (!button.isEmpty()) {
            QSignalSpy loaded(preview(), &WebPreview::loadFinished);
            QVERIFY(loaded.wait(30000));
            QTest::mouseClick(this->button(button), Qt::LeftButton);
        }
        QCOMPARE(preview()->shown().kind, WebPreview::Shown::Kind::Picture);
        QCOMPARE(preview()->shown().fit, fit);
        QSignalSpy loaded(preview(), &WebPreview::loadFinished);
        QVERIFY(loaded.wait(30000));
        QCOMPARE(evaluate("(() => { const i = document.images[0]; return [i.complete, i.naturalWidth]; })()").toList(),
                 (QVariantList{true, 40}));
    }

    void fitButtonsDoNothingForAFolder()
    {
        QVERIFY(QDir().mkpath(folder("plan") + "/pictures"));
        openWindow();
        fileList()->setRoot(folder("plan"));
        clickListItem(folder("plan") + "/pictures");
        QCOMPARE(preview()->shown().fit, WebPreview::PictureFit::Natural);
        QTest::mouseClick(button("ToolButton6"), Qt::LeftButton);
        QTest::mouseClick(button("ToolButton11"), Qt::LeftButton);
        QCOMPARE(preview()->shown().fit, WebPreview::PictureFit::Natural);
        QVERIFY(prompts_.isEmpty());
    }

    void deleteAsksAndOnYesRemovesTheFileAndBlanksThePreview()
    {
        const QString picture = folder("plan") + "/photo.png";
        writePicture(picture, 8, 8);
        writeFile(folder("plan") + "/other.txt", "x");
        writePlanFile({{"key1", "图片", folder("plan")}});
        openWindow();
        clickNode(planTree()->topLevelItem(0)->child(0));
        clickListItem(picture);

        answerYes_ = false;
        QTest::mouseClick(button("ToolButton11"), Qt::LeftButton);
        QCOMPARE(prompts_, QStringList{"提示:确实要删除此文件吗？"});
        QVERIFY(QFile::exists(picture));
        QCOMPARE(preview()->shown().kind, WebPreview::Shown::Kind::Picture);

        answerYes_ = true;
        QTest::mouseClick(button("ToolButton11"), Qt::LeftButton);
        QVERIFY(!QFile::exists(picture));
        QCOMPARE(preview()->shown().kind, WebPreview::Shown::Kind::Blank);
        QTRY_COMPARE(listedNames(), QStringList{"other.txt"});
        QCOMPARE(window_->currentFile(), picture);

        // The current file is gone: the buttons have nothing left to act on.
        prompts_.clear();
        for (const char* name : {"ToolButton11", "ToolButton6", "ToolButton8", "ToolButton10"})
            QTest::mouseClick(button(name), Qt::LeftButton);
        QVERIFY(prompts_.isEmpty());
        QCOMPARE(preview()->shown().kind, WebPreview::Shown::Kind::Blank);
    }

    void theFourViewStyles_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<ShellListView::ViewStyle>("style");
        QTest::addColumn<bool>("iconMode"); // for the styles shown by the icon view
        QTest::newRow("大图标") << "ToolButton1" << ShellListView::ViewStyle::LargeIcons << true;
        QTest::newRow("列表") << "ToolButton2" << ShellListView::ViewStyle::List << false;
        QTest::newRow("详细信息") << "ToolButton3" << ShellListView::ViewStyle::Details << false;
        QTest::newRow("小图标") << "ToolButton4" << ShellListView::ViewStyle::SmallIcons << false;
    }

    void theFourViewStyles()
    {
        QFETCH(QString, button);
        QFETCH(ShellListView::ViewStyle, style);
        QFETCH(bool, iconMode);
        const QString picture = folder("plan") + "/photo.png";
        writePicture(picture, 8, 8);
        openWindow();
        fileList()->setRoot(folder("plan"));
        QTest::mouseClick(this->button(button), Qt::LeftButton);
        QCOMPARE(fileList()->viewStyle(), style);
        if (style == ShellListView::ViewStyle::Details) {
            auto* details = qobject_cast<QTreeView*>(fileList()->currentView());
            QVERIFY(details);
            QStringList columns;
            for (int column = 0; column < details->model()->columnCount(); ++column)
                columns << details->model()->headerData(column, Qt::Horizontal).toString();
            QCOMPARE(columns, (QStringList{"名称", "大小", "类型", "修改日期"}));
        } else {
            auto* icons = qobject_cast<QListView*>(fileList()->currentView());
            QVERIFY(icons);
            QCOMPARE(icons->viewMode() == QListView::IconMode, iconMode);
        }
        clickListItem(picture); // every style reports the item clicked
        QCOMPARE(window_->currentFile(), picture);
    }

    void theLargeIconViewShowsTypeIconsAndThumbnailsOfPictures()
    {
        const QString picture = folder("plan") + "/photo.png";
        writePicture(picture, 120, 60);
        const QString text = folder("plan") + "/notes.txt";
        writeFile(text, "text");
        openWindow();
        fileList()->setRoot(folder("plan"));
        QTest::mouseClick(button("ToolButton1"), Qt::LeftButton);
        auto* icons = qobject_cast<QListView*>(fileList()->currentView());
        QVERIFY(icons);
        const QSize size = icons->iconSize();
        QVERIFY(size.width() >= 32);
        QModelIndex textIndex;
        QTRY_VERIFY((textIndex = fileList()->model()->index(text)).isValid());
        const QIcon typeIcon = textIndex.data(Qt::DecorationRole).value<QIcon>();
        QVERIFY(!typeIcon.isNull());
        QCOMPARE(typeIcon.actualSize(size), size);
        // The picture shows itself once its thumbnail has been made off this thread.
        QTRY_VERIFY_WITH_TIMEOUT(thumbnailShown(picture, size), 10000);
    }

    void theDetailsShowSizesAndDatesInTheProgramsForms()
    {
        const QString text = folder("plan") + "/notes.txt";
        writeFile(text, QByteArray(1485, 'x'));
        openWindow();
        fileList()->setRoot(folder("plan"));
        QModelIndex index;
        QTRY_VERIFY((index = fileList()->model()->index(text)).isValid());
        QCOMPARE(index.siblingAtColumn(LibraryFileModel::SizeColumn).data().toString(), QStringLiteral("1.45 KB"));
        const QDateTime modified = QFileInfo(text).lastModified();
        QCOMPARE(index.siblingAtColumn(LibraryFileModel::DateColumn).data().toString(),
                 DateText::format(modified.date()) + modified.time().toString(" HH:mm"));
    }

    void sizesUseTheProgramsUnits_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("bytes") << qint64(69) << "69 字节";
        QTest::newRow("kilobytes") << qint64(1485) << "1.45 KB";
        QTest::newRow("megabytes") << qint64(3 * 1024 * 1024) << "3.00 MB";
    }

    void sizesUseTheProgramsUnits()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(LibraryFileModel::sizeText(bytes), text);
    }

    void enterOpensAFolderInPlaceBackspaceGoesUpAndF2Renames()
    {
        const QString plan = folder("plan");
        QVERIFY(QDir().mkpath(plan + "/sub"));
        writeFile(plan + "/sub/old.txt", "x");
        openWindow();
        fileList()->setRoot(plan);
        clickListItem(plan + "/sub");
        QAbstractItemView* view = fileList()->currentView();
        QTest::keyClick(view, Qt::Key_Return);
        QCOMPARE(fileList()->root(), plan + "/sub");

        clickListItem(plan + "/sub/old.txt");
        QTest::keyClick(view, Qt::Key_F2);
        auto* editor = view->findChild<QLineEdit*>();
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, "new.txt");
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_VERIFY(QFile::exists(plan + "/sub/new.txt"));
        QVERIFY(!QFile::exists(plan + "/sub/old.txt"));

        view->setFocus();
        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(fileList()->root(), plan);
    }

    void aHarvestedArchiveShowsWithItsPictures()
    {
        const QString archive = folder("pages") + "/index.mht";
        harvestFixturePage("/index.html", archive);
        openWindow();
        fileList()->setRoot(folder("pages"));
        QSignalSpy blocked(preview(), &WebPreview::requestBlocked);
        QSignalSpy loaded(preview(), &WebPreview::loadFinished);
        clickListItem(archive);
        QCOMPARE(preview()->shown().kind, WebPreview::Shown::Kind::Document);
        QVERIFY(loaded.wait(30000));
        QVERIFY(loaded.first().first().toBool());

        // Pictures decode after the load: wait until none is still loading.
        const QString count = "(() => { const all = Array.from(document.images); return [document.title, all.length,"
                              " all.filter(i => i.complete && i.naturalWidth > 0).length,"
                              " all.filter(i => !i.complete).length]; })()";
        QTRY_COMPARE_WITH_TIMEOUT(evaluate(count).toList().value(3).toInt(), 0, 30000);
        const QVariantList counts = evaluate(count).toList();
        QCOMPARE(counts.value(0).toString(), QStringLiteral("中文测试页面 - UTF-8 编码"));
        QCOMPARE(counts.value(1).toInt(), 5);
        QCOMPARE(counts.value(2).toInt(), 5);
        QCOMPARE(blocked.count(), 0);
    }

    void anOldGbkArchiveWithoutCharsetIsReadAsGbk()
    {
        const QString archive = folder("pages") + "/old.mht";
        writeFile(archive, gbkArchiveWithoutCharset(QStringLiteral("新闻")));
        openWindow();
        fileList()->setRoot(folder("pages"));
        QSignalSpy loaded(preview(), &WebPreview::loadFinished);
        clickListItem(archive);
        QVERIFY(loaded.wait(30000));
        QCOMPARE(evaluate("document.title").toString(), QStringLiteral("新闻"));
    }

    void onlyLocalSchemesMayLoad_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("local");
        for (const char* url : {"file:///harvest/page.mht", "data:image/gif;base64,R0lGOD", "blob:file:///1",
                                "about:blank", "qrc:/icon.png", "FILE:///harvest/a.gif"})
            QTest::newRow(url) << url << true;
        for (const char* url :
             {"http://tracker.example/pixel.gif", "HTTPS://tracker.example/", "ftp://host/file", "ws://host/socket",
              "wss://host/socket", "chrome://settings", "gopher://host/", "someday://host/"})
            QTest::newRow(url) << url << false;
    }

    void onlyLocalSchemesMayLoad()
    {
        QFETCH(QString, url);
        QFETCH(bool, local);
        QCOMPARE(OfflineRequestInterceptor::isLocal(QUrl(url)), local);
    }

    void aPreviewedPageReachesNothingOutsideThisMachine_data()
    {
        QTest::addColumn<bool>("remoteAccessAllowed");
        QTest::newRow("as the preview is set up") << false;
        // Should the engine's own rule ever let a local page reach out, the interceptor still stops it.
        QTest::newRow("the interceptor alone") << true;
    }

    void aPreviewedPageReachesNothingOutsideThisMachine()
    {
        QFETCH(bool, remoteAccessAllowed);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QString site = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
        const QString page = folder("pages") + "/swf-site/tracker.html";
        writeFile(page, QString("<html><head><meta http-equiv=\"refresh\" content=\"0; url=http://%1/landing.html\">"
                                "<link rel=\"stylesheet\" href=\"https://%1/style.css\"></head>"
                                "<body><img src=\"http://%1/pixel.gif\"></body></html>")
                            .arg(site)
                            .toUtf8());
        openWindow();
        fileList()->setRoot(QFileInfo(page).path());
        preview()->page()->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls,
                                                    remoteAccessAllowed);
        QSignalSpy blocked(preview(), &WebPreview::requestBlocked);
        QSignalSpy loaded(preview(), &WebPreview::loadFinished);
        clickListItem(page);
        QCOMPARE(preview()->shown().kind, WebPreview::Shown::Kind::Document);
        QVERIFY(loaded.wait(30000));
        if (remoteAccessAllowed) {
            for (const char* blockedUrl : {"http://%1/pixel.gif", "https://%1/style.css", "http://%1/landing.html"})
                QTRY_VERIFY(blockedUrls(blocked).contains(QString(blockedUrl).arg(site)));
        }
        QVERIFY(!server.waitForNewConnection(200));
    }

    void thePreviewRunsNoScriptAndLetsNoLocalPageReadFiles()
    {
        openWindow();
        const QWebEngineSettings* settings = preview()->page()->settings();
        QVERIFY(!settings->testAttribute(QWebEngineSettings::JavascriptEnabled));
        QVERIFY(!settings->testAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls));
        QVERIFY(!settings->testAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls));
        QVERIFY(preview()->page()->profile()->isOffTheRecord());

        // A page's own script would have changed its title.
        const QString page = folder("pages") + "/swf-site/script.html";
        writeFile(page, "<html><head><title>before</title><script>document.title = 'after';</script></head></html>");
        fileList()->setRoot(QFileInfo(page).path());
        QSignalSpy loaded(preview(), &WebPreview::loadFinished);
        clickListItem(page);
        QVERIFY(loaded.wait(30000));
        QCOMPARE(evaluate("document.title").toString(), QStringLiteral("before"));
    }

    void theLibraryCommandOpensAFreshWindowEachTime()
    {
        writePlanFile({{"key1", "新闻", folder("news")}});
        QVERIFY(QDir().mkpath(folder("news")));
        QStringList seen;
        auto lookAndClose = [&seen] {
            TFrmzlk* window = TFrmzlk::instance();
            if (window == nullptr) {
                seen << "no window";
                return;
            }
            const QTreeWidgetItem* root = window->findChild<QTreeWidget*>("TreeView1")->topLevelItem(0);
            seen << childTexts(root).join(',') + "|" + window->statusText() + "|" +
                        (QApplication::activeModalWidget() == window ? "modal" : "not modal");
            window->findChild<QToolButton*>("ToolButton9")->click();
        };
        QTimer::singleShot(0, lookAndClose);
        TFrmzlk::showLibrary(nullptr, programFolder_->path());
        QVERIFY(TFrmzlk::instance() == nullptr);

        writePlanFile({{"key1", "新闻", folder("news")}, {"key2", "图片", folder("pictures")}});
        QVERIFY(QDir().mkpath(folder("pictures")));
        QTimer::singleShot(0, lookAndClose);
        TFrmzlk::showLibrary(nullptr, programFolder_->path(), "图片");
        QVERIFY(TFrmzlk::instance() == nullptr);
        QCOMPARE(seen, (QStringList{"新闻||modal", "新闻,图片|当前路径：" + folder("pictures") + "|modal"}));
        QVERIFY(prompts_.isEmpty());
    }

    void openingAtAPlanChoosesEveryNodeOfThatNameTheLastOneStaying()
    {
        QVERIFY(QDir().mkpath(folder("first")));
        QVERIFY(QDir().mkpath(folder("second")));
        writePlanFile({{"key1", "同名", folder("first")},
                       {"key2", "同名", folder("second")},
                       {"key3", "同名X", folder("third")}});
        openWindow();
        window_->choosePlan("没有");
        QVERIFY(planTree()->selectedItems().isEmpty());
        QVERIFY(window_->statusText().isEmpty());

        window_->choosePlan("同名");
        QCOMPARE(planTree()->selectedItems(), QList{planTree()->topLevelItem(0)->child(1)});
        QCOMPARE(fileList()->root(), folder("second"));
        QCOMPARE(window_->statusText(), "当前路径：" + folder("second"));
        QVERIFY(prompts_.isEmpty());
    }

    // Only the picture page may load a local file; a harvested page may not, whatever was shown before.
    void aPageCannotLoadItsLocalNeighbours_data()
    {
        QTest::addColumn<bool>("pictureFirst");
        QTest::newRow("first load") << false;
        QTest::newRow("after a picture") << true;
    }

    void aPageCannotLoadItsLocalNeighbours()
    {
        QFETCH(bool, pictureFirst);
        const QString site = folder("pages") + "/swf-site";
        writePicture(site + "/secret.png", 20, 20);
        writeFile(site + "/page.html", "<html><body><img src=\"secret.png\"></body></html>");
        openWindow();
        fileList()->setRoot(site);
        if (pictureFirst) {
            QSignalSpy loaded(preview(), &WebPreview::loadFinished);
            preview()->showPicture(site + "/secret.png", WebPreview::PictureFit::Natural);
            QVERIFY(loaded.wait(30000));
            QCOMPARE(evaluate("document.images[0].naturalWidth").toInt(), 20);
        }
        QSignalSpy loaded(preview(), &WebPreview::loadFinished);
        clickListItem(site + "/page.html");
        QVERIFY(loaded.wait(30000));
        QCOMPARE(evaluate("[document.images[0].complete, document.images[0].naturalWidth]").toList(),
                 (QVariantList{true, 0}));
    }

private:
    struct Plan
    {
        QString section;
        QString name;
        QString folder;
    };

    QString folder(const QString& name) const { return saved_->filePath(name); }

    void writePlanFile(const QList<Plan>& plans, const QString& extraIndexLines = {}) const
    {
        QString text = "[last]\nlast=9\n[name]\n";
        for (const Plan& plan : plans)
            text += "n" + plan.section.mid(3) + "=" + plan.section + "\n";
        text += extraIndexLines;
        for (const Plan& plan : plans)
            text += "[" + plan.section + "]\nztype=1\nname=" + plan.name + "\nsavpath=" + plan.folder + "\n";
        writeFile(PlanFile::pathIn(programFolder_->path()), text.toUtf8());
    }

    void openWindow()
    {
        window_ = std::make_unique<TFrmzlk>(programFolder_->path());
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    // Harvests the fixture cache's page at `path` into `archive`, the way a run saves a document.
    void harvestFixturePage(const QString& path, const QString& archive)
    {
        namespace fs = std::filesystem;
        QTemporaryDir cacheCopy;
        const fs::path copy = QFile::encodeName(cacheCopy.filePath("Cache_Data")).toStdString();
        fs::copy(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data", copy, fs::copy_options::recursive);
        for (const fs::directory_entry& file : fs::recursive_directory_iterator(copy))
            fs::permissions(file.path(), fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
        SimpleCache cache(cacheCopy.filePath("Cache_Data"));
        const std::optional<CacheEntry> page = cache.lookup(kFixtureSite + path);
        QVERIFY(page.has_value());
        const std::variant<QByteArray, EntryBody::Refusal> body = EntryBody::read(page->body, 1 << 24);
        QVERIFY(std::holds_alternative<QByteArray>(body));
        const QByteArray bytes = MhtmlComposer(cache).compose(
            kFixtureSite + path, PageText::splitLines(std::get<QByteArray>(body)), QDate::currentDate());
        QVERIFY(QDir().mkpath(QFileInfo(archive).path()));
        QFile file(archive);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }

    // The result of `script`, run beside the page's own scripts (which are off in the preview).
    QVariant evaluate(const QString& script) const
    {
        QVariant result;
        bool answered = false;
        preview()->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld, [&](const QVariant& value) {
            result = value;
            answered = true;
        });
        if (!QTest::qWaitFor([&] { return answered; }, 10000))
            qWarning("no answer to %s", qPrintable(script));
        return result;
    }

    static QStringList blockedUrls(const QSignalSpy& spy)
    {
        QStringList urls;
        for (const QList<QVariant>& signal : spy)
            urls << signal.first().toUrl().toString();
        return urls;
    }

    static QStringList childTexts(const QTreeWidgetItem* item)
    {
        QStringList texts;
        for (int child = 0; child < item->childCount(); ++child)
            texts << item->child(child)->text(0);
        return texts;
    }

    QStringList listedNames() const
    {
        const QAbstractItemView* view = fileList()->currentView();
        QStringList names;
        for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
            names << view->model()->index(row, 0, view->rootIndex()).data().toString();
        return names;
    }

    // Whether the list shows `picture` by its thumbnail: its own colour in the middle of the icon.
    bool thumbnailShown(const QString& picture, const QSize& size) const
    {
        const QModelIndex index = fileList()->model()->index(picture);
        const QImage shown = index.data(Qt::DecorationRole).value<QIcon>().pixmap(size).toImage();
        return !shown.isNull() && shown.pixelColor(shown.width() / 2, shown.height() / 2) == QColor(Qt::darkGreen);
    }

    void clickNode(QTreeWidgetItem* item) const
    {
        QTest::mouseClick(planTree()->viewport(), Qt::LeftButton, {}, planTree()->visualItemRect(item).center());
    }

    // Clicks the item at `path` in the file list once the list has read it.
    void clickListItem(const QString& path) const
    {
        QAbstractItemView* view = fileList()->currentView();
        QModelIndex index;
        QTRY_VERIFY((index = fileList()->model()->index(path)).isValid() && index.parent() == view->rootIndex() &&
                    view->visualRect(index).isValid());
        view->scrollTo(index);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
    }

    QToolButton* button(const QString& name) const
    {
        auto* found = window_->findChild<QToolButton*>(name);
        if (found == nullptr)
            qFatal("no button %s", qPrintable(name));
        return found;
    }

    QTreeWidget* planTree() const { return window_->findChild<QTreeWidget*>("TreeView1"); }
    ShellListView* fileList() const { return window_->findChild<ShellListView*>("ShellListView1"); }
    WebPreview* preview() const { return window_->findChild<WebPreview*>("WebBrowser1"); }

    std::unique_ptr<QTemporaryDir> programFolder_;
    std::unique_ptr<QTemporaryDir> saved_;
    std::unique_ptr<TFrmzlk> window_;
    QStringList prompts_;
    bool answerYes_ = true;
};

int main(int argc, char* argv[])
{
    WebPreview::prepareApplication();
    GuardedApplication application(argc, argv);
    // As the program starts: Chinese texts and units whatever LANG says.
    ProgramLocale::install(application);
    TFrmzlkTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "TFrmzlkTest.moc"
