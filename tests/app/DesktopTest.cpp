#include "TestFolders.h"
#include "app/CacheSourcesDialog.h"
#include "app/HelpCommands.h"
#include "app/HelpWindow.h"
#include "app/ProgramLocale.h"
#include "app/TAboutBox.h"
#include "app/TFrmMain.h"
#include "cleanup/TFrmDelete.h"
#include "library/TFrmzlk.h"
#include "library/WebPreview.h"
#include "plans/TFrmOpt.h"
#include "util/DateText.h"
#include "util/GuardedApplication.h"
#include "util/IniFile.h"
#include "util/Prompt.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

namespace
{

const QString kChromiumFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");
const QString kFirefoxFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/firefox-cache2");

// What the screen leaves a window's frame once a title bar is added above it (32 pixels; this platform
// draws none): on the 1024 x 768 desktop, beside a 32-pixel panel too, which makes 1024 x 700 with the
// title bar; on a smaller screen, the whole screen.
QRect room()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int panel = screen->geometry().size() == QSize(1024, 768) ? 32 : 0;
    return screen->availableGeometry().adjusted(0, 0, 0, -32 - panel);
}

// Whether every button of `window` lies inside it: nothing cut off at its edges. The buttons on a page
// that scrolls are to be checked for being within reach instead.
bool buttonsInside(const QWidget& window)
{
    const auto* scroller = window.findChild<QScrollArea*>("PageScroller");
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
        if (!button->isVisibleTo(&window) || (scroller != nullptr && scroller->isAncestorOf(button)))
            continue;
        const QRect place(button->mapTo(&window, QPoint(0, 0)), button->size());
        if (!window.rect().contains(place)) {
            qWarning() << button->objectName() << button->text() << place << "outside" << window.rect();
            return false;
        }
    }
    return true;
}

} // namespace

