#include "plans/TFrmOpt.h"
#include "app/TFrmMain.h"
#include "util/FolderDialog.h"
#include "util/GuardedApplication.h"
#include "util/Prompt.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

// Drives the plan editor and the plan tree through their real widgets; message boxes and the folder
// dialog are answered by the test.
class TFrmOptTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        folder_ = std::make_unique<QTemporaryDir>();
        prompts_.clear();
        answerYes_ = true;
        typedInput_.clear();
        Prompt::setResponder([this](const Prompt::Request& request, QString* input) {
            prompts_ << kindName(request.kind) + ":" + request.text;
            if (input != nullptr)
                *input = typedInput_;
            return request.kind != Prompt::Kind::Question || answerYes_;
        });
        FolderDialog::setChooser([](const QString& title) {
            return title == QStringLiteral("选择保存目录") ? QStringLiteral("/home/user/harvest") : QString();
        });
    }

    void cleanup()
    {
        window_.reset();
        Prompt::setResponder({});
        FolderDialog::setChooser({});
    }

    void aNewPlanWithNameTypesAndFolderIsSavedAndSelected()
    {
        openWindow();
        window_->findChild<QAction*>("Action15")->trigger();
        QVERIFY(editor()->isVisible());
        widget<QLineEdit>("Edit1")->insert(QStringLiteral("新闻")); // keyClicks types Latin-1 only
        choose("*.asp");
        choose("*.htm(html)");
        QCOMPARE(widget<QLineEdit>("Edit2")->text(), QStringLiteral("*.asp,*.htm(html)"));
        QTest::mouseClick(widget<QToolButton>("SpeedButton1"), Qt::LeftButton);
        QCOMPARE(widget<QLineEdit>("Edit7")->text(), QStringLiteral("/home/user/harvest"));
        QTest::mouseClick(widget<QPushButton>("BitBtn1"), Qt::LeftButton);

        QVERIFY(prompts_.isEmpty());
        QVERIFY(!editor()->isVisible());
        QCOMPARE(planFile(), QStringLiteral("[last]\nlast=1\n[type]\ndoc=*.htm(html),*.asp,*.php,*.jsp\n"
                                            "sou=*.gif,*.jpg(jpeg),*.bmp,*.swf\n[name]\nn1=key1\n[key1]\nztype=0\n"
                                            "name=新闻\ntpname=*.asp,*.htm(html)\nurlStr=\ntilStr=\nconStr=\nlday=\n"
                                            "hday=\ndays=0\nlsize=0\nhsize=0\nsavpath=/home/user/harvest\nifdel=0\n"));
        const QTreeWidgetItem* root = planTree()->topLevelItem(0);
        QCOMPARE(root->childCount(), 1);
        QVERIFY(root->child(0)->isSelected());
        QCOMPARE(summary(0), QStringLiteral("新闻"));
        QCOMPARE(summary(5), QStringLiteral("所有日期"));
        for (const char* action : {"Action16", "Action17", "Action18"})
            QVERIFY(window_->findChild<QAction*>(action)->isEnabled());
    }

    void validationStopsAtTheFirstMissingInput_data()
    {
        QTest::addColumn<QString>("setUp"); // what the test fills in, see fillIn()
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("focus");
        QTest::newRow("name") << "types folder"
                              << "information:请输入方案名称！"
                              << "Edit1";
        QTest::newRow("types") << "name folder"
                               << "information:请选择文件类型的扩展名！"
                               << "";
        QTest::newRow("site") << "name types folder site"
                              << "information:请输入所属站点信息！"
                              << "Edit3";
        QTest::newRow("title") << "name types folder title"
                               << "information:请输入网页标题所含的字符！"
                               << "Edit4";
        QTest::newRow("content") << "name types folder content"
                                 << "information:请输入网页内容所含的字符！"
                                 << "Edit5";
        QTest::newRow("days") << "name types folder days"
                              << "information:请输入浏览日期的天数！"
                              << "SpinEdit3";
        QTest::newRow("size") << "name types folder size"
                              << "error:文件大小的最大值不能为零！"
                              << "SpinEdit2";
        QTest::newRow("folder") << "name types"
                                << "information:请选择保存地址！"
                                << "";
    }

    void validationStopsAtTheFirstMissingInput()
    {
        QFETCH(QString, setUp);
        QFETCH(QString, prompt);
        QFETCH(QString, focus);
        openWindow();
        window_->findChild<QAction*>("Action15")->trigger();
        fillIn(setUp.split(' '));
        QTest::mouseClick(widget<QPushButton>("BitBtn1"), Qt::LeftButton);
        QCOMPARE(prompts_, QStringList{prompt});
        QVERIFY(editor()->isVisible());
        if (!focus.isEmpty())
            QCOMPARE(editor()->focusWidget(), widget<QWidget>(focus));
        QVERIFY(!planFile().contains("[key1]"));
    }

    void editingKeepsTheNumberAndTheCounter()
    {
        writePlanFile("[last]\nlast=5\n[name]\nn2=key2\nn5=key5\n[key2]\nname=a\ntpname=*.gif\nsavpath=/x\n"
                      "lday=2026-03-01\nhday=2026-03-05\n[key5]\nname=b\ntpname=*.jpg\nsavpath=/y\ndays=7\n");
        openWindow();
        clickPlan(planTree()->topLevelItem(0)->child(0));
        window_->findChild<QAction*>("Action16")->trigger();
        QVERIFY(editor()->isVisible());
        QVERIFY(widget<QLineEdit>("Edit1")->isReadOnly());
        QVERIFY(widget<QCheckBox>("CheckBox6")->isChecked());
        QVERIFY(widget<QRadioButton>("RadioButton1")->isChecked());
        tick("CheckBox5");
        QTest::mouseClick(widget<QPushButton>("BitBtn1"), Qt::LeftButton);
        QVERIFY(prompts_.isEmpty());

        const QString file = planFile();
        QVERIFY(file.contains("last=5\n"));
        QVERIFY(file.contains("[key2]\nname=a\n") || file.contains("[key2]\nztype=0\nname=a\n"));
        QVERIFY(file.contains("ifdel=1"));
        QVERIFY(!file.contains("key6"));
        QCOMPARE(summary(8), QStringLiteral("是"));
        QCOMPARE(summary(5).left(1), QStringLiteral("从"));

        clickPlan(planTree()->topLevelItem(0)->child(1));
        QTest::mouseDClick(planTree()->viewport(), Qt::LeftButton, {},
                           planTree()->visualItemRect(planTree()->topLevelItem(0)->child(1)).center());
        QVERIFY(widget<QRadioButton>("RadioButton2")->isChecked());
        QCOMPARE(widget<QSpinBox>("SpinEdit3")->value(), 7);
    }

    void theEditorDoesNotOpenOnTheRoot()
    {
        openWindow();
        clickPlan(planTree()->topLevelItem(0));
        window_->findChild<QAction*>("Action16")->trigger();
        QTest::mouseDClick(planTree()->viewport(), Qt::LeftButton, {},
                           planTree()->visualItemRect(planTree()->topLevelItem(0)).center());
        QVERIFY(!editor()->isVisible());
    }

    void deletionAsksAndRemovesOnlyOnYes()
    {
        writePlanFile("[last]\nlast=3\n[name]\nn3=key3\n[key3]\nname=c\ntpname=*.gif\nsavpath=/x\n");
        openWindow();
        clickPlan(planTree()->topLevelItem(0)->child(0));
        answerYes_ = false;
        window_->findChild<QAction*>("Action17")->trigger();
        QCOMPARE(prompts_, QStringList{"question:确实要删除此回收方案吗？"});
        QCOMPARE(planTree()->topLevelItem(0)->childCount(), 1);

        answerYes_ = true;
        planTree()->setFocus();
        QTest::keyClick(planTree(), Qt::Key_Delete);
        QCOMPARE(planTree()->topLevelItem(0)->childCount(), 0);
        QCOMPARE(planFile(), QStringLiteral("[last]\nlast=3\n[name]\n[type]\ndoc=*.htm(html),*.asp,*.php,*.jsp\n"
                                            "sou=*.gif,*.jpg(jpeg),*.bmp,*.swf\n"));
    }

    void selectAllAppendsWhatIsNotChosenAndChoosingTwiceIsRefused()
    {
        openWindow();
        window_->findChild<QAction*>("Action15")->trigger();
        choose("*.php");
        QTest::mouseClick(widget<QPushButton>("BitBtn3"), Qt::LeftButton);
        QCOMPARE(widget<QLineEdit>("Edit2")->text(), QStringLiteral("*.php,*.htm(html),*.asp,*.jsp"));
        choose("*.asp");
        QCOMPARE(prompts_, QStringList{"information:此文件类型已存在，请选择其他类型！"});
        QTest::mouseClick(widget<QPushButton>("BitBtn4"), Qt::LeftButton);
        QVERIFY(widget<QLineEdit>("Edit2")->text().isEmpty());
    }

    void addingATypeWritesTheListOfTheChosenKind()
    {
        openWindow();
        window_->findChild<QAction*>("Action15")->trigger();
        tick("RadioGroup1Resource");
        QCOMPARE(widget<QListWidget>("ListBox1")->count(), 4);
        typedInput_ = "*.png";
        QTest::mouseClick(widget<QPushButton>("Button2"), Qt::LeftButton);
        QCOMPARE(widget<QListWidget>("ListBox1")->item(4)->text(), QStringLiteral("*.png"));
        QVERIFY(planFile().contains("sou=*.gif,*.jpg(jpeg),*.bmp,*.swf,*.png\n"));
        QVERIFY(planFile().contains("doc=*.htm(html),*.asp,*.php,*.jsp\n"));
        typedInput_ = "*.GIF";
        QTest::mouseClick(widget<QPushButton>("Button2"), Qt::LeftButton);
        QCOMPARE(prompts_.last(), QStringLiteral("information:此文件类型已存在，请添加其他类型！"));
        QCOMPARE(widget<QListWidget>("ListBox1")->count(), 5);
    }

    void theSiteBoxPrefillsHttp()
    {
        openWindow();
        window_->findChild<QAction*>("Action15")->trigger();
        auto* site = widget<QLineEdit>("Edit3");
        tick("CheckBox1");
        QCOMPARE(site->text(), QStringLiteral("http://"));
        QCOMPARE(site->cursorPosition(), 7);
        QVERIFY(site->isEnabled());
        tick("CheckBox1");
        QVERIFY(site->text().isEmpty());
        QVERIFY(!site->isEnabled());
    }

    void theSummaryShowsDatesAndSizesAndEmptiesOnTheRoot()
    {
        writePlanFile("[name]\nn1=key1\n[key1]\nname=p\nhsize=100\nlsize=10\ndays=7\nifdel=0\n");
        openWindow();
        clickPlan(planTree()->topLevelItem(0)->child(0));
        QCOMPARE(summary(5), QStringLiteral("7天之内"));
        QCOMPARE(summary(6), QStringLiteral("大于10KB 小于100KB"));
        QCOMPARE(summary(8), QStringLiteral("否"));
        QVERIFY(window_->findChild<QAction*>("Action17")->isEnabled());
        clickPlan(planTree()->topLevelItem(0));
        for (int row = 0; row < 9; ++row)
            QVERIFY(summary(row).isEmpty());
        for (const char* action : {"Action16", "Action17", "Action18"})
            QVERIFY(!window_->findChild<QAction*>(action)->isEnabled());
    }

