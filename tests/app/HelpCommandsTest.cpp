#include "app/HelpCommands.h"

#include "app/HelpBrowser.h"
#include "app/HelpWindow.h"
#include "app/ProductPages.h"
#include "app/ProgramVersion.h"
#include "app/TAboutBox.h"
#include "util/GuardedApplication.h"
#include "util/JpegImage.h"

#include <QBuffer>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

// The help menu's commands on the help file the build compiled beside the test programs, with web
// addresses caught by the test instead of reaching a browser.
class HelpCommandsTest : public QObject
{
    Q_OBJECT

public slots:
    void openedInBrowser(const QUrl& address) { opened_ << address; }

private slots:
    void initTestCase()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openedInBrowser");
        QVERIFY2(QFile::exists(programFolder() + "/webgleaner.chm"), "the build compiles the help file");
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }

    void init() { opened_.clear(); }

    void cleanup()
    {
        if (HelpWindow* window = HelpCommands::helpWindow())
            window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(HelpCommands::helpWindow(), nullptr);
    }

    void helpOpensTheFirstTopicOfTheCompiledFile()
    {
        HelpCommands::showHelp(nullptr, programFolder());
        HelpWindow* window = HelpCommands::helpWindow();
        QVERIFY(window != nullptr);
        QVERIFY(window->isVisible());
        QCOMPARE(window->currentTopic(), QStringLiteral("/1.htm"));
        auto* browser = window->findChild<HelpBrowser*>("HelpBrowser");
        QCOMPARE(browser->documentTitle(), QStringLiteral("制定回收方案"));
        QVERIFY(browser->toPlainText().contains(QStringLiteral("回收方案信息")));

        auto* contents = window->findChild<QListWidget*>("ContentsList");
        QCOMPARE(contents->count(), 4);
        QCOMPARE(contents->item(3)->text(), QStringLiteral("清除上网痕迹"));
        QCOMPARE(contents->currentRow(), 0);

        // The page's picture comes out of the help file.
        const QVariant picture = browser->loadResource(QTextDocument::ImageResource,
                                                       browser->source().resolved(QUrl("images/plan-editor.png")));
        QVERIFY(!QImage::fromData(picture.toByteArray()).isNull());
    }

    void linksLeadToTheOtherTopics()
    {
        HelpCommands::showHelp(nullptr, programFolder());
        HelpWindow* window = HelpCommands::helpWindow();
        auto* browser = window->findChild<HelpBrowser*>("HelpBrowser");
        // The page's own link, as a click on it would follow it.
        const QString html = browser->toHtml();
        QVERIFY(html.contains(QStringLiteral("href=\"4.htm\"")));
        browser->setSource(browser->source().resolved(QUrl("4.htm")));
        QCOMPARE(window->currentTopic(), QStringLiteral("/4.htm"));
        QCOMPARE(browser->documentTitle(), QStringLiteral("清除上网痕迹"));
        QCOMPARE(window->findChild<QListWidget*>("ContentsList")->currentRow(), 3);

        // The help command again brings the same window back to the first topic.
        HelpCommands::showHelp(nullptr, programFolder());
        QCOMPARE(HelpCommands::helpWindow(), window);
        QCOMPARE(window->currentTopic(), QStringLiteral("/1.htm"));
    }

    void aMissingHelpFileLeavesEverythingAsItWas_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("no file") << QByteArray();
        QTest::newRow("not a help file") << QByteArray("<html>not compiled</html>");
    }

    void aMissingHelpFileLeavesEverythingAsItWas()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir folder;
        if (!content.isEmpty()) {
            QFile file(folder.filePath("webgleaner.chm"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        HelpCommands::showHelp(nullptr, folder.path());
        QCOMPARE(HelpCommands::helpWindow(), nullptr);
        QVERIFY(QApplication::topLevelWidgets().isEmpty() || !QApplication::activeModalWidget());
    }

    void homePageOpensInTheWebBrowser()
    {
        HelpCommands::openHomePage();
        QCOMPARE(opened_, QList<QUrl>{ProductPages::kHomePage});
        QVERIFY(ProductPages::kProductPage.toString().startsWith(ProductPages::kHomePage.toString()));
    }

    void theAboutBoxShowsTheVersionAndIsNewEachTime()
    {
        for (int opening = 0; opening < 2; ++opening) {
            QStringList seen;
            QTimer::singleShot(0, this, [&seen] {
                TAboutBox* box = TAboutBox::current();
                QVERIFY(box != nullptr);
                seen << box->windowTitle() << box->findChild<QLabel*>("Label2")->text()
                     << box->findChild<QPushButton*>("OKButton")->text();
                const QPixmap side = box->findChild<QLabel*>("Image1")->pixmap();
                const QPixmap logo = box->findChild<QLabel*>("Image2")->pixmap();
                seen << QStringLiteral("%1x%2").arg(side.width()).arg(side.height())
                     << QStringLiteral("%1x%2").arg(logo.width()).arg(logo.height());
                QTest::mouseClick(box->findChild<QLabel*>("Label3"), Qt::LeftButton);
                QTest::mouseClick(box->findChild<QPushButton*>("OKButton"), Qt::LeftButton);
            });
            HelpCommands::showAbout(nullptr);
            QCOMPARE(seen, (QStringList{QStringLiteral("关于"), "Version (" + ProgramVersion::number() + ")",
                                        QStringLiteral("确  定"), "120x237", "209x90"}));
            QCOMPARE(TAboutBox::current(), nullptr);
        }
        QCOMPARE(opened_, (QList<QUrl>{ProductPages::kProductPage, ProductPages::kProductPage}));
    }

    void jpegPicturesAreDecodedWholeOrNotAtAll()
    {
        QFile side(":/about/side.jpg");
        QVERIFY(side.open(QIODevice::ReadOnly));
        const QByteArray bytes = side.readAll();
        const QImage decoded = JpegImage::decode(bytes);
        QCOMPARE(decoded.size(), QSize(120, 237));
        // Qt's own plug-in is built on the same library, so the pixels agree.
        QCOMPARE(decoded.convertToFormat(QImage::Format_RGB32),
                 QImage::fromData(bytes, "JPG").convertToFormat(QImage::Format_RGB32));

        QImage grey(40, 30, QImage::Format_Grayscale8);
        grey.fill(128);
        QByteArray greyBytes;
        QBuffer buffer(&greyBytes);
        QVERIFY(grey.save(&buffer, "JPG"));
        QCOMPARE(JpegImage::decode(greyBytes).format(), QImage::Format_Grayscale8);

        for (const QByteArray& broken :
             {QByteArray(), QByteArray("not a picture"), bytes.left(bytes.size() / 2), bytes.left(20)})
            QVERIFY(JpegImage::decode(broken).isNull());
    }

private:
    static QString programFolder() { return QCoreApplication::applicationDirPath(); }

    QList<QUrl> opened_;
};

int main(int argc, char* argv[])
{
    GuardedApplication application(argc, argv);
    HelpCommandsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "HelpCommandsTest.moc"
