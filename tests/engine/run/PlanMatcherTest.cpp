#include "engine/run/PlanMatcher.h"

#include "QtPrinters.h"
#include "engine/cache/CacheEntry.h"
#include "plans/StrucRec.h"
#include "util/DateText.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

const QDate kToday(2026, 3, 7);
const QDateTime kNow(kToday, QTime(15, 0));

CacheEntry entryNamed(const QString& localFile, qint64 size = 100, QDate browseDate = kToday)
{
    CacheEntry entry;
    entry.url = "http://www.example.com/news/" + QFileInfo(localFile).fileName();
    entry.localName = QFileInfo(localFile).fileName();
    // The body is the whole file, where there is one.
    entry.body.file = localFile;
    entry.body.length = QFileInfo(localFile).size();
    entry.size = size;
    entry.lastAccess = QDateTime(browseDate, QTime(12, 0), Qt::UTC);
    return entry;
}

TEST(PlanMatcherTest, FileTypeLooksForTheExtensionInTheStoredList)
{
    struct Case
    {
        const char* tpname;
        const char* file;
        bool matches;
    };
    const Case cases[] = {
        {"*.htm(html),*.asp", "/x/a[1].htm", true},
        {"*.htm(html),*.asp", "/x/a[1].html", true},
        {"*.htm(html),*.asp", "/x/a[1].asp", true},
        {"*.htm(html),*.asp", "/x/a[1].HTM", true},
        {"*.htm(html),*.asp", "/x/a[1].Htm", false},
        {"*.gif,*.jpg(jpeg)", "/x/a[1].jpeg", true},
        {"*.gif,*.jpg(jpeg)", "/x/a[1].g", true},
        {"*.gif,*.jpg(jpeg)", "/x/index[1]", false},
        {"*.gif,*.jpg(jpeg)", "/x.gif/index[1]", false},
        {"*.gif", "", false},
        {"", "/x/anything[1].xyz", true},
    };
    for (const Case& c : cases) {
        StrucRec plan;
        plan.tpname = c.tpname;
        EXPECT_EQ(PlanMatcher::PlanMatches(plan, entryNamed(c.file), kNow), c.matches) << c.tpname << " " << c.file;
    }
}

TEST(PlanMatcherTest, SizeBoundsAreExclusiveKilobytesIn64Bits)
{
    struct Case
    {
        int lsize;
        int hsize;
        qint64 size;
        bool matches;
    };
    const qint64 fiveGigabytes = qint64(5) << 30;
    const Case cases[] = {
        {0, 10, 1, true},
        {0, 10, 10239, true},
        {0, 10, 0, false},
        {0, 10, 10240, false},
        {5, 0, 1, true},
        {5, -1, 1, true},
        {10, 100, 10240, false},
        {10, 100, 10241, true},
        {0, 3000000, fiveGigabytes, false},
        {0, 6000000, fiveGigabytes, true},
    };
    for (const Case& c : cases) {
        StrucRec plan;
        plan.lsize = c.lsize;
        plan.hsize = c.hsize;
        EXPECT_EQ(PlanMatcher::PlanMatches(plan, entryNamed("/x/a[1].gif", c.size), kNow), c.matches)
            << c.lsize << ".." << c.hsize << " KB, " << c.size << " bytes";
    }
}

TEST(PlanMatcherTest, DatesCompareWholeDays)
{
    struct Case
    {
        QString lday;
        QString hday;
        int days;
        QDate browse;
        bool matches;
    };
    const QString today = DateText::format(kToday);
    const Case cases[] = {
        {today, today, 0, kToday, true},
        {today, today, 0, kToday.addDays(1), false},
        {today, today, 0, kToday.addDays(-1), false},
        {"2026-03-01", "2026-03-31", 0, kToday, true}, // fixed forms parse in any locale
        {"not a date", today, 0, kToday, false},       // a bound that does not parse fails the plan
        {today, "", 0, kToday.addYears(-5), true},     // one bound alone is no criterion
        {"", "", 1, kToday, true},
        {"", "", 1, kToday.addDays(-1), false},
        {"", "", 7, kToday.addDays(-6), true},
        {"", "", 7, kToday.addDays(-7), false},
        {"", "", 0, kToday.addYears(-5), true},
    };
    for (const Case& c : cases) {
        StrucRec plan;
        plan.lday = c.lday;
        plan.hday = c.hday;
        plan.days = c.days;
        EXPECT_EQ(PlanMatcher::PlanMatches(plan, entryNamed("/x/a[1].gif", 1, c.browse), kNow), c.matches)
            << c.lday.toStdString() << "|" << c.hday.toStdString() << "|" << c.days << "|"
            << c.browse.toString(Qt::ISODate).toStdString();
    }
}

