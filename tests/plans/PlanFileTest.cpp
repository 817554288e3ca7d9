#include "plans/PlanFile.h"

#include "QtPrinters.h"
#include "UnreadablePlace.h"
#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <optional>

namespace
{

class PlanFileTest : public ::testing::Test
{
protected:
    QString filePath() const { return QDir(dir_.path()).filePath("plancfg.ini"); }

    void writeFile(const QByteArray& content) const
    {
        QFile file(filePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QByteArray readFile() const
    {
        QFile file(filePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static StrucRec samplePlan(const QString& name)
    {
        StrucRec plan;
        plan.name = name;
        plan.tpname = "*.htm(html),*.asp";
        plan.urlStr = "http://news";
        plan.days = 7;
        plan.savpath = "/home/user/harvest";
        return plan;
    }

    // Saves a new plan the way the editor does and returns its number.
    int addPlan(PlanFile& file, const QString& name) const
    {
        const int number = file.GetNameIndx();
        file.savCfg(number, samplePlan(name), true);
        return number;
    }

    QTemporaryDir dir_;
};

TEST_F(PlanFileTest, FirstStartCreatesTheFileWithItsDefaults)
{
    PlanFile file(filePath());
    file.CrtCfg();
    EXPECT_EQ(readFile(),
              "[last]\nlast=0\n[type]\ndoc=*.htm(html),*.asp,*.php,*.jsp\nsou=*.gif,*.jpg(jpeg),*.bmp,*.swf\n");
    const PlanFile::Contents contents = file.LoadCfg();
    EXPECT_EQ(contents.documentTypes, PlanFile::kDefaultDocumentTypes);
    EXPECT_EQ(contents.resourceTypes, PlanFile::kDefaultResourceTypes);
    EXPECT_TRUE(contents.plans.empty());
}

TEST_F(PlanFileTest, StartUpRestoresAnEmptyListAndKeepsEverythingElse)
{
    writeFile("[last]\nlast=4\n[type]\ndoc=\nsou=*.png\n");
    PlanFile file(filePath());
    file.CrtCfg();
    const PlanFile::Contents contents = file.LoadCfg();
    EXPECT_EQ(contents.documentTypes, PlanFile::kDefaultDocumentTypes);
    EXPECT_EQ(contents.resourceTypes, "*.png");
    EXPECT_EQ(file.GetNameIndx(), 5);
}

TEST_F(PlanFileTest, NewPlansAreNumberedFromOneAndWrittenInFieldOrder)
{
    PlanFile file(filePath());
    file.CrtCfg();
    EXPECT_EQ(file.GetNameIndx(), 1);
    EXPECT_EQ(file.GetNameIndx(), 1) << "asking reserves nothing";
    EXPECT_EQ(addPlan(file, "news"), 1);
    EXPECT_EQ(readFile(),
              "[last]\nlast=1\n[type]\ndoc=*.htm(html),*.asp,*.php,*.jsp\nsou=*.gif,*.jpg(jpeg),*.bmp,*.swf\n"
              "[name]\nn1=key1\n[key1]\nztype=0\nname=news\ntpname=*.htm(html),*.asp\nurlStr=http://news\n"
              "tilStr=\nconStr=\nlday=\nhday=\ndays=7\nlsize=0\nhsize=0\nsavpath=/home/user/harvest\nifdel=0\n");
    StrucRec expected = samplePlan("news");
    expected.keyName = "key1";
    ASSERT_EQ(file.LoadCfg().plans.size(), 1u);
    EXPECT_EQ(file.LoadCfg().plans[0], expected);
}

TEST_F(PlanFileTest, DeletedNumbersAreNotHandedOutAgain)
{
    PlanFile file(filePath());
    file.CrtCfg();
    for (const char* name : {"one", "two", "three"})
        addPlan(file, name);
    file.deletePlan(file.LoadCfg().plans[2]);
    EXPECT_FALSE(readFile().contains("key3"));
    EXPECT_TRUE(readFile().contains("last=3"));
    EXPECT_EQ(addPlan(file, "four"), 4);
    std::vector<QString> names;
    for (const StrucRec& plan : file.LoadCfg().plans)
        names.push_back(plan.keyName + ":" + plan.name);
    EXPECT_EQ(names, (std::vector<QString>{"key1:one", "key2:two", "key4:four"}));
}

TEST_F(PlanFileTest, EditingRewritesTheSameSectionAndKeepsTheCounter)
{
    PlanFile file(filePath());
    file.CrtCfg();
    addPlan(file, "a");
    addPlan(file, "b");
    StrucRec edited = file.LoadCfg().plans[0];
    edited.ifdel = true;
    edited.hsize = 100;
    edited.lsize = 10;
    file.savCfg(PlanFile::planNumber(edited.keyName), edited, false);
    const PlanFile::Contents contents = file.LoadCfg();
    ASSERT_EQ(contents.plans.size(), 2u);
    EXPECT_EQ(contents.plans[0], edited);
    EXPECT_EQ(file.GetNameIndx(), 3);
    EXPECT_EQ(readFile().count("n1=key1"), 1);
}

TEST_F(PlanFileTest, AHandWrittenFileLoadsInNameOrderSkippingBrokenLines)
{
    writeFile("[LAST]\r\nlast=9\r\n[Name]\r\nn3=key3\r\nn1=key1\r\nn7=key7\r\nn8=key8\r\nbroken line\r\n"
              "[KEY1]\r\nNAME=first\r\nztype=x\r\ndays=abc\r\nifdel=2\r\n"
              "[key3]\r\nname=third\r\nztype=1\r\nhsize=100\r\nlsize=10\r\nsavpath=C:\\a=b\r\n"
              "[key8]\r\nname=\r\nztype=1\r\n");
    PlanFile file(filePath());
    file.CrtCfg();
    const PlanFile::Contents contents = file.LoadCfg();
    ASSERT_EQ(contents.plans.size(), 2u) << "key7 has no section and key8 no name";
    const StrucRec& third = contents.plans[0];
    EXPECT_EQ(third.keyName, "key3");
    EXPECT_EQ(third.ztype, 1);
    EXPECT_EQ(third.lsize, 10);
    EXPECT_EQ(third.hsize, 100);
    EXPECT_EQ(third.savpath, "C:\\a=b");
    const StrucRec& first = contents.plans[1];
    EXPECT_EQ(first.keyName, "key1");
    EXPECT_EQ(first.name, "first");
    EXPECT_EQ(first.ztype, 0);
    EXPECT_EQ(first.days, 0);
    EXPECT_TRUE(first.ifdel);
    EXPECT_TRUE(first.tpname.isEmpty());
    EXPECT_TRUE(readFile().contains("n7=key7")) << "skipped lines stay in the file";
}

TEST_F(PlanFileTest, AFileFromTheOldWindowsProgramLoadsWithItsChineseTexts)
{
    ASSERT_TRUE(QFile::copy(WEBGLEANER_TEST_DATA "/plans/gbk-plancfg.ini", filePath()));
    QFile::setPermissions(filePath(), QFile::ReadOwner | QFile::WriteOwner);
    PlanFile file(filePath());
    file.CrtCfg();
    const PlanFile::Contents contents = file.LoadCfg();
    ASSERT_EQ(contents.plans.size(), 2u);
    EXPECT_EQ(contents.plans[0].name, QStringLiteral("新闻网页"));
    EXPECT_EQ(contents.plans[0].tilStr, QStringLiteral("体育"));
    EXPECT_EQ(contents.plans[0].savpath, QStringLiteral("D:\\回收\\新闻"));
    EXPECT_EQ(contents.plans[1].name, QStringLiteral("图片"));
    EXPECT_EQ(contents.plans[1].lday, "2006-1-5");
    EXPECT_TRUE(contents.plans[1].ifdel);

    // Saving converts the whole file to UTF-8 with the names intact.
    addPlan(file, QStringLiteral("第三"));
    const PlanFile::Contents reread = PlanFile(filePath()).LoadCfg();
    ASSERT_EQ(reread.plans.size(), 3u);
    EXPECT_EQ(reread.plans[0].name, QStringLiteral("新闻网页"));
    EXPECT_EQ(reread.plans[2].name, QStringLiteral("第三"));
}

TEST_F(PlanFileTest, NewNumbersNeverCollideWithNumbersInUse)
{
    struct Case
    {
        const char* file;
        int expected;
    };
    const Case cases[] = {
        {"[name]\nn1=key1\n[key1]\nname=a\n", 2},      // [last] removed by hand
        {"[last]\nlast=1\n[name]\nn5=key5\n", 6},      // index line without its section
        {"[last]\nlast=2\n[key9]\nname=orphan\n", 10}, // section left without its index line
        {"[last]\nlast=12\n[name]\nn3=key3\n[key3]\nname=a\n", 13},
        {"[last]\nlast=-5\n", 1},
    };
    for (const Case& c : cases) {
        writeFile(c.file);
        PlanFile file(filePath());
        file.CrtCfg();
        EXPECT_EQ(file.GetNameIndx(), c.expected) << c.file;
    }
}

TEST_F(PlanFileTest, StatusTellsAFileWithPlansFromOneWithoutAndFromOneThatCannotBeRead)
{
    struct Case
    {
        const char* name;
        std::optional<QByteArray> content; // none: no file
        PlanFile::State expected;
        QStringList plans;
    };
    const QString lf = QStringLiteral("[name]\nn1=key1\nn2=key2\n[key1]\nname=新闻\n[key2]\nname=图片\n");
    QString cr = lf;
    cr.replace('\n', '\r');
    using State = PlanFile::State;
    const QStringList both{QStringLiteral("新闻"), QStringLiteral("图片")};
    // clang-format off
    const Case cases[] = {
        {"LF",                 lf.toUtf8(),                                                       State::Loaded, both},
        {"CR only",            cr.toUtf8(),                                                       State::Loaded, both},
        {"UTF-16 with BOM",    "\xFF\xFE" + QStringEncoder(QStringEncoder::Utf16LE).encode(lf),   State::Loaded, both},
        {"UTF-16 without BOM", QStringEncoder(QStringEncoder::Utf16LE).encode(lf),                State::NoPlan, {}},
        {"binary junk",        QByteArray("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\x80[\xC3", 19),        State::NoPlan, {}},
        {"empty",              "",                                                                State::NoPlan, {}},
        {"defaults only",      "[last]\nlast=0\n[type]\ndoc=*.htm\n",                             State::NoPlan, {}},
        {"no named plan",      "[name]\nn1=key1\nn2=key2\n[key1]\nname=\n",                       State::NoPlan, {}},
        {"missing",            std::nullopt,                                                      State::NoPlan, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(filePath());
        if (c.content)
            writeFile(*c.content);

        const PlanFile file(filePath());
        const PlanFile::Status status = file.status();
        EXPECT_EQ(status.state, c.expected);
        // Every other state says which file it is about.
        EXPECT_EQ(status.message.contains(QStringLiteral("“%1”").arg(filePath())), c.expected != State::Loaded)
            << status.message.toStdString();
        if (c.expected == State::Loaded) {
            EXPECT_TRUE(status.message.isEmpty()) << status.message.toStdString();
        }
        QStringList names;
        for (const StrucRec& plan : file.LoadCfg().plans)
            names << plan.name;
        EXPECT_EQ(names, c.plans);
    }
    QFile::remove(filePath());
    for (const UnreadablePlace::Kind kind : UnreadablePlace::kKinds) {
        SCOPED_TRACE(UnreadablePlace::name(kind));
        if (!UnreadablePlace::stopsThisUser(kind))
            continue;
        ASSERT_TRUE(UnreadablePlace::make(kind, filePath(), lf.toUtf8()));
        const PlanFile file(filePath());
        const PlanFile::Status status = file.status();
        EXPECT_EQ(status.state, State::Unreadable);
        EXPECT_TRUE(status.message.startsWith(QStringLiteral("无法读取方案文件“%1”：").arg(filePath())))
            << status.message.toStdString();
        EXPECT_TRUE(file.LoadCfg().plans.empty());
        QFile::remove(filePath());
        QDir(dir_.path()).rmdir(PlanFile::kFileName);
    }
}

TEST_F(PlanFileTest, AFileThatCannotBeReadIsNeverReplaced)
{
    ASSERT_TRUE(UnreadablePlace::make(UnreadablePlace::Kind::Fifo, filePath()));
    PlanFile file(filePath());
    file.CrtCfg();
    const PlanFile::Contents contents = file.LoadCfg();
    EXPECT_EQ(contents.documentTypes, PlanFile::kDefaultDocumentTypes);
    EXPECT_TRUE(contents.plans.empty());
    EXPECT_THROW(file.savCfg(file.GetNameIndx(), samplePlan("news"), true), std::runtime_error);
    EXPECT_THROW(file.writeDocumentTypes("*.htm"), std::runtime_error);
    struct stat status = {};
    ASSERT_EQ(::stat(QFile::encodeName(filePath()).constData(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{PlanFile::kFileName});
}

TEST_F(PlanFileTest, PlanNumberNeedsKeyFollowedByANumber)
{
    EXPECT_EQ(PlanFile::planNumber("key12"), 12);
    for (const char* bad : {"", "key", "keyx", "name3", "k3"})
        EXPECT_THROW(PlanFile::planNumber(bad), std::invalid_argument) << bad;
}

} // namespace
