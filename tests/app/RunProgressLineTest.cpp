#include "app/RunProgressLine.h"
#include "engine/keep/KeepTotals.h"

#include "QtPrinters.h"

#include <QTextStream>
#include <gtest/gtest.h>

namespace
{

using std::chrono::milliseconds;

TEST(RunProgressLineTest, TheLineTellsWalkedMatchesSavedAndTimeLeft)
{
    struct Case
    {
        const char* name;
        RunProgressLine::Counts counts;
        milliseconds elapsed;
        const char* text;
    };
    // clang-format off
    const Case cases[] = {
        {"total unknown",            {500, -1, 3, 1, 1, false},     milliseconds(5000),    "已检索 500 项，匹配 3 项，已保存 1 个，剩余约 --:--"},
        {"too early to estimate",    {10, 1000, 0, 0, 0, false},    milliseconds(200),     "已检索 10/1000 项，匹配 0 项，已保存 0 个，剩余约 --:--"},
        {"a quarter walked",         {250, 1000, 7, 5, 5, false},   milliseconds(10000),   "已检索 250/1000 项，匹配 7 项，已保存 5 个，剩余约 0:30"},
        {"over an hour left",        {1, 1000, 0, 0, 0, false},     milliseconds(10000),   "已检索 1/1000 项，匹配 0 项，已保存 0 个，剩余约 2:46:30"},
        {"estimate overtaken",       {1200, 1000, 0, 0, 0, false},  milliseconds(2000),    "已检索 1200/1200 项，匹配 0 项，已保存 0 个，剩余约 0:00"},
        {"walked, half the saving",  {1000, 1000, 10, 4, 5, true},  milliseconds(60000),   "已检索 1000/1000 项，匹配 10 项，已保存 4 个，剩余约 1:00"},
        {"all handled",              {1000, 1000, 10, 9, 10, true}, milliseconds(60000),   "已检索 1000/1000 项，匹配 10 项，已保存 9 个，剩余约 0:00"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RunProgressLine::text(c.counts, c.elapsed), QString::fromUtf8(c.text));
    }
}

TEST(RunProgressLineTest, KeepingsLineTellsSavedMatchedFailedAndHowLong)
{
    struct Case
    {
        const char* name;
        int saved;
        int alreadySaved;
        int failed;
        int matched;
        milliseconds elapsed;
        const char* text;
    };
    // clang-format off
    const Case cases[] = {
        {"just started",               0,  0, 0,  0, milliseconds(400),      "守候中：已保存 0 个，匹配 0 项，已守候 0:00"},
        {"files already in place",     2, 40, 0, 42, milliseconds(61500),    "守候中：已保存 2 个，匹配 42 项，已守候 1:01"},
        {"some failed, hours on",      7,  0, 3, 10, milliseconds(3723000),  "守候中：已保存 7 个，匹配 10 项，失败 3 个，已守候 1:02:03"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeepTotals totals;
        totals.saves.saved = c.saved;
        totals.saves.alreadySaved = c.alreadySaved;
        totals.saves.failed = c.failed;
        totals.matched = c.matched;
        EXPECT_EQ(RunProgressLine::keepingText(totals, c.elapsed), QString::fromUtf8(c.text));
    }
}

TEST(RunProgressLineTest, EachDrawingReplacesTheLastAndClearingLeavesAnEmptyLine)
{
    QString written;
    QTextStream terminal(&written);
    RunProgressLine line(terminal);
    line.clear();
    EXPECT_TRUE(written.isEmpty()) << "nothing to take off";
    line.draw({5, 10, 1, 0, 0, false}, milliseconds(100));
    line.draw({10, 10, 2, 0, 0, false}, milliseconds(200));
    line.clear();
    line.clear();
    EXPECT_EQ(written, "\r" + RunProgressLine::text({5, 10, 1, 0, 0, false}, milliseconds(100)) + "\x1b[K\r" +
                           RunProgressLine::text({10, 10, 2, 0, 0, false}, milliseconds(200)) + "\x1b[K\r\x1b[K");
}

} // namespace