TEST(PlanMatcherTest, SiteIsACaseSensitiveSubstringOfTheUrl)
{
    StrucRec plan;
    plan.urlStr = "example.com";
    CacheEntry entry = entryNamed("/x/a[1].gif");
    EXPECT_TRUE(PlanMatcher::PlanMatches(plan, entry, kNow));
    entry.url = "http://WWW.EXAMPLE.COM/a.gif";
    EXPECT_FALSE(PlanMatcher::PlanMatches(plan, entry, kNow));
}

class PageCriteriaTest : public ::testing::Test
{
protected:
    QString writePage(const QByteArray& content) const
    {
        const QString path = QDir(dir_.path()).filePath(QStringLiteral("page%1[1].htm").arg(++pages_));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(content);
        return path;
    }

    static QByteArray gbk(const QString& text)
    {
        QStringEncoder encoder("GBK");
        return encoder.encode(text);
    }

    QTemporaryDir dir_;
    mutable int pages_ = 0;
};

TEST_F(PageCriteriaTest, TitleAndContentMatchUtf8AndGbkPages)
{
    struct Case
    {
        QByteArray page;
        const char* title;
        const char* content;
        bool matches;
    };
    const QByteArray utf8Page =
        QStringLiteral("<html><head>\n<title>体育新闻</title>\n</head><body>今日比分</body>").toUtf8();
    const Case cases[] = {
        {utf8Page, "体育", "", true},
        {gbk(QStringLiteral("<title>体育新闻</title>\r\n<p>今日比分</p>")), "体育", "比分", true},
        {utf8Page, "娱乐", "", false},
        {utf8Page, "", "今日比分", true},
        {utf8Page, "", "明日", false},
        {"<TITLE>Sports</TITLE>", "Sports", "", false},                      // upper-case tags are not seen
        {"<title>a</title> extra words", "extra", "", true},                 // the whole line counts
        {"<title>first</title>\r<title>second</title>", "first", "", false}, // the last such line decides
        {"<title>a</title>\nextra", "extra", "", false},                     // the line ends at its break
        {"<title>a</title>\r\nextra", "", "a</title>", true},                // content within a line
        {QByteArray("<title>x</title>\0shown", 22), "", "shown", true},      // a NUL hides nothing
        {QByteArray("<title>a\0b</title>", 18), "b", "", true},              // nor in the title
    };
    for (const Case& c : cases) {
        StrucRec plan;
        plan.ztype = 0;
        plan.tilStr = QString::fromUtf8(c.title);
        plan.conStr = QString::fromUtf8(c.content);
        EXPECT_EQ(PlanMatcher::PlanMatches(plan, entryNamed(writePage(c.page)), kNow), c.matches)
            << c.page.toStdString() << " / " << c.title << " / " << c.content;
    }
}

TEST_F(PageCriteriaTest, AnUnreadablePageFailsOnlyDocumentPlansThatReadIt)
{
    const CacheEntry missing = entryNamed(QDir(dir_.path()).filePath("gone[1].htm"));
    StrucRec plan;
    plan.tilStr = "x";
    EXPECT_FALSE(PlanMatcher::PlanMatches(plan, missing, kNow));
    plan.ztype = 1; // resource plans ignore page criteria left in a hand-edited file
    EXPECT_TRUE(PlanMatcher::PlanMatches(plan, missing, kNow));
    plan.ztype = 0;
    plan.tilStr.clear();
    EXPECT_TRUE(PlanMatcher::PlanMatches(plan, missing, kNow));
}

} // namespace