private:
    static QString kindName(Prompt::Kind kind)
    {
        switch (kind) {
        case Prompt::Kind::Information:
            return "information";
        case Prompt::Kind::Error:
            return "error";
        case Prompt::Kind::Question:
            return "question";
        case Prompt::Kind::Input:
            return "input";
        }
        return {};
    }

    void openWindow()
    {
        window_ = std::make_unique<TFrmMain>(folder_->path());
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    void writePlanFile(const QByteArray& content) const
    {
        QFile file(QDir(folder_->path()).filePath("plancfg.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QString planFile() const
    {
        QFile file(QDir(folder_->path()).filePath("plancfg.ini"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    template <typename Widget>
    Widget* widget(const QString& name) const
    {
        auto* found = editor()->findChild<Widget*>(name);
        if (found == nullptr)
            qFatal("no control %s", qPrintable(name));
        return found;
    }

    // Clicks a check box or radio button on its indicator: a stretched button ignores clicks beyond its text.
    void tick(const QString& name) const
    {
        auto* button = widget<QAbstractButton>(name);
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
    }

    void clickPlan(QTreeWidgetItem* item) const
    {
        QTest::mouseClick(planTree()->viewport(), Qt::LeftButton, {}, planTree()->visualItemRect(item).center());
    }

    TFrmOpt* editor() const { return window_->editor(); }
    QTreeWidget* planTree() const { return window_->findChild<QTreeWidget*>("TreeView4"); }
    QString summary(int row) const { return window_->findChild<QTableWidget*>("ListView3")->item(row, 1)->text(); }

    void choose(const QString& entry) const
    {
        auto* list = widget<QListWidget>("ListBox1");
        const QList<QListWidgetItem*> found = list->findItems(entry, Qt::MatchExactly);
        QVERIFY(!found.isEmpty());
        list->setCurrentItem(found.first());
        QTest::mouseClick(widget<QPushButton>("Button1"), Qt::LeftButton);
    }

    // Fills in the editor; each word of `what` is one input: name, types, folder, or a box ticked and
    // left empty (site, title, content, days, size).
    void fillIn(const QStringList& what) const
    {
        if (what.contains("name"))
            QTest::keyClicks(widget<QLineEdit>("Edit1"), "plan");
        if (what.contains("types"))
            choose("*.asp");
        if (what.contains("folder"))
            QTest::mouseClick(widget<QToolButton>("SpeedButton1"), Qt::LeftButton);
        if (what.contains("site")) {
            tick("CheckBox1");
            widget<QLineEdit>("Edit3")->clear();
        }
        if (what.contains("title"))
            tick("CheckBox2");
        if (what.contains("content"))
            tick("CheckBox3");
        if (what.contains("days")) {
            tick("CheckBox6");
            tick("RadioButton2");
        }
        if (what.contains("size")) {
            tick("CheckBox7");
            widget<QSpinBox>("SpinEdit1")->setValue(5);
        }
    }

    std::unique_ptr<QTemporaryDir> folder_;
    std::unique_ptr<TFrmMain> window_;
    QStringList prompts_;
    bool answerYes_ = true;
    QString typedInput_;
};

int main(int argc, char* argv[])
{
    GuardedApplication application(argc, argv);
    TFrmOptTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "TFrmOptTest.moc"