// The windows on a small desktop as the program starts them: Chinese texts whatever LANG is, the
// program's font, a 1024 x 768 screen.
class DesktopTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        home_ = temporaryHome();
        program_ = std::make_unique<QTemporaryDir>();
        prompts_.clear();
        Prompt::setResponder([this](const Prompt::Request& request, QString*) {
            prompts_ << request.text;
            return true;
        });
    }

    void cleanup()
    {
        Prompt::setResponder({});
        window_.reset();
    }

    void theScreenIsASmallOne() { QVERIFY(QGuiApplication::primaryScreen()->geometry().height() <= 768); }

    void everyWindowFitsTheScreen_data()
    {
        QTest::addColumn<QString>("window");
        for (const char* name : {"main window", "plan editor", "library", "cache sources", "about box", "help"})
            QTest::newRow(name) << name;
    }

    void everyWindowFitsTheScreen()
    {
        QFETCH(QString, window);
        if (window == "plan editor")
            return planEditorFitsAtEveryOpening();
        window_ = std::make_unique<TFrmMain>(program_->path());
        std::unique_ptr<QWidget> owned;
        QWidget* shown = nullptr;
        if (window == "main window") {
            window_->show();
            shown = window_.get();
        } else if (window == "library") {
            owned = std::make_unique<TFrmzlk>(program_->path());
            owned->show();
            shown = owned.get();
        } else if (window == "help") {
            HelpCommands::showHelp(window_.get(), QCoreApplication::applicationDirPath());
            shown = HelpCommands::helpWindow();
            QVERIFY(shown);
        } else if (window == "about box") {
            owned = std::make_unique<TAboutBox>();
            owned->show();
            shown = owned.get();
        } else {
            owned = std::make_unique<CacheSourcesDialog>(QDir(program_->path()).filePath("webgleaner.ini"),
                                                         CacheDetector::Homes::fromEnvironment());
            owned->show();
            shown = owned.get();
        }
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        fitsTheScreen(*shown);
    }

    void qtsOwnButtonsAndDialogsSpeakChinese()
    {
        QMessageBox box;
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(box.button(QMessageBox::Yes)->text(), QStringLiteral("是(&Y)"));
        QCOMPARE(box.button(QMessageBox::No)->text(), QStringLiteral("否(&N)"));
        QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
        QCOMPARE(box.button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));

        QFileDialog folders;
        folders.setOption(QFileDialog::DontUseNativeDialog);
        folders.setFileMode(QFileDialog::Directory);
        const auto* lookIn = folders.findChild<QLabel*>("lookInLabel");
        QVERIFY(lookIn);
        QVERIFY2(!lookIn->text().contains(QStringLiteral("Look in")), qPrintable(lookIn->text()));
        for (const QPushButton* button : folders.findChildren<QPushButton*>())
            QVERIFY2(!button->text().contains(QStringLiteral("Cancel")), qPrintable(button->text()));
    }

    void datesHaveOneChineseFormWithAFourDigitYear()
    {
        QCOMPARE(QLocale().language(), QLocale::Chinese);
        QCOMPARE(DateText::format(QDate(2026, 12, 8)), QStringLiteral("2026/12/8"));
        QCOMPARE(DateText::parse(QStringLiteral("2026/12/8")), QDate(2026, 12, 8));
        // A plan saved under another form shows in this one.
        window_ = std::make_unique<TFrmMain>(program_->path());
        StrucRec plan;
        plan.lday = QStringLiteral("2026-12-08");
        plan.hday = QStringLiteral("2026/12/10");
        window_->ShowOpt(&plan);
        QCOMPARE(window_->findChild<QTableWidget*>("ListView3")->item(5, 1)->text(),
                 QStringLiteral("从2026/12/8到2026/12/10之间"));
    }

    void theSourcesDialogListsTheCachesAndWritesTheChoice()
    {
        const QString chromium = home_->filePath(".cache/chromium/Default/Cache/Cache_Data");
        const QString firefox = home_->filePath(".cache/mozilla/firefox/abcd.default-release/cache2");
        const QString elsewhere = home_->filePath("copied/Cache_Data");
        QVERIFY(copyFolder(kChromiumFixture, chromium));
        QVERIFY(copyFolder(kFirefoxFixture, firefox));
        QVERIFY(copyFolder(kChromiumFixture, elsewhere));
        const QString iniFile = QDir(program_->path()).filePath("webgleaner.ini");
        const CacheDetector::Homes homes = CacheDetector::Homes::fromEnvironment();
        {
            CacheSourcesDialog dialog(iniFile, homes);
            QTreeWidget* list = dialog.list();
            // Looked for off this thread: nothing to choose or confirm until the caches are there.
            if (dialog.isSearching())
                QVERIFY(!dialog.findChild<QPushButton*>("OkButton")->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(!dialog.isSearching(), 10000);
            QVERIFY(dialog.findChild<QPushButton*>("OkButton")->isEnabled());
            QCOMPARE(list->topLevelItemCount(), 2);
            QStringList rows;
            for (int i = 0; i < list->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* row = list->topLevelItem(i);
                QCOMPARE(row->checkState(0), Qt::Checked);
                rows << QStringList{row->text(0), row->text(1), row->text(3), row->text(5)}.join('|');
            }
            rows.sort();
            QCOMPARE(rows, (QStringList{"Chromium|Default|" + chromium + "|是",
                                        "Firefox|default-release|" + firefox + "|是"}));
            // The entries are counted off this thread.
            QTRY_VERIFY_WITH_TIMEOUT(
                list->topLevelItem(0)->text(4).toInt() > 0 && list->topLevelItem(1)->text(4).toInt() > 0, 10000);

            // Everything found and nothing added: nothing to write, caches are found afresh at each run.
            QVERIFY(dialog.saveChoice());
            QVERIFY(!IniFile(iniFile).hasSection("cache"));

            dialog.addFolder(home_->filePath("copied"));
            dialog.addFolder(home_->path());
            QCOMPARE(prompts_, QStringList{QStringLiteral("“%1”不是可识别的浏览器缓存").arg(home_->path())});
            QCOMPARE(list->topLevelItemCount(), 3);
            for (int i = 0; i < list->topLevelItemCount(); ++i) {
                if (list->topLevelItem(i)->text(3) == firefox)
                    list->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
            }
            QVERIFY(dialog.saveChoice());
        }
        QStringList written;
        for (const auto& [key, value] : IniFile(iniFile).sectionEntries("cache"))
            written << value;
        QCOMPARE(written, (QStringList{chromium, elsewhere}));
        // The next run uses the choice.
        QCOMPARE(CacheDetector::programCaches(iniFile, homes).size(), 2);

        // Opened again, it shows the choice.
        CacheSourcesDialog again(iniFile, homes);
        QTRY_VERIFY_WITH_TIMEOUT(!again.isSearching(), 10000);
        QStringList ticked;
        for (int i = 0; i < again.list()->topLevelItemCount(); ++i) {
            if (again.list()->topLevelItem(i)->checkState(0) == Qt::Checked)
                ticked << again.list()->topLevelItem(i)->text(3);
        }
        ticked.sort();
        QCOMPARE(ticked, (QStringList{chromium, elsewhere}));

        // Nothing ticked is refused: it would mean every cache.
        for (int i = 0; i < again.list()->topLevelItemCount(); ++i)
            again.list()->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
        prompts_.clear();
        QVERIFY(!again.saveChoice());
        QCOMPARE(prompts_, QStringList{"请至少选择一个缓存！"});
        QCOMPARE(CacheDetector::programCaches(iniFile, homes).size(), 2);
    }

    void theSourcesDialogTicksTheKindsOfCacheChosen()
    {
        const QString chromium = home_->filePath(".cache/chromium/Default/Cache/Cache_Data");
        const QString discord = home_->filePath(".config/discord/Cache/Cache_Data");
        QVERIFY(copyFolder(kChromiumFixture, chromium));
        QVERIFY(copyFolder(kChromiumFixture, discord));
        const QString iniFile = QDir(program_->path()).filePath("webgleaner.ini");
        const CacheDetector::Homes homes = CacheDetector::Homes::fromEnvironment();
        const auto tickedRows = [](const CacheSourcesDialog& dialog) {
            QStringList ticked;
            for (int i = 0; i < dialog.list()->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* row = dialog.list()->topLevelItem(i);
                if (row->checkState(0) == Qt::Checked)
                    ticked << row->text(0);
            }
            ticked.sort();
            return ticked;
        };
        {
            CacheSourcesDialog dialog(iniFile, homes);
            QTRY_VERIFY_WITH_TIMEOUT(!dialog.isSearching(), 10000);
            QCOMPARE(dialog.list()->topLevelItemCount(), 2);
            // Apps are shown, not used, until their kind is.
            QCOMPARE(tickedRows(dialog), QStringList{"Chromium"});
            dialog.appsBox()->setChecked(true);
            QCOMPARE(tickedRows(dialog), (QStringList{"Chromium", "Discord"}));
            QVERIFY(dialog.saveChoice());
        }
        // The kinds are written, and no list: what they include is found afresh at each run.
        QVERIFY(!IniFile(iniFile).hasSection("cache"));
        QVERIFY(IniFile(iniFile).readBool("cache kinds", "apps", false));
        QCOMPARE(CacheDetector::programCaches(iniFile, homes).size(), 2);

        CacheSourcesDialog again(iniFile, homes);
        QTRY_VERIFY_WITH_TIMEOUT(!again.isSearching(), 10000);
        QVERIFY(again.appsBox()->isChecked());
        QCOMPARE(tickedRows(again), (QStringList{"Chromium", "Discord"}));
        again.browsersBox()->setChecked(false);
        QCOMPARE(tickedRows(again), QStringList{"Discord"});
    }

    void theSourcesDialogClearsTheServiceWorkerCachesOfTheSitesChosen()
    {
        const QString serviceWorkers = home_->filePath(".config/chromium/Default/Service Worker/CacheStorage");
        QVERIFY(copyFolder(WEBGLEANER_TEST_DATA "/caches/chromium-cache-storage/CacheStorage", serviceWorkers));
        QVERIFY(copyFolder(kChromiumFixture, home_->filePath(".cache/chromium/Default/Cache/Cache_Data")));
        CacheSourcesDialog dialog(QDir(program_->path()).filePath("webgleaner.ini"),
                                  CacheDetector::Homes::fromEnvironment());
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isSearching(), 10000);
        auto* clearSites = dialog.findChild<QPushButton*>("ClearSitesButton");
        int serviceWorkerRow = -1;
        for (int i = 0; i < dialog.list()->topLevelItemCount(); ++i) {
            dialog.list()->setCurrentItem(dialog.list()->topLevelItem(i));
            const bool isServiceWorkers = dialog.list()->topLevelItem(i)->text(3) == serviceWorkers;
            QCOMPARE(clearSites->isEnabled(), isServiceWorkers);
            if (isServiceWorkers)
                serviceWorkerRow = i;
        }
        QVERIFY(serviceWorkerRow >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.list()->topLevelItem(serviceWorkerRow)->text(4), QStringLiteral("5"), 10000);

        // The clean-up dialog clears the site's caches and is closed once it says it is done.
        auto* watch = new QTimer(&dialog);
        connect(watch, &QTimer::timeout, watch, [watch] {
            TFrmDelete* clearing = TFrmDelete::current();
            auto* close = clearing ? clearing->findChild<QPushButton*>("BitBtn1") : nullptr;
            auto* bar = clearing ? clearing->findChild<QProgressBar*>("ProgressBar1") : nullptr;
            if (close == nullptr || !close->isEnabled() || bar->value() != 100)
                return;
            watch->stop();
            QTest::mouseClick(close, Qt::LeftButton);
        });
        watch->start(20);
        dialog.clearSites(serviceWorkerRow, {"http://127.0.0.1:18435/"});
        QCOMPARE(prompts_, QStringList{QStringLiteral("确实要清除所选网站的 Service Worker 缓存吗？")});
        QTRY_COMPARE_WITH_TIMEOUT(dialog.list()->topLevelItem(serviceWorkerRow)->text(4), QStringLiteral("0"), 10000);
    }

private:
    static void fitsTheScreen(const QWidget& shown)
    {
        const QRect frame = shown.frameGeometry();
        QVERIFY2(
            room().contains(frame),
            qPrintable(
                QStringLiteral("%1x%2+%3+%4").arg(frame.width()).arg(frame.height()).arg(frame.x()).arg(frame.y())));
        QVERIFY(buttonsInside(shown));
    }

    // The editor is one window shown again and again, for new plans and for edits, closed with either
    // button: each time at the size of the first, scrolled to the top, every control within the mouse's
    // reach. On the 1024 x 768 desktop the whole page shows; on a smaller screen it scrolls.
    void planEditorFitsAtEveryOpening()
    {
        QVERIFY(writeFileBytes(QDir(program_->path()).filePath("plancfg.ini"),
                               "[name]\nn1=key1\n[key1]\nname=p\ntpname=*.gif\nsavpath=/x\ndays=7\n"));
        window_ = std::make_unique<TFrmMain>(program_->path());
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        TFrmOpt* const editor = window_->editor();
        auto* const scroller = editor->findChild<QScrollArea*>("PageScroller");
        QVERIFY(scroller);
        const bool roomForThePage = QGuiApplication::primaryScreen()->geometry().height() >= 768;
        auto* const tree = window_->findChild<QTreeWidget*>("TreeView4");
        const struct
        {
            bool edit;
            const char* closedWith;
        } openings[] = {{false, "BitBtn2"}, {false, "BitBtn2"}, {true, "BitBtn1"},
                        {true, "BitBtn2"},  {false, "BitBtn2"}, {true, "BitBtn1"}};
        QSize first;
        for (const auto& [edit, closedWith] : openings) {
            const QString opening = QStringLiteral("%1, closed with %2").arg(edit ? "edit" : "new", closedWith);
            if (edit) {
                QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                                  tree->visualItemRect(tree->topLevelItem(0)->child(0)).center());
                window_->Action16->trigger();
            } else {
                window_->Action15->trigger();
            }
            QVERIFY2(QTest::qWaitForWindowExposed(editor), qPrintable(opening));
            fitsTheScreen(*editor);
            if (QTest::currentTestFailed())
                return;
            if (first.isEmpty())
                first = editor->size();
            QVERIFY2(editor->size() == first, qPrintable(opening));
            QScrollBar* const bars[] = {scroller->horizontalScrollBar(), scroller->verticalScrollBar()};
            for (const QScrollBar* bar : bars) {
                QVERIFY2(bar->value() == bar->minimum(), qPrintable(opening));
                QVERIFY2(bar->maximum() == bar->minimum() || bar->isVisible(), qPrintable(opening));
            }
            const QSize seen = scroller->viewport()->size();
            if (roomForThePage) {
                const QWidget* page = scroller->widget();
                QVERIFY2(page->size() == seen && seen.expandedTo(page->sizeHint()) == seen, qPrintable(opening));
            } else {
                QVERIFY2(bars[1]->isVisible(), qPrintable(opening));
            }
            QVERIFY2(everyControlWithinReach(*scroller), qPrintable(opening));
            // Left scrolled to the far corner, for the next opening to start from.
            for (QScrollBar* bar : bars)
                bar->setValue(bar->maximum());
            QTest::mouseClick(editor->findChild<QPushButton*>(closedWith), Qt::LeftButton);
            QVERIFY2(!editor->isVisible(), qPrintable(opening));
        }
        QVERIFY(prompts_.isEmpty());
    }

    // Whether every control on the page of `scroller` can be scrolled into sight, whole, and clicked there.
    static bool everyControlWithinReach(QScrollArea& scroller)
    {
        QWidget* const viewport = scroller.viewport();
        for (QWidget* control : scroller.widget()->findChildren<QWidget*>()) {
            if (control->focusPolicy() == Qt::NoFocus || !control->isVisibleTo(viewport))
                continue;
            scroller.ensureWidgetVisible(control, 0, 0);
            const QRect place(control->mapTo(viewport, QPoint(0, 0)), control->size());
            const QWidget* hit = viewport->childAt(place.center());
            if (!viewport->rect().contains(place) || (hit != control && !control->isAncestorOf(hit))) {
                qWarning() << control->objectName() << place << "out of reach in" << viewport->rect();
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<QTemporaryDir> home_;
    std::unique_ptr<QTemporaryDir> program_;
    std::unique_ptr<TFrmMain> window_;
    QStringList prompts_;
};

int main(int argc, char* argv[])
{
    WebPreview::prepareApplication();
    GuardedApplication application(argc, argv);
    // As the program starts.
    ProgramLocale::install(application);
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(12);
    QApplication::setFont(font);
    DesktopTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "DesktopTest.moc"
